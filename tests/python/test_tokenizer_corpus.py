"""Real MIDI files through the tokenizer: file -> tokenize -> encode -> decode -> detokenize ->
to_midi().save() -> from_midi. Every step is compared with the Python model of the tokenizer and
of the write-then-load rules."""

from __future__ import annotations

import collections

import pytest

from noteloom import AbsTokenizer, MidiDict
from test_tokenizer_model import (
    DRUM_CHANNEL,
    VOCAB_SIZE,
    channel_families,
    elapsed_ms,
    instruments_of,
    model_reload,
    model_roundtrip_notes,
    model_tokenize,
    notes_of,
    piece_args,
    vocabulary,
)

from support import CORPUS
FILES = sorted(CORPUS.rglob("*.mid")) if CORPUS.is_dir() else []

pytestmark = pytest.mark.skipif(not FILES, reason=f"no MIDI corpus at {CORPUS}")

TOK = AbsTokenizer()
VOCAB = vocabulary()
VOCAB_SET = {t for i, t in enumerate(VOCAB) if not 8207 <= i <= 12302}


def _load(path):
    try:
        return MidiDict.from_midi(str(path))
    except OSError:
        return None


def outside_vocabulary_reason(token):
    """Why a token that tokenize produced has no ID, or None when it is in the vocabulary."""
    if token in VOCAB_SET:
        return None
    if isinstance(token, tuple):
        name = token[0]
        if name.startswith("prefix:instrument:") and name.split(":")[2] not in ("piano", "guitar", "drum"):
            return "prefix of another family"
        if name == "drum" and not 35 <= token[1] <= 81:
            return "drum pitch outside 35..81"
        if name not in ("onset", "dur", "drum") and not name.startswith("prefix:"):
            if name not in ("piano", "guitar"):
                return "note of another family"
            if not 0 <= token[1] <= 127:
                return "pitch outside 0..127"
    return "unexpected"


@pytest.fixture(scope="module")
def corpus_tokens():
    """path -> (MidiDict or None, tokens or the RuntimeError text)."""
    out = {}
    for path in FILES:
        d = _load(path)
        if d is None:
            out[path] = (None, None)
            continue
        try:
            out[path] = (d, TOK.tokenize(d))
        except RuntimeError as e:
            out[path] = (d, str(e))
    return out


def _id(path):
    return str(path.relative_to(CORPUS))


