"""Properties of the absolute tokenizer on random pieces and token streams, checked against oracles
that do not repeat its code: exact tempo-map times in fractions.Fraction, the bounds a grid of
10 ms or 4 velocity steps allows, round trips and fixed points of tokenize/detokenize and
encode/decode, and the layout of the token stream.

Pieces are plain tuples: notes (pitch, start, end, velocity, channel), tempos (tempo, tick),
programs {channel: program}, pedals (down tick, up tick, channel)."""

from __future__ import annotations

from fractions import Fraction

import mido
import pytest
from hypothesis import given
from hypothesis import strategies as st

from noteloom import AbsTokenizer, MidiDict
from support import INT32_MAX, INT32_MIN, build_midi_dict

TOK = AbsTokenizer()
VOCAB_SIZE = TOK.vocab_size()
VOCAB = TOK.decode(list(range(VOCAB_SIZE)))
DRUM_NOTE_IDS = range(8207, 12303)  # note tokens of the instrument "drum" (see abs_tokenizer.hpp)
IN_VOCAB = {t for i, t in enumerate(VOCAB) if i not in DRUM_NOTE_IDS}
BAD_TOKEN = "Token must be either a string or a 3-tuple"
# General MIDI: program // 8 names the family.
GM_FAMILIES = [
    "piano", "chromatic", "organ", "guitar", "bass", "strings", "ensemble", "brass",
    "reed", "pipe", "synth_lead", "synth_pad", "synth_effect", "ethnic", "percussive", "sfx",
]  # fmt: skip
METADATA_NAMES = {"genre": ("classical", "jazz"), "form": ("sonata", "fugue"), "composer": ("Orlane", "Vesk")}
HALF_MS = Fraction(1, 2) + Fraction(1, 10**6)  # rounding to whole milliseconds, plus double-precision slack


# =================================================================================================
# encode / decode
# =================================================================================================


def test_vocabulary_survives_encode_then_decode():
    # Every token has its own ID, except the note tokens of the drum block:
    ids = TOK.encode(VOCAB)
    assert [i for i in range(VOCAB_SIZE) if ids[i] != i] == list(DRUM_NOTE_IDS)
    # The drum block decodes as ("drum", pitch, velocity), which encodes as the drum token of that
    # pitch: the drum IDs start at 12303 with pitch 35; pitches outside 35..81 have none.
    assert [VOCAB[i] for i in DRUM_NOTE_IDS] == [("drum", p, v) for p in range(128) for v in range(0, 125, 4)]
    assert [ids[i] for i in DRUM_NOTE_IDS] == [12303 + p - 35 if 35 <= p <= 81 else 0 for p in range(128) for _ in range(32)]


@given(ids=st.lists(st.integers(INT32_MIN, INT32_MAX) | st.integers(-5, VOCAB_SIZE + 5), max_size=30))
def test_decode_gives_the_vocabulary_entry_or_unknown(ids):
    assert TOK.decode(ids) == [VOCAB[i] if 0 <= i < VOCAB_SIZE else "<U>" for i in ids]


int32s = st.integers(INT32_MIN, INT32_MAX) | st.integers(-3, 130)


@given(token_id=st.integers(6, 14) | st.integers(12303, VOCAB_SIZE - 1), a=int32s, b=int32s)
def test_fields_a_token_does_not_use_are_ignored(token_id, a, b):
    # Prefix tokens use only their text; drum, onset and dur tokens only their first number.
    text, value, _ = VOCAB[token_id]
    altered = (text, a, b) if text.startswith("prefix:") else (text, value, b)
    assert TOK.encode([altered]) == [token_id]


texts = st.text(max_size=6) | st.sampled_from(
    ["<S>", "<T>", "<X>", "onset", "dur", "drum", "piano", "guitar", "organ", "prefix:instrument:piano", "a:b:c", ""]
)
valid_objects = texts | st.tuples(texts, int32s | st.booleans(), int32s)
invalid_objects = st.one_of(
    st.tuples(texts, int32s),
    st.tuples(texts, int32s, int32s, int32s),
    st.tuples(texts, st.floats(allow_nan=False), int32s),
    st.tuples(texts, int32s, st.integers(2**31, 2**64) | st.integers(-(2**64), -(2**31) - 1)),
    st.tuples(st.integers(), int32s, int32s),
    st.lists(int32s, min_size=3, max_size=3),
    st.none() | st.integers() | st.binary(max_size=3) | st.just("\ud800"),
)


