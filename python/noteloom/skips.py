"""Why inputs are skipped: a kind beside each message, as a value. The message names one file's
detail; the kind is what summaries count. The engine's kinds are those of its native table
(src/core/base/skip_kind.hpp), which this enum must hold by name (a mismatch fails at import); the
last ones are this layer's own."""

from __future__ import annotations

import collections
import dataclasses
import enum
from collections.abc import Iterable
from typing import Any

import _noteloom


class SkipKind(enum.Enum):
    LOAD_FAILED = "load failed"  # unreadable, or not a Standard MIDI File
    TOO_LARGE = "too large"  # past the 256 MiB file bound
    NO_NOTES = "no notes"
    TOO_MANY_TOKENS = "too many tokens"
    DAMAGED = "damaged archive"
    NOT_REGULAR = "not a regular file"  # an archive's link, device or FIFO
    ENCRYPTED = "encrypted"
    UNSUPPORTED = "compression not read"
    CANCELLED = "cancelled"
    INTERNAL = "internal error"
    DUPLICATE = "duplicate"  # the same MidiDict as an earlier file (dedupe)
    NO_DATA = "no data"  # a null Parquet value
    NOT_A_SOURCE = "not what its name says"  # a .parquet that is no Parquet file, an archive that is none
    LOW_RETENTION = "low retention"  # keeps less of its notes than --min-retention asks


# The engine's kind codes, in order (code 0: not skipped).
NATIVE: tuple[SkipKind | None, ...] = tuple(None if name == "none" else SkipKind(name)
                                            for name in _noteloom._skip_kinds())

DUPLICATE_OF = "duplicate of "


def low_retention(kept: int, notes: int, least: float) -> str:
    """Why a file that keeps `kept` of its `notes` is skipped under --min-retention `least`."""
    return f"kept {kept / notes:.0%} of its notes, below --min-retention {least:g}".replace("%", " %")
# What stored manifest lines (which hold reasons, not kinds) begin with, for each kind.
_STORED = ((DUPLICATE_OF, SkipKind.DUPLICATE), ("Failed to load MIDI file: file larger than", SkipKind.TOO_LARGE),
           ("Failed to load MIDI file", SkipKind.LOAD_FAILED), ("Empty note messages", SkipKind.NO_NOTES),
           ("Too many tokens", SkipKind.TOO_MANY_TOKENS), ("damaged", SkipKind.DAMAGED),
           ("not a regular file", SkipKind.NOT_REGULAR), ("encrypted", SkipKind.ENCRYPTED),
           ("zip member compressed", SkipKind.UNSUPPORTED), ("cancelled", SkipKind.CANCELLED),
           ("no data", SkipKind.NO_DATA), ("not a ", SkipKind.NOT_A_SOURCE), ("kept ", SkipKind.LOW_RETENTION),
           ("folder not read", SkipKind.LOAD_FAILED), ("not read: ", SkipKind.LOAD_FAILED))


@dataclasses.dataclass
class ManifestCounts:
    """What a dataset's manifest records add up to."""

    files: int = 0
    skipped: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter)  # kind -> files
    oov: int = 0  # of the kept files
    notes: int = 0  # of the kept files, as loaded (datasets of earlier versions have no counts)
    kept_notes: int = 0


def count_manifest(records: Iterable[dict[str, Any]]) -> ManifestCounts:
    counts = ManifestCounts()
    for record in records:
        counts.files += 1
        if record["status"] != "ok":
            counts.skipped[kind_of_stored(record["reason"]).value] += 1
        else:
            counts.oov += record["oov"]
            counts.notes += record.get("notes") or 0
            counts.kept_notes += record.get("kept_notes") or 0
    return counts


def kind_of_stored(reason: str) -> SkipKind:
    """The kind of a reason read back from a manifest (which stores reasons only)."""
    for start, kind in _STORED:
        if reason.startswith(start):
            return kind
    return SkipKind.LOAD_FAILED if "os error" in reason else SkipKind.INTERNAL
