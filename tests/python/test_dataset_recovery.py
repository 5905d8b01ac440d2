"""What a dataset directory goes through: a failure or a kill at each step of a run, a rerun under
an open reader, a refused resume, and folders that cannot be walked."""

import concurrent.futures
import errno
import multiprocessing
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from noteloom import TokenDataset, durable, encode_dataset, encode_files
from noteloom.dask import encode_on_dask

from support import run_cli

HERE = Path(__file__).resolve().parent
FILES = ("tokens.bin", "index.npy", "manifest.jsonl", "meta.json")


def contents(out):
    return {name: (out / name).read_bytes() for name in FILES}


class FailingOs:
    """The os module, but the nth `op` on a file named `name` fails as on a full disk, or ends the
    process as a kill would. `op` is open, pwrite, fsync, replace (named by its target), truncate."""

    def __init__(self, op, name, nth, kill):
        self.op, self.name, self.nth, self.kill = op, name, nth, kill
        self.seen, self.names = 0, {}

    def __getattr__(self, attr):
        return getattr(os, attr)

    def _step(self, op, path):
        if op == self.op and Path(path).name == self.name:
            self.seen += 1
            if self.seen == self.nth:
                if self.kill:
                    os._exit(9)
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    def open(self, path, flags, mode=0o777):
        self._step("open", path)
        fd = os.open(path, flags, mode)
        self.names[fd] = path
        return fd

    def pwrite(self, fd, data, offset):
        self._step("pwrite", self.names[fd])
        return os.pwrite(fd, data, offset)

    def fsync(self, fd):
        self._step("fsync", self.names[fd])
        return os.fsync(fd)

    def replace(self, src, dst):
        self._step("replace", dst)
        return os.replace(src, dst)

    def truncate(self, path, size):
        self._step("truncate", path)
        return os.truncate(path, size)


def run_failing(inputs, out, op, name, nth, kill=False, resume=False):
    """encode_dataset with one failing step; the step's OSError, or None if it was not reached."""
    failing = FailingOs(op, name, nth, kill)
    saved, durable.os = durable.os, failing
    try:
        encode_dataset(inputs, out, threads=1, resume=resume)
    except OSError as e:
        assert failing.seen == nth
        return e
    finally:
        durable.os = saved
    return None


# Each step of a run's commit sequence, with the occurrence to hit: creating the dataset (its files
# replaced through temporaries), committing the second window (IDs, offsets, lines, then the index
# header that commits them), and closing (sync, run report, meta.json marked complete).
STEPS = [
    ("pwrite", "index.npy.tmp", 1), ("replace", "manifest.jsonl", 1), ("replace", "index.npy", 1),
    ("replace", "tokens.bin", 1), ("replace", "meta.json", 1),
    ("pwrite", "tokens.bin", 2), ("pwrite", "index.npy", 3), ("pwrite", "manifest.jsonl", 2),
    ("pwrite", "index.npy", 4),
    ("fsync", "tokens.bin", 1), ("replace", "run.json", 1), ("replace", "meta.json", 2),
]


@pytest.mark.parametrize("k, step", list(enumerate(STEPS)), ids=["-".join(map(str, s)) for s in STEPS])
def test_a_run_stopped_at_any_step_is_completed_by_resume_or_a_rerun(pieces, tmp_path, k, step):
    """Odd steps are killed, even ones fail on a full disk; each over a dataset that existed before
    (from other inputs) or none, and each finished by --resume or by a plain rerun."""
    op, name, nth = step
    inputs = [str(pieces)] * 30
    whole = tmp_path / "whole"
    encode_dataset(inputs, whole, threads=1)
    out = tmp_path / "out"
    if k % 3 == 0:
        encode_dataset([str(pieces / "a.mid")], out)
    if k % 2:
        code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_dataset_recovery as t; "
                f"t.run_failing({inputs!r}, {str(out)!r}, {op!r}, {name!r}, {nth}, kill=True); sys.exit(3)")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
        assert done.returncode == 9, done.stderr  # killed at the step
    else:
        error = run_failing(inputs, out, op, name, nth)
        assert error is not None and error.errno == errno.ENOSPC
        assert name.removesuffix(".tmp") in str(error) and "--resume" in str(error)
        assert not [p.name for p in out.iterdir() if p.name.endswith(".tmp")]
    if (out / "meta.json").exists():  # what a reader sees in between holds together
        ds = TokenDataset(out)
        assert sum(r["status"] == "ok" for r in ds.manifest()) == len(ds)
        for i in range(len(ds)):
            assert ds.row(i)["tokens"] == len(ds[i])
    encode_dataset(inputs, out, threads=2, resume=k % 4 < 2)
    assert contents(out) == contents(whole)
    assert not [p.name for p in out.iterdir() if p.name.endswith(".tmp")]  # what a kill left is gone


