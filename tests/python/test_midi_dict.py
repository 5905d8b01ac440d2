"""MidiDict: attributes, add_* methods, tick_to_ms, get_msg_dict, hashing and equality."""

import collections
import os
import struct
import subprocess
import sys
import types
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from noteloom import MetaMessage, MidiDict, PedalMessage
from support import INT32_MAX, INT32_MIN, LIST_FIELDS, Index, build_midi_dict, make_meta, make_pedal, message_fields, snapshot

ATTRIBUTES = ["ticks_per_beat", *LIST_FIELDS, "metadata"]


def make_dict_from(notes=(), tempos=(), instruments=(), pedals=()):
    """A MidiDict holding exactly the given records (msg_type included).

    notes: (msg_type, pitch, start, end, velocity, tick, channel); tempos: (msg_type, data, tick);
    instruments and pedals: (msg_type, data, tick, channel).
    """
    d = MidiDict()
    for _, pitch, start, end, velocity, _, channel in notes:
        d.add_note(pitch, start, end, velocity, channel)
    msgs = d.note_msgs
    for m, n in zip(msgs, notes):
        m.msg_type, m.tick = n[0], n[5]
    d.note_msgs = msgs

    for _, data, tick in tempos:
        d.add_tempo(data, tick)
    msgs = d.tempo_msgs
    for m, t in zip(msgs, tempos):
        m.msg_type = t[0]
    d.tempo_msgs = msgs

    for _, data, tick, channel in instruments:
        d.add_instrument(data, tick, channel)
    msgs = d.instrument_msgs
    for m, i in zip(msgs, instruments):
        m.msg_type = i[0]
    d.instrument_msgs = msgs

    d.pedal_msgs = [make_pedal(data, tick, channel, msg_type) for msg_type, data, tick, channel in pedals]
    return d


# --- defaults and attributes -----------------------------------------------------------------


def test_new_midi_dict_defaults():
    d = MidiDict()
    assert d.ticks_per_beat == 480
    for name in LIST_FIELDS:
        value = getattr(d, name)
        assert type(value) is list and value == []
    assert type(d.metadata) is dict and d.metadata == {}


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_reads_give_new_objects(name, populated):
    a, b = getattr(populated, name), getattr(populated, name)
    if name != "ticks_per_beat":
        assert a is not b
    before = snapshot(populated)
    if isinstance(a, list):
        a.clear()
    elif isinstance(a, dict):
        a["extra"] = "x"
        a.pop("title", None)
    assert snapshot(populated) == before


@pytest.mark.parametrize("value", [480, 0, -1, 96, INT32_MAX, INT32_MIN, True, Index(960)])
def test_ticks_per_beat_round_trip(value):
    d = MidiDict()
    d.ticks_per_beat = value
    assert d.ticks_per_beat == int(value.__index__()) and type(d.ticks_per_beat) is int


