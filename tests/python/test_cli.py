"""The command line (`python -m noteloom encode / info`), the dataset it writes, TokenDataset, and
the demo that drives them."""

import json
import os
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np
import pytest

from noteloom import AbsTokenizer, TokenDataset, encode_files

from support import run_cli

REPO = Path(__file__).resolve().parents[2]
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
DATASET_FILES = ("tokens.bin", "index.npy", "manifest.jsonl", "meta.json")


def dataset_bytes(out):
    return {name: (out / name).read_bytes() for name in DATASET_FILES}


def manifest(out):
    return [json.loads(line) for line in (out / "manifest.jsonl").read_text().splitlines()]


def test_encode_writes_what_the_engine_gives(pieces, tmp_path):
    out = tmp_path / "ds"
    r = run_cli("encode", pieces, "-o", out)
    assert r.returncode == 0, r.stderr
    assert "RuntimeWarning" not in r.stderr and "encoded 5 of 7 files" in r.stderr

    rows = manifest(out)
    names = [os.path.relpath(row["path"], pieces) for row in rows]
    assert names == ["a.mid", "bad.mid", "c.mid", "d.mid", "e.mid", "empty.mid", "sub/b.MIDI"]
    expected = list(encode_files([row["path"] for row in rows]))
    ds = TokenDataset(out)
    kept = [e for e in expected if e.ids is not None]
    assert len(ds) == len(kept) == 5
    for i, e in enumerate(kept):
        assert ds[i].dtype == np.uint16 and np.array_equal(ds[i], e.ids)
        assert ds.row(i) == {"status": "ok", "path": e.path, "reason": None, "tokens": len(e.ids), "oov": e.oov,
                             "hash": f"{e.hash:016x}", "notes": e.notes, "kept_notes": e.kept_notes}
    assert np.array_equal(ds[-1], kept[-1].ids)
    for row, e in zip(rows, expected):
        assert (row["status"] == "ok") == (e.reason is None)
        assert row["reason"] == e.reason
    assert (out / "tokens.bin").read_bytes() == b"".join(e.ids.astype("<u2").tobytes() for e in kept)
    assert np.array_equal(np.load(out / "index.npy"), np.cumsum([0] + [len(e.ids) for e in kept]))

    meta = json.loads((out / "meta.json").read_text())
    assert meta["complete"] and meta["vocab_size"] == AbsTokenizer().vocab_size()
    assert meta["options"] == {"normalize": True, "oov": "drop", "max_tokens": 2**20, "dedupe": False}

    info = run_cli("info", out)
    assert info.returncode == 0, info.stderr
    assert "files:      7" in info.stdout and "sequences:  5" in info.stdout
    assert f"tokens:     {ds.num_tokens} " in info.stdout
    assert "1  no notes" in info.stdout and "1  load failed" in info.stdout and "files/s" in info.stdout


def test_the_noteloom_script_is_the_command_line(pieces, tmp_path):
    script = Path(sysconfig.get_path("scripts")) / "noteloom"
    if not script.exists():
        pytest.skip("the package is installed without its scripts")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # neither prints the GIL notice
    r = subprocess.run([str(script), "encode", str(pieces), "-o", str(tmp_path / "a")], capture_output=True,
                       text=True, env=env, timeout=300)
    m = run_cli("encode", pieces, "-o", tmp_path / "b", env=env)
    for run in (r, m):
        assert run.returncode == 0 and "RuntimeWarning" not in run.stderr, run.stderr
    assert dataset_bytes(tmp_path / "a") == dataset_bytes(tmp_path / "b")


def test_dedupe_skips_copies_naming_the_first(pieces, tmp_path):
    r = run_cli("encode", pieces, "-o", tmp_path / "ds", "--dedupe")
    assert r.returncode == 0, r.stderr
    rows = {Path(row["path"]).name: row for row in manifest(tmp_path / "ds")}
    assert rows["e.mid"]["status"] == "skipped"
    assert rows["e.mid"]["reason"] == f"duplicate of {rows['c.mid']['path']}"
    assert rows["e.mid"]["hash"] == rows["c.mid"]["hash"]
    assert len(TokenDataset(tmp_path / "ds")) == 4


