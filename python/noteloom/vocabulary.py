"""The built-in vocabulary seen from ID arrays: the special IDs by name, and what kind of token
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
    """The tokenizer the engine's IDs are of (shared: it is immutable)."""
    return _korvi._AbsTokenizer()


def _id(token: str) -> int:
    return int(tokenizer().encode([token])[0])


BOS_ID = _id("<S>")  # starts the body, after the prefix tokens
EOS_ID = _id("<E>")  # ends a sequence
PAD_ID = _id("<P>")  # fills batches to one length
UNK_ID = _id("<U>")  # a token outside the vocabulary
DIM_ID = _id("<D>")  # marks the last hundred or so tokens of a long body
TIME_ID = _id("<T>")  # one segment of time passes
VOCAB_SIZE = int(tokenizer().vocab_size())


@functools.cache
def tokens() -> tuple[Any, ...]:
    """Every ID's token, in ID order (decoded once)."""
    return tuple(tokenizer().decode(list(range(VOCAB_SIZE))))


@functools.cache
def kinds() -> np.ndarray:
    """The Kind of every ID, as a read-only uint8 array of VOCAB_SIZE."""
    tok = tokenizer()
    out = np.empty(VOCAB_SIZE, dtype=np.uint8)
    for i, token in enumerate(tokens()):
        if isinstance(token, str):
            out[i] = Kind.SPECIAL
        elif token[0].startswith("prefix:"):
            out[i] = Kind.PREFIX
        elif token[0] in ("onset", "dur"):
            out[i] = Kind.ONSET if token[0] == "onset" else Kind.DUR
        elif token[0] == "drum" and tok.encode([token])[0] == i:
            out[i] = Kind.DRUM
        else:  # a pitched note (including the note tokens of instrument "drum")
            out[i] = Kind.NOTE
    out.flags.writeable = False
    return out


@functools.cache
def group_starts() -> np.ndarray:
    """Per ID, 1 where a sequence may be cut before it: a note or drum group, "<T>", "<D>", "<E>"."""
    k = kinds()
    out: np.ndarray = ((k == Kind.NOTE) | (k == Kind.DRUM)).astype(np.uint8)
    out[[TIME_ID, DIM_ID, EOS_ID]] = 1
    out.flags.writeable = False
    return out