def test_a_reader_keeps_its_data_across_a_rerun(pieces, tmp_path):
    out = tmp_path / "ds"
    encode_dataset([str(pieces)] * 3, out)
    ds = TokenDataset(out)
    seen = [(ds[i].tobytes(), ds.row(i)) for i in range(len(ds))], list(ds.manifest())
    encode_dataset([str(pieces / "a.mid")], out)
    assert ([(ds[i].tobytes(), ds.row(i)) for i in range(len(ds))], list(ds.manifest())) == seen
    assert len(TokenDataset(out)) == 1


def test_a_refused_resume_changes_nothing(pieces, tmp_path):
    out = tmp_path / "ds"
    encode_dataset([str(pieces)], out)
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    for inputs, options in (([str(pieces / "a.mid")], {}), ([str(pieces)], {"normalize": False})):
        with pytest.raises(ValueError, match="cannot resume"):
            encode_dataset(inputs, out, resume=True, **options)
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_a_new_run_refuses_a_folder_that_is_not_a_dataset(pieces, tmp_path):
    (tmp_path / "mine.txt").write_text("keep me")
    with pytest.raises(OSError, match="holds no dataset"):
        encode_dataset([str(pieces)], tmp_path)
    assert (tmp_path / "mine.txt").read_text() == "keep me"


def too_long_paths(top):
    """A file and a folder whose paths are too long to open, in the deepest folder under `top` that
    can still be opened by its path (made one step at a time, by file descriptor)."""
    fd, path = os.open(top, os.O_RDONLY), Path(top)
    while len(os.fsencode(path)) + 201 < os.pathconf("/", "PC_PATH_MAX"):
        os.mkdir("d" * 200, dir_fd=fd)
        child = os.open("d" * 200, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd, path = child, path / ("d" * 200)
    file = os.open("n" * 240 + ".mid", os.O_WRONLY | os.O_CREAT, dir_fd=fd)
    os.close(file)
    os.mkdir("d" * 200, dir_fd=fd)
    os.close(fd)
    return path / ("n" * 240 + ".mid"), path / ("d" * 200)


def test_a_folder_walk_records_what_it_cannot_read(pieces, tmp_path):
    """A file or folder whose path is too long to open and a link back up are recorded as skipped;
    a link to a folder elsewhere is followed."""
    long_file, long_folder = too_long_paths(pieces)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "x.mid").write_bytes((pieces / "a.mid").read_bytes())
    os.symlink(elsewhere, pieces / "linked")
    os.symlink(pieces, pieces / "sub" / "up")
    r = run_cli("encode", pieces, "-o", tmp_path / "ds")
    assert r.returncode == 0, r.stderr
    rows = {row["path"]: row for row in TokenDataset(tmp_path / "ds").manifest()}
    assert rows[str(pieces / "linked" / "x.mid")]["status"] == "ok"
    assert "a loop" in rows[str(pieces / "sub" / "up")]["reason"]
    assert "File name too long" in rows[str(long_folder)]["reason"]
    assert rows[str(long_file)]["reason"] == next(encode_files([str(long_file)])).reason  # as if given
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        sharded = encode_on_dask([str(pieces)], tmp_path / "sharded", pool, shard_size=4, threads=1)
    assert list(sharded.manifest()) == list(rows.values())