@pytest.mark.parametrize("options", [(), ("--raw", "--oov", "unk")])
def test_thread_count_does_not_change_a_byte(pieces, tmp_path, options):
    inputs = [pieces] * 40  # enough files for several windows
    outs = [tmp_path / f"j{jobs}" for jobs in (1, 8)]
    for jobs, out in zip((1, 8), outs):
        r = run_cli("encode", *inputs, "-o", out, "-j", jobs, *options)
        assert r.returncode == 0, r.stderr
    assert dataset_bytes(outs[0]) == dataset_bytes(outs[1])


@pytest.mark.parametrize("how", ["file", "stdin"])
def test_paths_from_a_list_are_paths_given(pieces, tmp_path, how):
    listed = [str(pieces / "c.mid"), "", str(pieces / "sub")]  # a blank line is skipped; a folder is walked
    (tmp_path / "list.txt").write_text("\n".join(listed) + "\n")
    r = run_cli("encode", "-o", tmp_path / "ds")
    assert r.returncode == 2 and "--paths-from" in r.stderr
    args = ["encode", pieces / "a.mid", "--paths-from", tmp_path / "list.txt" if how == "file" else "-"]
    with open(tmp_path / "list.txt") as stdin:
        r = subprocess.run([sys.executable, "-m", "noteloom", *map(str, args), "-o", str(tmp_path / "ds")],
                           stdin=stdin, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert run_cli("encode", pieces / "a.mid", pieces / "c.mid", pieces / "sub", "-o", tmp_path / "args").returncode == 0
    assert dataset_bytes(tmp_path / "ds") == dataset_bytes(tmp_path / "args")


def test_jsonl_and_parquet_hold_the_same_sequences(pieces, tmp_path):
    r = run_cli("encode", pieces, "-o", tmp_path / "ds")
    assert r.returncode == 0, r.stderr
    ds = TokenDataset(tmp_path / "ds")
    r = run_cli("encode", pieces, "-o", tmp_path / "ids.jsonl", "--format", "jsonl")
    assert r.returncode == 0, r.stderr
    lines = [json.loads(line) for line in (tmp_path / "ids.jsonl").read_text().splitlines()]
    assert [line["ids"] for line in lines] == [s.tolist() for s in ds]
    assert [line["path"] for line in lines] == [ds.row(i)["path"] for i in range(len(ds))]

    pq = pytest.importorskip("pyarrow.parquet")
    r = run_cli("encode", pieces, "-o", tmp_path / "ids.parquet", "--format", "parquet")
    assert r.returncode == 0, r.stderr
    table = pq.read_table(tmp_path / "ids.parquet").to_pydict()
    assert table["ids"] == [s.tolist() for s in ds]
    assert [f"{h:016x}" for h in table["hash"]] == [ds.row(i)["hash"] for i in range(len(ds))]


def test_exit_status(pieces, tmp_path):
    bad = pieces / "bad.mid"
    assert run_cli("encode", bad, pieces / "empty.mid", "-o", tmp_path / "none").returncode == 1
    assert run_cli("encode", pieces / "nothing-here", "-o", tmp_path / "none2").returncode == 1
    assert run_cli("encode", bad, pieces / "a.mid", "-o", tmp_path / "one").returncode == 0
    (tmp_path / "file").write_text("x")
    unwritable = run_cli("encode", pieces, "-o", tmp_path / "file" / "ds")
    assert unwritable.returncode == 1 and "noteloom: " in unwritable.stderr
    assert run_cli("encode", pieces, "-o", pieces).returncode == 1  # a folder that is not a dataset
    assert run_cli("encode", pieces).returncode == 2
    assert run_cli("encode", pieces, "-o", tmp_path / "x", "-j", "0").returncode == 2


def wait_for_records(path, proc, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        if path.exists() and path.stat().st_size > 0:
            return True
        time.sleep(0.005)
    return False


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGINT])
def test_an_interrupted_run_is_valid_and_resumes_to_the_same_bytes(pieces, tmp_path, how):
    inputs = [pieces] * 3000  # a run of a few seconds
    whole = tmp_path / "whole"
    assert run_cli("encode", *inputs, "-o", whole, "-j", "2").returncode == 0

    cut = tmp_path / "cut"
    proc = subprocess.Popen([sys.executable, "-m", "noteloom", "encode", *map(str, inputs), "-o", str(cut)],
                            stderr=subprocess.PIPE, text=True)
    started = wait_for_records(cut / "manifest.jsonl", proc)
    proc.send_signal(how)
    sent = time.monotonic()
    _, stderr = proc.communicate(timeout=60)
    if not started or proc.returncode == 0:
        pytest.skip("the run ended before it could be interrupted")
    if how == signal.SIGINT:
        assert proc.returncode == 130 and "interrupted" in stderr
        assert time.monotonic() - sent < 5
    ds = TokenDataset(cut)
    assert 0 < len(ds) < len(TokenDataset(whole))
    assert not json.loads((cut / "meta.json").read_text())["complete"]
    for i in range(len(ds)):
        assert np.array_equal(ds[i], TokenDataset(whole)[i])

    r = run_cli("encode", *inputs, "-o", cut, "--resume", "-j", "1")
    assert r.returncode == 0, r.stderr
    assert dataset_bytes(cut) == dataset_bytes(whole)
    assert len(json.loads((cut / "run.json").read_text())["sessions"]) == 2 - (how == signal.SIGKILL)


