"""The corpus engine: MIDI files and file images to token IDs on a pool of native threads.

Each input is loaded, normalized with the tokenizer's own settings (unless ``normalize=False``),
tokenized and encoded in native code, with no Python objects on the way; the interpreter is
released while a batch runs, so the threads work in parallel on every build. Inputs are the units
of noteloom.sources: paths, and images in memory (archive members, Parquet rows, bytes).
"""

from __future__ import annotations

import collections
import itertools
import os
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple

import _noteloom
import numpy as np

from .options import MAX_TOKENS, EncodeOptions
from .skips import NATIVE, SkipKind
from .sources import FileInput, Images, Unit, image
from .tokenizer import Tokenizer

_UINT16 = np.dtype(np.uint16)  # made once: np.frombuffer runs per file
# A batch holds at most this many bytes of images (and at least one unit).
BATCH_BYTES = 64 << 20


class EncodedFile(NamedTuple):
    """One input file's result: its IDs, or the reason it was skipped."""

    path: str
    ids: np.ndarray | None  # uint16, from the prefix tokens to "<E>"
    reason: str | None  # why the file was skipped; None when it was encoded
    hash: int | None  # MidiDict.calculate_hash() of the file as loaded
    oov: int  # tokens outside the vocabulary (dropped, made "<U>" or 0 by the oov rule)
    notes: int = 0  # notes of the file as loaded, drums included (0 when skipped)
    kept_notes: int = 0  # note and drum groups written as such in `ids` (not "<U>")


class Window(NamedTuple):
    """A window of results in input order, with each one's manifest "meta" (or None) and the kind
    of the reason it was skipped for (None when it was encoded)."""

    files: list[EncodedFile]
    metas: list[dict[str, Any] | None]
    kinds: list[SkipKind | None]


def encode_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    threads: int | None = None,
    normalize: bool = True,
    oov: str = "drop",
    max_tokens: int = MAX_TOKENS,
    tokenizer: Tokenizer | None = None,
) -> Iterator[EncodedFile]:
    """Encodes MIDI files to token IDs, yielding one result per path in input order.

    ``paths`` is read lazily, a bounded window at a time, so a generator over millions of paths is
    never held in memory. ``threads`` defaults to the machine's cores. ``oov`` says what becomes of
    tokens outside the vocabulary: "drop" leaves out their note group (or prefix), "unk" turns them
    into "<U>", "zero" into ID 0 as ``AbsTokenizer.encode`` does. A file that cannot be read or
    loaded, holds no notes, or would give more than ``max_tokens`` IDs is yielded with its reason.
    ``tokenizer`` (a noteloom.Tokenizer) gives the vocabulary; the built-in one by default.
    """
    options = EncodeOptions(threads=threads, normalize=normalize, oov=oov, max_tokens=max_tokens, tokenizer=tokenizer)
    for window in encode_windows((os.fsdecode(p) for p in paths), options):
        yield from window.files


def encode_bytes(
    items: Iterable[tuple[str, Any]],
    *,
    threads: int | None = None,
    normalize: bool = True,
    oov: str = "drop",
    max_tokens: int = MAX_TOKENS,
    tokenizer: Tokenizer | None = None,
) -> Iterator[EncodedFile]:
    """Encodes MIDI files in memory: one result per ``(name, data)`` pair, in input order, ``data``
    any bytes-like object (bytes, memoryview, a uint8 numpy array). The results equal
    ``encode_files``'s on the same files (``path`` is the name); nothing is written to disk, and
    each ``data`` is read in place, so it must not change until its result has come."""
    options = EncodeOptions(threads=threads, normalize=normalize, oov=oov, max_tokens=max_tokens, tokenizer=tokenizer)
    for window in encode_windows((image(os.fsdecode(name), data) for name, data in items), options):
        yield from window.files


def encode_windows(units: Iterable[Unit], options: EncodeOptions) -> Iterator[Window]:
    """encode_files's results a window at a time (the unit the command line commits to disk).

    While the caller handles one window, the native threads already encode the next one.
    """
    threads = options.thread_count
    stop = bytearray(1)  # set when the consumer goes away, so the batches in flight end early
    stream = _noteloom._encode_stream(threads, options.normalize, options.oov, options.max_tokens, stop,
                                      options.native_tokenizer)
    sizer = _Sizer(threads)
    source = iter(units)
    queued: collections.deque[list[Unit]] = collections.deque()

    def submit() -> None:
        batch: list[Unit] = []
        entries = size = 0
        for unit in source:
            batch.append(unit)
            if isinstance(unit, Images):
                entries, size = entries + len(unit), size + unit.nbytes
            else:
                entries += 1
            if entries >= sizer.files or size >= BATCH_BYTES:
                break
        if batch:
            _noteloom._stream_submit(stream, [_item(u) for u in batch if not isinstance(u, Images) or u.images])
            queued.append(batch)

    try:
        # Two batches queued: the threads go on with the second while the first one's results
        # travel back and the caller handles them.
        submit()
        submit()
        while queued:
            seconds, ids, hashes, counts, reasons, kinds = _noteloom._stream_next(stream)
            done = queued.popleft()
            sizer.took(len(ids), seconds)
            submit()
            per_file = np.frombuffer(counts, dtype=np.uint32).reshape(-1, 3).tolist()
            yield _merge(done, iter(zip(ids, hashes, per_file, reasons, kinds)))
    finally:
        stop[0] = 1


def _item(unit: Unit) -> Any:
    if isinstance(unit, str):
        return unit
    if isinstance(unit, FileInput):
        return unit.path
    return (unit.data, unit.offsets) if unit.packing is None else (unit.data, unit.offsets, unit.packing)


def _merge(batch: list[Unit], results: Iterator[tuple[Any, Any, list[int], Any, int]]) -> Window:
    """The batch's entries with their results, in order; entries skipped before the engine keep
    their reason."""
    files: list[EncodedFile] = []
    metas: list[dict[str, Any] | None] = []
    kinds: list[SkipKind | None] = []

    def engine_result(name: str) -> None:
        i, h, (oov, notes, kept), reason, kind = next(results)
        files.append(EncodedFile(name, None if i is None else np.frombuffer(i, _UINT16), reason, h, oov, notes, kept))
        kinds.append(NATIVE[kind])

    for unit in batch:
        if isinstance(unit, (str, FileInput)):
            engine_result(unit if isinstance(unit, str) else unit.name)
            metas.append(None)
            continue
        for name, skip, skip_kind in zip(unit.names, unit.reasons, unit.kinds):
            if skip is None:
                engine_result(name)
            else:
                files.append(EncodedFile(name, None, skip, None, 0))
                kinds.append(skip_kind)
        metas.extend(unit.metas if unit.metas is not None else itertools.repeat(None, len(unit)))
    return Window(files, metas, kinds)


class _Sizer:
    """How many files go to one batch: enough that a batch lasts some tens of milliseconds (each
    costs a few thread hand-overs), few enough that memory stays bounded and results reach the
    caller steadily. The size follows the measured speed: large files make it small."""

    TARGET_SECONDS = 0.05

    def __init__(self, threads: int):
        self.least, self.most = 16 * threads, 4096 * threads
        self.files = 64 * threads

    def took(self, files: int, seconds: float) -> None:
        if files < self.least:  # a short last batch says little about the speed
            return
        wanted = files * self.TARGET_SECONDS / max(seconds, 1e-6)
        self.files = int(min(max(wanted, self.files / 2, self.least), self.files * 2, self.most))
