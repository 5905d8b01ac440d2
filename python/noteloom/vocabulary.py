"""Vocabularies seen from ID arrays: the special IDs by name, and what kind of token
each ID is, for code that works on IDs without decoding them (chunks, rolls, collate).

Everything here is read off the tokenizer once, so it cannot drift from the IDs the engine writes.
"""

from __future__ import annotations

import enum
import functools
from typing import Any

import numpy as np

from .korvi import _korvi


class Kind(enum.IntEnum):
    """What an ID stands for."""

    SPECIAL = 0
    PREFIX = 1
    NOTE = 2
    ONSET = 3
    DUR = 4
    DRUM = 5


@functools.cache
def tokenizer() -> _korvi._AbsTokenizer:
    """The built-in tokenizer (shared: it is immutable)."""
    return _korvi._AbsTokenizer()


class Vocabulary:
    """One tokenizer's IDs seen as arrays: every ID's token and Kind, and where chunks may be cut.
    The special tokens come first in every configuration, so their IDs are the same in all."""

    def __init__(self, tok: Any) -> None:
        self.tokenizer = tok
        self.size = int(tok.vocab_size())
        self.tokens: tuple[Any, ...] = tuple(tok.decode(list(range(self.size))))
        kinds = np.empty(self.size, dtype=np.uint8)
        for i, token in enumerate(self.tokens):
            if isinstance(token, str):
                kinds[i] = Kind.SPECIAL
            elif token[0].startswith("prefix:"):
                kinds[i] = Kind.PREFIX
            elif token[0] in ("onset", "dur"):
                kinds[i] = Kind.ONSET if token[0] == "onset" else Kind.DUR
            elif token[0] == "drum" and tok.encode([token])[0] == i:
                kinds[i] = Kind.DRUM
            else:  # a pitched note (including the note tokens of instrument "drum")
                kinds[i] = Kind.NOTE
        kinds.flags.writeable = False
        self.kinds = kinds
        starts: np.ndarray = ((kinds == Kind.NOTE) | (kinds == Kind.DRUM)).astype(np.uint8)
        starts[[self.id("<T>"), self.id("<D>"), self.id("<E>")]] = 1
        starts.flags.writeable = False
        self.group_starts = starts

    def id(self, token: Any) -> int:
        return int(self.tokenizer.encode([token])[0])


@functools.lru_cache(maxsize=8)
def _of_config(tok: Any) -> Vocabulary:
    return Vocabulary(tok)


def of(tok: Any = None) -> Vocabulary:
    """The vocabulary of `tok` (a noteloom.Tokenizer), or the built-in one; made once per
    configuration."""
    from .tokenizer import Tokenizer

    if tok is None or (isinstance(tok, Tokenizer) and tok == Tokenizer()):
        return _of_config(tokenizer())
    if not isinstance(tok, Tokenizer):
        raise TypeError(f"tokenizer must be a noteloom.Tokenizer, not {type(tok).__name__}")
    return _of_config(tok)


BOS_ID = of().id("<S>")  # starts the body, after the prefix tokens
EOS_ID = of().id("<E>")  # ends a sequence
PAD_ID = of().id("<P>")  # fills batches to one length
UNK_ID = of().id("<U>")  # a token outside the vocabulary
DIM_ID = of().id("<D>")  # marks the last hundred or so tokens of a long body
TIME_ID = of().id("<T>")  # one segment of time passes
VOCAB_SIZE = of().size  # of the built-in vocabulary


def tokens() -> tuple[Any, ...]:
    """Every ID's token of the built-in vocabulary, in ID order (decoded once)."""
    return of().tokens


def kinds() -> np.ndarray:
    """The Kind of every ID of the built-in vocabulary, as a read-only uint8 array of VOCAB_SIZE."""
    return of().kinds


def group_starts() -> np.ndarray:
    """Per ID, 1 where a sequence may be cut before it: a note or drum group, "<T>", "<D>", "<E>"."""
    return of().group_starts
