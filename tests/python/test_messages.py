"""The five message classes: attributes, conversions, copies and NoteMessage subscription."""

import operator
import types

import pytest

from noteloom import (
    InstrumentMessage,
    MetaMessage,
    MidiDict,
    NoteMessage,
    PedalMessage,
    TempoMessage,
)
from support import INT32_MAX, INT32_MIN, LIST_FIELDS, MESSAGE_FIELDS, message_fields

ALL_CLASSES = list(MESSAGE_FIELDS)
TEXT_FIELDS = [(cls, "msg_type") for cls in ALL_CLASSES] + [(MetaMessage, "data")]
INT_FIELDS = [(cls, f) for cls, fields in MESSAGE_FIELDS.items() for f in fields if (cls, f) not in TEXT_FIELDS]
ALL_FIELDS = [(cls, f) for cls, fields in MESSAGE_FIELDS.items() for f in fields]
ATTR_OF_CLASS = {cls: attr for attr, cls in LIST_FIELDS.items()}


def ids(cases):
    return [f"{cls.__name__}.{field}" for cls, field in cases]


class Index:
    """An integer-like object (only __index__)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class IntOnly:
    """Has __int__ but no __index__: not an integer for the C long conversion."""

    def __int__(self):
        return 3


class MyInt(int):
    pass


class MyStr(str):
    pass


# --- the attribute set ------------------------------------------------------------------------


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_each_class_has_exactly_its_fields(cls):
    getsets = {n for n, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)}
    assert getsets == set(MESSAGE_FIELDS[cls])


def test_meta_message_class_has_no_tick():
    assert "tick" not in vars(MetaMessage)
    assert not hasattr(MetaMessage, "tick")


def test_meta_message_object_has_no_tick(make_message):
    m = make_message(MetaMessage)
    assert not hasattr(m, "tick")
    with pytest.raises(AttributeError):
        m.tick = 0


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_unknown_attributes_cannot_be_added(cls, make_message):
    m = make_message(cls)
    with pytest.raises(AttributeError):
        m.velocity_curve = 1
    with pytest.raises(AttributeError):
        m.no_such_field  # noqa: B018


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_every_field_is_stored_separately(cls, make_message):
    m = make_message(cls)
    values = {}
    for i, name in enumerate(MESSAGE_FIELDS[cls]):
        values[name] = f"text-{i}" if (cls, name) in TEXT_FIELDS else 1000 + i
        setattr(m, name, values[name])
    assert {name: getattr(m, name) for name in MESSAGE_FIELDS[cls]} == values


# --- copies across the container boundary -----------------------------------------------------


@pytest.mark.parametrize("cls,field", ALL_FIELDS, ids=ids(ALL_FIELDS))
def test_read_message_is_a_copy_and_writing_the_list_stores_it(cls, field, make_message):
    attr = ATTR_OF_CLASS[cls]
    d = MidiDict()
    setattr(d, attr, [make_message(cls)])
    m = getattr(d, attr)[0]
    old = getattr(m, field)
    new = old + "-changed" if isinstance(old, str) else old + 7
    setattr(m, field, new)
    assert getattr(getattr(d, attr)[0], field) == old

    setattr(d, attr, [m])
    assert getattr(getattr(d, attr)[0], field) == new

    # The container took a copy: later changes to m do not reach it.
    setattr(m, field, old)
    assert getattr(getattr(d, attr)[0], field) == new


def test_each_read_gives_new_objects():
    d = MidiDict()
    d.add_note(60, 0, 10, 90, 0)
    a, b = d.note_msgs, d.note_msgs
    assert a is not b
    assert a[0] is not b[0]


# --- integer fields --------------------------------------------------------------------------

ACCEPTED_INTS = [
    (0, 0),
    (-5, -5),
    (INT32_MAX, INT32_MAX),
    (INT32_MIN, INT32_MIN),
    (True, 1),
    (False, 0),
    (Index(12345), 12345),
    (Index(INT32_MIN), INT32_MIN),
    (MyInt(77), 77),
]


@pytest.mark.parametrize("cls,field", INT_FIELDS, ids=ids(INT_FIELDS))
@pytest.mark.parametrize("value,stored", ACCEPTED_INTS, ids=[repr(v) for v, _ in ACCEPTED_INTS])
def test_integer_field_accepts(cls, field, value, stored, make_message):
    m = make_message(cls)
    setattr(m, field, value)
    got = getattr(m, field)
    assert got == stored
    assert type(got) is int


OVERFLOWING = [2**31, INT32_MIN - 1, 2**63, -(2**63) - 1, 2**64, 10**30, Index(2**31), Index(INT32_MIN - 1)]


@pytest.mark.parametrize("cls,field", INT_FIELDS, ids=ids(INT_FIELDS))
@pytest.mark.parametrize("value", OVERFLOWING, ids=repr)
def test_integer_field_overflow(cls, field, value, make_message):
    m = make_message(cls)
    before = getattr(m, field)
    with pytest.raises(OverflowError):
        setattr(m, field, value)
    assert getattr(m, field) == before


NOT_INTEGERS = ["a", "1", 1.5, 2.0, None, [], b"1", 1j, IntOnly()]


@pytest.mark.parametrize("cls,field", INT_FIELDS, ids=ids(INT_FIELDS))
@pytest.mark.parametrize("value", NOT_INTEGERS, ids=lambda v: type(v).__name__ + ":" + repr(v))
def test_integer_field_type_error(cls, field, value, make_message):
    with pytest.raises(TypeError) as interpreter:
        operator.index(value)
    m = make_message(cls)
    before = getattr(m, field)
    with pytest.raises(TypeError) as exc:
        setattr(m, field, value)
    assert type(exc.value) is TypeError
    assert str(exc.value) == f"argument '{field}': {interpreter.value}"
    assert getattr(m, field) == before


def test_type_error_from_index_keeps_its_cause():
    cause = KeyError("root")

    class BadIndex:
        def __index__(self):
            raise TypeError("nope") from cause

    m = make_note()
    with pytest.raises(TypeError) as exc:
        m.velocity = BadIndex()
    assert str(exc.value) == "argument 'velocity': nope"
    assert exc.value.__cause__ is cause
    assert m.velocity == 90


@pytest.mark.parametrize("error", [ValueError("v"), ZeroDivisionError("z"), OverflowError("o")], ids=repr)
def test_other_errors_from_index_pass_unchanged(error):
    class BadIndex:
        def __index__(self):
            raise error

    m = make_note()
    with pytest.raises(type(error)) as exc:
        m.pitch = BadIndex()
    assert exc.value is error
    assert m.pitch == 60


# --- text fields -----------------------------------------------------------------------------

TEXTS = ["", "note", "ñandú", "🎹" * 3, "a\x00b", "line\nbreak", "x" * 10000]


@pytest.mark.parametrize("cls,field", TEXT_FIELDS, ids=ids(TEXT_FIELDS))
@pytest.mark.parametrize("text", TEXTS, ids=lambda t: repr(t[:12]))
def test_text_field_round_trip(cls, field, text, make_message):
    m = make_message(cls)
    setattr(m, field, text)
    assert getattr(m, field) == text
    setattr(m, field, MyStr(text + "!"))
    got = getattr(m, field)
    assert got == text + "!"
    assert type(got) is str


NOT_TEXTS = [(5, "int"), (None, "NoneType"), (b"note", "bytes"), (["x"], "list"), (1.0, "float")]


@pytest.mark.parametrize("cls,field", TEXT_FIELDS, ids=ids(TEXT_FIELDS))
@pytest.mark.parametrize("value,type_name", NOT_TEXTS, ids=[n for _, n in NOT_TEXTS])
def test_text_field_type_error(cls, field, value, type_name, make_message):
    m = make_message(cls)
    before = getattr(m, field)
    with pytest.raises(TypeError) as exc:
        setattr(m, field, value)
    assert str(exc.value) == f"argument '{field}': '{type_name}' object cannot be converted to 'PyString'"
    assert getattr(m, field) == before


@pytest.mark.parametrize("cls,field", TEXT_FIELDS, ids=ids(TEXT_FIELDS))
def test_text_that_is_not_utf8_encodable_is_rejected(cls, field, make_message):
    m = make_message(cls)
    before = getattr(m, field)
    with pytest.raises(UnicodeEncodeError):
        setattr(m, field, "bad \ud800 surrogate")
    assert getattr(m, field) == before


# --- deletion --------------------------------------------------------------------------------


@pytest.mark.parametrize("cls,field", ALL_FIELDS, ids=ids(ALL_FIELDS))
def test_attributes_cannot_be_deleted(cls, field, make_message):
    m = make_message(cls)
    before = getattr(m, field)
    with pytest.raises(AttributeError) as exc:
        delattr(m, field)
    assert str(exc.value) == "can't delete attribute"
    assert getattr(m, field) == before


# --- NoteMessage subscription ----------------------------------------------------------------


def make_note():
    d = MidiDict()
    d.add_note(60, 11, 22, 90, 4)
    n = d.note_msgs[0]
    n.tick = 17  # distinct from start, so a key mixed up with another shows
    n.msg_type = "custom"
    return n


@pytest.mark.parametrize("key", MESSAGE_FIELDS[NoteMessage])
def test_note_subscription_reads_fields(key):
    n = make_note()
    assert n[key] == getattr(n, key)
    assert n[MyStr(key)] == getattr(n, key)
    setattr(n, key, "other" if key == "msg_type" else -3)
    assert n[key] == getattr(n, key)


def test_note_subscription_values():
    n = make_note()
    assert [n[k] for k in MESSAGE_FIELDS[NoteMessage]] == ["custom", 60, 11, 22, 90, 17, 4]


def test_note_subscription_falls_back_to_attributes_of_a_copy():
    n = make_note()
    assert n["__class__"] is NoteMessage
    bound = n["__sizeof__"]
    assert callable(bound)
    other = bound.__self__
    assert type(other) is NoteMessage
    assert other is not n
    assert message_fields(other) == message_fields(n)
    other.pitch = 1
    assert n.pitch == 60


@pytest.mark.parametrize("key", ["data", "", "Pitch", "pitch ", "é", "notes", "__dict__"])
def test_note_subscription_unknown_key(key):
    n = make_note()
    with pytest.raises(KeyError) as exc:
        n[key]
    assert exc.value.args == (f"Key '{key}' not found",)


def test_note_subscription_unknown_key_with_nul():
    n = make_note()
    with pytest.raises(KeyError) as exc:
        n["a\x00b"]
    assert exc.value.args == ("Key 'a\x00b' not found",)


@pytest.mark.parametrize("key,type_name", [(0, "int"), (None, "NoneType"), (b"pitch", "bytes"), (("pitch",), "tuple")])
def test_note_subscription_key_must_be_text(key, type_name):
    n = make_note()
    with pytest.raises(TypeError) as exc:
        n[key]
    assert str(exc.value).startswith("argument 'key': ")
    assert str(exc.value) == f"argument 'key': '{type_name}' object cannot be converted to 'PyString'"


def test_note_has_no_item_assignment_or_deletion():
    n = make_note()
    with pytest.raises(TypeError):
        n["pitch"] = 1
    with pytest.raises(TypeError):
        del n["pitch"]
    assert n.pitch == 60


@pytest.mark.parametrize("cls", [TempoMessage, InstrumentMessage, PedalMessage, MetaMessage], ids=lambda c: c.__name__)
def test_other_messages_are_not_subscriptable(cls, make_message):
    m = make_message(cls)
    with pytest.raises(TypeError) as exc:
        m["data"]
    assert "not subscriptable" in str(exc.value)