@pytest.mark.parametrize(
    "value,error,text",
    [
        (2**31, OverflowError, None),
        (INT32_MIN - 1, OverflowError, None),
        (2**70, OverflowError, None),
        ("480", TypeError, "argument 'ticks_per_beat': 'str' object cannot be interpreted as an integer"),
        (480.0, TypeError, "argument 'ticks_per_beat': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'ticks_per_beat': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_ticks_per_beat_rejected(value, error, text, populated):
    before = snapshot(populated)
    with pytest.raises(error) as exc:
        populated.ticks_per_beat = value
    if text is not None:
        assert str(exc.value) == text
    assert snapshot(populated) == before


def test_message_lists_round_trip(populated):
    d = MidiDict()
    for name in ("note_msgs", "tempo_msgs", "instrument_msgs"):
        setattr(d, name, getattr(populated, name))
    d.metadata = populated.metadata
    assert snapshot(d) == snapshot(populated)
    assert d == populated


def test_pedal_and_meta_lists_round_trip():
    p, m = make_pedal(1, 77, 5), make_meta("copyright", "(c) nobody")
    d = MidiDict()
    d.pedal_msgs = [p, p]
    d.meta_msgs = (m,)
    assert [message_fields(x) for x in d.pedal_msgs] == [("pedal", 1, 77, 5)] * 2
    assert [message_fields(x) for x in d.meta_msgs] == [("copyright", "(c) nobody")]


def test_message_list_keeps_order_and_duplicates():
    src = build_midi_dict(notes=[(60, 0, 1, 1, 0), (61, 0, 1, 1, 0), (62, 0, 1, 1, 0)])
    a, b, c = src.note_msgs
    d = MidiDict()
    d.note_msgs = [c, a, c, b]
    assert [n.pitch for n in d.note_msgs] == [62, 60, 62, 61]
    d.note_msgs = []
    assert d.note_msgs == []


class SequenceOf:
    """A sequence without list/tuple ancestry; optionally with a failing __len__."""

    def __init__(self, items, len_error=None, fail_at=None):
        self.items, self.len_error, self.fail_at = items, len_error, fail_at

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise ValueError("cannot read item")
        return self.items[i]


def test_message_list_accepts_any_sequence(populated):
    notes = populated.note_msgs
    for value in (tuple(notes), SequenceOf(notes), SequenceOf(notes, len_error=RuntimeError("no len"))):
        d = MidiDict()
        d.note_msgs = value
        assert [message_fields(n) for n in d.note_msgs] == [message_fields(n) for n in notes]


def test_error_while_iterating_sequence_passes_unchanged(populated):
    before = snapshot(populated)
    with pytest.raises(ValueError, match="cannot read item"):
        populated.note_msgs = SequenceOf(populated.note_msgs, fail_at=1)
    assert snapshot(populated) == before


NOT_SEQUENCES = [
    (5, "int"),
    (None, "NoneType"),
    ({}, "dict"),
    (set(), "set"),
    ((x for x in ()), "generator"),
    (iter([]), "list_iterator"),
    (collections.OrderedDict(), "OrderedDict"),
]


@pytest.mark.parametrize("name", list(LIST_FIELDS))
def test_message_list_refusals_name_the_list(name, populated):
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        setattr(populated, name, 5)
    assert str(exc.value) == f"argument '{name}': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as exc:
        setattr(populated, name, "abc")
    assert str(exc.value) == f"argument '{name}': Can't extract `str` to `Vec`"
    assert snapshot(populated) == before


@pytest.mark.parametrize("value,type_name", NOT_SEQUENCES, ids=[n for _, n in NOT_SEQUENCES])
def test_message_list_rejects_non_sequences(value, type_name, populated):
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        populated.note_msgs = value
    assert str(exc.value) == f"argument 'note_msgs': '{type_name}' object cannot be converted to 'Sequence'"
    assert snapshot(populated) == before


@pytest.mark.parametrize("value", ["", type("S", (str,), {})("x")], ids=["empty", "subclass"])
def test_message_list_rejects_str(value, populated):
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        populated.note_msgs = value
    assert str(exc.value) == "argument 'note_msgs': Can't extract `str` to `Vec`"
    assert snapshot(populated) == before


def _wrong_items(populated):
    note, tempo, instrument = populated.note_msgs[0], populated.tempo_msgs[0], populated.instrument_msgs[0]
    return [
        ("note_msgs", [note, tempo], "TempoMessage", "NoteMessage"),
        ("tempo_msgs", [note], "NoteMessage", "TempoMessage"),
        ("instrument_msgs", [tempo], "TempoMessage", "InstrumentMessage"),
        ("pedal_msgs", [instrument], "InstrumentMessage", "PedalMessage"),
        ("meta_msgs", [note], "NoteMessage", "MetaMessage"),
        ("note_msgs", [note, 5], "int", "NoteMessage"),
        ("tempo_msgs", b"\x01", "int", "TempoMessage"),
        ("instrument_msgs", [None], "NoneType", "InstrumentMessage"),
        ("note_msgs", [populated], "MidiDict", "NoteMessage"),
    ]


@pytest.mark.parametrize("case", range(9))
def test_message_list_rejects_wrong_items(case, populated):
    name, value, got, want = _wrong_items(populated)[case]
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        setattr(populated, name, value)
    assert str(exc.value) == f"argument '{name}': '{got}' object cannot be converted to '{want}'"
    assert snapshot(populated) == before


def test_metadata_round_trip_and_clear(populated):
    d = MidiDict()
    d.metadata = {"a": "1", "": "", "ключ": "значение", "nul\x00key": "v\x00"}
    assert d.metadata == {"a": "1", "": "", "ключ": "значение", "nul\x00key": "v\x00"}
    populated.metadata = {}
    assert populated.metadata == {}


class DictSubclass(dict):
    pass


@pytest.mark.parametrize(
    "value",
    [
        DictSubclass(a="1", b="2"),
        collections.OrderedDict([("b", "2"), ("a", "1")]),
        collections.defaultdict(str, {"a": "1", "b": "2"}),
        {type("K", (str,), {})("a"): type("V", (str,), {})("1"), "b": "2"},
    ],
    ids=["subclass", "OrderedDict", "defaultdict", "str-subclass-items"],
)
def test_metadata_accepts_dict_subclasses(value):
    d = MidiDict()
    d.metadata = value
    got = d.metadata
    assert type(got) is dict and got == {"a": "1", "b": "2"}
    assert all(type(k) is str and type(v) is str for k, v in got.items())


@pytest.mark.parametrize(
    "value,type_name",
    [
        ([("a", "b")], "list"),
        (None, "NoneType"),
        ("a", "str"),
        (types.MappingProxyType({"a": "b"}), "mappingproxy"),
        (collections.UserDict({"a": "b"}), "UserDict"),
    ],
    ids=["list", "None", "str", "mappingproxy", "UserDict"],
)
def test_metadata_rejects_non_dicts(value, type_name, populated):
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        populated.metadata = value
    assert str(exc.value) == f"argument 'metadata': '{type_name}' object cannot be converted to 'PyDict'"
    assert snapshot(populated) == before


@pytest.mark.parametrize(
    "value,type_name",
    [
        ({1: "a"}, "int"),
        ({"a": 1}, "int"),
        ({"a": "1", "b": None}, "NoneType"),
        ({b"a": "1"}, "bytes"),
        ({"a": "1", ("t",): "2"}, "tuple"),
    ],
)
def test_metadata_rejects_non_text_entries(value, type_name, populated):
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        populated.metadata = value
    assert str(exc.value) == f"argument 'metadata': '{type_name}' object cannot be converted to 'PyString'"
    assert snapshot(populated) == before


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_attributes_cannot_be_deleted(name, populated):
    before = snapshot(populated)
    with pytest.raises(AttributeError) as exc:
        delattr(populated, name)
    assert str(exc.value) == "can't delete attribute"
    assert snapshot(populated) == before


# --- add_* -----------------------------------------------------------------------------------


def test_add_methods_append_records():
    d = MidiDict()
    assert d.add_note(60, 10, 20, 90, 0) is None
    assert d.add_note(pitch=62, start=30, end=40, velocity=91, channel=2) is None
    assert d.add_note(64, 50, channel=3, velocity=92, end=60) is None
    assert d.add_tempo(500000, 0) is None
    assert d.add_tempo(tick=480, tempo=400000) is None
    assert d.add_instrument(0, 0, 0) is None
    assert d.add_instrument(channel=9, tick=5, program=118) is None
    assert [message_fields(n) for n in d.note_msgs] == [
        ("note", 60, 10, 20, 90, 10, 0),
        ("note", 62, 30, 40, 91, 30, 2),
        ("note", 64, 50, 60, 92, 50, 3),
    ]
    assert [message_fields(t) for t in d.tempo_msgs] == [("tempo", 500000, 0), ("tempo", 400000, 480)]
    assert [message_fields(i) for i in d.instrument_msgs] == [("instrument", 0, 0, 0), ("instrument", 118, 5, 9)]


def test_add_methods_accept_integer_like_arguments():
    d = MidiDict()
    d.add_note(Index(60), True, Index(INT32_MAX), False, Index(INT32_MIN))
    assert message_fields(d.note_msgs[0]) == ("note", 60, 1, INT32_MAX, 0, 1, INT32_MIN)


BAD_CALLS = [
    ("add_note", (1, 2, 3, 4), {}, ["missing", "required positional argument", "'channel'"]),
    ("add_note", ("x", 2, 3, 4), {}, ["missing", "required positional argument", "'channel'"]),
    ("add_note", (), {}, ["missing", "required positional argument", "'pitch'", "'start'", "'end'", "'velocity'", "'channel'"]),
    ("add_note", (1, 2, 3, 4, 5, 6), {}, [" takes ", " positional arguments but ", " were given"]),
    ("add_note", (1, 2, 3, 4, 5), {"x": 1}, [" got an unexpected keyword argument 'x'"]),
    ("add_note", (1, 2, 3, 4), {"pitch": 1}, [" got multiple values for argument 'pitch'"]),
    ("add_note", (1, 2, 3, 4), {"Channel": 1}, [" got an unexpected keyword argument 'Channel'"]),
    ("add_tempo", (1,), {}, ["missing", "required positional argument", "'tick'"]),
    ("add_tempo", (1, 2, 3), {}, [" takes ", " positional arguments but ", " were given"]),
    ("add_tempo", (1,), {"tempo": 2}, [" got multiple values for argument 'tempo'"]),
    ("add_instrument", (), {"program": 1, "tick": 2}, ["missing", "required positional argument", "'channel'"]),
    ("add_instrument", (1, 2, 3, 4), {}, [" takes ", " positional arguments but ", " were given"]),
    ("add_instrument", (1, 2, 3), {"data": 4}, [" got an unexpected keyword argument 'data'"]),
    ("tick_to_ms", (), {}, ["missing", "required positional argument", "'tick'"]),
    ("tick_to_ms", (1, 2), {}, [" takes ", " positional arguments but ", " were given"]),
    ("tick_to_ms", (), {"ticks": 1}, [" got an unexpected keyword argument 'ticks'"]),
    ("tick_to_ms", (1,), {"tick": 1}, [" got multiple values for argument 'tick'"]),
]


@pytest.mark.parametrize("method,args,kwargs,fragments", BAD_CALLS)
def test_argument_matching_errors(method, args, kwargs, fragments, populated):
    before = snapshot(populated)
    with pytest.raises(TypeError) as exc:
        getattr(populated, method)(*args, **kwargs)
    msg = str(exc.value)
    assert method in msg
    for fragment in fragments:
        assert fragment in msg
    assert snapshot(populated) == before


@pytest.mark.parametrize("method", ["calculate_hash", "get_msg_dict", "resolve_pedal", "remove_redundant_pedals"])
def test_methods_without_parameters_reject_arguments(method, populated):
    with pytest.raises(TypeError):
        getattr(populated, method)(1)


ADD_METHODS = {
    "add_note": ("pitch", "start", "end", "velocity", "channel"),
    "add_tempo": ("tempo", "tick"),
    "add_instrument": ("program", "tick", "channel"),
}
ATTR_OF_METHOD = {"add_note": "note_msgs", "add_tempo": "tempo_msgs", "add_instrument": "instrument_msgs"}
CONVERSION_CASES = [(m, i) for m, params in ADD_METHODS.items() for i in range(len(params))]


@pytest.mark.parametrize("method,position", CONVERSION_CASES)
def test_failing_conversion_appends_nothing(method, position, populated):
    params = ADD_METHODS[method]
    args = [1] * len(params)
    before = snapshot(populated)
    for bad, error in (("x", TypeError), (1.5, TypeError), (2**31, OverflowError)):
        args[position] = bad
        with pytest.raises(error) as exc:
            getattr(populated, method)(*args)
        assert type(exc.value) is error
        if error is TypeError:
            assert str(exc.value).startswith(f"argument '{params[position]}': ")
        assert snapshot(populated) == before
    getattr(populated, method)(*[1] * len(params))  # the object is still usable
    assert len(getattr(populated, ATTR_OF_METHOD[method])) == len(before[ATTR_OF_METHOD[method]]) + 1


def test_first_failing_argument_in_parameter_order_is_reported():
    d = MidiDict()
    with pytest.raises(TypeError) as exc:
        d.add_note("p", "s", 3, 4, 5)
    assert str(exc.value).startswith("argument 'pitch': ")
    with pytest.raises(TypeError) as exc:
        d.add_note(channel="c", velocity=4, end=3, start="s", pitch=1)
    assert str(exc.value).startswith("argument 'start': ")
    assert d.note_msgs == []


def test_arguments_are_converted_in_parameter_order():
    calls = []

    class Logged:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __index__(self):
            calls.append(self.name)
            return self.value

    d = MidiDict()
    d.add_note(**{name: Logged(name, i) for i, name in reversed(list(enumerate(ADD_METHODS["add_note"])))})
    assert calls == list(ADD_METHODS["add_note"])
    assert message_fields(d.note_msgs[0]) == ("note", 0, 1, 2, 3, 1, 4)


# --- tick_to_ms ------------------------------------------------------------------------------

# (tempos as (tempo, tick), ticks_per_beat, tick, expected milliseconds). Worked out by hand:
TICK_TO_MS_CASES = [
    # No tempo change: 0.5 s per beat.
    ([], 480, 960, 1000),
    ([], 480, 480, 500),
    ([], 480, 1, 1),  # 1.0417 ms
    ([], 480, 0, 0),
    ([], 480, -10, 0),
    ([], 480, INT32_MIN, 0),
    ([], 480, INT32_MAX, INT32_MAX),  # 2236962132.3 ms, clamped
    ([], -480, 960, -1000),  # a negative resolution gives negative time
    # Half-way results round away from zero: tick * 0.5 / 1000 s is exactly k + 0.5 ms.
    ([], 1000, 1, 1),
    ([], 1000, 3, 2),
    ([], 1000, 5, 3),
    ([], -1000, 1, -1),
    ([], -1000, 5, -3),
    # 1 s per beat for the first beat, then 0.5 s per beat.
    ([(1000000, 0), (500000, 480)], 480, 240, 500),
    ([(1000000, 0), (500000, 480)], 480, 480, 1000),
    ([(1000000, 0), (500000, 480)], 480, 720, 1250),
    ([(1000000, 0), (500000, 480)], 480, 960, 1500),
    ([(1000000, 0), (500000, 480)], 480, -5, 0),
    # A single record governs from tick 0 even though its own tick is 100: 50/480 s = 104.17 ms.
    ([(1000000, 100)], 480, 50, 104),
    ([(1000000, 100)], 480, 480, 1000),
    # Both records before tick 0: the walk starts at the later one (-100), measured from tick 0.
    ([(500000, -200), (500000, -100)], 480, 480, 500),
    ([(1000000, -200), (250000, -100)], 480, 480, 250),
    ([(1000000, -200), (250000, -100), (500000, 480)], 480, 960, 750),
    # Records out of order: (500000 @ 480) spans 0..0 and adds nothing; 1 s per beat after that.
    ([(500000, 480), (1000000, 0)], 480, 960, 2000),
    # A negative tempo gives negative time.
    ([(-500000, 0)], 480, 960, -1000),
    # Saturation at both ends: 2147.48 s per tick at one tick per beat.
    ([(INT32_MAX, 0)], 1, INT32_MAX, INT32_MAX),
    ([(INT32_MIN, 0)], 1, INT32_MAX, INT32_MIN),
    # Zero ticks per beat: 0.5 / 0 is +inf, so any positive tick saturates; tick 0 stays 0.
    ([], 0, 5, INT32_MAX),
    ([], 0, 0, 0),
    ([], 0, -5, 0),
    ([(500000, 0)], 0, 10, INT32_MAX),
    ([(500000, 0)], 0, 0, 0),
    ([(-500000, 0)], 0, 10, INT32_MIN),
    # 0 * 1e-6 / 0 is NaN, and NaN milliseconds become 0.
    ([(0, 0)], 0, 10, 0),
    # +inf from the first segment plus -inf from the second is NaN: 0.
    ([(500000, 0), (-500000, 5)], 0, 10, 0),
    # The segment from tick -2**31 to 5 is 2**31 + 5 ticks long and must not wrap around:
    # 2147483653 * (480e-6 / 480) s + 5 * (0.48 / 480) s = 2147.488653 s.
    ([(500000, 0), (480, INT32_MIN), (480000, 5)], 480, 10, 2147489),
]


@pytest.mark.parametrize("tempos,tpb,tick,expected", TICK_TO_MS_CASES)
def test_tick_to_ms_worked_examples(tempos, tpb, tick, expected):
    d = build_midi_dict(tempos=tempos, ticks_per_beat=tpb)
    result = d.tick_to_ms(tick)
    assert type(result) is int
    assert result == expected
    assert d.tick_to_ms(tick=tick) == expected
    assert d.tick_to_ms(Index(tick)) == expected


def test_tick_to_ms_does_not_sort_or_change_the_tempos():
    d = build_midi_dict(tempos=[(500000, 480), (1000000, 0)])
    before = snapshot(d)
    d.tick_to_ms(960)
    assert snapshot(d) == before


def test_tick_to_ms_ignores_everything_but_tempos_and_resolution(populated):
    reference = build_midi_dict(tempos=[(500000, 0), (400000, 960)])
    for tick in (0, 100, 960, 5000, -3):
        assert populated.tick_to_ms(tick) == reference.tick_to_ms(tick)


@pytest.mark.parametrize(
    "value,error,text",
    [
        ("1", TypeError, "argument 'tick': 'str' object cannot be interpreted as an integer"),
        (1.0, TypeError, "argument 'tick': 'float' object cannot be interpreted as an integer"),
        (2**31, OverflowError, None),
        (INT32_MIN - 1, OverflowError, None),
    ],
)
def test_tick_to_ms_argument_conversion(value, error, text):
    with pytest.raises(error) as exc:
        MidiDict().tick_to_ms(value)
    if text:
        assert str(exc.value) == text


def exact_ms(tempos, tpb, tick):
    """Milliseconds from tick 0 to `tick`, exactly, for tempo changes sorted by tick with the first
    at tick 0 (none means 0.5 s per beat throughout)."""
    tempos = list(tempos) or [(500000, 0)]
    bounds = [at for _, at in tempos[1:]] + [tick]
    return sum(Fraction(usec * max(0, min(tick, end) - at), tpb * 1000) for (usec, at), end in zip(tempos, bounds))


TEMPO_MAPS = [
    ([], 480),
    ([(500000, 0)], 96),
    ([(1000000, 0), (500000, 480), (350877, 1000), (2_000_000, 7777)], 480),
    ([(600000, 0), (600000, 10), (123457, 11)], 1000),
    ([(500000, 0), (1, 100_000), (16_777_215, 100_001)], 384),
]


@pytest.mark.parametrize("tempos,tpb", TEMPO_MAPS)
def test_tick_to_ms_is_the_exact_time_rounded(tempos, tpb):
    d = build_midi_dict(tempos=tempos, ticks_per_beat=tpb)
    for tick in [*range(0, 3000, 7), 7777, 100_000, 100_001, 100_002, 10**6 + 1, 10**8 + 3]:
        exact = min(exact_ms(tempos, tpb, tick), INT32_MAX)  # results saturate at the int32 limit
        # Doubles may land a result that is within a millionth of a half on either side.
        assert abs(d.tick_to_ms(tick) - exact) <= Fraction(1, 2) + Fraction(1, 10**6), (tick, float(exact))


@given(tempos=st.lists(st.tuples(st.integers(1, 2_000_000), st.integers(0, 100_000)), min_size=1, max_size=6))
def test_tick_to_ms_is_monotonic_for_sorted_positive_tempos(tempos):
    tempos = sorted(tempos, key=lambda t: t[1])
    d = build_midi_dict(tempos=tempos)
    results = [d.tick_to_ms(t) for t in range(0, 120_000, 997)]
    assert results == sorted(results)


# --- get_msg_dict ----------------------------------------------------------------------------

MSG_DICT_KEYS = ["note_msgs", "tempo_msgs", "instrument_msgs", "pedal_msgs", "meta_msgs", "ticks_per_beat", "metadata"]


def test_get_msg_dict_keys_and_values(populated):
    populated.ticks_per_beat = 96
    out = populated.get_msg_dict()
    assert type(out) is dict
    assert list(out) == MSG_DICT_KEYS
    for name in LIST_FIELDS:
        assert type(out[name]) is list
        assert [message_fields(m) for m in out[name]] == [message_fields(m) for m in getattr(populated, name)]
    assert out["ticks_per_beat"] == 96
    assert out["metadata"] == {"title": "Etude", "composer": "anon"}


def test_get_msg_dict_of_new_midi_dict():
    assert MidiDict().get_msg_dict() == {
        "note_msgs": [],
        "tempo_msgs": [],
        "instrument_msgs": [],
        "pedal_msgs": [],
        "meta_msgs": [],
        "ticks_per_beat": 480,
        "metadata": {},
    }


def test_get_msg_dict_returns_copies(populated):
    before = snapshot(populated)
    first = populated.get_msg_dict()
    second = populated.get_msg_dict()
    assert first["note_msgs"] is not second["note_msgs"]
    assert first["note_msgs"][0] is not second["note_msgs"][0]
    first["note_msgs"][0].pitch = 1
    first["tempo_msgs"].clear()
    first["metadata"]["title"] = "changed"
    first["ticks_per_beat"] = 1
    assert snapshot(populated) == before
    assert second["note_msgs"][0].pitch == 60


def test_get_msg_dict_with_pedal_and_meta(loaded_midi_dict):
    out = loaded_midi_dict.get_msg_dict()
    assert list(out) == MSG_DICT_KEYS
    assert all(type(m) is PedalMessage for m in out["pedal_msgs"])
    assert all(type(m) is MetaMessage and not hasattr(m, "tick") for m in out["meta_msgs"])


# --- calculate_hash --------------------------------------------------------------------------


def hash_stream(notes=(), tempos=(), pedals=(), instruments=()):
    """The bytes the content hash covers (records as for make_dict_from)."""
    out = bytearray()

    def block(records, fmt):
        out.extend(struct.pack("<Q", len(records)))
        for msg_type, *values in records:
            out.extend(msg_type.encode("utf-8") + b"\xff" + struct.pack(fmt, *values))

    block(notes, "<6i")
    block(tempos, "<2i")
    block(pedals, "<3i")
    block(instruments, "<3i")
    return bytes(out)


def signed_hash(value):
    s = value - 2**64 if value >= 2**63 else value
    return -2 if s == -1 else s


def test_hash_of_empty_midi_dict(siphash13):
    h = MidiDict().calculate_hash()
    assert hash_stream() == bytes(32)
    assert h in siphash13(bytes(32))
    assert hash(MidiDict()) == signed_hash(h)


@pytest.mark.parametrize("length", range(0, 18))
def test_hash_for_every_tail_length(length, siphash13):
    # msg_type lengths 0..17 move the end of the stream through every position in a 64-bit word.
    msg_type = "abcdefghijklmnopqr"[:length]
    notes = [(msg_type, 60, 0, 480, 90, 7, 1)]
    d = make_dict_from(notes=notes)
    assert d.calculate_hash() in siphash13(hash_stream(notes=notes))


def test_hash_of_a_populated_dict(populated, siphash13):
    stream = hash_stream(
        notes=[("note", 60, 0, 480, 90, 0, 0), ("note", 64, 480, 960, 80, 480, 1)],
        tempos=[("tempo", 500000, 0), ("tempo", 400000, 960)],
        instruments=[("instrument", 0, 0, 0), ("instrument", 40, 0, 1)],
    )
    assert populated.calculate_hash() in siphash13(stream)


def test_hash_covers_pedals_before_instruments(siphash13):
    pedals = [("pedal", 1, 10, 0), ("pedal", 0, 20, 0), ("sustain", 1, -5, 15)]
    instruments = [("instrument", 3, 0, 0)]
    d = make_dict_from(pedals=pedals, instruments=instruments)
    assert d.calculate_hash() in siphash13(hash_stream(pedals=pedals, instruments=instruments))


msg_types = st.text(max_size=10)
field = st.one_of(st.integers(-200, 200), st.integers(INT32_MIN, INT32_MAX))
notes_st = st.lists(st.tuples(msg_types, field, field, field, field, field, field), max_size=5)
tempos_st = st.lists(st.tuples(msg_types, field, field), max_size=4)
instruments_st = st.lists(st.tuples(msg_types, field, field, field), max_size=4)


@given(notes=notes_st, tempos=tempos_st, instruments=instruments_st)
def test_hash_matches_siphash13_of_the_content(notes, tempos, instruments, siphash13):
    d = make_dict_from(notes=notes, tempos=tempos, instruments=instruments)
    h = d.calculate_hash()
    assert 0 <= h < 2**64
    assert h in siphash13(hash_stream(notes=notes, tempos=tempos, instruments=instruments))
    assert hash(d) == signed_hash(h)


def test_hash_is_the_same_in_another_process(populated):
    code = (
        "from noteloom import MidiDict\n"
        "d = MidiDict()\n"
        "d.add_note(60, 0, 480, 90, 0); d.add_note(64, 480, 960, 80, 1)\n"
        "d.add_tempo(500000, 0); d.add_tempo(400000, 960)\n"
        "d.add_instrument(0, 0, 0); d.add_instrument(40, 0, 1)\n"
        "print(d.calculate_hash())\n"
    )
    for seed in ("1", "12345"):
        out = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=60,
            env=dict(os.environ, PYTHONHASHSEED=seed),
        )
        assert out.returncode == 0, out.stderr
        assert int(out.stdout) == populated.calculate_hash()


def test_metadata_and_resolution_do_not_change_the_hash(populated):
    h = populated.calculate_hash()
    populated.metadata = {"other": "value", "more": "keys"}
    populated.ticks_per_beat = 1
    assert populated.calculate_hash() == h
    assert hash(populated) == signed_hash(h)


def test_meta_messages_do_not_change_the_hash(populated, loaded_midi_dict):
    h = populated.calculate_hash()
    populated.meta_msgs = loaded_midi_dict.meta_msgs * 3
    assert populated.calculate_hash() == h


@pytest.mark.parametrize(
    "change",
    [
        lambda d: d.add_note(0, 0, 0, 0, 0),
        lambda d: d.add_tempo(500000, 0),
        lambda d: d.add_instrument(0, 0, 0),
        lambda d: setattr(d, "note_msgs", d.note_msgs[::-1]),
        lambda d: setattr(d, "note_msgs", d.note_msgs[:1]),
    ],
    ids=["add-note", "add-tempo", "add-instrument", "reorder-notes", "drop-note"],
)
def test_content_changes_change_the_hash(change, populated):
    h = populated.calculate_hash()
    change(populated)
    assert populated.calculate_hash() != h


def test_hash_tells_equal_records_in_different_lists_apart():
    # The same numbers as a tempo change or as a program change hash differently because the
    # counts of each list are part of the stream.
    a = make_dict_from(tempos=[("x", 1, 2)])
    b = make_dict_from(instruments=[("x", 1, 2, 0)])
    assert a.calculate_hash() != b.calculate_hash()


# --- equality --------------------------------------------------------------------------------


def _change_note_field(name, value):
    def change(d):
        notes = d.note_msgs
        setattr(notes[1], name, value)
        d.note_msgs = notes

    return change


def _change_list_field(attr, name, value):
    def change(d):
        msgs = getattr(d, attr)
        setattr(msgs[0], name, value)
        setattr(d, attr, msgs)

    return change


EQUALITY_BREAKERS = {
    **{f"note-{f}": _change_note_field(f, v) for f, v in
       [("msg_type", "Note"), ("pitch", 61), ("start", 1), ("end", 1), ("velocity", 1), ("tick", 1), ("channel", 2)]},
    **{f"tempo-{f}": _change_list_field("tempo_msgs", f, v) for f, v in [("msg_type", "t"), ("data", 1), ("tick", 5)]},
    **{f"instrument-{f}": _change_list_field("instrument_msgs", f, v)
       for f, v in [("msg_type", "i"), ("data", 1), ("tick", 5), ("channel", 5)]},
    "ticks-per-beat": lambda d: setattr(d, "ticks_per_beat", 481),
    "note-order": lambda d: setattr(d, "note_msgs", d.note_msgs[::-1]),
    "tempo-order": lambda d: setattr(d, "tempo_msgs", d.tempo_msgs[::-1]),
    "extra-note": lambda d: d.add_note(60, 0, 480, 90, 0),
    "fewer-instruments": lambda d: setattr(d, "instrument_msgs", d.instrument_msgs[:1]),
    "metadata-value": lambda d: setattr(d, "metadata", {"title": "Etude", "composer": "other"}),
    "metadata-extra-key": lambda d: setattr(d, "metadata", {"title": "Etude", "composer": "anon", "x": ""}),
    "metadata-missing-key": lambda d: setattr(d, "metadata", {"title": "Etude"}),
    "metadata-key-renamed": lambda d: setattr(d, "metadata", {"title": "Etude", "Composer": "anon"}),
}


def _populated_copy():
    return build_midi_dict(
        notes=[(60, 0, 480, 90, 0), (64, 480, 960, 80, 1)],
        tempos=[(500000, 0), (400000, 960)],
        instruments=[(0, 0, 0), (40, 0, 1)],
        metadata={"title": "Etude", "composer": "anon"},
    )


def test_equal_content_is_equal(populated):
    other = _populated_copy()
    assert populated == other and other == populated
    assert not (populated != other)
    assert hash(populated) == hash(other)
    assert populated == populated


@pytest.mark.parametrize("name", list(EQUALITY_BREAKERS))
def test_any_difference_makes_unequal(name, populated):
    other = _populated_copy()
    EQUALITY_BREAKERS[name](other)
    assert populated != other and other != populated
    assert not (populated == other) and not (other == populated)


def test_metadata_order_does_not_matter():
    keys = [f"k{i}" for i in range(20)]
    a, b = MidiDict(), MidiDict()
    a.metadata = {k: k.upper() for k in keys}
    b.metadata = {k: k.upper() for k in reversed(keys)}
    assert a == b


def test_meta_messages_compare_by_type_and_text():
    def with_meta(msg_type, data):
        d = MidiDict()
        d.meta_msgs = [make_meta(msg_type, data)]
        return d

    assert with_meta("text", "a") == with_meta("text", "a")
    assert with_meta("text", "a") != with_meta("text", "b")
    assert with_meta("text", "a") != with_meta("copyright", "a")
    assert with_meta("text", "a") != MidiDict()


def test_pedal_messages_take_part_in_equality():
    a = make_dict_from(pedals=[("pedal", 1, 10, 0)])
    assert a == make_dict_from(pedals=[("pedal", 1, 10, 0)])
    for other in [("pedal", 0, 10, 0), ("pedal", 1, 11, 0), ("pedal", 1, 10, 1), ("Pedal", 1, 10, 0)]:
        assert a != make_dict_from(pedals=[other])


@pytest.mark.parametrize("other", [5, None, "MidiDict", [], {}, object()], ids=repr)
def test_comparison_with_other_types(other, populated):
    assert (populated == other) is False
    assert (other == populated) is False
    assert (populated != other) is True
    assert (other != populated) is True
    assert populated.__eq__(other) is NotImplemented


def test_comparison_with_a_message_object(populated):
    note = populated.note_msgs[0]
    assert (populated == note) is False
    assert (populated != note) is True


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_is_not_supported(op):
    a, b = MidiDict(), MidiDict()
    assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        {"__lt__": lambda: a < b, "__le__": lambda: a <= b, "__gt__": lambda: a > b, "__ge__": lambda: a >= b}[op]()


def test_not_equal_uses_the_other_sides_equality():
    class AlwaysEqual:
        def __eq__(self, other):
            return "yes"  # truthy, not a bool

    class Raising:
        def __eq__(self, other):
            raise ZeroDivisionError("eq failed")

    class BadTruth:
        def __bool__(self):
            raise ValueError("no truth")

    class ReturnsBadTruth:
        def __eq__(self, other):
            return BadTruth()

    d = MidiDict()
    assert d.__ne__(AlwaysEqual()) is False
    assert d.__ne__(5) is True
    with pytest.raises(ZeroDivisionError):
        d.__ne__(Raising())
    with pytest.raises(ValueError, match="no truth"):
        d.__ne__(ReturnsBadTruth())


def test_hash_is_usable_in_sets_and_dicts(populated):
    other = _populated_copy()
    assert len({populated, other, MidiDict()}) == 2
    assert {populated: 1}[other] == 1


# --- resolve_pedal / remove_redundant_pedals --------------------------------------------------


@pytest.mark.parametrize("method", ["resolve_pedal", "remove_redundant_pedals"])
def test_pedal_methods_return_an_equal_new_object(method, populated):
    populated.ticks_per_beat = 96
    before = snapshot(populated)
    result = getattr(populated, method)()
    assert type(result) is MidiDict
    assert result is not populated
    assert result == populated
    assert snapshot(result) == before
    assert snapshot(populated) == before
    result.add_note(1, 2, 3, 4, 5)
    result.metadata = {}
    assert snapshot(populated) == before


@pytest.mark.parametrize("method", ["resolve_pedal", "remove_redundant_pedals"])
def test_pedal_methods_keep_pedal_and_meta_messages(method, loaded_midi_dict):
    before = snapshot(loaded_midi_dict)
    result = getattr(loaded_midi_dict, method)()
    assert result == loaded_midi_dict
    assert snapshot(result) == before
    assert snapshot(loaded_midi_dict) == before
