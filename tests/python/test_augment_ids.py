"""augment_ids on token ID arrays: ID for ID what the three augmentation methods give on the decoded
IDs, encoded again; mixup changes only the order of events that start together; fresh random
amounts in every forked worker; TokenDataset's per-item augmentation."""

import multiprocessing
import pickle
import tempfile
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from noteloom import AbsTokenizer, TokenDataset, augment_ids, encode_files
from noteloom.sources import find_midi_files

from support import CORPUS, DUR_BASE, ONSET_BASE, VOCAB_SIZE, note_id, run_cli, write_piece

TOK = AbsTokenizer()
FIXED = {"pitch_aug": 3, "aug_step": -2, "tempo_aug": 1.13}


def the_methods(ids, pitch_aug, aug_step, tempo_aug, mixup=False):
    """The same three steps through token objects: the contract augment_ids is held to."""
    tokens = TOK.decode([int(i) for i in ids])
    tokens = TOK.apply_velocity_aug(TOK.apply_pitch_aug(tokens, 0, pitch_aug), 0, aug_step)
    return TOK.encode(TOK.apply_tempo_aug(tokens, 0.0, mixup, tempo_aug))


def sequences():
    """Every sequence the shared corpus gives, and those of a few generated pieces."""
    with tempfile.TemporaryDirectory() as tmp:
        files = [str(write_piece(Path(tmp) / f"{k}.mid", k)) for k in range(8)]
        if CORPUS.exists():
            files += list(find_midi_files(CORPUS))
        return [r.ids for r in encode_files(files, threads=2) if r.ids is not None]


SEQUENCES = sequences()
# Parameters at the edges: shifts that push every pitch out of range, velocity steps past both
# bounds, factors that shrink everything into one segment, reverse time, or spread it widely.
EDGES = [(0, 0, 1.0), (128, 0, 1.0), (-128, 40, 0.5), (60, -40, 0.0), (-5, 1, -1.0), (5, 2, 7.5), (1, -1, 1e-4),
         (-60, 3, 1.999)]


@pytest.mark.parametrize("pitch_aug, aug_step, tempo_aug", EDGES)
def test_every_sequence_equals_the_methods_at_the_edges(pitch_aug, aug_step, tempo_aug):
    for ids in SEQUENCES:
        got = augment_ids(ids, pitch_aug=pitch_aug, aug_step=aug_step, tempo_aug=tempo_aug)
        assert got.dtype == np.uint16 and got.tolist() == the_methods(ids, pitch_aug, aug_step, tempo_aug)


@given(which=st.integers(0, len(SEQUENCES) - 1), pitch_aug=st.integers(-140, 140), aug_step=st.integers(-40, 40),
       tempo_aug=st.floats(-3.0, 3.0, allow_nan=False))
def test_a_drawn_sequence_and_parameters_equal_the_methods(which, pitch_aug, aug_step, tempo_aug):
    ids = SEQUENCES[which]
    assert augment_ids(ids, pitch_aug=pitch_aug, aug_step=aug_step, tempo_aug=tempo_aug).tolist() == \
        the_methods(ids, pitch_aug, aug_step, tempo_aug)


# Notes of the instrument "drum" (one in the drum range, one outside it), each with an onset and a
# duration, then a piano note: the first two read back as drum hits, which neither move nor keep
# their duration.
DRUM_NOTES = [0, note_id("drum", 60, 64), ONSET_BASE + 5, DUR_BASE + 7, note_id("drum", 20, 64), ONSET_BASE + 9,
              DUR_BASE + 7, note_id("piano", 64, 64), ONSET_BASE + 9, DUR_BASE + 7, 1]


@given(ids=st.lists(st.integers(-3, VOCAB_SIZE + 3), max_size=60), pitch_aug=st.integers(-20, 20),
       aug_step=st.integers(-3, 3), tempo_aug=st.floats(0.25, 4.0))
@example(ids=DRUM_NOTES, pitch_aug=3, aug_step=1, tempo_aug=1.0)
def test_any_ids_equal_the_methods(ids, pitch_aug, aug_step, tempo_aug):
    """IDs in any order, out of the vocabulary, and notes of the instrument "drum" (drum hits as text)."""
    got = augment_ids(np.array(ids, dtype=np.int64), pitch_aug=pitch_aug, aug_step=aug_step, tempo_aug=tempo_aug)
    assert got.tolist() == the_methods(ids, pitch_aug, aug_step, tempo_aug)


