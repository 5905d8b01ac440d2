"""encode_files: the native pipeline against the Python path, its rules and its failures."""

import itertools
import os

import numpy as np
import pytest

from noteloom import AbsTokenizer, MidiDict, encode_files, normalize_midi_dict
from smf_bytes import end_of_track, midi_file, note_off, note_on, program, track
from support import CORPUS

TOK = AbsTokenizer()
CFG = TOK.config
CORPUS_FILES = sorted(str(p) for p in CORPUS.rglob("*.mid")) if CORPUS.is_dir() else []


def python_path(path, normalize):
    d = MidiDict.from_midi(path)
    if normalize:
        d = normalize_midi_dict(d, CFG["ignore_instruments"], CFG["instrument_programs"], 10, 5000,
                                CFG["drum_velocity"], TOK._quantize_velocity)
    return TOK.encode(TOK.tokenize(d))


def python_result(path, normalize):
    try:
        return python_path(path, normalize)
    except (OSError, RuntimeError) as e:
        return type(e).__name__


@pytest.fixture
def small_files(tmp_path):
    """A piano and bass piece, a drum piece with a pitch outside the drum block, and three failures."""
    files = {
        "mixed.mid": midi_file(1, 480, [track(program(0, 0, 0), program(0, 1, 32), note_on(0, 0, 60, 90),
                                              note_on(120, 1, 40, 70), note_off(360, 0, 60), note_off(0, 1, 40),
                                              end_of_track())]),
        "drums.mid": midi_file(0, 480, [track(note_on(0, 9, 20, 100), note_on(0, 9, 36, 100), note_off(60, 9, 20),
                                              note_off(0, 9, 36), end_of_track())]),
        "empty.mid": midi_file(0, 480, [track(end_of_track())]),
        "damaged.mid": b"MThd\x00\x00",
    }
    paths = []
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
        paths.append(str(tmp_path / name))
    return paths + [str(tmp_path / "missing.mid"), str(tmp_path)]


@pytest.mark.parametrize("normalize", [True, False])
def test_zero_rule_equals_the_python_path(small_files, normalize):
    files = small_files + CORPUS_FILES
    results = list(encode_files(files, normalize=normalize, oov="zero"))
    assert [r.path for r in results] == files
    for r in results:
        expected = python_result(r.path, normalize)
        if isinstance(expected, str):
            assert r.ids is None and r.reason, r.path
        else:
            assert r.reason is None and r.ids.dtype == np.uint16, r.path
            assert r.ids.tolist() == expected, r.path
            assert r.hash == MidiDict.from_midi(r.path).calculate_hash()


def test_default_rule_writes_only_vocabulary_ids_and_one_start(small_files):
    vocab_size = TOK.vocab_size()
    start = TOK.encode(["<S>"])[0]
    encoded = [r for r in encode_files(small_files + CORPUS_FILES, normalize=False) if r.ids is not None]
    assert encoded
    for r in encoded:
        assert int(r.ids.max()) < vocab_size
        assert np.count_nonzero(r.ids == start) == 1, r.path


def test_out_of_vocabulary_rules_on_a_small_piece(small_files):
    mixed = small_files[:1]
    zero, unk, drop = (next(encode_files(mixed, normalize=False, oov=rule)) for rule in ("zero", "unk", "drop"))
    assert zero.oov == unk.oov == drop.oov == 2  # the bass prefix and the bass note
    unk_id = TOK.encode([TOK.unk_tok])[0]
    assert np.count_nonzero(unk.ids == unk_id) == 2 and len(unk.ids) == len(zero.ids)
    # Drop: the bass prefix goes, and the bass note with its onset and duration.
    kept, tokens = [], iter(TOK.tokenize(MidiDict.from_midi(mixed[0])))
    for t in tokens:
        if t[0] == "bass":
            next(tokens), next(tokens)
        elif t[0] != "prefix:instrument:bass":
            kept.append(t)
    assert drop.ids.tolist() == TOK.encode(kept)
    assert len(drop.ids) == len(zero.ids) - 4


def test_failures_are_results_and_the_run_goes_on(small_files):
    results = list(encode_files(small_files, threads=2))
    reasons = {r.path.rsplit("/", 1)[-1]: r.reason for r in results}
    assert reasons["mixed.mid"] is None and reasons["drums.mid"] is None
    assert reasons["empty.mid"] == "Empty note messages after filtering"
    assert reasons["damaged.mid"].startswith("Failed to load MIDI file: ")
    assert reasons["missing.mid"] == "Failed to load MIDI file: No such file or directory (os error 2)"
    assert reasons[small_files[-1].rsplit("/", 1)[-1]] == "Failed to load MIDI file: Is a directory (os error 21)"
    too_long = next(encode_files(small_files[:1], max_tokens=3))
    assert too_long.ids is None and too_long.reason.startswith("Too many tokens: ")


def test_thread_count_does_not_change_the_results(small_files):
    files = (small_files + CORPUS_FILES) * 2
    one = list(encode_files(files, threads=1))
    two = list(encode_files(files, threads=2))
    assert [(r.path, r.reason, r.hash, r.oov) for r in one] == [(r.path, r.reason, r.hash, r.oov) for r in two]
    assert all((a.ids is None and b.ids is None) or np.array_equal(a.ids, b.ids) for a, b in zip(one, two))


def test_paths_are_read_lazily(small_files):
    endless = itertools.cycle(small_files[:2])
    first = list(itertools.islice(encode_files(endless, threads=2), 5))
    assert [r.path for r in first] == [small_files[0], small_files[1]] * 2 + [small_files[0]]


def test_bad_options_raise():
    with pytest.raises(ValueError):
        next(encode_files([], oov="keep"))
    with pytest.raises(ValueError):
        next(encode_files([], threads=0))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_encodes_with_threads_of_its_own(small_files):
    """The engine's threads outlive a batch; a child made by fork has none of them and makes its own."""
    parent = [r.reason for r in encode_files(small_files, threads=2)]
    pid = os.fork()
    if pid == 0:
        ok = [r.reason for r in encode_files(small_files, threads=2)] == parent
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_stream_cut_by_fork_fails_clearly_in_the_child(small_files):
    """A child forked while results are being read has the iterator but not its threads: going on
    raises at once instead of waiting for them, and leaving it does not hang the child."""
    results = encode_files(small_files * 40, threads=2)
    next(results)
    pid = os.fork()
    if pid == 0:
        try:
            list(results)
            code = 1
        except RuntimeError as e:
            code = 0 if "fork" in str(e) else 2
        del results
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(list(results)) == len(small_files) * 40 - 1


def test_id_arrays_are_writable_and_own_their_memory(small_files):
    """Each result's array is the file's own: writable, unaffected by others, alive after the run."""
    first = [r.ids for r in encode_files(small_files) if r.ids is not None]
    again = [r.ids.copy() for r in encode_files(small_files) if r.ids is not None]
    for a in first:
        assert a.flags.writeable
        a[:] = 0
    assert all(b.any() for b in again)
    assert [a.sum() for a in first] == [0] * len(first)