def test_a_second_writer_of_a_dataset_fails_at_once_and_touches_nothing(pieces, tmp_path):
    import fcntl

    out = tmp_path / "ds"
    assert run_cli("encode", pieces, "-o", out).returncode == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    with open(out / ".lock", "a") as held:  # what a run in progress holds
        fcntl.flock(held, fcntl.LOCK_EX)
        for args in ([], ["--resume"], ["--dask", "local:1"]):
            r = run_cli("encode", pieces, "-o", out, *args)
            assert r.returncode == 1 and f"{out} is being written by another run" in r.stderr, r.stderr
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    assert run_cli("encode", pieces, "-o", out, "--resume").returncode == 0  # the lock goes with its holder


def test_resume_refuses_other_inputs_or_settings(pieces, tmp_path):
    out = tmp_path / "ds"
    assert run_cli("encode", pieces, "-o", out).returncode == 0
    other = run_cli("encode", pieces / "a.mid", "-o", out, "--resume")
    assert other.returncode == 1 and "cannot resume" in other.stderr
    settings = run_cli("encode", pieces, "-o", out, "--resume", "--raw")
    assert settings.returncode == 1 and "cannot resume" in settings.stderr


def test_windows_pack_sequences_end_to_end(pieces, tmp_path):
    assert run_cli("encode", pieces, "-o", tmp_path / "ds").returncode == 0
    ds = TokenDataset(tmp_path / "ds")
    packed = np.concatenate(list(ds))
    for length, stride in ((7, None), (16, 5), (len(packed), 1)):
        windows = ds.windows(length, stride)
        step = stride or length
        expected = [packed[s : s + length] for s in range(0, len(packed) - length + 1, step)]
        assert len(windows) == len(expected)
        assert all(np.array_equal(w, e) for w, e in zip(windows, expected))
    assert len(ds.windows(len(packed) + 1)) == 0
    with pytest.raises(IndexError):
        ds[len(ds)]
    assert repr(ds) == f"TokenDataset({str(tmp_path / 'ds')!r}: 5 sequences, {len(packed)} tokens)"
    assert repr(ds.windows(7)) == f"TokenWindows(length=7, stride=7: {len(packed) // 7} windows of {ds!r})"


_FORKED = None  # the dataset forked workers inherit


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_workers_read_the_dataset(pieces, tmp_path):
    """What a DataLoader with worker processes does: fork, then index the inherited dataset."""
    global _FORKED
    import multiprocessing
    import pickle

    assert run_cli("encode", *[pieces] * 5, "-o", tmp_path / "ds").returncode == 0
    _FORKED = ds = TokenDataset(tmp_path / "ds")
    ds.row(0)  # state built before the fork stays usable after it
    with multiprocessing.get_context("fork").Pool(2) as pool:
        got = pool.map(_read_inherited, range(len(ds)))
    assert got == [(ds[i].tobytes(), ds.row(i)["path"]) for i in range(len(ds))]
    again = pickle.loads(pickle.dumps(ds))  # what spawned workers receive
    assert len(again) == len(ds) and np.array_equal(again[3], ds[3])


def _read_inherited(i):
    return _FORKED[i].tobytes(), _FORKED.row(i)["path"]


