"""How the main job writes its results: the dataset directory (bin), JSON lines, or Parquet.

A sink takes each window's kept files and one manifest record per input (`commit`), then
`close(complete, session)`. Only the dataset directory keeps skipped files' records and resumes.
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Callable
from typing import Any

import numpy as np

from . import dataset
from .corpus import ids_of
from .engine import EncodedFile


class BinSink:
    """The dataset directory of noteloom.dataset."""

    def __init__(self, out: str, meta: dict[str, Any], resume: bool, expected: Callable[[], str | None] | None):
        self.writer = dataset.DatasetWriter(out, meta, resume=resume, expected=expected)
        self.files_done = self.writer.files_done
        self.hashes = self.writer.hashes

    def commit(self, kept: list[EncodedFile], records: list[dict[str, Any]]) -> None:
        self.writer.commit([ids_of(r) for r in kept], [dataset.manifest_line(rec) for rec in records])

    def close(self, complete: bool, session: dict[str, Any]) -> None:
        self.writer.close(complete=complete, session=session)


class JsonlSink:
    """{"path": ..., "ids": [...]} per kept file, to a file or "-" (stdout)."""

    files_done = 0

    def __init__(self, out: str, meta: dict[str, Any]):
        self.stream = sys.stdout if out == "-" else open(out, "w", encoding="utf-8")
        self.hashes: dict[str, str] = {}

    def commit(self, kept: list[EncodedFile], records: list[dict[str, Any]]) -> None:
        self.stream.write("".join(json.dumps({"path": r.path, "ids": ids_of(r).tolist()}) + "\n" for r in kept))
        self.stream.flush()

    def close(self, complete: bool, session: dict[str, Any]) -> None:
        if self.stream is not sys.stdout:
            self.stream.close()


class ParquetSink:
    """One row per kept file (path, ids as list<uint16>, hash), written to OUT when the run ends
    (to OUT.partial until then). The schema's metadata holds, under b"noteloom", what a dataset's
    meta.json holds (tokenizer, vocabulary size, options, version)."""

    ROWS_PER_GROUP = 4096
    TOKENS_PER_GROUP = 1 << 28  # list<uint16> offsets are int32
    files_done = 0

    def __init__(self, out: str, meta: dict[str, Any]):
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise OSError("--format parquet needs pyarrow: pip install 'noteloom[parquet]'") from None
        self.pa = pa
        self.out = out
        self.partial = out + ".partial"
        fields = [("path", pa.string()), ("ids", pa.list_(pa.uint16())), ("hash", pa.uint64())]
        described = dict(meta, format=dataset.FORMAT, layout_version=dataset.LAYOUT_VERSION)
        self.schema = pa.schema(fields, metadata={b"noteloom": json.dumps(described, sort_keys=True).encode()})
        self.writer = pq.ParquetWriter(self.partial, self.schema)
        self.rows: list[EncodedFile] = []
        self.tokens = 0
        self.hashes: dict[str, str] = {}

    def commit(self, kept: list[EncodedFile], records: list[dict[str, Any]]) -> None:
        for r in kept:
            if self.tokens + len(ids_of(r)) > self.TOKENS_PER_GROUP:
                self._flush()
            self.rows.append(r)
            self.tokens += len(ids_of(r))
        if len(self.rows) >= self.ROWS_PER_GROUP:
            self._flush()

    def _flush(self) -> None:
        if not self.rows:
            return
        pa = self.pa
        lengths = np.fromiter((len(ids_of(r)) for r in self.rows), dtype=np.int64, count=len(self.rows))
        offsets = np.concatenate(([0], np.cumsum(lengths))).astype(np.int32)
        values = np.concatenate([ids_of(r) for r in self.rows])
        ids = pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), pa.array(values, pa.uint16()))
        table = pa.table([pa.array([r.path for r in self.rows], pa.string()), ids,
                          pa.array([r.hash for r in self.rows], pa.uint64())], schema=self.schema)
        self.writer.write_table(table)
        self.rows, self.tokens = [], 0

    def close(self, complete: bool, session: dict[str, Any]) -> None:
        """Renames OUT.partial to OUT when complete; a run that failed leaves nothing (it cannot be
        resumed)."""
        try:
            if complete:
                self._flush()
            self.writer.close()
            if complete:
                os.replace(self.partial, self.out)
        finally:
            if not complete and os.path.exists(self.partial):
                os.unlink(self.partial)


def open_sink(format: str, out: str, meta: dict[str, Any], resume: bool,
              expected: Callable[[], str | None] | None = None) -> BinSink | JsonlSink | ParquetSink:
    """The sink of `format` at `out`. A resumed bin dataset checks that its files are the inputs'
    first ones, each name taken from `expected` as its manifest is read."""
    if resume and format != "bin":
        raise ValueError("--resume continues a bin dataset only")
    if format == "bin":
        return BinSink(out, meta, resume, expected)
    if format == "jsonl":
        return JsonlSink(out, meta)
    if format == "parquet":
        return ParquetSink(out, meta)
    raise ValueError(f"format must be bin, jsonl or parquet, not {format!r}")
