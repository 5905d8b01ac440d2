"""Helpers shared by the noteloom Python tests."""

import collections
import functools
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import smf_bytes as sb

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


@functools.cache
def pedal_and_text_piece():
    """A MidiDict loaded from a small file: program 0, a sustain press at tick 0, the text "hello",
    note 60 from 0 to 480 and the release at 480, all on channel 0.

    Pedal and text messages have no constructor and no add_* method: loading a file is the only
    way to obtain them. Every read of its lists gives new objects, so sharing it is safe."""
    data = sb.midi_file(0, 480, [sb.track(
        sb.text(0, "hello"),
        sb.program(0, 0, 0),
        sb.controller(0, 0, 64, 127),
        sb.note_on(0, 0, 60, 90),
        sb.note_off(480, 0, 60, 0),
        sb.controller(0, 0, 64, 0),
        sb.end_of_track(),
    )])
    with tempfile.TemporaryDirectory(prefix="noteloom-pedal-") as folder:
        path = os.path.join(folder, "pedal_and_text.mid")
        with open(path, "wb") as f:
            f.write(data)
        return MidiDict.from_midi(path)


def make_pedal(data, tick, channel, msg_type="pedal"):
    """A new PedalMessage holding the given values."""
    p = pedal_and_text_piece().pedal_msgs[0]
    p.msg_type, p.data, p.tick, p.channel = msg_type, data, tick, channel
    return p


def make_meta(msg_type, data):
    """A new MetaMessage holding the given values."""
    m = pedal_and_text_piece().meta_msgs[0]
    m.msg_type, m.data = msg_type, data
    return m


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


def check_loaded_events(got, tracks):
    """Check a loaded MidiDict's plain() form against the tracks of the file it came from.

    tracks: lists of (delta, event) with events ("note_on" | "note_off", channel, key, velocity),
    ("control", channel, number, value), ("program", channel, program), ("tempo", usec),
    ("text" | "copyright", payload bytes) or ("other",). Every program change, sustain event, tempo
    change and valid UTF-8 text must come through sorted by tick (file order among equal ticks), with
    the defaults when there is no tempo or program; every note must start at a note-on and end at a
    note-off of its channel and key at another tick. Which note-off ends which note is left to the
    hand-written cases."""
    starts, ends = collections.Counter(), set()
    programs, pedals, tempos, texts = [], [], [], []
    for events in tracks:
        tick = 0
        for delta, ev in events:
            tick = wrap32(tick + delta)
            kind = ev[0]
            if kind == "note_on" and ev[3] > 0:
                starts[ev[1], ev[2], tick, ev[3]] += 1
            elif kind in ("note_on", "note_off"):
                ends.add((ev[1], ev[2], tick))
            elif kind == "control" and ev[2] == 64:
                pedals.append((int(ev[3] >= 64), tick, ev[1]))
            elif kind == "program":
                programs.append((ev[2], tick, ev[1]))
            elif kind == "tempo":
                tempos.append((ev[1], tick))
            elif kind in ("text", "copyright"):
                try:
                    texts.append((kind, ev[1].decode("utf-8")))
                except UnicodeDecodeError:
                    pass
    by_tick = lambda m: m[1]  # noqa: E731
    assert got["instruments"] == (sorted(programs, key=by_tick) or [(0, 0, 0)])
    assert got["tempos"] == (sorted(tempos, key=by_tick) or [(500000, 0)])
    assert got["pedals"] == sorted(pedals, key=by_tick)
    assert got["metas"] == texts
    assert [n[1] for n in got["notes"]] == sorted(n[1] for n in got["notes"])
    assert not collections.Counter((c, p, s, v) for p, s, _e, v, _t, c in got["notes"]) - starts
    for pitch, start, end, _v, tick, channel in got["notes"]:
        assert tick == start != end and (channel, pitch, end) in ends


# --- the token ID layout (the table in abs_tokenizer.hpp) and plain-tuple views of pieces -------

ABS_TIME_STEP_MS = 5000
MAX_DUR_MS = 5000
TIME_STEP_MS = 10
VELOCITY_STEP = 4
DRUM_VELOCITY = 127
DRUM_CHANNEL = 9

