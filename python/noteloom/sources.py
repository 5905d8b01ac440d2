"""What the main job reads: sources expanded into the engine's inputs, lazily and in order.

A source is
- a MIDI file, or a folder walked for ``*.mid`` / ``*.midi`` (each folder's files in name order,
  then its sub-folders);
- a tar archive (plain, gzip, bzip2, xz, zstd) or a zip archive: its members named ``*.mid`` /
  ``*.midi``, in archive order, read in native code as a stream (the rules are the archive
  reader's, ``src/core/archive/archive_reader.hpp``); each is named ``SOURCE::MEMBER``;
- a Parquet file: one input per row, its bytes from a binary column, read a batch of rows at a
  time; named ``SOURCE::ROW`` (0-based) or ``SOURCE::VALUE`` of a name column;
- in Python, a ``(name, data)`` pair, ``data`` any bytes-like object, named ``name``.

A path's kind is found from its first bytes, whatever it is called; a path ending in ".mid" or
".midi" is taken as a MIDI file without looking (folders hold millions of them), and one whose
first bytes announce nothing is a MIDI file too (the engine then says what is wrong with it),
unless its name says Parquet or archive: then it is recorded as skipped, with the reason.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Union

import _noteloom
import numpy as np

from .skips import NATIVE, SkipKind

MIDI_SUFFIXES = (".mid", ".midi")
ARCHIVE_SUFFIXES = (".tar", ".tgz", ".tbz2", ".txz", ".tzst", ".zip", ".gz", ".bz2", ".xz", ".zst")
PARQUET_SUFFIX = ".parquet"
SEPARATOR = "::"
# An archive is read in chunks of at most this many entries and bytes (and one member whole), two
# chunks ahead of the engine, on a thread of the reader's own.
CHUNK_ENTRIES = 256
CHUNK_BYTES = 32 << 20
PARQUET_BATCH_ROWS = 256
_EMPTY = np.zeros(1, dtype=np.int64)
PACKING_RECORD = 16  # bytes per image of Images.packing


@dataclasses.dataclass(slots=True)
class FileInput:
    """A MIDI file on disk, opened at `path` and named `name` in the results."""

    name: str
    path: str

    def __len__(self) -> int:
        return 1


@dataclasses.dataclass(slots=True)
class Images:
    """Entries whose bytes are in memory: entry k is named names[k]; it is skipped when reasons[k]
    is set (of kind kinds[k]), else it is the next image, image j being data[offsets[j]:offsets[j+1]]."""

    names: list[str]
    reasons: list[str | None]
    kinds: list[SkipKind | None]
    data: Any  # a bytes-like object
    offsets: np.ndarray  # int64
    metas: list[dict[str, Any]] | None = None  # per entry, the record's "meta" (Parquet columns)
    packing: bytes | None = None  # per image, how an archive member is held (for the engine to unpack)

    def __len__(self) -> int:
        return len(self.names)

    @property
    def images(self) -> int:
        return len(self.offsets) - 1

    @property
    def nbytes(self) -> int:
        return int(self.offsets[-1] - self.offsets[0])

    def drop(self, n: int) -> Images:
        """The entries after the first n."""
        images = sum(1 for r in self.reasons[:n] if r is None)
        return Images(self.names[n:], self.reasons[n:], self.kinds[n:], self.data, self.offsets[images:],
                      None if self.metas is None else self.metas[n:],
                      None if self.packing is None else self.packing[PACKING_RECORD * images :])


# An input unit of the engine: a file whose name is its path, a file named otherwise, or images.
Unit = str | FileInput | Images
Source = Union[str, "os.PathLike[str]", bytes, tuple[str, Any]]


def unit_names(unit: Unit) -> list[str]:
    if isinstance(unit, str):
        return [unit]
    if isinstance(unit, FileInput):
        return [unit.name]
    return unit.names


def skipped(name: str, reason: str, kind: SkipKind) -> Images:
    """One entry recorded as skipped."""
    return Images([name], [reason], [kind], b"", _EMPTY)


def image(name: str, data: Any) -> Images:
    """One file image in memory."""
    view = memoryview(data)
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    return Images([name], [None], [None], view.cast("B"), np.array([0, view.nbytes], dtype=np.int64))


def find_midi_files(folder: str) -> Iterator[str]:
    """The paths of the *.mid / *.midi files under `folder`, in the order `walk_folder` finds them."""
    return (p for p in walk_folder(folder) if isinstance(p, str))


def walk_folder(folder: str) -> Iterator[str | Images]:
    """The *.mid / *.midi files under `folder`: each folder's files sorted by name, then its
    sub-folders, found lazily. Links to folders are followed, except back into a folder already on
    the way down. What cannot be listed or looked at (a path too long, no permission, a loop) is
    yielded as a skipped entry with the reason, as a file that cannot be read is."""
    stack: list[tuple[str, frozenset[tuple[int, int]]]] = [(folder, frozenset())]
    while stack:
        path, above = stack.pop()
        try:
            st = os.stat(path)
            here = above | {(st.st_dev, st.st_ino)}
            if len(here) == len(above):
                yield skipped(path, "not read: a link back to a folder above it (a loop)", SkipKind.LOAD_FAILED)
                continue
            with os.scandir(path) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as e:
            yield skipped(path, f"folder not read: {e.strerror} (os error {e.errno})", SkipKind.LOAD_FAILED)
            continue
        folders = []
        for entry in entries:
            try:
                is_folder = entry.is_dir()
            except OSError as e:  # a link whose target cannot be looked at
                yield skipped(entry.path, f"not read: {e.strerror} (os error {e.errno})", SkipKind.LOAD_FAILED)
                continue
            if is_folder:
                folders.append(entry.path)
            elif entry.name.lower().endswith(MIDI_SUFFIXES):
                yield entry.path
        stack.extend((sub, here) for sub in reversed(folders))


@dataclasses.dataclass(frozen=True)
class ParquetColumns:
    """Which Parquet columns give each row's bytes, name and manifest "meta"."""

    column: str | None = None  # None: the file's only binary column
    name_column: str | None = None
    meta_columns: tuple[str, ...] = ()


