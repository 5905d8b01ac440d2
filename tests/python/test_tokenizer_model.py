"""A small Python model of the absolute tokenizer, used by the other tokenizer test files, plus the
tests that tie the model to the library's own primitives (tick_to_ms, _quantize_velocity).

The model follows the tokenizer's rules step by step, with the same double-precision arithmetic:
- elapsed_ms: milliseconds between two ticks under a list of tempo messages;
- nearest_in_grid: binary search on an ascending grid, a tie goes to the value probed first;
- model_tokenize / model_detokenize: the token sequences and pieces the tokenizer should produce;
- classify / python_form: how a Python object is read as a token and written back;
- vocabulary: the full ID -> token table in its Python form;
- model_reload: what MidiDict.from_midi gives back for a detokenized piece written with to_midi().

Pieces are passed to the model as plain tuples:
notes (pitch, start, end, velocity, channel), tempos (tempo, tick), instruments (program, tick,
channel), pedals (data, tick, channel).
"""

from __future__ import annotations

import bisect
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from noteloom import AbsTokenizer, MidiDict
from support import build_midi_dict, round_half_away, round_to_i32, wrap32

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

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
INSTRUMENT_PROGRAMS = {"piano": 0, "guitar": 24, "drum": 0}
INSTRUMENTS_WD = INSTRUMENTS + ["drum"]
COMPOSERS = ["Orlane", "Vesk"]
FORMS = ["sonata", "fugue"]
GENRES = ["classical", "jazz"]
SPECIALS = ["<S>", "<E>", "<P>", "<U>", "<D>", "<T>"]

FAMILIES = [
    "piano", "chromatic", "organ", "guitar", "bass", "strings", "ensemble", "brass",
    "reed", "pipe", "synth_lead", "synth_pad", "synth_effect", "ethnic", "percussive", "sfx",
]  # fmt: skip

NOTE_BASE = 15
DRUM_BASE = 12303
DUR_BASE = 12350
ONSET_BASE = 12851
VOCAB_SIZE = 13351


# --- integer and rounding helpers ---------------------------------------------------------------


def cdiv(a: int, b: int) -> int:
    """C integer division (truncates toward zero)."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def cmod(a: int, b: int) -> int:
    """C remainder (takes the sign of the dividend)."""
    return a - cdiv(a, b) * b


# --- time -------------------------------------------------------------------------------------------


def fdiv(a: float, b: float) -> float:
    """IEEE division: a zero divisor gives an infinity or NaN instead of an exception."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def elapsed_ms(tempos, tpb: int, frm: int, to: int) -> int:
    """Milliseconds from tick `frm` to tick `to` under the tempo list (in list order, unsorted)."""
    n = len(tempos)
    tpb = float(tpb)
    seconds = 0.0
    if n == 0:
        if to > frm:
            seconds = float(to - frm) * fdiv(0.5, tpb)
        return round_to_i32(seconds * 1000.0)
    u = 0
    while u < n and tempos[u][1] < frm:
        u += 1
    k = u - 1 if u > 0 else 0
    cur = frm
    while k < n:
        nxt = tempos[k + 1][1] if k + 1 < n else INT32_MAX
        seg = min(to, nxt) - cur
        if seg > 0:
            seconds += float(seg) * fdiv(tempos[k][0] * 1e-6, tpb)
        if to < nxt:
            break
        cur = nxt
        k += 1
    return round_to_i32(seconds * 1000.0)


def nearest_in_grid(grid, x: int) -> int:
    if not grid:
        return 0
    lo, hi = 0, len(grid) - 1
    best = None
    while lo <= hi:
        mid = (lo + hi) // 2
        v = grid[mid]
        if best is None or abs(v - x) < abs(best - x):
            best = v
        if v < x:
            lo = mid + 1
        else:
            if mid == 0:
                break
            hi = mid - 1
    return best


def quantize_velocity(x: int) -> int:
    q = nearest_in_grid(VELOCITY_GRID, x)
    if x == 0:
        return q
    return VELOCITY_STEP if q == 0 else q


