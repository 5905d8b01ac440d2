"""The command line: MIDI folders in, a token dataset out.

    python -m noteloom encode [PATH...] [--paths-from FILE] -o OUT [--format bin|jsonl|parquet] [-j N] [--raw]
                              [--oov drop|unk|zero] [--max-tokens N] [--dedupe] [--resume]
                              [--dask ADDRESS|local:N [--shard-size N]]
    python -m noteloom info OUT

Exit status: 0 when at least one file was encoded, 1 when none could be or the output cannot be
written, 2 for a wrong command line.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import json
import os
import sys
import threading
import time
from pathlib import Path
from typing import Any, Iterable, Iterator

import numpy as np

from . import corpus, dataset
from .corpus import ids_of
from .engine import OOV_RULES, EncodedFile, encode_windows

MIDI_SUFFIXES = (".mid", ".midi")
FORMATS = ("bin", "jsonl", "parquet")


def find_midi_files(paths: Iterable[str]) -> Iterator[str]:
    """The files named, and the *.mid / *.midi files under the folders named, in a fixed order
    (each folder's files sorted by name, then its sub-folders), found lazily."""
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        for root, dirs, files in os.walk(path):
            dirs.sort()
            yield from (os.path.join(root, f) for f in sorted(files) if f.lower().endswith(MIDI_SUFFIXES))


def input_paths(args: argparse.Namespace) -> Iterator[str]:
    """The PATH arguments, then the lines of --paths-from (read lazily; "-" is stdin)."""
    yield from args.paths
    if args.paths_from is None:
        return
    with (contextlib.nullcontext(sys.stdin) if args.paths_from == "-" else open(args.paths_from, encoding="utf-8",
                                                                                   errors="surrogateescape")) as f:
        yield from (line.rstrip("\n") for line in f if line.strip())


class Progress:
    """tqdm's bar on a terminal (files, files/s, and an ETA once a background walk has counted the
    inputs); nothing when stderr is not a terminal."""

    def __init__(self, inputs: list[str] | None, skip: int):
        """`inputs` are walked in the background to count the files; None: the total is not known."""
        self.bar = None
        if not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:
            return
        self.bar = tqdm(total=None, initial=skip, unit=" files", dynamic_ncols=True, file=sys.stderr)
        if inputs is not None:
            threading.Thread(target=self._count, args=(inputs,), daemon=True).start()

    def _count(self, inputs: list[str]) -> None:
        total = sum(1 for _ in find_midi_files(inputs))
        if self.bar is not None:
            self.bar.total = total

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            bar, self.bar = self.bar, None
            bar.close()


class JsonlSink:
    """{"path": ..., "ids": [...]} per kept file, to a file or "-" (stdout)."""

    def __init__(self, out: str):
        self.stream = sys.stdout if out == "-" else open(out, "w", encoding="utf-8")

    def commit(self, kept: list[EncodedFile], records: list[dict[str, Any]]) -> None:
        self.stream.write("".join(json.dumps({"path": r.path, "ids": ids_of(r).tolist()}) + "\n" for r in kept))
        self.stream.flush()

    def close(self, complete: bool, session: dict[str, Any]) -> None:
        if self.stream is not sys.stdout:
            self.stream.close()


class ParquetSink:
    """One row per kept file (path, ids as list<uint16>, hash), written to OUT when the run ends
    (to OUT.partial until then)."""

    ROWS_PER_GROUP = 4096

    def __init__(self, out: str):
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise OSError("--format parquet needs pyarrow: pip install 'noteloom[parquet]'") from None
        self.pa = pa
        self.out = out
        self.partial = out + ".partial"
        self.schema = pa.schema([("path", pa.string()), ("ids", pa.list_(pa.uint16())), ("hash", pa.uint64())])
        self.writer = pq.ParquetWriter(self.partial, self.schema)
        self.rows: list[EncodedFile] = []

    def commit(self, kept: list[EncodedFile], records: list[dict[str, Any]]) -> None:
        self.rows.extend(kept)
        if len(self.rows) >= self.ROWS_PER_GROUP:
            self._flush()

    def _flush(self) -> None:
        if not self.rows:
            return
        pa = self.pa
        offsets = [0]
        for r in self.rows:
            offsets.append(offsets[-1] + len(ids_of(r)))
        values = np.concatenate([ids_of(r) for r in self.rows])
        ids = pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), pa.array(values, pa.uint16()))
        table = pa.table([pa.array([r.path for r in self.rows], pa.string()), ids,
                          pa.array([r.hash for r in self.rows], pa.uint64())], schema=self.schema)
        self.writer.write_table(table)
        self.rows = []

    def close(self, complete: bool, session: dict[str, Any]) -> None:
        self._flush()
        self.writer.close()
        if complete:
            os.replace(self.partial, self.out)


