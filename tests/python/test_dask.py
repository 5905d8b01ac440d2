"""Encoding in shards (noteloom.dask, encode --dask): however the inputs were cut, retried, resumed or
raced, the dataset reads as the one-machine encode of the same files, sequence for sequence and
manifest line for manifest line."""

import concurrent.futures
import importlib.util
import json
import multiprocessing
import os
import pickle
import signal
import threading
import time

import numpy as np
import pytest

from noteloom import TokenDataset
from noteloom.sources import find_midi_files
from noteloom.dask import encode_on_dask

from support import CORPUS, run_cli, tar_bytes, write_piece

HAS_DISTRIBUTED = importlib.util.find_spec("distributed") is not None
needs_distributed = pytest.mark.skipif(not HAS_DISTRIBUTED, reason="needs dask.distributed (the stock build's env)")


@pytest.fixture
def inputs(pieces, tmp_path):
    """The pieces, more of them, part of the shared corpus when present, and copies of the first
    files again at the end, so that duplicates sit in other shards than their originals."""
    more = tmp_path / "more"
    more.mkdir()
    files = list(find_midi_files(pieces)) + [str(write_piece(more / f"{k}.mid", 10 + k)) for k in range(6)]
    if CORPUS.exists():
        files += list(find_midi_files(CORPUS))[:40]
    return files + files[:6]


def one_machine(files, out, *options):
    r = run_cli("encode", *files, "-o", out, *options)
    assert r.returncode == 0, r.stderr
    return TokenDataset(out)


def assert_same(sharded, single):
    assert (len(sharded), sharded.num_tokens) == (len(single), single.num_tokens)
    for i in range(len(single)):
        np.testing.assert_array_equal(sharded[i], single[i])
        assert sharded.row(i) == single.row(i)
    assert list(sharded.manifest()) == list(single.manifest())
    np.testing.assert_array_equal(np.asarray(sharded.tokens), np.asarray(single.tokens))
    assert sharded.tokens[-1] == single.tokens[-1] and sharded.tokens[::-7].tolist() == single.tokens[::-7].tolist()
    a, b = sharded.windows(97, 61), single.windows(97, 61)
    assert len(a) == len(b) > 0
    for i in range(len(b)):
        np.testing.assert_array_equal(a[i], b[i])


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        assert time.monotonic() < deadline, what
        time.sleep(0.05)
    return value


def shard_stats(out):
    return {p.name: (p.stat().st_ino, (p / "tokens.bin").stat().st_mtime_ns) for p in (out / "shards").iterdir()}


