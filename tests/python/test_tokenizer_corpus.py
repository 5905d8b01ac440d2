"""Real MIDI files through the tokenizer: file -> tokenize -> encode -> decode -> detokenize ->
to_midi().save() -> from_midi. Each step is checked against the rules it must keep: the token grid,
one group per note, the vocabulary, the families detokenize keeps, fixed points and round trips."""

from __future__ import annotations

import collections

import pytest

from noteloom import AbsTokenizer, MidiDict
from support import CORPUS, DRUM_CHANNEL, VOCAB_SIZE, instruments_of, notes_of, vocabulary

FILES = sorted(CORPUS.rglob("*.mid")) if CORPUS.is_dir() else []

pytestmark = pytest.mark.skipif(not FILES, reason=f"no MIDI corpus at {CORPUS}")

TOK = AbsTokenizer()
VOCAB = vocabulary()
VOCAB_SET = {t for i, t in enumerate(VOCAB) if not 8207 <= i <= 12302}


FAMILIES = ["piano", "chromatic", "organ", "guitar", "bass", "strings", "ensemble", "brass",
            "reed", "pipe", "synth_lead", "synth_pad", "synth_effect", "ethnic", "percussive", "sfx"]


def channel_families(d):
    """Channel -> family of each note channel but the drums': the last program change with a
    family (General MIDI: program // 8) wins, piano without one."""
    families = {}
    for m in d.instrument_msgs:
        if m.channel != DRUM_CHANNEL and 0 <= m.data <= 127:
            families[m.channel] = FAMILIES[m.data // 8]
    return {n.channel: families.get(n.channel, "piano") for n in d.note_msgs if n.channel != DRUM_CHANNEL}


def isolated_notes(notes):
    """The notes that neither overlap nor touch another note of the same channel and key."""
    by_key = collections.defaultdict(list)
    for n in notes:
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
    return isolated


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
    # tokenize: one group per note (the built-in configuration ignores no family), on the grids,
    # with a "<T>" for every 5000 ms segment up to the last start.
    s = tokens.index("<S>")
    body = tokens[s + 1 : -1]
    assert tokens[-1] == "<E>"
    groups = [t for t in body if isinstance(t, tuple) and t[0] not in ("onset", "dur")]
    assert len(groups) == len(d.note_msgs)
    assert all(t[1] % 10 == 0 and 0 <= t[1] <= 4990 for t in body if isinstance(t, tuple) and t[0] == "onset")
    assert all(t[1] % 10 == 0 and 10 <= t[1] <= 5000 for t in body if isinstance(t, tuple) and t[0] == "dur")
    assert body.count("<T>") == d.tick_to_ms(max(n.start for n in d.note_msgs)) // 5000
    assert body.count("<D>") <= 1

    # encode -> decode: everything comes back except the tokens outside the vocabulary, which
    # encode as 0 and so come back as "<S>".
    ids = TOK.encode(tokens)
    assert all(0 <= i < VOCAB_SIZE for i in ids)
    back = TOK.decode(ids)
    reasons = [outside_vocabulary_reason(t) for t in tokens]
    assert "unexpected" not in reasons
    assert back == [t if r is None else "<S>" for t, r in zip(tokens, reasons)]
    assert [i for i, r in zip(ids, reasons) if r is not None] == [0] * sum(r is not None for r in reasons)

    # detokenize drops the silence before the first group it reads (tokens outside the vocabulary
    # came back as "<S>", so that may be a later group); once that silence is gone, tokenize and
    # detokenize are a fixed point.
    out = TOK.detokenize(back)
    if out.note_msgs:
        settled = TOK.tokenize(TOK.detokenize(TOK.tokenize(out)))
        assert TOK.tokenize(TOK.detokenize(settled)) == settled

    # to_midi().save() -> from_midi keeps the piece's frame and every note that neither overlaps
    # nor touches another of its key.
    target = tmp_path / "round_trip.mid"
    out.to_midi().save(str(target))
    again = MidiDict.from_midi(str(target))
    assert sorted(instruments_of(again)) == sorted(instruments_of(out))
    assert again.ticks_per_beat == 500
    assert [(m.data, m.tick) for m in again.tempo_msgs] == [(500000, 0)]
    assert set(isolated_notes(notes_of(out))) <= set(notes_of(again))


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
        fam = channel_families(d)
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
