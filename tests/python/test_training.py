"""From a dataset to training batches and back to music: splits, chunks, collate, ids_to_midi,
piano rolls."""

import concurrent.futures
import multiprocessing
import pickle
from pathlib import Path

import numpy as np
import pytest

import noteloom
from noteloom import AbsTokenizer, MidiDict, TokenDataset, collate, encode_dataset, ids_to_midi, piano_roll
from noteloom.dask import encode_on_dask

from support import CORPUS, run_cli, write_piece

TOK = AbsTokenizer()


def long_piece(path, seed, notes=400):
    """A piece of `notes` notes on piano, guitar and drums, spread over a minute or so."""
    d = MidiDict()
    d.add_tempo(500000, 0)
    for program, channel in ((0, 0), (25, 1), (0, 9)):
        d.add_instrument(program, 0, channel)
    for i in range(notes):
        channel = (0, 1, 9)[(i * 7 + seed) % 3]
        start = i * 97 + (seed * 13) % 50
        d.add_note(36 + (i * 11 + seed) % 40 if channel != 9 else 36 + i % 10, start, start + 150 + i % 300,
                   30 + (i * 17 + seed) % 90, channel)
    d.to_midi().save(str(path))
    return path


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A dataset of long and short pieces (and of the shared corpus when it is there)."""
    folder = tmp_path_factory.mktemp("music")
    files = [str(long_piece(folder / f"long{k}.mid", k)) for k in range(4)]
    files += [str(write_piece(folder / f"short{k}.mid", k)) for k in range(200)]
    if CORPUS.exists():
        files.append(str(CORPUS))
    out = folder / "ds"
    encode_dataset(files, out)
    return TokenDataset(out)


def test_a_split_is_disjoint_complete_by_content_and_stable_as_the_corpus_grows(pieces, tmp_path):
    (tmp_path / "more").mkdir()
    files = [str(write_piece(tmp_path / "more" / f"{k}.mid", 100 + k)) for k in range(300)]
    small, big = tmp_path / "small", tmp_path / "big"
    encode_dataset([str(pieces)] + files[:150], small)  # pieces/e.mid is a copy of pieces/c.mid
    encode_dataset(files[150:] + [str(pieces)] + files[:150], big, threads=1)
    part_of = {}
    for out in (small, big):
        ds = TokenDataset(out)
        index = {ds.row(k)["path"]: k for k in range(len(ds))}
        parts = ds.split(valid=0.2, test=0.1, seed=7)
        paths = [parts[p].row(i)["path"] for p in parts for i in range(len(parts[p]))]
        assert sorted(paths) == sorted(index)
        for name, part in parts.items():
            for i in range(len(part)):
                row = part.row(i)
                assert part_of.setdefault(row["hash"], name) == name  # copies and both datasets agree
                assert np.array_equal(part[i], ds[index[row["path"]]])
    n = len(TokenDataset(big))
    assert abs(len(parts["valid"]) - 0.2 * n) < 0.08 * n and abs(len(parts["test"]) - 0.1 * n) < 0.06 * n
    reseeded = TokenDataset(big).split(valid=0.2, test=0.1, seed=8)["valid"]
    assert {reseeded.row(i)["hash"] for i in range(len(reseeded))} != {h for h, p in part_of.items() if p == "valid"}


def test_a_stored_split_opens_by_name_pickles_and_goes_with_a_rerun(pieces, tmp_path):
    out = tmp_path / "ds"
    encode_dataset([str(write_piece(pieces / f"more{k}.mid", k)) for k in range(40)], out)
    r = run_cli("split", out, "--valid", "0.25", "--test", "0.25", "--seed", "3")
    assert r.returncode == 0, r.stderr
    made = TokenDataset(out).split(valid=0.25, test=0.25, seed=3)
    for name in ("train", "valid", "test"):
        stored = TokenDataset(out, split=name)
        assert name in r.stdout and f"{len(stored)}" in r.stdout
        rows = [stored.row(i) for i in range(len(stored))]
        assert rows == [made[name].row(i) for i in range(len(made[name]))]
        for view in (pickle.loads(pickle.dumps(stored)), pickle.loads(pickle.dumps(made[name]))):
            assert [view.row(i) for i in range(len(view))] == rows
    valid = TokenDataset(out, split="valid")
    packed = np.concatenate([valid[i] for i in range(len(valid))])
    assert np.array_equal(valid.windows(5, 3)[2], packed[6:11]) and valid.num_tokens == len(packed)
    encode_dataset([str(pieces)], out)
    with pytest.raises(noteloom.DatasetError, match="no split stored"):
        TokenDataset(out, split="train")


def test_a_sharded_dataset_splits_as_the_one_machine_dataset(pieces, tmp_path):
    files = [str(write_piece(pieces / f"more{k}.mid", k)) for k in range(30)]
    encode_dataset(files, tmp_path / "single")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        sharded = encode_on_dask(files, tmp_path / "sharded", pool, shard_size=7, threads=1)
    single = TokenDataset(tmp_path / "single")
    for name, part in sharded.split(valid=0.3, test=0.3).items():
        other = single.split(valid=0.3, test=0.3)[name]
        assert [part.row(i) for i in range(len(part))] == [other.row(i) for i in range(len(other))]
        assert [c.tobytes() for c in part.chunks(20)] == [c.tobytes() for c in other.chunks(20)]


def prefix_of(ids):
    return ids[: list(ids).index(noteloom.BOS_ID) + 1]


@pytest.mark.parametrize("max_len", [16, 97, 2048])
def test_chunks_cut_between_groups_and_give_the_sequences_back(corpus, max_len):
    chunks = corpus.chunks(max_len)
    pieces = {}
    for j in range(len(chunks)):
        pieces.setdefault(chunks.sequence(j), []).append(chunks[j])
    assert sorted(pieces) == list(range(len(corpus)))
    for s, parts in pieces.items():
        ids = corpus[s]
        prefix = prefix_of(ids)
        assert all(len(p) <= max_len and np.array_equal(p[: len(prefix)], prefix) for p in parts)
        assert np.array_equal(np.concatenate([parts[0]] + [p[len(prefix):] for p in parts[1:]]), ids)
        assert parts[-1][-1] == noteloom.EOS_ID
        for p in parts[1:]:  # each cut is before a group: the piece reads on from a group's start
            first = TOK.decode([int(p[len(prefix)])])[0]
            assert first in ("<T>", "<D>", "<E>") or first[0] not in ("onset", "dur")
        notes = [len(TOK.detokenize(TOK.decode(p.tolist())).note_msgs) for p in parts]
        assert sum(notes) == len(TOK.detokenize(TOK.decode(ids.tolist())).note_msgs)
        if len(parts) > 1:  # filled: the next group would not have fitted
            assert len(parts[0]) + 3 > max_len or len(parts[0]) == len(ids)
    again = pickle.loads(pickle.dumps(chunks))
    assert len(again) == len(chunks) and np.array_equal(again[len(chunks) // 2], chunks[len(chunks) // 2])


def test_a_prefix_too_long_for_the_chunks_is_refused(corpus):
    with pytest.raises(ValueError, match="prefix of .* do not fit in max_len 4"):
        corpus.chunks(4)


def test_collate_pads_masks_and_labels():
    batch = [np.array([7, 8, 9], dtype=np.uint16), [5], np.arange(10, 16)]
    out = collate(batch)
    assert out["input_ids"].dtype == np.int64 and out["input_ids"].shape == (3, 6)
    assert out["input_ids"][1].tolist() == [5] + [noteloom.PAD_ID] * 5
    assert out["attention_mask"].tolist() == [[1, 1, 1, 0, 0, 0], [1, 0, 0, 0, 0, 0], [1] * 6]
    assert out["labels"][0].tolist() == [7, 8, 9, -100, -100, -100]
    cut = collate(batch, max_len=4, pad_id=0)
    assert cut["input_ids"].tolist() == [[7, 8, 9, 0], [5, 0, 0, 0], [10, 11, 12, 13]]
    with pytest.raises(ValueError, match="empty batch"):
        collate([])


def test_ids_to_midi_reads_what_a_model_writes(corpus, tmp_path):
    import mido

    ids = corpus[0]
    whole = ids_to_midi(ids)
    assert whole == TOK.detokenize(TOK.decode(ids.tolist()))
    assert ids_to_midi(list(ids) + [noteloom.EOS_ID, 99999, 5]) == whole  # past "<E>": not read
    assert ids_to_midi(ids.astype(np.int32)) == ids_to_midi(ids.tolist()) == whole
    window = ids[40:400]
    assert not TOK.detokenize(TOK.decode(window.tolist())).note_msgs  # no prefix: no channels
    assert len(ids_to_midi(window).note_msgs) >= 100
    with pytest.raises(ValueError, match="ID 13351 at position 2"):
        ids_to_midi([0, 5, noteloom.VOCAB_SIZE])
    with pytest.raises(TypeError):
        ids_to_midi(np.array([0.5]))
    whole.to_midi().save(str(tmp_path / "piece.mid"))
    on = [m for m in mido.MidiFile(tmp_path / "piece.mid") if m.type == "note_on" and m.velocity > 0]
    assert len(on) == len(whole.note_msgs)


def test_the_piano_roll_of_a_hand_built_piece():
    d = MidiDict()
    d.ticks_per_beat = 500
    d.add_tempo(500000, 0)  # one tick is one millisecond
    d.add_note(60, 0, 250, 80, 0)
    d.add_note(60, 200, 400, 100, 0)  # overlaps the first: the louder one shows
    d.add_note(64, 105, 110, 50, 1)  # shorter than a frame: still one frame
    d.add_note(36, 300, 310, 127, 9)
    roll = piano_roll(d, fs=100)
    expected = np.zeros((128, 40), dtype=np.uint8)
    expected[60, 0:20] = 80
    expected[60, 20:40] = 100
    expected[64, 10] = 50
    assert roll.dtype == np.uint8 and np.array_equal(roll, expected)
    drums = piano_roll(d, fs=100, drums=True)
    assert drums.shape == (128, 40) and drums.sum() == 127 and drums[36, 30] == 127
    assert piano_roll(d, fs=10)[60].tolist() == [80, 80, 100, 100]
    assert piano_roll(TOK.encode(TOK.tokenize(d)), fs=100).shape[0] == 128


@pytest.mark.parametrize("oov", ["drop", "unk"])
def test_records_count_the_notes_loaded_and_kept(tmp_path, oov):
    """kept_notes: the note and drum groups of the sequence; notes: the note-ons of the file. A bass
    and an out-of-range drum are not kept; --min-retention skips the file that keeps too few."""
    import mido

    d = MidiDict()
    d.add_tempo(500000, 0)
    for program, channel in ((0, 0), (33, 1), (0, 9)):
        d.add_instrument(program, 0, channel)
    for i in range(12):
        d.add_note(60 + i, i * 480, i * 480 + 400, 80, (0, 1, 9)[i % 3] if i != 11 else 9)
    d.add_note(20, 100, 110, 90, 9)  # a drum outside the vocabulary's drum keys
    d.to_midi().save(str(tmp_path / "band.mid"))
    solo = MidiDict()
    solo.add_tempo(500000, 0)
    solo.add_instrument(0, 0, 0)
    for i in range(5):
        solo.add_note(60 + i, i * 240, i * 240 + 200, 70, 0)
    solo.to_midi().save(str(tmp_path / "piano.mid"))
    out = tmp_path / "ds"
    encode_dataset([str(tmp_path / "band.mid"), str(tmp_path / "piano.mid")], out, oov=oov)
    kinds = noteloom.vocabulary.kinds()
    ds = TokenDataset(out)
    for i, path in enumerate(("band.mid", "piano.mid")):
        row, ids = ds.row(i), ds[i]
        on = sum(m.type == "note_on" and m.velocity > 0 for m in mido.MidiFile(tmp_path / path))
        groups = np.isin(kinds[ids], [noteloom.vocabulary.Kind.NOTE, noteloom.vocabulary.Kind.DRUM]).sum()
        assert (row["notes"], row["kept_notes"]) == (on, groups)
    assert ds.row(0)["kept_notes"] < ds.row(0)["notes"] == 13
    strict = tmp_path / "strict"
    r = run_cli("encode", tmp_path / "band.mid", tmp_path / "piano.mid", "-o", strict, "--min-retention", "0.9")
    assert r.returncode == 0, r.stderr
    rows = list(TokenDataset(strict).manifest())
    kept = ds.row(0)["kept_notes"]
    assert rows[0]["reason"] == f"kept {round(100 * kept / 13)} % of its notes, below --min-retention 0.9"
    assert rows[1]["status"] == "ok" and "low retention" in run_cli("info", strict).stdout
    total = ds.row(0)["notes"] + ds.row(1)["notes"]
    shown = f"{kept + ds.row(1)['kept_notes']} of {total}"
    assert shown in run_cli("info", out).stdout and shown in run_cli("stats", out).stdout


def _augmented(ds, items):
    return [ds[i].tobytes() for i in items]


def test_a_seed_makes_augmented_batches_repeat(corpus):
    augment = {"max_pitch_aug": 5, "max_num_aug_steps": 2, "max_tempo_aug": 0.3, "mixup": True}
    items = list(range(min(len(corpus), 12)))
    a = TokenDataset(corpus.directory, augment=augment, seed=11)
    b = TokenDataset(corpus.directory, augment=augment, seed=11)
    first = _augmented(a, items)
    assert first == _augmented(b, items[::-1])[::-1]  # order of reading does not matter
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert list(pool.map(_augmented, [a] * 2, [items[:6], items[6:]])) == [first[:6], first[6:]]
    a.set_epoch(1)
    again = pickle.loads(pickle.dumps(a))
    assert _augmented(again, items) == _augmented(a, items) != first
    unseeded = TokenDataset(corpus.directory, augment=augment)
    assert _augmented(unseeded, items) != _augmented(unseeded, items)
    ids = corpus[0]
    assert np.array_equal(noteloom.augment_ids(ids, **augment, seed=5), noteloom.augment_ids(ids, **augment, seed=5))
    chunks = a.chunks(64)
    pieces = _augmented(chunks, items)
    assert pieces == _augmented(pickle.loads(pickle.dumps(chunks)), items)
    assert pieces != [chunks.stored(j).tobytes() for j in items]


def test_decode_writes_a_sequence_or_a_file_of_ids_as_midi(corpus, tmp_path):
    ids = corpus[1]
    np.save(tmp_path / "ids.npy", ids.astype(np.int32))
    (tmp_path / "ids.txt").write_text(", ".join(map(str, ids.tolist())))
    expected = ids_to_midi(ids)
    for source, more in ((corpus.directory, ["-i", "1"]), (tmp_path / "ids.npy", []), (tmp_path / "ids.txt", [])):
        out = tmp_path / f"{Path(source).stem}.mid"
        r = run_cli("decode", source, *more, "-o", out)
        assert r.returncode == 0, r.stderr
        assert MidiDict.from_midi(out).note_msgs and len(MidiDict.from_midi(out).note_msgs) == len(expected.note_msgs)
    (tmp_path / "bad.txt").write_text("1 2 x")
    bad = run_cli("decode", tmp_path / "bad.txt", "-o", tmp_path / "x.mid")
    assert bad.returncode == 1 and "not a text file of integer IDs" in bad.stderr
    assert run_cli("decode", corpus.directory, "-o", tmp_path / "x.mid").returncode == 1  # which sequence?