@given(objs=st.lists(valid_objects, max_size=20))
def test_encode_is_a_fixed_point_through_decode(objs):
    ids = TOK.encode(objs)
    assert all(0 <= i < VOCAB_SIZE for i in ids)
    assert TOK.encode(TOK.decode(ids)) == ids


@given(
    objs=st.lists(valid_objects, max_size=8),
    bad=invalid_objects,
    where=st.integers(0, 8),
    method=st.sampled_from(["encode", "detokenize"]),
)
def test_one_refused_object_fails_the_call(objs, bad, where, method):
    objs.insert(min(where, len(objs)), bad)
    with pytest.raises(TypeError) as info:
        getattr(TOK, method)(objs)
    assert str(info.value) == BAD_TOKEN


@given(velocity=st.integers(INT32_MIN, INT32_MAX) | st.integers(-10, 140))
def test_velocity_goes_to_a_nearby_level(velocity):
    # Levels 0, 4, ..., 124; a sounding velocity (not 0) never becomes silent.
    q = TOK._quantize_velocity(velocity)
    target = min(max(velocity, 0 if velocity == 0 else 4), 124)
    assert q % 4 == 0 and abs(q - target) <= 2


# =================================================================================================
# tokenize, detokenize and their round trips on random pieces
# =================================================================================================


def exact_ms(tempos, tpb, tick):
    """Milliseconds from tick 0 to `tick`, exactly: tempos sorted by tick, the first at tick 0; no
    tempo means 500000 us per beat."""
    changes = tempos or [(500000, 0)]
    ms = Fraction(0)
    for k, (tempo, at) in enumerate(changes):
        until = min(changes[k + 1][1] if k + 1 < len(changes) else tick, tick)
        if until > at:
            ms += Fraction((until - at) * tempo, tpb * 1000)
    return ms


@st.composite
def pieces(draw, other_families=True):
    tpb = draw(st.sampled_from([96, 480, 500]) | st.integers(24, 1000))
    ticks = sorted(draw(st.sets(st.integers(1, 20_000), max_size=3)))
    tempos = [(draw(st.integers(100_000, 2_000_000)), t) for t in [0, *ticks]] if draw(st.booleans()) else []
    choices = [0, 5, 24, 30] + ([16, 40, 81, 127] if other_families else [])
    programs = draw(st.dictionaries(st.sampled_from([0, 1, 2, 3, 9]), st.sampled_from(choices), max_size=4))
    n = draw(st.integers(1, 70))
    notes = draw(
        st.lists(
            st.tuples(
                st.integers(0, 127) | st.integers(-5, 140),
                st.integers(0, 30_000),
                st.integers(-50, 4_000) | st.integers(0, 40_000),  # length
                st.integers(-3, 140),
                st.sampled_from([0, 1, 2, 9]),
            ),
            min_size=n,
            max_size=n,
        )
    )
    notes = [(p, s, s + length, v, c) for p, s, length, v, c in notes]
    # Pedal intervals that do not overlap; their ticks often fall on note ends, where the
    # comparisons are strict.
    pedal_ticks = st.integers(0, 40_000) | st.sampled_from([n[2] for n in notes])
    pedals = []
    for channel in (0, 1):
        ticks = sorted(draw(st.sets(pedal_ticks, max_size=6)))
        pedals += [(down, up, channel) for down, up in zip(ticks[::2], ticks[1::2])]
    keys = st.sampled_from(["composer", "form", "genre", "title", "Composer"])
    values = st.sampled_from(["Orlane", "Vesk", "sonata", "fugue", "jazz", "vesk", "pop"])
    metadata = draw(st.dictionaries(keys, values, max_size=3))
    return dict(notes=notes, tempos=tempos, programs=programs, pedals=pedals, metadata=metadata, tpb=tpb)