def expand(sources: Iterable[Source], columns: ParquetColumns = ParquetColumns(), *,
           pack: bool = False) -> Iterator[Unit]:
    """The engine's inputs of `sources`, in order, found lazily. With `pack`, zip members are handed
    to the engine still deflated (its threads inflate them): best when they have every core."""
    for source in sources:
        if isinstance(source, tuple):
            name, data = source
            yield image(os.fsdecode(name), data)
            continue
        path = os.fsdecode(source)
        kind = kind_of(path)
        if kind == "folder":
            yield from walk_folder(path)
        elif kind == "parquet":
            yield from parquet_units(path, columns)
        elif kind == "archive":
            yield from archive_units(path, pack=pack)
        elif kind in NOT_WHAT_NAMED:
            yield skipped(path, NOT_WHAT_NAMED[kind], SkipKind.NOT_A_SOURCE)
        else:
            yield path


NOT_WHAT_NAMED = {"not parquet": "not a Parquet file: its first bytes are not PAR1",
                  "not archive": "not a tar or zip archive"}


def kind_of(path: str) -> str:
    """"folder", "midi", "archive" or "parquet"; or "not parquet" / "not archive" for a file whose
    name says so and whose first bytes do not."""
    if os.path.isdir(path):
        return "folder"
    if path.lower().endswith(MIDI_SUFFIXES):
        return "midi"
    kind = source_kind(path)
    if kind == "midi" and path.lower().endswith(PARQUET_SUFFIX):
        return "not parquet"
    if kind == "midi" and path.lower().endswith(ARCHIVE_SUFFIXES) and os.path.isfile(path):
        return "not archive"
    return kind


def source_kind(path: str) -> str:
    """"parquet", "archive" or "midi", from the file's first bytes."""
    try:
        with open(path, "rb") as f:
            first = f.read(512)
    except OSError:
        return "midi"  # the engine reports why it cannot be read
    if first.startswith(b"PAR1"):
        return "parquet"
    return "archive" if _noteloom._archive_kind(first) is not None else "midi"


def archive_units(path: str, label: str | None = None, *, pack: bool = False) -> Iterator[Images]:
    """The entries of the archive at `path`, named after `label` (default: the path)."""
    label = path if label is None else label
    try:
        reader = _noteloom._archive_open(path, pack, CHUNK_ENTRIES, CHUNK_BYTES)
    except OSError as e:
        yield skipped(label, str(e), SkipKind.LOAD_FAILED)
        return
    prefix = label + SEPARATOR
    while (chunk := _noteloom._archive_read(reader)) is not None:
        names, reasons, kinds, data, offsets, packing = chunk
        yield Images([prefix + n for n in names], reasons, [NATIVE[k] for k in kinds], data,
                     np.frombuffer(offsets, dtype=np.int64), None, packing)