class BinSink:
    """The dataset directory of noteloom.dataset."""

    def __init__(self, out: str, meta: dict[str, Any], resume: bool):
        self.writer = dataset.DatasetWriter(out, meta, resume=resume)
        self.commit = corpus.dataset_commit(self.writer)

    def close(self, complete: bool, session: dict[str, Any]) -> None:
        self.writer.close(complete=complete, session=session)


def _check_resumed_inputs(inputs: Iterator[str], out: Path, done: int) -> None:
    """Skips the inputs a resumed dataset already holds, checking they are the same files."""
    with open(out / dataset.MANIFEST, "rb") as manifest:
        for k in range(done):
            recorded = json.loads(manifest.readline())["path"]
            given = next(inputs, None)
            if given != recorded:
                raise ValueError(f"cannot resume {out}: input file {k + 1} is {given!r}, the dataset has {recorded!r}")


def encode_command(args: argparse.Namespace) -> int:
    started = time.monotonic()
    if args.dask is not None:
        return dask_encode_command(args, started)
    meta = corpus.dataset_meta(normalize=not args.raw, oov=args.oov, max_tokens=args.max_tokens, dedupe=args.dedupe)
    if args.resume and args.format != "bin":
        raise ValueError("--resume continues a bin dataset only")
    if args.format == "bin":
        sink: Any = BinSink(args.output, meta, args.resume)
    elif args.format == "jsonl":
        sink = JsonlSink(args.output)
    else:
        sink = ParquetSink(args.output)

    seen: dict[str, str] = sink.writer.hashes if isinstance(sink, BinSink) else {}
    skip = sink.writer.files_done if isinstance(sink, BinSink) else 0
    inputs = find_midi_files(input_paths(args))
    if skip:
        _check_resumed_inputs(inputs, Path(args.output), skip)
    progress = Progress(args.paths if args.paths_from is None else None, skip)
    tally = corpus.Tally()
    complete = False
    try:
        windows = encode_windows(inputs, threads=args.jobs, normalize=not args.raw, oov=args.oov,
                                 max_tokens=args.max_tokens)
        corpus.encode_into(windows, sink.commit, tally, dedupe=args.dedupe, seen=seen, progress=progress.update)
        complete = True
    finally:
        progress.close()
        seconds = time.monotonic() - started
        sink.close(complete, tally.session(args.jobs, seconds))
    _report(tally, seconds, args.output)
    if tally.kept == 0 and skip == 0:
        print("noteloom: no file could be encoded", file=sys.stderr)
        return 1
    return 0


