"""The main job as one call: sources in, a dataset (or JSON lines, or Parquet) out.

    summary = noteloom.encode_dataset(["lmd_full.tar.gz"], "dataset/", dedupe=True)

The command line's ``noteloom encode`` is this call with its arguments parsed, so the two write
the same bytes for the same sources and options.
"""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import os
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

from . import corpus, dataset, formats
from .engine import encode_windows
from .options import FORMATS, MAX_TOKENS, SHARD_SIZE, EncodeOptions, default_threads, local_workers
from .progress import Progress
from .skips import count_manifest
from .sources import ParquetColumns, Source, Unit, expand, sequence_of, unit_names
from .tokenizer import Tokenizer


@dataclasses.dataclass
class Summary:
    """What a run did: inputs handled (this session), kept and skipped, their tokens, the time, and
    the skipped inputs counted by kind of reason."""

    files: int
    kept: int
    skipped: int
    tokens: int
    seconds: float
    reasons: dict[str, int]
    output: str
    resumed: int = 0  # inputs a resumed run found already done


def encode_dataset(
    sources: Iterable[Source] | Source,
    out: str | os.PathLike[str],
    *,
    format: str = "bin",
    threads: int | None = None,
    normalize: bool = True,
    oov: str = "drop",
    max_tokens: int = MAX_TOKENS,
    dedupe: bool = False,
    min_retention: float = 0.0,
    resume: bool = False,
    column: str | None = None,
    name_column: str | None = None,
    meta_columns: Sequence[str] | str = (),
    progress: bool | Callable[[int], Any] = False,
    dask: Any = None,
    shard_size: int = SHARD_SIZE,
    tokenizer: Tokenizer | None = None,
) -> Summary:
    """Encodes every input of `sources` (MIDI files, folders, tar and zip archives, Parquet files,
    ``(name, data)`` pairs; see noteloom.sources) into `out`, and sums the run up.

    ``format`` is "bin" (the dataset directory TokenDataset reads), "jsonl" or "parquet".
    ``dedupe`` skips inputs whose MidiDict equals an earlier one's, ``min_retention`` inputs that keep
    a smaller share of their notes (the tokenizer keeps piano, guitar and drums); ``resume`` continues an
    interrupted bin run with the same sources and options. ``column`` names a Parquet file's bytes
    column (default: its only binary one), ``name_column`` the column that names its rows, and
    ``meta_columns`` the columns copied into each row's manifest record under "meta". ``progress``
    shows a bar on a terminal when True; a callable receives the number of inputs done so far.
    ``dask`` (a distributed.Client, an address, or "local:N") runs the shards of ``shard_size``
    inputs on a Dask cluster. ``tokenizer`` (a noteloom.Tokenizer) gives the vocabulary, the
    built-in one by default; meta.json stores its configuration, and a resume refuses another.
    """
    started = time.monotonic()
    options = EncodeOptions(threads=threads, normalize=normalize, oov=oov, max_tokens=max_tokens, dedupe=dedupe,
                            min_retention=min_retention, tokenizer=tokenizer)
    given: Iterable[Source] = [sources] if isinstance(sources, (str, bytes, os.PathLike, tuple)) else sources
    columns = ParquetColumns(column, name_column, sequence_of(meta_columns))
    out = os.fspath(out)
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if dask is not None and format != "bin":
        raise ValueError("--dask writes the bin layout only")
    if format != "bin":  # a file written aside and renamed (parquet), or a stream (jsonl)
        return _on_one_machine(given, out, options, columns, format, resume, progress, started)
    with dataset.writer_lock(out):  # a dataset has one writer at a time
        if dask is not None:
            return _on_dask(given, out, options, columns, progress, dask, shard_size, started)
        return _on_one_machine(given, out, options, columns, format, resume, progress, started)