@pytest.fixture(scope="module")
def make_midi_dict(loaded_midi_dict):
    """make_midi_dict(piece) gives the MidiDict of a piece drawn by pieces()."""

    def make(piece):
        instruments = [(program, 0, channel) for channel, program in piece["programs"].items()]
        d = build_midi_dict(piece["notes"], piece["tempos"], instruments, piece["metadata"], piece["tpb"])
        pedal_msgs = []
        for down, up, channel in piece["pedals"]:
            for data, tick in ((1, down), (0, up)):
                m = loaded_midi_dict.pedal_msgs[0]  # every read gives a new object
                m.data, m.tick, m.channel = data, tick, channel
                pedal_msgs.append(m)
        d.pedal_msgs = pedal_msgs
        return d

    return make


def families(piece):
    """channel -> family of every channel with notes (except the drums) or a program."""
    fam = {c: GM_FAMILIES[p // 8] for c, p in piece["programs"].items() if c != 9}
    return fam | {n[4]: "piano" for n in piece["notes"] if n[4] != 9 and n[4] not in fam}


def sustained_end(piece, note):
    for down, up, channel in piece["pedals"]:
        if channel == note[4] and down < note[2] < up:
            return up
    return note[2]


def read_body(body):
    """(first token, absolute onset in ms, dur or None) of every note group of a token body."""
    groups, time, i = [], 0, 0
    while i < len(body):
        t = body[i]
        if t in ("<T>", "<D>"):
            time += 5000 if t == "<T>" else 0
            i += 1
            continue
        size = 2 if t[0] == "drum" else 3
        assert body[i + 1][0] == "onset" and (size == 2 or body[i + 2][0] == "dur")
        groups.append((t, time + body[i + 1][1], body[i + 2][1] if size == 3 else None))
        i += size
    return groups


def notes_of(d):
    return [(n.pitch, n.start, n.end, n.velocity, n.tick, n.channel) for n in d.note_msgs]


@given(piece=pieces())
def test_tokenize_follows_the_rules(make_midi_dict, piece):
    d = make_midi_dict(piece)
    tokens = TOK.tokenize(d)
    s = tokens.index("<S>")
    assert tokens[-1] == "<E>" and tokens.count("<S>") == tokens.count("<E>") == 1

    # Prefix: the known metadata values (genre, form, composer), the families by name, drums last.
    fam = families(piece)
    meta = [f"{k}:{v}" for k, names in METADATA_NAMES.items() if (v := piece["metadata"].get(k)) in names]
    drums = ["drum"] if any(n[4] == 9 for n in piece["notes"]) else []
    expected = meta + [f"instrument:{f}" for f in sorted(set(fam.values())) + drums]
    assert tokens[:s] == [(f"prefix:{x}", 0, 0) for x in expected]

    # One group per note in start order, ties in list order.
    body = tokens[s + 1 : -1]
    ordered = sorted(piece["notes"], key=lambda n: n[1])
    groups = read_body(body)
    assert len(groups) == len(ordered)
    time = piece["tempos"], piece["tpb"]
    for note, (head, onset, dur) in zip(ordered, groups):
        pitch, start, _end, velocity, channel = note
        ms = d.tick_to_ms(start)
        assert abs(ms - exact_ms(*time, start)) <= HALF_MS
        # Whole segments of 5000 ms in "<T>" tokens, the rest to the nearest 10 ms below 5000.
        assert onset // 5000 == ms // 5000 and onset % 10 == 0 and abs(onset % 5000 - min(ms % 5000, 4990)) <= 5
        if channel == 9:
            assert (head, dur) == (("drum", pitch, 0), None)
            continue
        assert head == (fam[channel], pitch, TOK._quantize_velocity(velocity))
        # The pedal holds a note that ends inside one of its intervals until it comes up.
        length = exact_ms(*time, sustained_end(piece, note)) - exact_ms(*time, start)
        assert dur % 10 == 0 and abs(dur - min(max(length, 10), 5000)) <= 5 + HALF_MS
    assert body.count("<T>") == d.tick_to_ms(ordered[-1][1]) // 5000

    # "<D>" once in a body of more than 150 tokens, at the last group or time token that starts at
    # least 100 tokens before the end.
    plain = [t for t in body if t != "<D>"]
    assert body.count("<D>") == (len(plain) > 150)
    if len(plain) > 150:
        starts = [i for i, t in enumerate(plain) if t == "<T>" or t[0] not in ("onset", "dur")]
        assert body.index("<D>") == max(i for i in starts if i <= len(plain) - 100)


@given(piece=pieces())
def test_detokenize_reads_back_the_groups(make_midi_dict, piece):
    tokens = TOK.tokenize(make_midi_dict(piece))
    s = tokens.index("<S>")
    kept = [x for x in ("guitar", "piano") if ("prefix:instrument:" + x, 0, 0) in tokens[:s]]
    channel_of = {x: c for c, x in enumerate(kept)} | {"drum": 9}
    groups = [g for g in read_body(tokens[s + 1 : -1]) if g[0][0] in channel_of]
    # The time tokens before the first note (whole segments of silence) are dropped.
    shift = 5000 * next(i for i, t in enumerate(tokens[s + 1 :]) if t != "<T>")
    expected = []
    for head, onset, dur in groups:
        start = onset - shift
        velocity = 127 if dur is None else head[2]
        expected.append((head[1], start, start + (dur or 10), velocity, start, channel_of[head[0]]))
    back = TOK.detokenize(tokens)
    assert notes_of(back) == expected
    programs = {"guitar": 24, "piano": 0, "drum": 0}
    present = kept + (["drum"] if any(g[0][0] == "drum" for g in groups) else [])
    instruments = [(m.data, m.tick, m.channel) for m in back.instrument_msgs]
    assert instruments == [(programs[x], 0, channel_of[x]) for x in present]
    assert back.ticks_per_beat == 500 and [(m.data, m.tick) for m in back.tempo_msgs] == [(500000, 0)]
    assert back.pedal_msgs == [] and back.meta_msgs == [] and back.metadata == {}

    # Through the IDs: tokens outside the vocabulary read back as "<S>", and their notes are lost.
    ids = TOK.encode(tokens)
    assert TOK.decode(ids) == [t if t in IN_VOCAB else "<S>" for t in tokens]
    in_vocab = [n for n in expected if (35 <= n[0] <= 81 if n[5] == 9 else 0 <= n[0] <= 127)]
    assert notes_of(TOK.detokenize(TOK.decode(ids))) == in_vocab


noise = st.sampled_from(
    [
        "<S>", "<E>", "<P>", "<U>", "<D>", "<X>", "prefix:instrument:drum", ("prefix:instrument:drum", 0, 0),
        ("prefix:genre:jazz", 0, 0), ("piano", 60, 64), ("drum", 40, 0), ("onset", 10, 0), ("dur", 20, 0),
        [("organ", 60, 64), ("onset", 10, 0), ("dur", 20, 0)],
    ]
)  # fmt: skip


@given(piece=pieces(), data=st.data())
def test_detokenize_passes_over_what_is_not_a_note_group(make_midi_dict, piece, data):
    # Between the groups of the body: special tokens, prefix tokens, incomplete groups and groups
    # of an instrument without a channel change nothing.
    tokens = TOK.tokenize(make_midi_dict(piece))
    first = next(i for i, t in enumerate(tokens) if isinstance(t, tuple) and not t[0].startswith("prefix:"))
    boundaries = [i for i in range(first + 1, len(tokens)) if isinstance(tokens[i], str) or tokens[i][0] not in ("onset", "dur")]
    noisy = list(tokens)
    for i in sorted(data.draw(st.sets(st.sampled_from(boundaries), max_size=8)), reverse=True):
        x = data.draw(noise)
        noisy[i:i] = x if isinstance(x, list) else [x]
    assert TOK.detokenize(noisy) == TOK.detokenize(tokens)


def essential(tokens):
    """The tokens less the metadata prefixes, "<D>" and the time tokens before the first note."""
    s = tokens.index("<S>")
    body = [t for t in tokens[s + 1 :] if t != "<D>"]
    first = next(i for i, t in enumerate(body) if t != "<T>")
    return [t for t in tokens[:s] if t[0].startswith("prefix:instrument:")] + ["<S>"] + body[first:]


@given(piece=pieces(other_families=False))
def test_tokenize_is_a_fixed_point_of_detokenize(make_midi_dict, piece):
    tokens = TOK.tokenize(make_midi_dict(piece))
    again = TOK.tokenize(TOK.detokenize(tokens))
    assert essential(again) == essential(tokens)
    assert TOK.tokenize(TOK.detokenize(again)) == again


# =================================================================================================
# Files, read with mido
# =================================================================================================


def test_times_of_a_file_agree_with_mido(tmp_path):
    # Three tempos and twenty notes over three segments; mido's playback gives the seconds.
    events = [(0, mido.MetaMessage("set_tempo", tempo=600000)), (1000, mido.MetaMessage("set_tempo", tempo=300000))]
    events.append((2500, mido.MetaMessage("set_tempo", tempo=900000)))
    for k in range(20):
        start, end = 411 * k, 411 * k + 60 + 97 * k
        events.append((start, mido.Message("note_on", note=40 + k, velocity=30 + 3 * k, time=0)))
        events.append((end, mido.Message("note_off", note=40 + k, velocity=0, time=0)))
    events.sort(key=lambda e: e[0])
    track, now = mido.MidiTrack(), 0
    for tick, msg in events:
        track.append(msg.copy(time=tick - now))
        now = tick
    path = tmp_path / "tempos.mid"
    mido.MidiFile(ticks_per_beat=384, tracks=[track]).save(str(path))

    seconds, on, off = 0.0, {}, {}
    for msg in mido.MidiFile(str(path)):
        seconds += msg.time
        if msg.type in ("note_on", "note_off"):
            (on if msg.type == "note_on" and msg.velocity else off)[msg.note] = (1000 * seconds, msg)
    tokens = TOK.tokenize(MidiDict.from_midi(str(path)))
    groups = read_body(tokens[tokens.index("<S>") + 1 : -1])
    assert [g[0] for g in groups] == [("piano", k, TOK._quantize_velocity(on[k][1].velocity)) for k in range(40, 60)]
    assert tokens.count("<T>") == 3
    for head, onset, dur in groups:
        start, end = on[head[1]][0], off[head[1]][0]
        assert abs(onset - start) <= 5.5
        assert abs(dur - min(max(end - start, 10), 5000)) <= 5.5


@given(
    notes=st.lists(st.tuples(st.integers(0, 60_000), st.integers(-20, 7_000), st.integers(1, 127)), min_size=1),
    pitches=st.permutations(range(128)),
    channel=st.sampled_from([0, 9]),
    program=st.sampled_from([0, 24]),
)
def test_detokenized_piece_written_to_a_file(tmp_path, notes, pitches, channel, program):
    # One tick per millisecond (500 ticks per beat, 500000 us per beat); no two notes share a key.
    notes = [(p, s, s + length, v, channel) for p, (s, length, v) in zip(pitches, notes)]
    d = build_midi_dict(notes, [(500000, 0)], [(program, 0, channel)], None, 500)
    piece = TOK.detokenize(TOK.tokenize(d))
    path = tmp_path / "piece.mid"
    piece.to_midi().save(str(path))

    mid = mido.MidiFile(str(path))
    assert mid.ticks_per_beat == 500
    on, off, programs, tempos = [], [], [], []
    for track in mid.tracks:
        tick = 0
        for msg in track:
            tick += msg.time
            if msg.type == "note_on" and msg.velocity:
                on.append((msg.note, tick, msg.velocity, msg.channel))
            elif msg.type in ("note_on", "note_off"):
                off.append((msg.note, tick, msg.channel))
            elif msg.type == "program_change":
                programs.append((msg.program, tick, msg.channel))
            elif msg.type == "set_tempo":
                tempos.append((msg.tempo, tick))
    assert tempos == [(500000, 0)]
    assert programs == [(m.data, m.tick, m.channel) for m in piece.instrument_msgs]
    assert sorted(on) == sorted((n.pitch, n.start, n.velocity, n.channel) for n in piece.note_msgs)
    assert sorted(off) == sorted((n.pitch, n.end, n.channel) for n in piece.note_msgs)
    assert sorted(notes_of(MidiDict.from_midi(str(path)))) == sorted(notes_of(piece))