def events_by_time(ids):
    """Each start time's events as a sorted list, in time order, and the number of "<D>": what mixup
    may not change. A time is the count of "<T>" before an event and its onset."""
    tokens = TOK.decode([int(i) for i in ids])
    groups, segments, dims, i = {}, 0, 0, 0
    while i < len(tokens):
        t = tokens[i]
        if t == "<T>":
            segments += 1
        elif t == "<D>":
            dims += 1
        elif i + 1 < len(tokens) and isinstance(tokens[i + 1], tuple) and tokens[i + 1][0] == "onset":
            takes_dur = i + 2 < len(tokens) and isinstance(tokens[i + 2], tuple) and tokens[i + 2][0] == "dur"
            event = tokens[i : i + (3 if takes_dur else 2)]
            groups.setdefault((segments, tokens[i + 1][1]), []).append(repr(event))
            i += len(event) - 1
        i += 1
    return [sorted(g) for g in groups.values()], dims


def test_mixup_changes_only_the_order_within_a_time():
    changed = 0
    for ids in SEQUENCES:
        plain = augment_ids(ids, **FIXED)
        mixed = augment_ids(ids, mixup=True, **FIXED)
        assert events_by_time(mixed) == events_by_time(plain)
        changed += mixed.tolist() != plain.tolist()
    assert changed > 0


@pytest.mark.parametrize("dtype", ["int8", "uint8", "int16", ">u2", "int32", "uint32", "int64", "uint64", "list"])
def test_any_integer_input_gives_what_uint16_does(dtype):
    ids = SEQUENCES[0]
    expected = augment_ids(ids, **FIXED).tolist()
    if dtype == "list":
        assert augment_ids(ids.tolist(), **FIXED).tolist() == expected
    elif np.iinfo(np.dtype(dtype)).max >= VOCAB_SIZE:
        assert augment_ids(ids.astype(dtype), **FIXED).tolist() == expected
    else:  # narrow types hold part of the vocabulary: compare with the methods on the same values
        small = ids[ids <= np.iinfo(np.dtype(dtype)).max].astype(dtype)
        assert augment_ids(small, **FIXED).tolist() == the_methods(small, **FIXED)


@pytest.mark.parametrize("ids, error", [(np.zeros(3, dtype=np.float32), TypeError),
                                         (np.zeros((2, 2), dtype=np.uint16), ValueError),
                                         (["<S>"], TypeError)])
def test_what_is_not_an_id_array_is_refused(ids, error):
    with pytest.raises(error):
        augment_ids(ids)


def test_amounts_are_drawn_when_not_given():
    ids = SEQUENCES[0]
    results = {augment_ids(ids, max_pitch_aug=5, max_num_aug_steps=2, max_tempo_aug=0.2).tobytes() for _ in range(30)}
    assert len(results) > 10


def test_threads_share_nothing_but_the_input():
    ids, expected, results = SEQUENCES[-1], augment_ids(SEQUENCES[-1], **FIXED).tolist(), []

    def work():
        results.extend(augment_ids(ids, **FIXED).tolist() == expected for _ in range(50))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 200


def _draw(ds, queue, worker):
    queue.put((worker, [ds[0].tobytes() for _ in range(20)]))


@pytest.fixture
def dataset(tmp_path):
    folder = tmp_path / "midi"
    folder.mkdir()
    for k in range(4):
        write_piece(folder / f"{k}.mid", k)
    assert run_cli("encode", folder, "-o", tmp_path / "ds").returncode == 0
    return tmp_path / "ds"


def test_forked_workers_draw_their_own_amounts(dataset):
    ds = TokenDataset(dataset, augment={"max_pitch_aug": 12, "max_tempo_aug": 0.3})
    parent = [ds[0].tobytes() for _ in range(20)]  # the parent's generator exists before the fork
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        workers = [context.Process(target=_draw, args=(ds, queue, k)) for k in range(2)]
        for w in workers:
            w.start()
    drawn = dict(queue.get(timeout=60) for _ in workers)
    for w in workers:
        w.join()
    assert drawn[0] != drawn[1] and parent not in (drawn[0], drawn[1])


def test_a_dataset_augments_each_item(dataset):
    plain = TokenDataset(dataset)
    ds = TokenDataset(dataset, augment=FIXED)
    for i in range(len(ds)):
        assert ds[i].tolist() == augment_ids(plain[i], **FIXED).tolist()
        assert ds.stored(i).tolist() == plain[i].tolist()
    again = pickle.loads(pickle.dumps(ds))
    assert again.augment == FIXED and again[0].tolist() == ds[0].tolist()
    with pytest.raises(TypeError, match="pitch_shift"):
        TokenDataset(dataset, augment={"pitch_shift": 2})