def _on_one_machine(given: Iterable[Source], out: str, options: EncodeOptions, columns: ParquetColumns, format: str,
                    resume: bool, progress: bool | Callable[[int], Any], started: float) -> Summary:
    feed = _Feed(expand(given, columns, pack=options.engine_has_every_core))
    try:
        sink = formats.open_sink(format, out, options.meta(), resume, expected=feed.next_name)
    except OSError as e:
        raise _kept_so_far(e, format) from e
    units = feed.rest()
    tally = corpus.Tally()
    bar = Progress(progress, sink.files_done)
    try:
        bar.count(given)
        windows = encode_windows(units, options)
        corpus.encode_into(windows, sink.commit, tally, dedupe=options.dedupe, seen=sink.hashes, progress=bar.update,
                           min_retention=options.min_retention)
    except BaseException as e:
        bar.close()
        with contextlib.suppress(OSError):  # the first error is the one to report
            sink.close(False, tally.session(options.threads, time.monotonic() - started))
        if isinstance(e, OSError):
            raise _kept_so_far(e, format) from e
        raise
    bar.close()
    try:
        sink.close(True, tally.session(options.threads, time.monotonic() - started))
    except OSError as e:
        raise _kept_so_far(e, format) from e
    return _summary(tally, time.monotonic() - started, out, sink.files_done)


def _kept_so_far(e: OSError, format: str) -> OSError:
    """`e`, with what becomes of the dataset: a bin run continues where it stopped."""
    if format != "bin":
        return e
    return type(e)(e.errno, f"{e}; what was written before is kept: once the cause is gone, continue with --resume")


def _summary(tally: corpus.Tally, seconds: float, out: str, resumed: int) -> Summary:
    return Summary(files=tally.files, kept=tally.kept, skipped=tally.files - tally.kept, tokens=tally.tokens,
                   seconds=seconds, reasons=dict(tally.reasons.most_common()), output=out, resumed=resumed)


class _Feed:
    """The names of the units' entries one at a time, for a resumed run to check against its
    manifest as it reads it; then the units from the first entry not taken."""

    def __init__(self, units: Iterator[Unit]):
        self.units = units
        self.names: list[str] = []  # of the unit taken last
        self.current: Unit | None = None
        self.used = 0

    def next_name(self) -> str | None:
        while self.used == len(self.names):
            self.current, self.used = next(self.units, None), 0
            if self.current is None:
                self.names = []
                return None
            self.names = unit_names(self.current)
        self.used += 1
        return self.names[self.used - 1]

    def rest(self) -> Iterator[Unit]:
        unit, used = self.current, self.used
        if unit is None or used == len(self.names):
            return self.units
        return itertools.chain([unit if used == 0 else unit.drop(used)], self.units)  # type: ignore[union-attr]


def _on_dask(given: Iterable[Source], out: str, options: EncodeOptions, columns: ParquetColumns,
             progress: bool | Callable[[int], Any], client: Any, shard_size: int, started: float) -> Summary:
    """The run on a Dask cluster, in the bin layout."""
    from . import dask as on_dask

    threads = options.threads
    if isinstance(client, str):
        workers = local_workers(client)
        if threads is None and workers is not None:
            threads = max(1, default_threads() // workers)  # the workers share the cores
        with on_dask.connect(client) as connected:
            return _on_dask(given, out, dataclasses.replace(options, threads=threads), columns, progress, connected,
                            shard_size, started)
    ds = on_dask.encode_on_dask(given, out, client, shard_size=shard_size, dedupe=options.dedupe, progress=progress,
                                threads=threads, normalize=options.normalize, oov=options.oov,
                                max_tokens=options.max_tokens, columns=columns, min_retention=options.min_retention,
                                tokenizer=options.tokenizer)
    tally = corpus.Tally(files=ds.meta["files"], kept=len(ds), tokens=ds.num_tokens,
                         reasons=count_manifest(ds.manifest()).skipped)
    return _summary(tally, time.monotonic() - started, out, 0)