def dask_encode_command(args: argparse.Namespace, started: float) -> int:
    """encode --dask: one task per shard of the inputs on a Dask cluster, the bin layout only."""
    if args.format != "bin":
        raise ValueError("--dask writes the bin layout only")
    from . import dask as on_dask

    threads = args.jobs
    if threads is None and args.dask.startswith("local:") and args.dask[6:].isdigit():
        threads = max(1, (os.process_cpu_count() or 1) // max(1, int(args.dask[6:])))  # the workers share the cores
    options = dict(threads=threads, normalize=not args.raw, oov=args.oov, max_tokens=args.max_tokens)
    with on_dask.connect(args.dask) as client:
        ds = on_dask.encode_on_dask(find_midi_files(input_paths(args)), args.output, client, shard_size=args.shard_size,
                                    dedupe=args.dedupe, progress=sys.stderr.isatty(), **options)
    tally = corpus.Tally(files=ds.meta["files"], kept=len(ds), tokens=ds.num_tokens)
    for rec in ds.manifest():
        if rec["status"] != "ok":
            tally.reasons[corpus.reason_kind(rec["reason"])] += 1
    _report(tally, time.monotonic() - started, args.output)
    if tally.kept == 0:
        print("noteloom: no file could be encoded", file=sys.stderr)
        return 1
    return 0


def _report(tally: corpus.Tally, seconds: float, output: str) -> None:
    rate = tally.files / seconds if seconds > 0 else 0.0
    print(f"noteloom: encoded {tally.kept} of {tally.files} files ({tally.files - tally.kept} skipped), "
          f"{tally.tokens} tokens in {seconds:.1f} s ({rate:.0f} files/s, "
          f"{tally.tokens / max(seconds, 1e-9) / 1e6:.2f} M tokens/s) -> {output}", file=sys.stderr)
    for kind, count in tally.reasons.most_common():
        print(f"  skipped {count}: {kind}", file=sys.stderr)


def info_command(args: argparse.Namespace) -> int:
    ds = dataset.TokenDataset(args.dataset)
    files = 0
    reasons: collections.Counter[str] = collections.Counter()
    oov = 0
    for record in ds.manifest():
        files += 1
        if record["status"] != "ok":
            reasons[corpus.reason_kind(record["reason"])] += 1
        else:
            oov += record["oov"]
    meta = ds.meta
    print(f"dataset:    {ds.directory}" + ("" if meta.get("complete") else "  (incomplete: resume with --resume)"))
    print(f"tokenizer:  {meta['tokenizer']}, {meta['vocab_size']} tokens, noteloom {meta['noteloom_version']}")
    print(f"options:    {', '.join(f'{k}={v}' for k, v in meta['options'].items())}")
    print(f"files:      {files}")
    print(f"sequences:  {len(ds)}")
    print(f"tokens:     {ds.num_tokens} ({oov} out of vocabulary)")
    print(f"skipped:    {sum(reasons.values())}")
    for kind, count in reasons.most_common():
        print(f"  {count:>8}  {kind}")
    run_file = ds.directory / dataset.RUN
    if run_file.exists():
        sessions = json.loads(run_file.read_text())["sessions"]
        seconds = sum(s["seconds"] for s in sessions)
        run_tokens = sum(s["tokens"] for s in sessions)
        run_files = sum(s["files"] for s in sessions)
        if seconds > 0:
            print(f"run:        {seconds:.1f} s in {len(sessions)} session(s), {run_files / seconds:.0f} files/s, "
                  f"{run_tokens / seconds / 1e6:.2f} M tokens/s")
    return 0


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _not_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="noteloom", description="MIDI files to token datasets.")
    commands = p.add_subparsers(dest="command", required=True)
    enc = commands.add_parser("encode", help="encode MIDI files and folders into a token dataset")
    enc.add_argument("paths", nargs="*", metavar="PATH", help="MIDI files, or folders searched for *.mid / *.midi")
    enc.add_argument("--paths-from", metavar="FILE", default=None,
                     help="more PATHs, one per line ('-': stdin), read as the run goes: for lists of millions of "
                          "files made once, instead of walking folders")
    enc.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="dataset directory (bin), or file (jsonl, '-' for stdout; parquet)")
    enc.add_argument("--format", choices=FORMATS, default="bin")
    enc.add_argument("-j", "--jobs", type=_positive, default=None, metavar="N", help="threads (default: every core)")
    enc.add_argument("--raw", action="store_true", help="tokenize the files as loaded, without normalizing them")
    enc.add_argument("--oov", choices=tuple(OOV_RULES), default="drop",
                     help="tokens outside the vocabulary: drop their note group, write <U>, or write ID 0")
    enc.add_argument("--max-tokens", type=_not_negative, default=2**20, metavar="N",
                     help="skip files that would give more IDs (default 2^20)")
    enc.add_argument("--dedupe", action="store_true", help="skip files whose MidiDict equals an earlier file's")
    enc.add_argument("--resume", action="store_true", help="continue an interrupted run into the same OUT")
    enc.add_argument("--dask", metavar="ADDRESS", default=None,
                     help="run on the Dask cluster whose scheduler is at ADDRESS, or on a local cluster of N "
                          "worker processes with local:N; each worker's threads are -j (default: its cores). "
                          "A rerun into the same OUT keeps the shards already complete")
    enc.add_argument("--shard-size", type=_positive, default=10_000, metavar="N",
                     help="input files per Dask task (default 10,000)")
    info = commands.add_parser("info", help="summarize a token dataset")
    info.add_argument("dataset", metavar="OUT")
    return p


def main(argv: list[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if args.command == "encode" and not args.paths and args.paths_from is None:
        p.error("encode needs a PATH or --paths-from")
    try:
        if args.command == "encode":
            return encode_command(args)
        return info_command(args)
    except KeyboardInterrupt:
        print("noteloom: interrupted; the records written so far are kept (continue with --resume)",
              file=sys.stderr)
        return 130
    except (OSError, ValueError, ImportError) as e:
        print(f"noteloom: {e}", file=sys.stderr)
        return 1
