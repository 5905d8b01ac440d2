"""Properties of the absolute tokenizer: every vocabulary token survives encode/decode, arbitrary
token objects are read consistently by encode and detokenize, tokenize agrees with a Python model
of its rules on random pieces, and tokenize -> detokenize gives back quantized notes."""

from __future__ import annotations

import os
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from noteloom import AbsTokenizer, MidiDict
from test_tokenizer_model import (
    DRUM_BASE,
    DUR_GRID,
    INT32_MAX,
    INT32_MIN,
    NOTE_BASE,
    ONSET_GRID,
    VELOCITY_GRID,
    VOCAB_SIZE,
    BadToken,
    classify,
    full_notes_of,
    instruments_of,
    make_piece,
    model_detokenize,
    model_reload,
    model_roundtrip_notes,
    model_tokenize,
    nearest_in_grid,
    notes_of,
    piece_args,
    python_form,
    quantize_velocity,
    quantized_dur,
    vocabulary,
)

TOK = AbsTokenizer()
VOCAB = vocabulary()
DRUM_NOTE_IDS = range(NOTE_BASE + 2 * 4096, NOTE_BASE + 3 * 4096)  # the note block of instrument "drum"
VOCAB_IDS = {form: i for i, form in enumerate(VOCAB) if i not in DRUM_NOTE_IDS}
BAD_TOKEN = "Token must be either a string or a 3-tuple"

SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
FEWER = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# =================================================================================================
# The vocabulary round trip
# =================================================================================================


def test_every_vocabulary_id_survives_decode_then_encode():
    tokens = TOK.decode(list(range(VOCAB_SIZE)))
    ids = TOK.encode(tokens)
    mismatched = [i for i in range(VOCAB_SIZE) if ids[i] != i]
    assert mismatched == list(DRUM_NOTE_IDS)


def test_every_vocabulary_token_survives_encode_then_decode():
    outside_drum_block = [t for i, t in enumerate(VOCAB) if i not in DRUM_NOTE_IDS]
    assert len(outside_drum_block) == VOCAB_SIZE - 4096
    assert TOK.decode(TOK.encode(outside_drum_block)) == outside_drum_block


def test_drum_note_tokens_read_back_as_drum_tokens():
    forms = TOK.decode(list(DRUM_NOTE_IDS))
    assert forms == [("drum", p, v) for p in range(128) for v in VELOCITY_GRID]
    expected = [DRUM_BASE + p - 35 if 35 <= p <= 81 else 0 for p in range(128) for _v in VELOCITY_GRID]
    assert TOK.encode(forms) == expected
    assert TOK.decode(expected) == [("drum", p, 0) if 35 <= p <= 81 else "<S>" for p in range(128) for _v in VELOCITY_GRID]


# =================================================================================================
# Arbitrary token objects
# =================================================================================================

texts = st.sampled_from(
    [
        "<S>", "<E>", "<P>", "<U>", "<D>", "<T>", "<X>", "<", "onset", "dur", "drum", "piano", "guitar",
        "organ", "", "Piano", "prefix:instrument:piano", "prefix:instrument:guitar", "prefix:instrument:drum",
        "prefix:instrument:organ", "prefix:composer:Vesk", "prefix:genre:jazz", "prefix:form:fugue",
        "prefix:a", "x-prefix:a:b", "prefix::", "a:prefix:b", "prefix:a:b:c", "a:b:c",
    ]
) | st.text(max_size=6)  # fmt: skip

small_ints = st.integers(-20, 130) | st.sampled_from(ONSET_GRID + DUR_GRID + [5000, 6000, -5000])
any_ints = small_ints | st.integers(INT32_MIN, INT32_MAX) | st.booleans()

valid_objects = texts | st.tuples(texts, any_ints, any_ints)

invalid_objects = st.one_of(
    st.tuples(texts, any_ints),
    st.tuples(texts, any_ints, any_ints, any_ints),
    st.tuples(texts, st.floats(allow_nan=False), any_ints),
    st.tuples(texts, any_ints, st.integers(2**31, 2**64) | st.integers(-(2**64), -(2**31) - 1)),
    st.tuples(st.integers(), any_ints, any_ints),
    st.lists(any_ints, min_size=3, max_size=3),
    st.none(),
    st.integers(),
    st.binary(max_size=3),
    st.just("\ud800"),
)


def expected_id(obj):
    return VOCAB_IDS.get(python_form(classify(obj)), 0)


@SETTINGS
@given(objs=st.lists(valid_objects, max_size=20))
def test_encode_reads_tokens_as_the_model_does(objs):
    ids = TOK.encode(objs)
    assert ids == [expected_id(o) for o in objs]
    # Reading the canonical Python form gives the same token as reading the original object.
    assert TOK.encode([python_form(classify(o)) for o in objs]) == ids


