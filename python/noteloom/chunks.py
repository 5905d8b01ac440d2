"""Pieces of sequences for causal-LM training, each one readable on its own."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import _noteloom
import numpy as np

from . import vocabulary
from .augment import augment_ids, item_seed
from .vocabulary import BOS_ID

if TYPE_CHECKING:
    from .dataset import TokenDataset


class TokenChunks:
    """The pieces of at most ``max_len`` IDs of a dataset's sequences, in order; a map-style
    dataset itself (picklable, for spawned DataLoader workers).

    A piece is cut only before a note or drum group, "<T>", "<D>" or the closing "<E>" (never
    inside a note's group of note, onset and duration), and is filled as far as ``max_len``
    allows. Each piece starts with its sequence's prefix tokens and "<S>" (the first one holds
    them already), so it decodes and detokenizes on its own; the last one ends with "<E>".
    Concatenating a sequence's pieces without the repeated prefixes gives the sequence back.
    ``chunks.sequence(j)`` is the index of the sequence that piece j comes from.

    When the dataset augments, so do its chunks, piece by piece (with the dataset's seed, piece
    j's amounts depend on (seed, epoch, j); ``set_epoch`` moves on): a tempo change adds or removes
    "<T>" tokens, so an augmented piece can come out a few IDs longer than ``max_len`` (collate's
    ``max_len`` bounds the batch)."""

    def __init__(self, dataset: TokenDataset, max_len: int):
        max_len = int(max_len)
        if max_len < 1:
            raise ValueError(f"max_len must be at least 1, not {max_len}")
        self.dataset, self.max_len = dataset, max_len
        self._sequence, self._start, self._end, self._prefix = _plan(dataset, max_len)

    def __len__(self) -> int:
        return len(self._sequence)

    def __repr__(self) -> str:
        return f"TokenChunks(max_len={self.max_len}: {len(self)} pieces of {self.dataset!r})"

    def sequence(self, j: int) -> int:
        """The index (in the dataset) of the sequence piece j comes from."""
        return int(self._sequence[_piece(j, len(self))])

    def set_epoch(self, epoch: int) -> None:
        self.dataset.set_epoch(epoch)

    def __getitem__(self, j: int) -> np.ndarray:
        piece = self.stored(j)
        ds = self.dataset
        if ds.augment is None:
            return piece
        seed = None if ds.seed is None else item_seed(ds.seed, ds.epoch, _piece(j, len(self)))
        return augment_ids(piece, **ds.augment, seed=seed, tokenizer=ds._own_tokenizer())

    def stored(self, j: int) -> np.ndarray:
        """Piece j as stored, without augmentation."""
        j = _piece(j, len(self))
        s = int(self._sequence[j])
        ids = self.dataset.stored(s)
        start, end = int(self._start[j]), int(self._end[j])
        if start == 0:
            return ids[:end]
        piece = np.concatenate((ids[: int(self._prefix[s])], ids[start:end]))
        piece.flags.writeable = False
        return piece

    def __iter__(self) -> Iterator[np.ndarray]:
        return (self[j] for j in range(len(self)))


def _piece(j: int, n: int) -> int:
    if not -n <= j < n:
        raise IndexError(f"piece {j} out of range for {n}")
    return j % n


def _plan(dataset: TokenDataset, max_len: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Per piece its sequence and span within it (after the prefix), per sequence its prefix
    length: planned natively over each run of sequences held in one array of tokens."""
    sequences, starts, ends, prefixes = [], [], [], np.zeros(len(dataset), dtype=np.int64)
    group_starts = vocabulary.of(dataset.tokenizer()).group_starts
    for first, tokens, seq_starts, lengths in dataset._token_runs():
        seq, start, end, prefix = (np.frombuffer(b, dtype=np.int64) for b in _noteloom._plan_chunks(
            _uint16(tokens), np.ascontiguousarray(seq_starts, dtype=np.int64),
            np.ascontiguousarray(lengths, dtype=np.int64), group_starts, BOS_ID, max_len))
        sequences.append(seq + first)
        starts.append(start - seq_starts[seq])
        ends.append(end - seq_starts[seq])
        prefixes[first : first + len(prefix)] = prefix
    if not sequences:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, empty, prefixes
    return np.concatenate(sequences), np.concatenate(starts), np.concatenate(ends), prefixes


def _uint16(tokens: Any) -> Any:
    array = np.asarray(tokens)
    return array if array.dtype == np.uint16 and array.flags.c_contiguous else np.ascontiguousarray(array, np.uint16)