ONSET_GRID = [TIME_STEP_MS * i for i in range(MAX_DUR_MS // TIME_STEP_MS)]  # 0 .. 4990
DUR_GRID = [TIME_STEP_MS * i for i in range(MAX_DUR_MS // TIME_STEP_MS + 1)]  # 0 .. 5000
VELOCITY_GRID = [VELOCITY_STEP * i for i in range(127 // VELOCITY_STEP + 1)]  # 0 .. 124

INSTRUMENTS = ["piano", "guitar", "drum"]  # note blocks k = 0, 1, 2 and IDs 6, 7, 8
COMPOSERS = ["Orlane", "Vesk"]
FORMS = ["sonata", "fugue"]
GENRES = ["classical", "jazz"]
SPECIALS = ["<S>", "<E>", "<P>", "<U>", "<D>", "<T>"]

NOTE_BASE = 15
DRUM_BASE = 12303
DUR_BASE = 12350
ONSET_BASE = 12851
VOCAB_SIZE = 13351


def vocabulary():
    """Python forms of the tokens with IDs 0 .. 13350, in ID order."""
    v = list(SPECIALS)
    v += [f"prefix:instrument:{x}" for x in INSTRUMENTS]
    v += [f"prefix:composer:{c}" for c in COMPOSERS]
    v += [f"prefix:form:{f}" for f in FORMS]
    v += [f"prefix:genre:{g}" for g in GENRES]
    v = v[:6] + [(t, 0, 0) for t in v[6:]]
    for x in INSTRUMENTS:
        for p in range(128):
            v += [(x, p, vel) for vel in VELOCITY_GRID]
    v += [("drum", p, 0) for p in range(35, 82)]
    v += [("dur", d, 0) for d in DUR_GRID]
    v += [("onset", t, 0) for t in ONSET_GRID]
    return v


def note_id(instrument: str, pitch: int, velocity: int) -> int:
    return NOTE_BASE + (INSTRUMENTS.index(instrument) * 128 + pitch) * 32 + velocity // 4


# --- plain-tuple views of MidiDict objects ----------------------------------------------------------


def notes_of(d):
    return [(n.pitch, n.start, n.end, n.velocity, n.channel) for n in d.note_msgs]


def full_notes_of(d):
    return [(n.pitch, n.start, n.end, n.velocity, n.tick, n.channel) for n in d.note_msgs]


def tempos_of(d):
    return [(m.data, m.tick) for m in d.tempo_msgs]


def instruments_of(d):
    return [(m.data, m.tick, m.channel) for m in d.instrument_msgs]


def pedals_of(d):
    return [(m.data, m.tick, m.channel) for m in d.pedal_msgs]


def make_piece(notes=(), tempos=(), instruments=(), pedals=(), metadata=None, tpb=480):
    """A MidiDict built from plain tuples, in the given list orders; pedals: (data, tick, channel)."""
    d = build_midi_dict(notes, tempos, instruments, metadata, tpb)
    if pedals:
        d.pedal_msgs = [make_pedal(*p) for p in pedals]
    return d


# --- the command line and its inputs ---------------------------------------------------------


def run_cli(*args, cwd=None, timeout=300, env=None):
    return subprocess.run([sys.executable, "-m", "noteloom", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=timeout, env=env)


def write_piece(path, seed):
    """A small piece with piano, guitar, bass and drums whose content depends on `seed`."""
    d = MidiDict()
    d.add_tempo(500000 + 10000 * (seed % 50), 0)
    for program, channel in ((0, 0), (25, 1), (33, 2), (0, 9)):
        d.add_instrument(program, 0, channel)
    for i in range(6 + seed % 7):
        d.add_note(48 + (i * 5 + seed) % 40, i * 240, i * 240 + 200 + 20 * (seed % 9), 40 + (i * 13 + seed) % 80, i % 3)
    d.add_note(36, 0, 10, 100, 9)
    d.add_note(38 + seed % 3, 480 * (seed % 5 + 1), 480 * (seed % 5 + 1) + 10, 90, 9)
    d.to_midi().save(str(path))
    return path


def tar_bytes(entries, fmt=None):
    """A tar archive of (name, bytes) members, in memory (pax format unless `fmt` says otherwise)."""
    import io
    import tarfile

    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT if fmt is None else fmt) as tar:
        for name, data in entries:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buffer.getvalue()
