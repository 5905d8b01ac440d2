"""The corpus engine past one machine: one Dask task per shard of the inputs, one dataset at the end.

    from distributed import Client
    from noteloom.dask import encode_on_dask

    ds = encode_on_dask(paths, "/shared/out", Client("tcp://scheduler:8786"))

Each task runs the engine on its shard's files with the worker's own native threads (the engine
releases the interpreter, so one worker process per host uses every core) and writes the dataset
layout of noteloom.dataset into out/shards/NNNNN/. The client then writes the index that makes the
shards one dataset, with --dedupe's duplicates found across shards. The inputs and `out` must be on
storage that every worker reads and writes under the same paths; the workers read a relative path
from the client's working directory, and the manifest keeps each path as given.

A shard is written into a directory of its own and renamed into place only when complete, so a
retried, repeated or concurrent task leaves either the whole shard or none of it, a worker that dies
costs the shard it was writing, and a rerun with the same inputs and settings keeps every complete
shard. A shard written from other inputs or settings stops the run rather than being mixed in.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import hashlib
import importlib
import itertools
import json
import os
import re
import shutil
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from . import corpus, dataset, durable, sources
from .engine import encode_windows
from .options import MAX_TOKENS, SHARD_SIZE, EncodeOptions, local_workers
from .progress import Progress
from .skips import DUPLICATE_OF, SkipKind
from .sources import FileInput, ParquetColumns, Source, Unit
from .tokenizer import Tokenizer, tokenizer_of_meta

SHARD_NAME = re.compile(r"\d{5,}")


def encode_on_dask(
    paths: Iterable[Source],
    out: str | os.PathLike[str],
    client: Any,
    *,
    shard_size: int = SHARD_SIZE,
    dedupe: bool = False,
    progress: bool | Callable[[int], Any] = False,
    threads: int | None = None,
    normalize: bool = True,
    oov: str = "drop",
    max_tokens: int = MAX_TOKENS,
    columns: ParquetColumns = ParquetColumns(),
    min_retention: float = 0.0,
    tokenizer: Tokenizer | None = None,
) -> dataset.TokenDataset:
    """Encodes MIDI files, folders, archives and Parquet files into the sharded dataset `out` on a
    Dask cluster, and returns it.

    ``client`` is a ``distributed.Client`` (or any ``concurrent.futures.Executor``, to run the shards
    in local processes). ``paths`` is read lazily: MIDI files (and the files of folders) go to
    shards of ``shard_size`` files; an archive is one shard and a Parquet file one shard per run of
    row groups holding about ``shard_size`` rows, each read by the worker (``columns`` says which
    Parquet columns give the bytes, names and "meta"). Only a few shards per worker are in flight.
    ``threads`` is each task's engine threads (default: the worker's cores); ``normalize``,
    ``oov``, ``max_tokens``, ``min_retention`` and ``tokenizer`` are the engine's options (the
    tokenizer reaches the workers as the configuration in meta.json), and ``dedupe`` skips
    files equal to an earlier one across all shards; ``progress`` is a bar on a terminal, or a
    callable given the files done so far. Read the result with
    ``TokenDataset(out)``: its sequences and manifest are those of a one-machine encode of the same
    files, in input order. A rerun into the same ``out`` keeps the shards already complete.
    """
    if shard_size < 1:
        raise ValueError("shard_size must be at least 1")
    meta = EncodeOptions(threads=threads, normalize=normalize, oov=oov, max_tokens=max_tokens, dedupe=dedupe,
                         min_retention=min_retention, tokenizer=tokenizer).meta()
    out = Path(out)
    started_at = time.time()
    _prepare(out)
    started = time.monotonic()
    run = _Tasks(client)
    bar = Progress(progress, 0)
    summaries: dict[int, dict[str, Any]] = {}
    try:
        for number, job in enumerate(_jobs(paths, shard_size, columns)):
            while run.pending >= run.room():
                _collect(run.wait(), summaries, bar)
            run.submit(_encode_shard, str(out.absolute()), number, job, os.getcwd(), meta, threads, columns,
                       key=f"noteloom-shard-{number:05d}-{uuid.uuid4().hex[:8]}")
        while run.pending:
            _collect(run.wait(), summaries, bar)
    except BaseException:
        run.cancel()
        raise
    finally:
        bar.close()
    listed = [summaries[k] for k in range(len(summaries))]
    first = 0
    for summary in listed:  # each shard's first input file, in the inputs of the whole run
        summary["first"], first = first, first + summary["files"]
    _tidy(out, len(listed))
    left_out, changed = _cross_shard_duplicates(out, listed) if dedupe else ({}, [])
    session = {"threads": threads, "workers": run.workers(), "shards": len(listed),
               "reused": sum(not s["written"] for s in listed), "files": sum(s["files"] for s in listed),
               "seconds": round(time.monotonic() - started, 3)}
    shard_list = [{k: s[k] for k in ("dir", "files", "sequences", "tokens")} for s in listed]
    dataset.write_shard_index(out, meta, shard_list, left_out, changed, session, started=started_at)
    return dataset.TokenDataset(out)


def _jobs(given: Iterable[Any], shard_size: int, columns: ParquetColumns) -> Iterator[dict[str, Any]]:
    """The shards of the inputs, in order: {"files": names, "first": N} (N: the position of the first
    among all the run's files given as files), {"archive": path}, or {"parquet": path, "row_groups":
    [a, b]}. Only Parquet footers are read here; the workers read the rest."""
    files: list[str] = []
    first = 0

    reasons: dict[int, str] = {}  # entries of `files` a folder walk could not read, and why

    def flush() -> Iterator[dict[str, Any]]:
        nonlocal files, first, reasons
        if files:
            yield {"files": files, "first": first, **({"unread": reasons} if reasons else {})}
            first, files, reasons = first + len(files), [], {}

    for source in given:
        if isinstance(source, tuple):
            raise ValueError("(name, data) pairs are encoded on one machine, not on Dask")
        path = os.fsdecode(source)
        kind = sources.kind_of(path)
        if kind in ("archive", "parquet"):
            yield from flush()
            yield from ([{"archive": path}] if kind == "archive" else _parquet_jobs(path, shard_size))
            continue
        for found in sources.walk_folder(path) if kind == "folder" else [path]:
            if isinstance(found, str):
                files.append(found)
            else:
                reasons[len(files)] = found.reasons[0] or ""
                files.append(found.names[0])
            if len(files) == shard_size:
                yield from flush()
    yield from flush()


def _parquet_jobs(path: str, shard_size: int) -> Iterator[dict[str, Any]]:
    try:
        import pyarrow.parquet as pq

        footer = pq.ParquetFile(path).metadata
        counts = [footer.row_group(k).num_rows for k in range(footer.num_row_groups)]
    except Exception:  # not Parquet after all, or unreadable: the worker records why
        yield {"parquet": path, "row_groups": None}
        return
    start, rows = 0, 0
    for k, count in enumerate(counts):
        rows += count
        if rows >= shard_size or k == len(counts) - 1:
            yield {"parquet": path, "row_groups": [start, k + 1]}
            start, rows = k + 1, 0
    if not counts:
        yield {"parquet": path, "row_groups": [0, 0]}


@contextlib.contextmanager
def connect(address: str) -> Iterator[Any]:
    """A Client of the scheduler at `address`, or of a new local cluster of N worker processes
    (one thread each: the engine brings its own) for "local:N"; closed on leaving."""
    distributed = _distributed()
    workers = local_workers(address)
    if workers is not None:
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            yield client
    else:
        with distributed.Client(address) as client:
            yield client


def _distributed() -> Any:
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise ImportError("running on Dask needs dask.distributed: pip install 'noteloom[dask]'") from None


class _Tasks:
    """Shard tasks in flight on a Dask client or a concurrent.futures executor."""

    def __init__(self, client: Any):
        self.client = client
        self.dask = hasattr(client, "nthreads") and hasattr(client, "scheduler_info")
        self.futures: set[Any] = set()
        self.count, self.asked = 0, -1e9  # workers last counted, and when

    @property
    def pending(self) -> int:
        return len(self.futures)

    def workers(self) -> int:
        """The workers at hand (a Dask cluster's are asked for at most once a second: they come and go)."""
        if not self.dask:
            return getattr(self.client, "_max_workers", None) or 1
        now = time.monotonic()
        if now - self.asked > 1.0:
            self.count, self.asked = len(self.client.nthreads()), now
        return self.count

    def room(self) -> int:
        """Tasks to keep in flight: two per worker, so none waits for the client between shards."""
        return 2 * max(self.workers(), 1)

    def submit(self, fn: Any, *args: Any, key: str) -> None:
        if self.dask:
            # retries cover a failing task (a storage error); a lost worker's task is rescheduled anyway
            self.futures.add(self.client.submit(fn, *args, key=key, pure=False, retries=2))
        else:
            self.futures.add(self.client.submit(fn, *args))

    def wait(self) -> list[Any]:
        if self.dask:
            done, _ = _distributed().wait(list(self.futures), return_when="FIRST_COMPLETED")
        else:
            done, _ = concurrent.futures.wait(self.futures, return_when=concurrent.futures.FIRST_COMPLETED)
        self.futures -= set(done)
        return list(done)

    def cancel(self) -> None:
        for future in self.futures:
            future.cancel()
        self.futures.clear()


def _collect(done: list[Any], summaries: dict[int, dict[str, Any]], bar: Progress) -> None:
    for future in done:
        summary = future.result()  # a task's exception is raised here
        summaries[summary["number"]] = summary
        bar.update(summary["files"])


def _prepare(out: Path) -> None:
    """Makes out/shards, refusing an `out` that holds something other than a sharded dataset."""
    if out.exists() and not out.is_dir():
        raise OSError(f"{out} exists and is not a directory")
    if (out / dataset.META).exists():
        if dataset.SHARDS not in json.loads((out / dataset.META).read_text()):
            raise OSError(f"{out} holds a dataset written on one machine; choose another output")
    elif out.exists() and any(p.name not in (dataset.SHARDS, dataset.RUN, dataset.LOCK) and
                              not dataset.SHARD_INDEX_FILE.fullmatch(p.name) for p in out.iterdir()):
        # (what a run stopped before its first index was committed leaves is fine)
        raise OSError(f"{out} is a non-empty directory that holds no dataset; choose another")
    (out / dataset.SHARDS).mkdir(parents=True, exist_ok=True)


def _tidy(out: Path, count: int) -> None:
    """Removes what killed attempts left, and refuses shards past the end of these inputs."""
    for entry in (out / dataset.SHARDS).iterdir():
        if ".partial-" in entry.name:
            shutil.rmtree(entry, ignore_errors=True)
        elif SHARD_NAME.fullmatch(entry.name) and int(entry.name) >= count:
            raise ValueError(f"{out} holds shard {entry.name}, past the {count} shards of these inputs: "
                             "it was written from other inputs; choose another output")


def _inputs_digest(paths: list[str]) -> str:
    h = hashlib.sha256()
    for p in paths:
        h.update(p.encode("utf-8", "surrogateescape") + b"\0")
    return h.hexdigest()


def _encode_shard(out: str, number: int, job: dict[str, Any], cwd: str, meta: dict[str, Any],
                  threads: int | None, columns: ParquetColumns = ParquetColumns()) -> dict[str, Any]:
    """The task: writes shard `number` (the inputs of `job`, see _jobs) unless it is complete, and
    sums it up. Relative paths are the client's, relative to its working directory `cwd`."""
    shards = Path(out) / dataset.SHARDS
    final = shards / f"{number:05d}"
    units, inputs = _job_inputs(job, cwd, columns, EncodeOptions(threads=threads).engine_has_every_core)
    written = False
    if not final.exists():
        partial = shards / f"{final.name}.partial-{uuid.uuid4().hex}"
        try:
            _write_shard(partial, units, dict(meta, inputs=inputs), threads)
            os.rename(partial, final)
            written = True
        except OSError:
            if not final.is_dir():  # unless another attempt at this shard finished first
                raise
        finally:
            shutil.rmtree(partial, ignore_errors=True)
        durable.sync_directory(shards)
    _check_shard(final, meta, inputs)
    return _summary(final, number, written, meta["options"]["dedupe"])


def _job_inputs(job: dict[str, Any], cwd: str, columns: ParquetColumns,
                pack: bool) -> tuple[Iterator[Unit], dict[str, Any]]:
    """A job's inputs for the engine, and what identifies them in the shard's meta.json. The
    digests are of the paths the workers open: the same relative paths from another directory are
    other inputs."""
    if "files" in job:
        names = job["files"]
        opened = [os.path.join(cwd, p) for p in names]
        unread = {int(k): r for k, r in job.get("unread", {}).items()}  # keys are strings after JSON
        units: Iterator[Unit] = (sources.skipped(name, unread[k], SkipKind.LOAD_FAILED) if k in unread
                                 else FileInput(name, path) for k, (name, path) in enumerate(zip(names, opened)))
        return units, {"first": job["first"], "count": len(names), "sha256": _inputs_digest(opened)}
    given = job.get("archive") or job["parquet"]
    opened_path = os.path.join(cwd, given)
    try:
        size = os.path.getsize(opened_path)
    except OSError:
        size = None
    inputs = {"source": given, "size": size, "sha256": _inputs_digest([opened_path])}
    if "archive" in job:
        return sources.archive_units(opened_path, label=given, pack=pack), dict(inputs, kind="archive")
    groups = job["row_groups"]
    units = sources.parquet_units(opened_path, columns, label=given,
                                  row_groups=None if groups is None else tuple(groups))
    named = dict(dataclasses.asdict(columns), meta_columns=list(columns.meta_columns))  # as meta.json gives it back
    return units, dict(inputs, kind="parquet", row_groups=groups, columns=named)


def _write_shard(directory: Path, units: Iterator[Unit], meta: dict[str, Any], threads: int | None) -> None:
    started = time.monotonic()
    options = meta["options"]
    writer = dataset.DatasetWriter(directory, meta)
    tally = corpus.Tally()
    try:
        run = EncodeOptions(threads=threads, normalize=options["normalize"], oov=options["oov"],
                            max_tokens=options["max_tokens"], tokenizer=tokenizer_of_meta(meta))
        corpus.encode_into(encode_windows(units, run), corpus.dataset_commit(writer), tally,
                           dedupe=options["dedupe"], seen={}, min_retention=options.get("min_retention", 0.0))
    except BaseException:
        with contextlib.suppress(OSError):  # the first error is the one to report
            writer.close(complete=False, session=tally.session(threads, time.monotonic() - started))
        raise
    writer.close(complete=True, session=tally.session(threads, time.monotonic() - started))


def _check_shard(shard: Path, meta: dict[str, Any], inputs: dict[str, Any]) -> None:
    found = json.loads((shard / dataset.META).read_text())
    same = {k: found.get(k) for k in ("tokenizer", "vocab_size", "options", "inputs")}
    same["tokenizer_config"] = tokenizer_of_meta(found).config  # shards of earlier versions: the built-in one
    wanted = dict({k: meta[k] for k in ("tokenizer", "vocab_size", "options", "tokenizer_config")}, inputs=inputs)
    if same != wanted or not found.get("complete"):
        raise ValueError(f"{shard.parent.parent}: shard {shard.name} was written from other inputs, settings or "
                         "shard size; rerun with the same ones or choose another output")


def _summary(shard: Path, number: int, written: bool, dedupe: bool) -> dict[str, Any]:
    """What the client needs of a shard: its counts, and for the dedupe pass each file that was kept
    or skipped as a duplicate (its file number in the shard, hash, and sequence number or -1)."""
    part = dataset.TokenDataset(shard)
    summary = {"number": number, "dir": f"{dataset.SHARDS}/{shard.name}",
               "files": (shard / dataset.MANIFEST).read_bytes().count(b"\n"), "sequences": len(part),
               "tokens": part.num_tokens, "written": written}
    if dedupe:
        eligible, hashes, sequence, kept = [], [], [], 0
        for file, record in enumerate(part.manifest()):
            ok = record["status"] == "ok"
            if ok or (record["reason"] or "").startswith(DUPLICATE_OF):
                eligible.append(file)
                hashes.append(int(record["hash"], 16))
                sequence.append(kept if ok else -1)
            kept += ok
        summary.update(eligible=np.array(eligible, dtype=np.int64), hashes=np.array(hashes, dtype=np.uint64),
                       sequence=np.array(sequence, dtype=np.int64))
    return summary


def _cross_shard_duplicates(out: Path, shards: list[dict[str, Any]]
                            ) -> tuple[dict[int, list[int]], list[tuple[int, dict[str, Any]]]]:
    """The dedupe pass over all shards: which sequences the index leaves out (shard -> sequence
    numbers) and the manifest records that change (input file number, record), such that the
    result is a one-machine --dedupe run's: a file is a duplicate of the first file kept with its hash.

    Each shard already skipped its own duplicates; what changes is a file whose first copy is in an
    earlier shard."""
    hashes = np.concatenate([s["hashes"] for s in shards])
    if not len(hashes):
        return {}, []
    shard_of = np.concatenate([np.full(len(s["hashes"]), k, dtype=np.int64) for k, s in enumerate(shards)])
    file_of = np.concatenate([s["eligible"] for s in shards])
    sequence = np.concatenate([s["sequence"] for s in shards])
    _, first_index, inverse = np.unique(hashes, return_index=True, return_inverse=True)
    first = first_index[inverse]  # np.unique gives each value's first occurrence, in input order here
    copies = np.flatnonzero((first != np.arange(len(hashes))) & (shard_of[first] != shard_of))
    left_out: dict[int, list[int]] = {}
    for i in copies[sequence[copies] >= 0]:
        left_out.setdefault(int(shard_of[i]), []).append(int(sequence[i]))
    wanted: dict[int, set[int]] = {}
    for i in itertools.chain(copies, first[copies]):
        wanted.setdefault(int(shard_of[i]), set()).add(int(file_of[i]))
    records = {(k, j): rec for k, lines in wanted.items()
               for j, rec in _manifest_records(out / shards[k]["dir"], lines)}
    changed = []
    for i in copies:
        k, j = int(shard_of[i]), int(file_of[i])
        original = records[int(shard_of[first[i]]), int(file_of[first[i]])]
        rec = dict(records[k, j], status="skipped", reason=DUPLICATE_OF + original["path"], tokens=0, oov=0)
        changed.append((shards[k]["first"] + j, rec))
    return left_out, sorted(changed, key=lambda entry: entry[0])


def _manifest_records(shard: Path, lines: set[int]) -> Iterator[tuple[int, dict[str, Any]]]:
    with open(shard / dataset.MANIFEST, "rb") as f:
        for j, line in enumerate(f):
            if j in lines:
                yield j, json.loads(line)