@pytest.mark.parametrize("dedupe, shard_size", [(True, 2), (False, 7)])
def test_shards_read_as_the_one_machine_dataset(inputs, tmp_path, dedupe, shard_size):
    options = ["--dedupe"] if dedupe else []
    single = one_machine(inputs, tmp_path / "single", *options)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        sharded = encode_on_dask(inputs, tmp_path / "sharded", pool, shard_size=shard_size, dedupe=dedupe, threads=1)
    assert sharded.meta["files"] == len(inputs) and len(sharded.meta["shards"]) == -(-len(inputs) // shard_size)
    assert_same(sharded, single)
    assert_same(pickle.loads(pickle.dumps(sharded)), single)
    if dedupe:
        assert any(r["reason"].startswith("duplicate of ") for r in sharded.manifest() if r["status"] != "ok")


def test_archives_and_parquet_files_are_shards_read_by_the_workers(inputs, tmp_path):
    import zlib

    import pyarrow as pa
    import pyarrow.parquet as pq

    from noteloom import encode_dataset
    from noteloom.sources import ParquetColumns

    entries = [(f"m/{k}.mid", open(f, "rb").read()) for k, f in enumerate(inputs)]
    tgz = tmp_path / "c.tgz"
    tgz.write_bytes(zlib.compress(tar_bytes(entries), wbits=31))
    table = tmp_path / "c.parquet"
    pq.write_table(pa.table({"midi": pa.array([d for _, d in entries], pa.binary()), "id": list(range(len(entries)))}),
                   table, row_group_size=4)
    given = [str(tgz), *inputs[:5], str(table), *inputs[5:9]]
    single = encode_dataset(given, tmp_path / "single", dedupe=True, meta_columns="id")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        sharded = encode_on_dask(given, tmp_path / "sharded", pool, shard_size=3, dedupe=True, threads=1,
                                 columns=ParquetColumns(meta_columns=("id",)))
    # the archive whole, 2 file shards, the Parquet file in runs of 4-row groups, 2 file shards
    assert len(sharded.meta["shards"]) == 1 + 2 + -(-len(entries) // 4) + 2
    assert sharded.meta["files"] == single.files
    assert_same(sharded, TokenDataset(tmp_path / "single"))


def test_a_rerun_keeps_complete_shards_and_redoes_the_rest(inputs, tmp_path):
    out = tmp_path / "sharded"
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        encode_on_dask(inputs, out, pool, shard_size=3, dedupe=True)
        before = shard_stats(out)
        (out / "shards" / "00001" / "tokens.bin").unlink()
        os.rename(out / "shards" / "00001", out / "shards" / "00001.partial-killed")  # what a killed task leaves
        sharded = encode_on_dask(inputs, out, pool, shard_size=3, dedupe=True)
    after = shard_stats(out)
    assert after.keys() == before.keys()
    assert {k for k in before if after[k] != before[k]} == {"00001"}
    session = json.loads((out / "run.json").read_text())["sessions"][-1]
    assert (session["shards"], session["reused"]) == (len(before), len(before) - 1)
    assert_same(sharded, one_machine(inputs, tmp_path / "single", "--dedupe"))


def test_a_run_stopped_before_its_index_reruns_and_tidies(inputs, tmp_path):
    out = tmp_path / "sharded"
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        encode_on_dask(inputs, out, pool, shard_size=4)
        first = json.loads((out / "meta.json").read_text())["index"]
        # what a run killed while writing its index leaves: no meta.json, index files of no run
        (out / "meta.json").unlink()
        for name in ("index-0123abcd.npy", "starts-0123abcd.npy", "meta.json.tmp-99"):
            (out / name).write_bytes(b"partial")
        recent = out / "dedupe-fedcba98.jsonl"  # perhaps a racing client's, not yet committed: kept
        recent.write_bytes(b"")
        for stray in out.iterdir():
            if stray.is_file() and stray != recent:
                os.utime(stray, (0, 0))  # made long ago
        sharded = encode_on_dask(inputs, out, pool, shard_size=4)
        rerun = encode_on_dask(inputs, out, pool, shard_size=4)
    # the files of the last index but one stay for the readers that opened it
    kept = [*rerun.meta["index"].values(), *sharded.meta["index"].values()]
    assert sorted(p.name for p in out.iterdir()) == sorted(["shards", "meta.json", "run.json", recent.name, *kept])
    assert set(kept).isdisjoint(first.values())
    assert_same(rerun, one_machine(inputs, tmp_path / "single"))
    assert_same(sharded, rerun)


def test_threads_read_more_shards_than_stay_open(inputs, tmp_path, monkeypatch):
    from noteloom import dataset

    monkeypatch.setattr(dataset._Shards, "OPEN", 2)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        sharded = encode_on_dask(inputs, tmp_path / "sharded", pool, shard_size=1)
    expected = [sharded[i].tolist() for i in range(len(sharded))]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        got = list(pool.map(lambda i: sharded[i % len(sharded)].tolist(), range(40 * len(sharded))))
    assert got == expected * 40


@pytest.mark.parametrize("change, error", [
    ("reversed", "other inputs"),
    ("oov", "other inputs, settings"),
    ("fewer", "past the"),
    ("one machine", "written on one machine"),
])
def test_what_does_not_fit_the_output_is_refused(inputs, tmp_path, change, error):
    out = tmp_path / "out"
    files, options = inputs, {}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        if change == "one machine":
            one_machine(inputs, out)
        else:
            encode_on_dask(inputs, out, pool, shard_size=4)
            files = {"reversed": inputs[::-1], "fewer": inputs[: len(inputs) // 4 * 4 - 8]}.get(change, inputs)
            options = {"oov": "unk"} if change == "oov" else {}
        before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
        with pytest.raises((ValueError, OSError), match=error):
            encode_on_dask(files, out, pool, shard_size=4, **options)
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before


def test_two_clients_racing_on_one_output_agree(inputs, tmp_path):
    out, results = tmp_path / "sharded", []

    def run():
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            results.append(encode_on_dask(inputs, out, pool, shard_size=2, dedupe=True))

    racers = [threading.Thread(target=run) for _ in range(2)]
    for t in racers:
        t.start()
    for t in racers:
        t.join()
    assert len(results) == 2
    assert not [p for p in (out / "shards").iterdir() if ".partial-" in p.name]
    assert_same(TokenDataset(out), one_machine(inputs, tmp_path / "single", "--dedupe"))


@needs_distributed
def test_the_command_line_on_a_local_cluster(pieces, tmp_path):
    inputs = [pieces, CORPUS] if CORPUS.exists() else [pieces]
    r = run_cli("encode", *inputs, "-o", tmp_path / "sharded", "--dask", "local:2", "--shard-size", "16", "--dedupe")
    assert r.returncode == 0, r.stderr
    single = one_machine(inputs, tmp_path / "single", "--dedupe")
    assert f"encoded {len(single)} of" in r.stderr
    assert_same(TokenDataset(tmp_path / "sharded"), single)
    info = run_cli("info", tmp_path / "sharded")
    assert info.returncode == 0 and f"sequences:  {len(single)}" in info.stdout


@pytest.mark.skipif(HAS_DISTRIBUTED, reason="shows the message given when dask.distributed is missing")
def test_the_command_line_says_how_to_get_dask(pieces, tmp_path):
    r = run_cli("encode", pieces, "-o", tmp_path / "out", "--dask", "local:2")
    assert r.returncode == 1 and "pip install 'noteloom[dask]'" in r.stderr


@needs_distributed
def test_a_worker_killed_mid_shard_costs_that_shard_only(inputs, tmp_path):
    from distributed import Client, LocalCluster

    # A pipe that no one writes to holds its shard's task for the engine's 5 s wait: the worker
    # running that task is killed while the shard is half written.
    fifo = tmp_path / "silent.mid"
    os.mkfifo(fifo)
    files = inputs[:4] + [str(fifo)] + inputs[4:]
    out, done = tmp_path / "sharded", []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        runner = threading.Thread(target=lambda: done.append(encode_on_dask(files, out, client, shard_size=2)))
        runner.start()
        busy = wait_for(lambda: [w for w, keys in client.processing().items() if any("-00002-" in k for k in keys)],
                        "the pipe's shard never started")
        wait_for(lambda: list((out / "shards").glob("00002*")), "the pipe's shard is not being written")
        pids = client.run(os.getpid)
        os.kill(pids[busy[0]], signal.SIGKILL)
        runner.join(timeout=120)
    assert done, "the run did not finish after the worker was killed"
    assert not [p for p in (out / "shards").iterdir() if ".partial-" in p.name]
    assert_same(done[0], one_machine(files, tmp_path / "single"))


def test_shards_of_a_configured_tokenizer_and_a_refused_rerun_with_another(inputs, tmp_path):
    from noteloom import Tokenizer

    tok, other = Tokenizer(instruments=["piano", "bass", "strings", "drum"]), Tokenizer(instruments=["piano", "bass"])
    out = tmp_path / "sharded"
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        sharded = encode_on_dask(inputs, out, pool, shard_size=5, threads=1, tokenizer=tok)
        assert sharded.tokenizer() == tok
        assert_same(sharded, one_machine(inputs, tmp_path / "single", "--instruments", "piano,bass,strings,drum"))
        before = shard_stats(out)
        with pytest.raises(ValueError, match="other inputs, settings"):
            encode_on_dask(inputs, out, pool, shard_size=5, threads=1, tokenizer=other)
    assert shard_stats(out) == before