@pytest.mark.parametrize("path", FILES, ids=[_id(p) for p in FILES])
def test_corpus_file_round_trip(corpus_tokens, path, tmp_path):
    d, tokens = corpus_tokens[path]
    if d is None:
        pytest.skip("the file does not load")
    if not d.note_msgs:
        assert tokens == "Tokenization failed: Empty note messages after filtering"
        return
    args = piece_args(d)

    # The model's tick_to_ms agrees with the library for every note start.
    starts = sorted({n[1] for n in args["notes"]})
    assert [elapsed_ms(args["tempos"], args["tpb"], 0, s) for s in starts[:: max(1, len(starts) // 50)]] == [
        d.tick_to_ms(s) for s in starts[:: max(1, len(starts) // 50)]
    ]

    # tokenize follows the rules exactly.
    assert tokens == model_tokenize(**args)

    # encode -> decode: everything comes back except the tokens outside the vocabulary, which
    # encode as 0 and so come back as "<S>".
    ids = TOK.encode(tokens)
    assert all(0 <= i < VOCAB_SIZE for i in ids)
    back = TOK.decode(ids)
    reasons = [outside_vocabulary_reason(t) for t in tokens]
    assert "unexpected" not in reasons
    assert back == [t if r is None else "<S>" for t, r in zip(tokens, reasons)]
    assert [i for i, r in zip(ids, reasons) if r is not None] == [0] * sum(r is not None for r in reasons)

    # detokenize: the notes of piano, guitar and drums come back quantized; other families are dropped.
    expected = model_roundtrip_notes(args["notes"], args["tempos"], args["instruments"], args["pedals"], args["tpb"])
    kept = [n for f, n in expected if (f == "drum" and 35 <= n[0] <= 81) or (f in ("piano", "guitar"))]
    out = TOK.detokenize(back)
    assert notes_of(out) == kept
    fam = channel_families(args["notes"], args["instruments"])
    present = [f for f in sorted(set(fam.values())) if f in ("piano", "guitar")]
    expected_instruments = [(0 if f == "piano" else 24, 0, ch) for ch, f in enumerate(present)]
    if any(n[4] == DRUM_CHANNEL for n in args["notes"]):
        expected_instruments.append((0, 0, 9))
    assert instruments_of(out) == expected_instruments
    # Without the IDs, drum notes of every pitch survive too.
    direct = [n for f, n in expected if f == "drum" or f in ("piano", "guitar")]
    assert notes_of(TOK.detokenize(tokens)) == direct

    # to_midi().save() -> from_midi keeps the notes as the write-then-load rules say.
    target = tmp_path / "round_trip.mid"
    out.to_midi().save(str(target))
    again = MidiDict.from_midi(str(target))
    reload_notes, reload_instruments = model_reload(kept, instruments_of(out))
    assert notes_of(again) == reload_notes
    assert instruments_of(again) == reload_instruments
    assert again.ticks_per_beat == 500
    assert [(m.data, m.tick) for m in again.tempo_msgs] == [(500000, 0)]
    # Notes that neither overlap nor touch another note of the same channel and key come back unchanged.
    by_key = collections.defaultdict(list)
    for n in kept:
        by_key[(n[4], n[0])].append(n)
    isolated = []
    for group in by_key.values():
        group.sort(key=lambda n: n[1])
        latest_end = None
        for i, n in enumerate(group):
            clear_before = latest_end is None or latest_end < n[1]
            clear_after = i + 1 == len(group) or group[i + 1][1] > n[2]
            if clear_before and clear_after:
                isolated.append(n)
            latest_end = n[2] if latest_end is None else max(latest_end, n[2])
    assert set(isolated) <= set(notes_of(again))


def test_corpus_tokens_outside_the_vocabulary(corpus_tokens):
    """Counts, over the whole corpus, the tokens that have no ID and why; only other families and
    drum pitches outside 35..81 may be among them."""
    counts = collections.Counter()
    files_with = collections.Counter()
    tokenized = 0
    for path, (d, tokens) in corpus_tokens.items():
        if d is None or isinstance(tokens, str):
            continue
        tokenized += 1
        reasons = collections.Counter(r for r in map(outside_vocabulary_reason, tokens) if r is not None)
        counts.update(reasons)
        files_with.update(reasons.keys())
    print(f"\n{tokenized} files tokenized; tokens outside the vocabulary: {dict(counts)}; files: {dict(files_with)}")
    assert tokenized > 0
    assert set(counts) <= {"prefix of another family", "note of another family", "drum pitch outside 35..81"}


def test_corpus_families(corpus_tokens):
    """Every note of a family other than piano and guitar is dropped by detokenize; the corpus
    holds several such families."""
    seen = set()
    for path, (d, tokens) in corpus_tokens.items():
        if d is None or isinstance(tokens, str):
            continue
        fam = channel_families(notes_of(d), instruments_of(d))
        seen.update(fam.values())
        other = sum(1 for n in d.note_msgs if n.channel != DRUM_CHANNEL and fam[n.channel] not in ("piano", "guitar"))
        wanted = sum(1 for n in d.note_msgs if n.channel != DRUM_CHANNEL and fam[n.channel] in ("piano", "guitar"))
        drums = sum(1 for n in d.note_msgs if n.channel == DRUM_CHANNEL)
        drums_in_vocab = sum(1 for n in d.note_msgs if n.channel == DRUM_CHANNEL and 35 <= n.pitch <= 81)
        assert wanted + drums + other == len(d.note_msgs)
        assert len(TOK.detokenize(tokens).note_msgs) == wanted + drums
        assert len(TOK.detokenize(TOK.decode(TOK.encode(tokens))).note_msgs) == wanted + drums_in_vocab
    assert {"piano", "guitar"} <= seen
    assert len(seen - {"piano", "guitar"}) >= 3
