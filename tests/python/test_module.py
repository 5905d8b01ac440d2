"""Import, registration and the shape of the Python surface."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _noteloom
import noteloom
from noteloom import (
    InstrumentMessage,
    MetaMessage,
    MidiDict,
    NoteMessage,
    PedalMessage,
    TempoMessage,
)

SUBMODULE = "noteloom.korvi._korvi"
CLASS_NAMES = ["MidiDict", "NoteMessage", "TempoMessage", "InstrumentMessage", "PedalMessage", "MetaMessage"]
MESSAGE_CLASSES = [NoteMessage, TempoMessage, InstrumentMessage, PedalMessage, MetaMessage]


def run_python(code):
    """Runs `code` in a fresh interpreter of the same kind; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ),
    )


# --- registration ----------------------------------------------------------------------------


def test_submodule_is_in_sys_modules_and_on_the_top_module():
    sub = sys.modules[SUBMODULE]
    assert getattr(_noteloom, SUBMODULE) is sub
    assert sub.__name__ == SUBMODULE
    assert type(sub) is type(sys)


# Published after the data-model classes, in this order, once they are part of the build.
LATER_NAMES = ["_AbsTokenizer", "normalize_midi_dict"]


def test_all_lists():
    sub = sys.modules[SUBMODULE]
    assert sub.__all__[: len(CLASS_NAMES)] == CLASS_NAMES
    assert sub.__all__[len(CLASS_NAMES) :] == [n for n in LATER_NAMES if hasattr(sub, n)]
    assert all(hasattr(sub, n) for n in sub.__all__)
    assert _noteloom.__all__ == [SUBMODULE]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_submodule_exposes_the_classes(name):
    sub = sys.modules[SUBMODULE]
    cls = getattr(sub, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert getattr(noteloom, name) is cls


def test_midi_file_is_not_a_module_attribute():
    assert not hasattr(sys.modules[SUBMODULE], "MidiFile")


def test_import_forms_in_this_process():
    sub = sys.modules[SUBMODULE]
    assert importlib.import_module(SUBMODULE) is sub
    from noteloom.korvi import _korvi

    assert _korvi is sub


IMPORT_STATEMENTS = {
    "import-as": "import noteloom.korvi._korvi as k",
    "import-attr": "import noteloom.korvi._korvi\nk = noteloom.korvi._korvi",
    "from-import": "from noteloom.korvi import _korvi as k",
}
PRELUDES = {"fresh": "", "korvi-first": "import noteloom.korvi", "package-first": "import noteloom",
            "extension-first": "import _noteloom"}


def _import_cases():
    for pname, prelude in PRELUDES.items():
        for sname, statement in IMPORT_STATEMENTS.items():
            yield pytest.param(prelude, statement, id=f"{pname}-{sname}")


@pytest.mark.parametrize("prelude,statement", list(_import_cases()))
def test_import_forms_in_a_fresh_interpreter(prelude, statement):
    code = f"import sys\n{prelude}\n{statement}\nassert k is sys.modules['{SUBMODULE}'], k\nprint('ok')\n"
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_reimport_returns_the_same_module_object():
    first = sys.modules["_noteloom"]
    sub = sys.modules[SUBMODULE]
    names = list(sub.__all__)
    try:
        del sys.modules["_noteloom"]
        again = importlib.import_module("_noteloom")
        assert again is first
        assert sys.modules[SUBMODULE] is sub
        assert getattr(again, SUBMODULE) is sub
        assert again.__all__ == [SUBMODULE]  # the module body did not run a second time
        assert sub.__all__ == names
    finally:
        sys.modules["_noteloom"] = first
        sys.modules[SUBMODULE] = sub


def test_reimport_in_a_fresh_interpreter_keeps_classes():
    result = run_python(
        f"""
        import importlib, sys
        import _noteloom
        sub = sys.modules[{SUBMODULE!r}]
        cls = sub.MidiDict
        del sys.modules["_noteloom"]
        again = importlib.import_module("_noteloom")
        assert again is _noteloom
        assert sys.modules[{SUBMODULE!r}].MidiDict is cls
        d = cls()
        d.add_note(60, 0, 1, 2, 3)
        assert len(d.note_msgs) == 1
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_in_a_subinterpreter_is_refused():
    result = run_python(
        """
        import _noteloom
        try:
            import _interpreters
        except ImportError:
            print("no-subinterpreters")
            raise SystemExit(0)
        config = _interpreters.new_config("legacy")
        interp = _interpreters.create(config)
        try:
            failure = _interpreters.exec(interp, "import _noteloom")
        finally:
            _interpreters.destroy(interp)
        assert failure is not None, "the import succeeded in a sub-interpreter"
        assert failure.type.__name__ == "ImportError", failure
        assert "interpreters" in failure.msg, failure.msg
        d = _noteloom.__dict__["noteloom.korvi._korvi"].MidiDict()
        d.add_tempo(500000, 0)
        assert d.tick_to_ms(480) == 500
        print("ok")
        """
    )
    if result.stdout.strip() == "no-subinterpreters":
        pytest.skip("this interpreter has no _interpreters module")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- method signatures and docstrings --------------------------------------------------------

SIGNATURES = {
    "add_note": "($self, pitch, start, end, velocity, channel)",
    "add_instrument": "($self, program, tick, channel)",
    "add_tempo": "($self, tempo, tick)",
    "calculate_hash": "($self)",
    "resolve_pedal": "($self)",
    "remove_redundant_pedals": "($self)",
    "tick_to_ms": "($self, tick)",
    "get_msg_dict": "($self)",
}


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_text_signature(name, signature):
    method = getattr(MidiDict, name)
    assert method.__text_signature__ == signature
    # The docstring is "name(signature)\n--\n\n" and nothing else, so no text is left over.
    assert method.__doc__ is None
    assert getattr(MidiDict(), name).__text_signature__ == signature


FILE_SIGNATURES = {"from_midi": "($cls, mid_path)", "to_midi": "($self)"}


@pytest.mark.parametrize("name,signature", FILE_SIGNATURES.items())
def test_text_signature_of_file_methods(name, signature):
    if not hasattr(MidiDict, name):
        pytest.skip(f"MidiDict.{name} is not part of this build")
    method = getattr(MidiDict, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_inspect_signature(name, signature):
    params = list(inspect.signature(getattr(MidiDict, name)).parameters.values())
    expected_names = [p.strip().lstrip("$") for p in signature.strip("()").split(",")]
    assert [p.name for p in params] == expected_names
    assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY
    for p in params[1:]:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty

    bound = list(inspect.signature(getattr(MidiDict(), name)).parameters)
    assert bound == expected_names[1:]


def test_no_other_public_methods():
    public = {n for n, v in vars(MidiDict).items() if not n.startswith("_") and callable(v)}
    assert public <= set(SIGNATURES) | set(FILE_SIGNATURES)
    assert set(SIGNATURES) <= public


@pytest.mark.parametrize("cls", [MidiDict, *MESSAGE_CLASSES])
def test_classes_have_no_docstring(cls):
    assert cls.__doc__ is None


# --- construction ----------------------------------------------------------------------------


@pytest.mark.parametrize("cls", MESSAGE_CLASSES)
@pytest.mark.parametrize("args,kwargs", [((), {}), ((1, 2), {}), ((), {"msg_type": "note"})])
def test_message_classes_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as exc:
        cls(*args, **kwargs)
    assert str(exc.value) == f"No constructor defined for {cls.__name__}"


@pytest.mark.parametrize("cls", MESSAGE_CLASSES)
def test_message_new_has_no_constructor_either(cls):
    with pytest.raises(TypeError) as exc:
        cls.__new__(cls)
    assert str(exc.value) == f"No constructor defined for {cls.__name__}"


def test_midi_dict_constructor_takes_no_arguments():
    assert isinstance(MidiDict(), MidiDict)
    with pytest.raises(TypeError) as exc:
        MidiDict(1)
    msg = str(exc.value)
    assert " takes " in msg and " positional arguments but " in msg and "1 was given" in msg
    with pytest.raises(TypeError) as exc:
        MidiDict(1, 2)
    assert " were given" in str(exc.value)
    with pytest.raises(TypeError) as exc:
        MidiDict(x=1)
    assert " got an unexpected keyword argument 'x'" in str(exc.value)


def test_midi_dict_instances_are_independent():
    a, b = MidiDict(), MidiDict()
    a.add_note(1, 2, 3, 4, 5)
    assert b.note_msgs == []
    assert a is not b


# --- default object behaviour ----------------------------------------------------------------


def test_messages_use_default_repr_and_str(make_message):
    for cls in (NoteMessage, TempoMessage, InstrumentMessage):
        m = make_message(cls)
        assert repr(m) == object.__repr__(m)
        assert str(m) == object.__repr__(m)
        assert f"{cls.__name__} object at 0x" in repr(m)


def test_midi_dict_uses_default_repr(populated):
    assert repr(populated) == object.__repr__(populated)
    assert str(populated) == object.__repr__(populated)


@pytest.mark.parametrize("cls", [NoteMessage, TempoMessage, InstrumentMessage, PedalMessage, MetaMessage])
def test_messages_compare_and_hash_by_identity(cls, make_message):
    a = make_message(cls)
    b = make_message(cls)
    for name in ("msg_type",) + (("data",) if cls is MetaMessage else ()):
        setattr(b, name, getattr(a, name))
    assert a == a
    assert not (a != a)
    assert a != b
    assert not (a == b)
    assert hash(a) == object.__hash__(a)
    assert hash(a) != hash(b)
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_notes_with_equal_fields_are_unequal():
    d = MidiDict()
    d.add_note(60, 0, 10, 90, 0)
    first, second = d.note_msgs[0], d.note_msgs[0]
    assert first is not second
    assert first != second
    assert {first, second} == {first, second} and len({first, second}) == 2