def test_demo_runs(tmp_path):
    r = subprocess.run([sys.executable, str(REPO / "tools" / "demo.py")], capture_output=True, text=True,
                       cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "sequences:" in r.stdout and "first sequence:" in r.stdout


@pytest.mark.skipif(not (os.path.exists("/dev/zero") and hasattr(os, "mkfifo")), reason="needs /dev/zero and pipes")
def test_devices_and_pipes_among_the_inputs_are_skipped(pieces, tmp_path):
    """A link to a device that never ends, a link to nothing and a pipe nobody writes to are
    recorded as skipped, and the run goes on."""
    os.symlink("/dev/zero", pieces / "zero.mid")
    os.symlink(pieces / "gone", pieces / "dangling.mid")
    os.mkfifo(pieces / "pipe.mid")
    done = run_cli("encode", pieces, "-o", tmp_path / "ds", timeout=120)
    assert done.returncode == 0, done.stderr
    rows = {Path(r["path"]).name: r for r in manifest(tmp_path / "ds")}
    assert rows["zero.mid"]["reason"] == "Failed to load MIDI file: not a regular file or pipe"
    assert rows["pipe.mid"]["reason"] == "Failed to load MIDI file: nothing came through the pipe within 5 s"
    assert rows["dangling.mid"]["reason"] == "Failed to load MIDI file: No such file or directory (os error 2)"
    assert rows["a.mid"]["status"] == "ok"


def _rewrite_index(out, offsets, descr="<i8"):
    header = ("{'descr': '%s', 'fortran_order': False, 'shape': (%d,), }" % (descr, len(offsets))).ljust(117) + "\n"
    data = np.asarray(offsets).astype(descr).tobytes()
    (out / "index.npy").write_bytes(b"\x93NUMPY\x01\x00" + (118).to_bytes(2, "little") + header.encode() + data)


@pytest.mark.parametrize("damage, file, said", [
    (lambda out: (out / "meta.json").write_text("{not json"), "meta.json", "not valid JSON"),
    (lambda out: (out / "meta.json").write_text("[1, 2]"), "", "holds no noteloom token dataset"),
    (lambda out: _edit_meta(out, layout_version=99), "meta.json", "layout_version 99"),
    (lambda out: _edit_meta(out, options=None), "meta.json", "'options' is missing"),
    (lambda out: _rewrite_index(out, np.load(out / "index.npy"), "<f8"), "index.npy", "another type or byte order"),
    (lambda out: _rewrite_index(out, np.load(out / "index.npy"), ">i8"), "index.npy", "another type or byte order"),
    (lambda out: _rewrite_index(out, np.load(out / "index.npy")[::-1]), "index.npy", "start at"),
    (lambda out: _rewrite_index(out, [0, 30, 10, 40]), "index.npy", "smaller than the one before"),
    (lambda out: _rewrite_index(out, []), "index.npy", "no offsets"),
    (lambda out: os.truncate(out / "tokens.bin", 10), "index.npy", "past the 5 of"),
])
def test_a_damaged_dataset_is_refused_naming_its_file(pieces, tmp_path, damage, file, said):
    from noteloom import DatasetError

    out = tmp_path / "ds"
    assert run_cli("encode", pieces, "-o", out).returncode == 0
    damage(out)
    with pytest.raises(DatasetError, match=said) as raised:
        TokenDataset(out)
    assert str(out / file).rstrip("/") in str(raised.value)
    info = run_cli("info", out)
    assert info.returncode == 1 and "Traceback" not in info.stderr and said in info.stderr
    assert len(info.stderr.strip().splitlines()) == 1


def _edit_meta(out, **changes):
    meta = json.loads((out / "meta.json").read_text())
    meta.update(changes)
    (out / "meta.json").write_text(json.dumps(meta))


def test_a_manifest_short_of_the_index_is_refused(pieces, tmp_path):
    from noteloom import DatasetError

    out = tmp_path / "ds"
    assert run_cli("encode", pieces, "-o", out).returncode == 0
    lines = (out / "manifest.jsonl").read_bytes().splitlines(keepends=True)
    (out / "manifest.jsonl").write_bytes(lines[0])  # one kept file of five
    with pytest.raises(DatasetError, match="kept files recorded, but"):
        TokenDataset(out).row(len(TokenDataset(out)) - 1)