@SETTINGS
@given(objs=st.lists(valid_objects, max_size=20))
def test_vocabulary_tokens_come_back_in_canonical_form(objs):
    forms = [python_form(classify(o)) for o in objs]
    back = TOK.decode(TOK.encode(objs))
    assert back == [f if f in VOCAB_IDS else "<S>" for f in forms]


@SETTINGS
@given(ids=st.lists(st.integers(INT32_MIN, INT32_MAX) | st.integers(-5, VOCAB_SIZE + 5), max_size=30))
def test_decode_any_ids(ids):
    assert TOK.decode(ids) == [VOCAB[i] if 0 <= i < VOCAB_SIZE else "<U>" for i in ids]


@SETTINGS
@given(
    objs=st.lists(valid_objects, max_size=8),
    bad=invalid_objects,
    where=st.integers(0, 8),
    method=st.sampled_from(["encode", "detokenize"]),
)
def test_one_refused_object_fails_the_call(objs, bad, where, method):
    with pytest.raises(BadToken):
        classify(bad)
    objs.insert(min(where, len(objs)), bad)
    with pytest.raises(TypeError) as info:
        getattr(TOK, method)(objs)
    assert str(info.value) == BAD_TOKEN


# Token streams that look like tokenizer output, with noise mixed in.
stream_tokens = st.one_of(
    st.sampled_from(["<S>", "<E>", "<T>", "<T>", "<D>", "<U>", ("<T>", 1, 2), "onset", "prefix:instrument:piano"]),
    st.sampled_from(["piano", "guitar", "drum"]).map(lambda x: (f"prefix:instrument:{x}", 0, 0)),
    st.tuples(st.sampled_from(["prefix:instrument:organ", "prefix:genre:jazz", "prefix:a", "x-prefix:a:b"]), any_ints, any_ints),
    st.tuples(st.sampled_from(["piano", "guitar", "organ", ""]), small_ints, small_ints),
    st.tuples(st.sampled_from(["piano", "guitar"]), any_ints, any_ints),
    st.tuples(st.just("drum"), small_ints, any_ints),
    st.tuples(st.sampled_from(["onset", "dur"]), small_ints, any_ints),
    st.tuples(st.sampled_from(["onset", "dur"]), any_ints, any_ints),
)


@SETTINGS
@given(tokens=st.lists(stream_tokens | valid_objects, max_size=60))
def test_detokenize_follows_the_model_on_any_tokens(tokens):
    d = TOK.detokenize(tokens)
    instruments, notes = model_detokenize(tokens)
    assert instruments_of(d) == instruments
    assert full_notes_of(d) == notes
    assert d.ticks_per_beat == 500
    assert [(m.data, m.tick) for m in d.tempo_msgs] == [(500000, 0)]
    assert d.pedal_msgs == [] and d.meta_msgs == [] and d.metadata == {}
    # Reading the canonical forms gives the same piece.
    assert TOK.detokenize([python_form(classify(t)) for t in tokens]) == d


@SETTINGS
@given(tokens=st.lists(stream_tokens, max_size=40))
def test_detokenize_is_unchanged_by_encode_decode_of_vocabulary_tokens(tokens):
    tokens = [t for t in tokens if python_form(classify(t)) in VOCAB_IDS]
    assert TOK.detokenize(TOK.decode(TOK.encode(tokens))) == TOK.detokenize(tokens)


# =================================================================================================
# tokenize against the model
# =================================================================================================

channels = st.sampled_from([0, 1, 2, 3, 9, 9, 15, 16])


@st.composite
def pieces(draw):
    tpb = draw(st.integers(24, 1000) | st.sampled_from([480, 500, 96]))
    tempos = draw(
        st.lists(st.tuples(st.integers(100_000, 2_000_000) | st.just(0), st.integers(-100, 20_000)), max_size=4)
    )
    nnotes = draw(st.integers(1, 60))
    notes = draw(
        st.lists(
            st.tuples(
                st.integers(0, 127) | st.integers(-5, 140),
                st.integers(-50, 30_000),
                st.integers(-50, 35_000),
                st.integers(-3, 140),
                channels,
            ),
            min_size=nnotes,
            max_size=nnotes,
        )
    )
    if draw(st.booleans()):
        notes = [(p, s, s + (e % 4000), v, c) for p, s, e, v, c in notes]  # mostly sensible lengths
    instruments = draw(st.lists(st.tuples(st.integers(-2, 200), st.integers(0, 1000), channels), max_size=5))
    # Pedal ticks often fall on note boundaries, where the strict comparisons matter.
    boundaries = sorted({n[1] for n in notes} | {n[2] for n in notes})
    pedal_ticks = st.integers(-10, 30_000) | st.sampled_from(boundaries)
    pedals = draw(st.lists(st.tuples(st.sampled_from([0, 1, 1, 0, 2]), pedal_ticks, channels), max_size=8))
    metadata = draw(
        st.dictionaries(
            st.sampled_from(["composer", "form", "genre", "title", "Composer"]),
            st.sampled_from(["Orlane", "Vesk", "sonata", "fugue", "classical", "jazz", "vesk", "pop"]),
            max_size=4,
        )
    )
    return dict(notes=notes, tempos=tempos, instruments=instruments, pedals=pedals, metadata=metadata, tpb=tpb)


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(piece=pieces())
def test_tokenize_follows_the_model(piece):
    d = make_piece(**piece)
    assert piece_args(d) == piece  # the piece holds what was drawn, in that order
    assert TOK.tokenize(d) == model_tokenize(**piece)


