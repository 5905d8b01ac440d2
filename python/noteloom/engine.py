"""The corpus engine: MIDI files to token IDs on a pool of native threads.

Each file is loaded, normalized with the tokenizer's own settings (unless ``normalize=False``),
tokenized and encoded in native code, with no Python objects on the way; the interpreter is
released while a batch runs, so the threads work in parallel on every build.
"""

from __future__ import annotations

import collections
import itertools
import os
from typing import Iterable, Iterator, NamedTuple

import numpy as np

import _noteloom

OOV_RULES = {"drop": 0, "unk": 1, "zero": 2}
_UINT16 = np.dtype(np.uint16)  # made once: np.frombuffer runs per file


class EncodedFile(NamedTuple):
    """One input file's result: its IDs, or the reason it was skipped."""

    path: str
    ids: np.ndarray | None  # uint16, from the prefix tokens to "<E>"
    reason: str | None  # why the file was skipped; None when it was encoded
    hash: int | None  # MidiDict.calculate_hash() of the file as loaded
    oov: int  # tokens outside the vocabulary (dropped, made "<U>" or 0 by the oov rule)


def encode_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    threads: int | None = None,
    normalize: bool = True,
    oov: str = "drop",
    max_tokens: int = 2**20,
) -> Iterator[EncodedFile]:
    """Encodes MIDI files to token IDs, yielding one result per path in input order.

    ``paths`` is read lazily, a bounded window at a time, so a generator over millions of paths is
    never held in memory. ``threads`` defaults to the machine's cores. ``oov`` says what becomes of
    tokens outside the vocabulary: "drop" leaves out their note group (or prefix), "unk" turns them
    into "<U>", "zero" into ID 0 as ``AbsTokenizer.encode`` does. A file that cannot be read or
    loaded, holds no notes, or would give more than ``max_tokens`` IDs is yielded with its reason.
    """
    for window in encode_windows(paths, threads=threads, normalize=normalize, oov=oov, max_tokens=max_tokens):
        yield from window


def encode_windows(
    paths: Iterable[str | os.PathLike[str] | bytes],
    *,
    threads: int | None = None,
    normalize: bool = True,
    oov: str = "drop",
    max_tokens: int = 2**20,
) -> Iterator[list[EncodedFile]]:
    """encode_files's results a window at a time (the unit the command line commits to disk).

    While the caller handles one window, the native threads already encode the next one.
    """
    check_options(threads=threads, oov=oov, max_tokens=max_tokens)
    threads = (os.process_cpu_count() or 1) if threads is None else threads
    names = (os.fsdecode(p) for p in paths)
    stop = bytearray(1)  # set when the consumer goes away, so the batches in flight end early
    stream = _noteloom._encode_stream(threads, normalize, OOV_RULES[oov], max_tokens, stop)
    window = _Window(threads)
    queued: collections.deque[list[str]] = collections.deque()

    def submit():
        batch = list(itertools.islice(names, window.files))
        if batch:
            _noteloom._stream_submit(stream, batch)
            queued.append(batch)

    try:
        # Two batches queued: the threads go on with the second while the first one's results
        # travel back and the caller handles them.
        submit()
        submit()
        while queued:
            seconds, ids, hashes, counts, reasons = _noteloom._stream_next(stream)
            done = queued.popleft()
            window.took(len(done), seconds)
            submit()
            yield [
                EncodedFile(path, None if i is None else np.frombuffer(i, _UINT16), reason, h, count)
                for path, i, h, count, reason in zip(done, ids, hashes, counts, reasons)
            ]
    finally:
        stop[0] = 1


def check_options(*, threads: int | None, oov: str, max_tokens: int) -> None:
    """Raises ValueError for options the engine cannot run with."""
    if oov not in OOV_RULES:
        raise ValueError(f"oov must be one of {', '.join(OOV_RULES)}, not {oov!r}")
    if threads is not None and threads < 1:
        raise ValueError("threads must be at least 1")
    if max_tokens < 0:
        raise ValueError("max_tokens must not be negative")


class _Window:
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
