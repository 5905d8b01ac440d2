"""Helpers shared by the noteloom Python tests."""

import math
from pathlib import Path

from noteloom import (
    InstrumentMessage,
    MetaMessage,
    MidiDict,
    NoteMessage,
    PedalMessage,
    TempoMessage,
)

# Real MIDI files shared beside the repository; tests that need them skip when it is absent.
CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus"

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

# Field names of each message class, in declaration order.
MESSAGE_FIELDS = {
    NoteMessage: ("msg_type", "pitch", "start", "end", "velocity", "tick", "channel"),
    TempoMessage: ("msg_type", "data", "tick"),
    InstrumentMessage: ("msg_type", "data", "tick", "channel"),
    PedalMessage: ("msg_type", "data", "tick", "channel"),
    MetaMessage: ("msg_type", "data"),
}

# MidiDict list attributes and the message class each one holds.
LIST_FIELDS = {
    "note_msgs": NoteMessage,
    "tempo_msgs": TempoMessage,
    "instrument_msgs": InstrumentMessage,
    "pedal_msgs": PedalMessage,
    "meta_msgs": MetaMessage,
}


def message_fields(msg):
    """The fields of a message object as a plain tuple."""
    return tuple(getattr(msg, name) for name in MESSAGE_FIELDS[type(msg)])


def snapshot(d):
    """Everything a MidiDict holds, as plain Python values (for 'unchanged' checks)."""
    out = {name: [message_fields(m) for m in getattr(d, name)] for name in LIST_FIELDS}
    out["metadata"] = d.metadata
    out["ticks_per_beat"] = d.ticks_per_beat
    return out


def build_midi_dict(notes=(), tempos=(), instruments=(), metadata=None, ticks_per_beat=480):
    """A MidiDict filled through the public add_* methods.

    notes: (pitch, start, end, velocity, channel); tempos: (tempo, tick);
    instruments: (program, tick, channel).
    """
    d = MidiDict()
    for n in notes:
        d.add_note(*n)
    for t in tempos:
        d.add_tempo(*t)
    for i in instruments:
        d.add_instrument(*i)
    if metadata is not None:
        d.metadata = metadata
    d.ticks_per_beat = ticks_per_beat
    return d


def plain(d):
    """A MidiDict's messages as plain tuples, in list order (metadata left out)."""
    return {
        "ticks_per_beat": d.ticks_per_beat,
        "notes": [(n.pitch, n.start, n.end, n.velocity, n.tick, n.channel) for n in d.note_msgs],
        "tempos": [(t.data, t.tick) for t in d.tempo_msgs],
        "instruments": [(i.data, i.tick, i.channel) for i in d.instrument_msgs],
        "pedals": [(p.data, p.tick, p.channel) for p in d.pedal_msgs],
        "metas": [(m.msg_type, m.data) for m in d.meta_msgs],
    }


def wrap32(v):
    """v reduced to a signed 32-bit integer (two's complement wrap-around)."""
    return (v + 2**31) % 2**32 - 2**31


def round_half_away(x):
    """C round(): nearest integer, halves away from zero (exact for every double)."""
    a = abs(x)
    f = math.floor(a)
    r = f + 1 if a - f >= 0.5 else f
    return int(r if x >= 0 else -r)


def round_to_i32(x):
    """round_half_away, saturating at the int32 limits; NaN gives 0."""
    if math.isnan(x):
        return 0
    if math.isinf(x):
        return INT32_MAX if x > 0 else INT32_MIN
    return max(INT32_MIN, min(INT32_MAX, round_half_away(x)))


class Index:
    """An integer-like object: it has __index__ and nothing else (no __int__, no __eq__)."""

    def __init__(self, value=7):
        self.value = value

    def __index__(self):
        return self.value


class Hook:
    """An integer-like object whose __index__ first runs `action` (the conversion calls back into
    Python at a chosen moment), records its result or error, then converts to `value`."""

    def __init__(self, action, value=7):
        self.action, self.value = action, value
        self.result = None
        self.error = None

    def __index__(self):
        try:
            self.result = self.action()
        except Exception as e:  # recorded, then raised again so the caller sees it
            self.error = e
            raise
        return self.value