@FEWER
@given(piece=pieces())
def test_tokenize_invariants(piece):
    tokens = TOK.tokenize(make_piece(**piece))
    s = tokens.index("<S>")
    assert tokens[-1] == "<E>" and tokens.count("<S>") == 1 and tokens.count("<E>") == 1
    assert all(isinstance(t, tuple) and t[0].startswith("prefix:") for t in tokens[:s])
    body = tokens[s + 1 : -1]
    assert body.count("<D>") == (1 if len(body) > 151 else 0)
    body = [t for t in body if t != "<D>"]
    # One note group per note, each with an onset from the grid.
    groups = [t for t in body if isinstance(t, tuple) and t[0] not in ("onset", "dur")]
    assert len(groups) == len(piece["notes"])
    assert all(t[1] in ONSET_GRID for t in body if isinstance(t, tuple) and t[0] == "onset")
    assert all(t[1] in DUR_GRID and t[1] >= 10 for t in body if isinstance(t, tuple) and t[0] == "dur")
    assert all(t[2] in VELOCITY_GRID for t in groups if t[0] != "drum")


# =================================================================================================
# tokenize -> detokenize
# =================================================================================================

ms_notes = st.lists(
    st.tuples(st.integers(0, 127), st.integers(0, 60_000), st.integers(-20, 7_000), st.integers(0, 127)),
    min_size=1,
    max_size=60,
)


@SETTINGS
@given(raw=ms_notes)
def test_tokenize_then_detokenize_gives_quantized_notes(raw):
    # One tick is one millisecond: 500 ticks per beat at 500000 us per beat.
    notes = [(p, s, s + length, v, 0) for p, s, length, v in raw]
    d = make_piece(notes=notes, tempos=[(500000, 0)], tpb=500)
    back = TOK.detokenize(TOK.tokenize(d))
    ordered = sorted(notes, key=lambda n: n[1])
    first_segment = ordered[0][1] // 5000
    expected = []
    for p, s, e, v, _c in ordered:
        start = (s // 5000 - first_segment) * 5000 + nearest_in_grid(ONSET_GRID, s % 5000)
        dur = min(max(nearest_in_grid(DUR_GRID, max(e - s, 0)), 10), 5000)
        expected.append((p, start, start + dur, quantize_velocity(v), start, 0))
    assert full_notes_of(back) == expected
    assert instruments_of(back) == [(0, 0, 0)]
    # The same through the IDs.
    assert TOK.detokenize(TOK.decode(TOK.encode(TOK.tokenize(d)))) == back


@FEWER
@given(piece=pieces())
def test_tokenize_then_detokenize_follows_the_model(piece):
    d = make_piece(**piece)
    tokens = TOK.tokenize(d)
    expected = model_roundtrip_notes(piece["notes"], piece["tempos"], piece["instruments"], piece["pedals"], piece["tpb"])
    direct = [n for f, n in expected if f == "drum" or n[4] is not None]
    assert notes_of(TOK.detokenize(tokens)) == direct
    # Through the IDs, note tokens outside the vocabulary (other families, pitches outside 0..127)
    # and drum tokens outside 35..81 disappear.
    via_ids = [
        n
        for f, n in expected
        if (f == "drum" and 35 <= n[0] <= 81) or (f != "drum" and n[4] is not None and 0 <= n[0] <= 127)
    ]
    assert notes_of(TOK.detokenize(TOK.decode(TOK.encode(tokens)))) == via_ids


@FEWER
@given(raw=ms_notes, channel=st.sampled_from([0, 9]), program=st.sampled_from([0, 24]))
def test_detokenized_pieces_survive_saving_and_loading(raw, channel, program):
    notes = [(p, s, s + length, v, channel) for p, s, length, v in raw]
    d = make_piece(notes=notes, tempos=[(500000, 0)], instruments=[(program, 0, channel)], tpb=500)
    out = TOK.detokenize(TOK.tokenize(d))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "piece.mid")
        out.to_midi().save(path)
        again = MidiDict.from_midi(path)
    expected_notes, expected_instruments = model_reload(notes_of(out), instruments_of(out))
    assert notes_of(again) == expected_notes
    assert instruments_of(again) == expected_instruments
    assert again.ticks_per_beat == 500


def test_quantized_dur_helper_matches_the_rules():
    assert [quantized_dur(x) for x in (0, 4, 5, 6, 15, 2345, 9000)] == [10, 10, 10, 10, 20, 2340, 5000]