def quantized_dur(ms: int) -> int:
    d = nearest_in_grid(DUR_GRID, ms)
    return TIME_STEP_MS if d == 0 else d


def program_family(program: int):
    return FAMILIES[program // 8] if 0 <= program < 128 else None


# --- tokenization model -----------------------------------------------------------------------------


def stable_sort_notes(notes):
    return sorted(notes, key=lambda n: n[1])


def pedal_intervals(sorted_notes, pedals):
    """channel -> [(down, up), ...]; pedals are (data, tick, channel)."""
    result = {}
    for n in sorted_notes:
        result.setdefault(n[4], [])
    down_since = {}
    for data, tick, channel in sorted(pedals, key=lambda p: p[1]):
        if data == 1:
            down_since.setdefault(channel, tick)
        elif data == 0 and channel in down_since:
            result.setdefault(channel, []).append((down_since.pop(channel), tick))
    if sorted_notes:
        last_end = sorted_notes[-1][2]
        for channel, down in down_since.items():
            result.setdefault(channel, []).append((down, last_end))
    return result


def channel_families(notes, instruments):
    """channel -> family name, as tokenization assigns it (drum channel excluded)."""
    fam = {}
    for program, _tick, channel in instruments:
        if channel == DRUM_CHANNEL:
            continue
        f = program_family(program)
        if f is not None:
            fam[channel] = f
    for n in notes:
        if n[4] != DRUM_CHANNEL:
            fam.setdefault(n[4], "piano")
    return fam


def prefix_tokens(notes, instruments, metadata):
    out = []
    for key, names in (("genre", GENRES), ("form", FORMS), ("composer", COMPOSERS)):
        if key in metadata and metadata[key] in names:
            out.append((f"prefix:{key}:{metadata[key]}", 0, 0))
    for f in sorted(set(channel_families(notes, instruments).values())):
        out.append((f"prefix:instrument:{f}", 0, 0))
    if any(n[4] == DRUM_CHANNEL for n in notes):
        out.append(("prefix:instrument:drum", 0, 0))
    return out


def note_end_after_pedal(note, intervals, index=None):
    """The note's end, moved to the up tick of the first interval (in list order) that holds it.

    `index` (from pedal_index) speeds up long pedal lists of real recordings: when the intervals
    of a channel follow each other without overlap, only the last interval whose down tick lies
    before the end can hold it."""
    end = note[2]
    ivs = intervals.get(note[4], ())
    fast = index.get(note[4]) if index else None
    if fast is not None:
        k = bisect.bisect_left(fast, end) - 1
        return ivs[k][1] if k >= 0 and ivs[k][0] < end < ivs[k][1] else end
    for down, up in ivs:
        if down < end < up:
            return up
    return end


def pedal_index(intervals):
    """channel -> ascending down ticks, for channels whose intervals follow each other."""
    out = {}
    for channel, ivs in intervals.items():
        if len(ivs) > 16 and all(ivs[i][0] <= ivs[i][1] <= ivs[i + 1][0] for i in range(len(ivs) - 1)):
            out[channel] = [d for d, _u in ivs]
    return out


def insert_dim(body):
    """Where "<D>" goes in a body of more than 150 tokens (returns a new list)."""
    body = list(body)
    if len(body) <= 150:
        return body
    i = len(body) - 100
    while i > 0:
        tok = body[i]
        if isinstance(tok, tuple) and tok[0] == "onset":
            i -= 1
        elif isinstance(tok, tuple) and tok[0] == "dur":
            i = max(i - 2, 0)
        else:
            break
    body.insert(i, "<D>")
    return body


def model_tokenize(notes, tempos=(), instruments=(), pedals=(), metadata=None, tpb=480):
    """The Python tokens of tokenize() for a piece given as plain tuples (no instrument is ignored)."""
    metadata = metadata or {}
    if not notes:
        raise ValueError("no notes")
    sorted_notes = stable_sort_notes(notes)
    intervals = pedal_intervals(sorted_notes, pedals)
    index = pedal_index(intervals)
    fam = channel_families(notes, instruments)
    body = []
    prev = 0
    for n in sorted_notes:
        pitch, start, _end, velocity, channel = n
        s = elapsed_ms(tempos, tpb, 0, start)
        body.extend(["<T>"] * max(0, cdiv(s, ABS_TIME_STEP_MS) - cdiv(prev, ABS_TIME_STEP_MS)))
        t = nearest_in_grid(ONSET_GRID, cmod(s, ABS_TIME_STEP_MS))
        if channel == DRUM_CHANNEL:
            body += [("drum", pitch, 0), ("onset", t, 0)]
        else:
            end = note_end_after_pedal(n, intervals, index)
            dur = quantized_dur(elapsed_ms(tempos, tpb, start, end))
            body += [(fam[channel], pitch, quantize_velocity(velocity)), ("onset", t, 0), ("dur", dur, 0)]
        prev = s
    return prefix_tokens(notes, instruments, metadata) + ["<S>"] + insert_dim(body) + ["<E>"]


def model_roundtrip_notes(notes, tempos=(), instruments=(), pedals=(), tpb=480):
    """For every note in start order: (family, (pitch, start, end, velocity, channel)) as
    tokenize -> detokenize gives it back when the family is in the vocabulary ("drum" for notes
    on channel 9). Times are the quantized milliseconds, shifted by whole segments so that the
    segment of the first note becomes segment 0. The channel is None for families that
    detokenize does not know; callers drop those notes (and drum notes outside 35..81 after an
    encode/decode round trip)."""
    sorted_notes = stable_sort_notes(notes)
    intervals = pedal_intervals(sorted_notes, pedals)
    index = pedal_index(intervals)
    fam = channel_families(notes, instruments)
    present = [f for f in sorted(set(fam.values())) if f in ("piano", "guitar")]
    channel_of = {f: i for i, f in enumerate(present)}
    first_seg = cdiv(elapsed_ms(tempos, tpb, 0, sorted_notes[0][1]), ABS_TIME_STEP_MS)
    out = []
    for n in sorted_notes:
        pitch, start, _end, velocity, channel = n
        s = elapsed_ms(tempos, tpb, 0, start)
        base = (cdiv(s, ABS_TIME_STEP_MS) - first_seg) * ABS_TIME_STEP_MS
        on = base + nearest_in_grid(ONSET_GRID, cmod(s, ABS_TIME_STEP_MS))
        if channel == DRUM_CHANNEL:
            out.append(("drum", (pitch, on, on + TIME_STEP_MS, DRUM_VELOCITY, DRUM_CHANNEL)))
        else:
            f = fam[channel]
            end = note_end_after_pedal(n, intervals, index)
            dur = quantized_dur(elapsed_ms(tempos, tpb, start, end))
            out.append((f, (pitch, on, on + dur, quantize_velocity(velocity), channel_of.get(f))))
    return out


# --- token values -----------------------------------------------------------------------------------


class BadToken(Exception):
    """The object is not accepted as a token."""


def _as_i32(v) -> int:
    if isinstance(v, float) or not hasattr(v, "__index__"):
        raise BadToken
    v = v.__index__()
    if not INT32_MIN <= v <= INT32_MAX:
        raise BadToken
    return v


def _utf8_ok(s: str) -> bool:
    try:
        s.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def classify(obj):
    """The token value of a Python object: ("special", text), ("prefix", a, b, c),
    ("note", instrument, pitch, velocity), ("onset", t), ("dur", d), ("drum", p). Raises BadToken."""
    if isinstance(obj, str) and _utf8_ok(obj):
        return ("special", str(obj))
    if not isinstance(obj, tuple) or len(obj) != 3:
        raise BadToken
    s, a, b = obj
    if not isinstance(s, str) or not _utf8_ok(s):
        raise BadToken
    a, b = _as_i32(a), _as_i32(b)
    s = str(s)
    if s.startswith("<"):
        return ("special", s)
    if s in ("onset", "dur", "drum"):
        return (s, a)
    if "prefix:" in s:
        pieces = s.split(":")
        return ("prefix", *pieces) if len(pieces) == 3 else ("special", s)
    return ("note", s, a, b)


def python_form(tok):
    """token_to_python of a token value given as classify() returns it."""
    kind = tok[0]
    if kind == "special":
        return tok[1]
    if kind == "prefix":
        return (":".join(tok[1:]), 0, 0)
    if kind == "note":
        return (tok[1], tok[2], tok[3])
    return (kind, tok[1], 0)


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


# --- detokenization model ---------------------------------------------------------------------------


def ms_to_tick(ms: int) -> int:
    return round_to_i32((ms / 1000.0) / 0.001)


def model_detokenize(py_tokens):
    """(instrument messages as (program, tick, channel), notes as
    (pitch, start, end, velocity, tick, channel)) that detokenize() should give."""
    toks = [classify(x) for x in py_tokens]
    channels = {}
    c = 0
    start = 0
    for i, t in enumerate(toks):
        if c == 9:
            c = 10
        if t[0] == "special":
            continue
        if t[0] != "prefix":
            start = i
            break
        if t[1] == "prefix" and t[2] == "instrument" and t[3] in INSTRUMENTS_WD and t[3] not in channels:
            if t[3] == "drum":
                channels[t[3]] = 9
            else:
                channels[t[3]] = c
                c += 1
    instruments = [
        (0 if name == "drum" else INSTRUMENT_PROGRAMS.get(name, 0), 0, ch)
        for name, ch in sorted(channels.items(), key=lambda kv: kv[1])
    ]
    notes = []
    time = 0
    i = start
    while i < len(toks):
        t = toks[i]
        if t[0] == "note" and i + 2 < len(toks) and toks[i + 1][0] == "onset" and toks[i + 2][0] == "dur":
            onset = wrap32(time + toks[i + 1][1])
            off = wrap32(onset + toks[i + 2][1])
            if t[1] in channels:
                s = ms_to_tick(onset)
                notes.append((t[2], s, ms_to_tick(off), t[3], s, channels[t[1]]))
            i += 3
        elif t[0] == "drum" and i + 1 < len(toks) and toks[i + 1][0] == "onset":
            onset = wrap32(time + toks[i + 1][1])
            off = wrap32(onset + TIME_STEP_MS)
            if "drum" in channels:
                s = ms_to_tick(onset)
                notes.append((t[1], s, ms_to_tick(off), DRUM_VELOCITY, s, channels["drum"]))
            i += 2
        else:
            if t == ("special", "<T>"):
                time = wrap32(time + ABS_TIME_STEP_MS)
            i += 1
    return instruments, notes


# --- write-then-load model --------------------------------------------------------------------------


def model_reload(notes, instruments):
    """Notes (pitch, start, end, velocity, channel) that from_midi gives for a file written by
    to_midi().save() from a piece with these notes and instrument messages (program, tick, channel).
    Also returns the reloaded instrument messages. Ticks are assumed to lie in 0 .. 2**28."""
    ordered = sorted(instruments, key=lambda m: m[0])
    track_of = {}
    for k, (_program, _tick, channel) in enumerate(ordered, start=1):
        track_of[channel] = k
    tracks = {k: [] for k in range(1, len(ordered) + 1)}
    for k, (program, tick, channel) in enumerate(ordered, start=1):
        tracks[k].append((tick, "program", channel & 0x0F, program & 0x7F))
    for pitch, start, end, velocity, channel in notes:
        if channel in track_of:
            k = track_of[channel]
            tracks[k].append((start, "on", channel & 0x0F, pitch & 0x7F, velocity & 0x7F))
            tracks[k].append((end, "off", channel & 0x0F, pitch & 0x7F))
    open_notes = {}
    loaded, loaded_instruments = [], []
    for k in sorted(tracks):
        for ev in sorted(tracks[k], key=lambda e: e[0]):
            tick = ev[0]
            if ev[1] == "program":
                loaded_instruments.append((ev[3], tick, ev[2]))
            elif ev[1] == "on" and ev[4] > 0:
                open_notes.setdefault((ev[2], ev[3]), []).append((tick, ev[4]))
            else:
                key = (ev[2], ev[3])
                if key not in open_notes:
                    continue
                still_open = []
                for st, vel in open_notes.pop(key):
                    if st != tick:
                        loaded.append((ev[3], st, tick, vel, ev[2]))
                    else:
                        still_open.append((st, vel))
                if still_open:
                    open_notes[key] = still_open
    loaded.sort(key=lambda n: n[1])
    loaded_instruments.sort(key=lambda m: m[1])
    return loaded, loaded_instruments


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


def piece_args(d):
    """Keyword arguments of model_tokenize for a MidiDict."""
    return dict(
        notes=notes_of(d),
        tempos=tempos_of(d),
        instruments=instruments_of(d),
        pedals=pedals_of(d),
        metadata=d.metadata,
        tpb=d.ticks_per_beat,
    )


# --- building pieces ---------------------------------------------------------------------------------

_pedal_source = None


def pedal_messages(triples):
    """New PedalMessage objects for (data, tick, channel) triples.

    Pedal messages have no constructor and MidiDict has no add_pedal, so one is loaded from a tiny
    MIDI file (written once per process) and copies of it are edited."""
    global _pedal_source
    if _pedal_source is None:
        import os
        import tempfile

        import smf_bytes

        path = os.path.join(tempfile.mkdtemp(prefix="noteloom-tok-"), "pedal.mid")
        with open(path, "wb") as f:
            f.write(
                smf_bytes.midi_file(
                    0, 480, [smf_bytes.track(smf_bytes.controller(0, 0, 64, 127), smf_bytes.end_of_track())]
                )
            )
        _pedal_source = MidiDict.from_midi(path)
        assert len(_pedal_source.pedal_msgs) == 1
    out = []
    for data, tick, channel in triples:
        m = _pedal_source.pedal_msgs[0]  # every read gives a new object
        m.data, m.tick, m.channel = data, tick, channel
        out.append(m)
    return out


def make_piece(notes=(), tempos=(), instruments=(), pedals=(), metadata=None, tpb=480):
    """A MidiDict built from plain tuples, in the given list orders."""
    d = build_midi_dict(notes, tempos, instruments, metadata, tpb)
    if pedals:
        d.pedal_msgs = pedal_messages(pedals)
    return d


# --- tests of the model against the library ---------------------------------------------------------


@pytest.mark.parametrize(
    "x, expected",
    [(-7, -7), (-0.5, -1), (0.5, 1), (1.5, 2), (2.5, 3), (-2.5, -3), (2.4999999, 2), (0.49999999999999994, 0)],
)
def test_model_rounds_halves_away_from_zero(x, expected):
    assert round_half_away(x) == expected


@pytest.mark.parametrize(
    "grid, x, expected",
    [
        (ONSET_GRID, 5, 0),
        (ONSET_GRID, 15, 20),
        (ONSET_GRID, 4999, 4990),
        (ONSET_GRID, -3, 0),
        (VELOCITY_GRID, 2, 4),
        (VELOCITY_GRID, 6, 4),
        (VELOCITY_GRID, 200, 124),
        (DUR_GRID, 9000, 5000),
        ([], 17, 0),
    ],
)
def test_model_nearest_in_grid_follows_the_probe_order(grid, x, expected):
    assert nearest_in_grid(grid, x) == expected


_TOKENIZER = AbsTokenizer()

tempo_lists = st.lists(
    st.tuples(st.integers(0, 3_000_000), st.integers(-2000, 200_000)),
    max_size=6,
)


@settings(max_examples=300, deadline=None)
@given(tempos=tempo_lists, tpb=st.integers(1, 2000) | st.integers(-500, 0), tick=st.integers(-1000, 2**31 - 1))
def test_model_elapsed_from_zero_equals_tick_to_ms(tempos, tpb, tick):
    d = MidiDict()
    for data, t in tempos:
        d.add_tempo(data, t)
    d.ticks_per_beat = tpb
    assert elapsed_ms(tempos, tpb, 0, tick) == d.tick_to_ms(tick)


@settings(max_examples=300, deadline=None)
@given(velocity=st.integers(INT32_MIN, INT32_MAX) | st.integers(-10, 140))
def test_model_quantize_velocity_equals_the_tokenizer(velocity):
    assert quantize_velocity(velocity) == _TOKENIZER._quantize_velocity(velocity)
