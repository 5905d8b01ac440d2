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
from support import INT32_MAX, INT32_MIN, LIST_FIELDS, MESSAGE_FIELDS, Index, message_fields

ALL_CLASSES = list(MESSAGE_FIELDS)
TEXT_FIELDS = [(cls, "msg_type") for cls in ALL_CLASSES] + [(MetaMessage, "data")]
INT_FIELDS = [(cls, f) for cls, fields in MESSAGE_FIELDS.items() for f in fields if (cls, f) not in TEXT_FIELDS]
ALL_FIELDS = [(cls, f) for cls, fields in MESSAGE_FIELDS.items() for f in fields]
ATTR_OF_CLASS = {cls: attr for attr, cls in LIST_FIELDS.items()}


def ids(cases):
    return [f"{cls.__name__}.{field}" for cls, field in cases]


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
#
# Every integer field goes through one conversion. Its wiring is checked once per field (a value
# stored, an overflow and a wrong type refused under the field's own name); the value edge cases
# once, on one field.


@pytest.mark.parametrize("cls,field", INT_FIELDS, ids=ids(INT_FIELDS))
def test_integer_field_wiring(cls, field, make_message):
    m = make_message(cls)
    setattr(m, field, INT32_MIN)
    assert getattr(m, field) == INT32_MIN
    with pytest.raises(OverflowError):
        setattr(m, field, 2**31)
    with pytest.raises(TypeError) as exc:
        setattr(m, field, "a")
    assert str(exc.value) == f"argument '{field}': 'str' object cannot be interpreted as an integer"
    assert getattr(m, field) == INT32_MIN


ACCEPTED_INTS = {
    "zero": (0, 0),
    "negative": (-5, -5),
    "int32-max": (INT32_MAX, INT32_MAX),
    "int32-min": (INT32_MIN, INT32_MIN),
    "True": (True, 1),
    "False": (False, 0),
    "Index": (Index(12345), 12345),
    "Index-int32-min": (Index(INT32_MIN), INT32_MIN),
    "int-subclass": (MyInt(77), 77),
}


@pytest.mark.parametrize("value,stored", ACCEPTED_INTS.values(), ids=ACCEPTED_INTS)
def test_integer_field_accepts(value, stored):
    m = make_note()
    m.velocity = value
    assert m.velocity == stored
    assert type(m.velocity) is int


OVERFLOWING = {
    "int32-max+1": 2**31,
    "int32-min-1": INT32_MIN - 1,
    "2**63": 2**63,
    "-2**63-1": -(2**63) - 1,
    "2**64": 2**64,
    "10**30": 10**30,
    "Index-int32-max+1": Index(2**31),
    "Index-int32-min-1": Index(INT32_MIN - 1),
}


@pytest.mark.parametrize("value", OVERFLOWING.values(), ids=OVERFLOWING)
def test_integer_field_overflow(value):
    m = make_note()
    with pytest.raises(OverflowError):
        m.velocity = value
    assert m.velocity == 90


NOT_INTEGERS = ["a", "1", 1.5, 2.0, None, [], b"1", 1j, IntOnly()]


@pytest.mark.parametrize("value", NOT_INTEGERS, ids=lambda v: type(v).__name__ + ":" + repr(v))
def test_integer_field_type_error(value):
    with pytest.raises(TypeError) as interpreter:
        operator.index(value)
    m = make_note()
    with pytest.raises(TypeError) as exc:
        m.velocity = value
    assert type(exc.value) is TypeError
    assert str(exc.value) == f"argument 'velocity': {interpreter.value}"
    assert m.velocity == 90


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
#
# As for integers: the wiring once per text field, the values once on one field.


@pytest.mark.parametrize("cls,field", TEXT_FIELDS, ids=ids(TEXT_FIELDS))
def test_text_field_wiring(cls, field, make_message):
    m = make_message(cls)
    setattr(m, field, MyStr("ñandú"))
    assert getattr(m, field) == "ñandú" and type(getattr(m, field)) is str
    with pytest.raises(TypeError) as exc:
        setattr(m, field, 5)
    assert str(exc.value) == f"argument '{field}': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        setattr(m, field, "bad \ud800 surrogate")
    assert getattr(m, field) == "ñandú"


TEXTS = ["", "note", "ñandú", "🎹" * 3, "a\x00b", "line\nbreak", "x" * 10000]


@pytest.mark.parametrize("text", TEXTS, ids=lambda t: repr(t[:12]))
def test_text_field_round_trip(text):
    m = make_note()
    m.msg_type = text
    assert m.msg_type == text
    m.msg_type = MyStr(text + "!")
    assert m.msg_type == text + "!"
    assert type(m.msg_type) is str


NOT_TEXTS = [(5, "int"), (None, "NoneType"), (b"note", "bytes"), (["x"], "list"), (1.0, "float")]


@pytest.mark.parametrize("value,type_name", NOT_TEXTS, ids=[n for _, n in NOT_TEXTS])
def test_text_field_type_error(value, type_name):
    m = make_note()
    with pytest.raises(TypeError) as exc:
        m.msg_type = value
    assert str(exc.value) == f"argument 'msg_type': '{type_name}' object cannot be converted to 'PyString'"
    assert m.msg_type == "custom"


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