def parquet_units(path: str, columns: ParquetColumns, label: str | None = None,
                  row_groups: tuple[int, int] | None = None) -> Iterator[Images]:
    """The rows of the Parquet file at `path` (of row groups [a, b) only, with `row_groups`), named
    after `label` (default: the path)."""
    label = path if label is None else label
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError("Parquet sources need pyarrow: pip install 'noteloom[parquet]'") from None
    try:
        file = pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as e:
        yield skipped(label, f"not a Parquet file: {e}", SkipKind.NOT_A_SOURCE)
        return
    schema = file.schema_arrow
    column = _bytes_column(label, schema, columns.column)
    wanted = [column, *([columns.name_column] if columns.name_column else []), *columns.meta_columns]
    for name in wanted:
        if schema.get_field_index(name) < 0:
            raise ValueError(f"{label} has no column {name!r}; its columns: {', '.join(schema.names)}")
    is_struct = pa.types.is_struct(schema.field(column).type)
    groups = range(*row_groups) if row_groups is not None else range(file.num_row_groups)
    if not groups:
        return
    meta = file.metadata
    prefix, row = label + SEPARATOR, sum(meta.row_group(g).num_rows for g in range(groups.start))
    try:
        batches = file.iter_batches(batch_size=PARQUET_BATCH_ROWS, row_groups=list(groups),
                                    columns=list(dict.fromkeys(wanted)))
        for batch in batches:
            values = batch.column(column)
            if is_struct:
                given = values.type.get_field_index("path") >= 0 and columns.name_column is None
                names_from = pc.struct_field(values, "path") if given else None  # type: ignore[attr-defined]
                values = pc.struct_field(values, "bytes")  # type: ignore[attr-defined]
            else:
                names_from = None
            if columns.name_column is not None:
                names_from = batch.column(columns.name_column)
            names = _row_names(prefix, row, len(batch), names_from)
            metas = None
            if columns.meta_columns:
                lists = {c: batch.column(c).to_pylist() for c in columns.meta_columns}
                metas = [{c: _json_ready(lists[c][i]) for c in columns.meta_columns} for i in range(len(batch))]
            yield _images_of(values, names, metas, pa)
            row += len(batch)
    except (pa.ArrowException, OSError) as e:
        yield skipped(f"{prefix}{row}", f"damaged Parquet file: {e}", SkipKind.DAMAGED)


def _bytes_column(path: str, schema: Any, wanted: str | None) -> str:
    import pyarrow as pa

    def holds_bytes(t: Any) -> bool:
        if pa.types.is_binary(t) or pa.types.is_large_binary(t) or pa.types.is_binary_view(t):
            return True
        return pa.types.is_struct(t) and t.get_field_index("bytes") >= 0 and holds_bytes(t.field("bytes").type)

    binary = [f.name for f in schema if holds_bytes(f.type)]
    if wanted is not None:
        if schema.get_field_index(wanted) < 0:
            raise ValueError(f"{path} has no column {wanted!r}; its columns: {', '.join(schema.names)}")
        if wanted not in binary:
            raise ValueError(f"{path}: column {wanted!r} holds no bytes; its binary columns: "
                             f"{', '.join(binary) or 'none'}")
        return wanted
    if len(binary) != 1:
        raise ValueError(f"{path} has {'no binary column' if not binary else 'several binary columns'}"
                         f"{': ' + ', '.join(binary) if binary else ''}; choose one with --column")
    return str(binary[0])


def _row_names(prefix: str, first: int, count: int, given: Any) -> list[str]:
    if given is None:
        return [f"{prefix}{first + i}" for i in range(count)]
    values = given.to_pylist()
    return [f"{prefix}{first + i}" if v is None else prefix + (os.fsdecode(v) if isinstance(v, bytes) else str(v))
            for i, v in enumerate(values)]


def _images_of(values: Any, names: list[str], metas: list[dict[str, Any]] | None, pa: Any) -> Images:
    """A batch of a binary column as images over its own buffers (no copy per row)."""
    if pa.types.is_binary_view(values.type):
        values = values.cast(pa.large_binary())
    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks()
    reasons: list[str | None] = [None] * len(values)
    kinds: list[SkipKind | None] = [None] * len(values)
    if values.null_count:
        valid = values.is_valid().to_numpy(zero_copy_only=False)
        reasons = [None if ok else "no data: the value is null" for ok in valid]
        kinds = [None if ok else SkipKind.NO_DATA for ok in valid]
        values = values.filter(values.is_valid())
    _, offsets_buffer, data = values.buffers()
    width = np.int64 if pa.types.is_large_binary(values.type) else np.int32
    offsets = np.frombuffer(offsets_buffer, dtype=width)[values.offset : values.offset + len(values) + 1]
    return Images(names, reasons, kinds, b"" if data is None else data, offsets.astype(np.int64), metas)


def _json_ready(value: Any) -> Any:
    """A Parquet value as the manifest's JSON can hold it."""
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    if isinstance(value, bytes):
        return os.fsdecode(value)
    if isinstance(value, dict):
        return {str(k): _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    return str(value)


def sequence_of(value: Sequence[str] | str) -> tuple[str, ...]:
    """Column names given as "A,B" or as a sequence."""
    if isinstance(value, str):
        return tuple(c for c in value.split(",") if c)
    return tuple(value)
