"""One encoding run's bookkeeping, shared by the command line and the Dask shards: a manifest record
per input file, duplicates skipped by hash, counts of what was kept and why files were skipped."""

from __future__ import annotations

import collections
import dataclasses
import os
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from .dataset import DatasetWriter, manifest_line
from .engine import EncodedFile, Window
from .skips import DUPLICATE_OF, SkipKind, kind_of_stored, low_retention


def ids_of(result: EncodedFile) -> np.ndarray:
    """The IDs of an encoded file (only skipped files have none)."""
    assert result.ids is not None, result.reason
    return result.ids


def digest(result: EncodedFile) -> str | None:
    """The file's hash as the manifest writes it: 16 hex digits."""
    return None if result.hash is None else f"{result.hash:016x}"


def record(result: EncodedFile, hash_text: str | None, duplicate_of: str | None,
           meta: dict[str, Any] | None = None, min_retention: float = 0.0) -> dict[str, Any]:
    """The manifest record of one input file (with "meta" last, when the input has one). "notes"
    and "kept_notes" are null for a file the engine skipped."""
    counted = result.reason is None
    reason = result.reason
    if reason is None and duplicate_of is not None:
        reason = DUPLICATE_OF + str(duplicate_of)
    elif reason is None and result.kept_notes < min_retention * result.notes:
        reason = low_retention(result.kept_notes, result.notes, min_retention)
    if reason is not None:
        rec = {"status": "skipped", "path": result.path, "reason": reason, "tokens": 0, "oov": 0, "hash": hash_text}
    else:
        rec = {"status": "ok", "path": result.path, "reason": None, "tokens": len(ids_of(result)), "oov": result.oov,
               "hash": hash_text}
    rec["notes"] = result.notes if counted else None
    rec["kept_notes"] = result.kept_notes if counted else None
    if meta is not None:
        rec["meta"] = meta
    return rec


@dataclasses.dataclass
class Tally:
    files: int = 0
    kept: int = 0
    tokens: int = 0
    reasons: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter)

    def session(self, threads: int | None, seconds: float) -> dict[str, Any]:
        """run.json's entry for a run that made this tally."""
        return {"threads": threads or os.process_cpu_count() or 1, "files": self.files, "encoded": self.kept,
                "tokens": self.tokens, "seconds": round(seconds, 3)}


Commit = Callable[[list[EncodedFile], list[dict[str, Any]]], None]


def dataset_commit(writer: DatasetWriter) -> Commit:
    """A Commit that appends each window to a dataset directory."""
    return lambda kept, records: writer.commit([ids_of(r) for r in kept], [manifest_line(rec) for rec in records])


def encode_into(windows: Iterable[Window], commit: Commit, tally: Tally, *, dedupe: bool,
                seen: dict[str, str], progress: Callable[[int], None] | None = None,
                min_retention: float = 0.0) -> None:
    """Gives each window of results to `commit` as its kept files and one record per file.

    With `dedupe`, a file whose hash equals that of an earlier kept file (in `seen`: hash -> path,
    updated here) is skipped as its duplicate; a file that keeps less than `min_retention` of its
    notes is skipped too. `tally` counts as windows are committed, so it holds
    what was written even when the run stops part way.
    """
    for window in windows:
        kept, records = [], []
        for r, meta, kind in zip(window.files, window.metas, window.kinds):
            hash_text = digest(r)
            first = seen.get(hash_text) if dedupe and hash_text is not None else None
            rec = record(r, hash_text, first, meta, min_retention)
            records.append(rec)
            if rec["status"] == "ok":
                kept.append(r)
                if dedupe and hash_text is not None:
                    seen[hash_text] = r.path
            else:
                why = kind_of_stored(rec["reason"]) if r.reason is None else kind or SkipKind.INTERNAL
                tally.reasons[why.value] += 1
        commit(kept, records)
        tally.files += len(window.files)
        tally.kept += len(kept)
        tally.tokens += sum(len(ids_of(r)) for r in kept)
        if progress is not None:
            progress(len(window.files))
