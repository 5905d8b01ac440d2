"""From IDs back to music: a MidiDict of what a model wrote, and piano rolls."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from . import vocabulary
from .korvi import _korvi
from .vocabulary import EOS_ID, Kind

_BODY = np.array([Kind.NOTE, Kind.ONSET, Kind.DUR, Kind.DRUM])
DRUM_CHANNEL = 9


def id_array(ids: Any, what: str = "ids") -> np.ndarray:
    """`ids` (a 1-D integer array-like: a list, a numpy array, a tensor through __array__) as int64."""
    array = np.asarray(ids)
    if array.size == 0 and array.dtype.kind == "f":
        array = array.astype(np.int64)  # np.asarray([]) is float64
    if array.dtype.kind not in "iu":
        raise TypeError(f"{what} must be integers, not {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, not of shape {array.shape}")
    return array.astype(np.int64, copy=False)


def ids_to_midi(ids: Any, *, tokenizer: Any = None) -> _korvi.MidiDict:
    """The piece that IDs of `tokenizer`'s vocabulary (a noteloom.Tokenizer; the built-in one by
    default) stand for: for a whole sequence, what ``tok.detokenize(tok.decode(ids))`` gives.

    Made for what a model writes: the IDs end at the first "<E>" (what follows is not read or
    checked); a piece with no instrument prefix tokens (a window cut from the middle, say) is
    given the instruments its notes use, in order of first use, so that its notes are kept; an ID
    outside the vocabulary is a ValueError naming its position and value."""
    array = id_array(ids)
    ends = np.flatnonzero(array == EOS_ID)
    if len(ends):
        array = array[: ends[0] + 1]
    vocab = vocabulary.of(tokenizer)
    bad = np.flatnonzero((array < 0) | (array >= vocab.size))
    if len(bad):
        k = int(bad[0])
        raise ValueError(f"ID {int(array[k])} at position {k} is not in the vocabulary (0 to {vocab.size - 1})")
    tok = vocab.tokenizer
    tokens = tok.decode(array.tolist())
    kind = vocab.kinds[array]
    body = np.flatnonzero(np.isin(kind, _BODY))
    start = int(body[0]) if len(body) else len(array)
    if not any(kind[k] == Kind.PREFIX and tokens[k][0].startswith("prefix:instrument:") for k in range(start)):
        tokens = _instruments_of(tokens, kind) + ["<S>"] + tokens
    piece: _korvi.MidiDict = tok.detokenize(tokens)
    return piece


def _instruments_of(tokens: list[Any], kind: np.ndarray) -> list[Any]:
    """Prefix tokens for the instruments the note and drum tokens use, in order of first use."""
    used: dict[str, None] = {}
    for k in np.flatnonzero((kind == Kind.NOTE) | (kind == Kind.DRUM)):
        used.setdefault("drum" if kind[k] == Kind.DRUM else tokens[k][0], None)
    return [(f"prefix:instrument:{name}", 0, 0) for name in used]


def check_fs(fs: float) -> None:
    if not fs > 0 or not math.isfinite(fs):
        raise ValueError(f"fs must be a positive number of frames per second, not {fs}")


def note_frames(piece: _korvi.MidiDict, fs: float) -> np.ndarray:
    """The notes of `piece` on frames of 1 / `fs` seconds, as an int64 array of rows (pitch, first
    frame, end frame, velocity, channel): a note from s to e seconds takes the frames floor(s * fs)
    up to floor(e * fs), at least one."""
    notes = piece.note_msgs
    ms = {tick: piece.tick_to_ms(tick) for tick in {t for n in notes for t in (n.start, n.end)}}
    table = np.array([(n.pitch, ms[n.start], ms[n.end], n.velocity, n.channel) for n in notes],
                     dtype=np.int64).reshape(-1, 5)
    table[:, 1] = np.floor(table[:, 1] * fs / 1000)
    table[:, 2] = np.maximum(table[:, 1] + 1, np.floor(table[:, 2] * fs / 1000))
    return table


def piano_roll(piece: _korvi.MidiDict | Any, fs: float = 100, *, drums: bool = False,
               tokenizer: Any = None) -> np.ndarray:
    """A uint8 array of 128 pitches x frames: the velocity where a note sounds (the loudest of
    the notes that overlap), 0 elsewhere; frame k covers [k / fs, (k + 1) / fs) seconds.

    `piece` is a MidiDict or IDs (as ids_to_midi reads them, of `tokenizer`'s vocabulary). A note
    from s to e seconds fills the frames floor(s * fs) up to floor(e * fs), at least one. Drums
    (channel 9) are on a roll of their own, rows being drum keys: ``drums=False`` gives the pitched
    notes, ``drums=True`` the drums; both have as many frames as the whole piece needs, so they
    line up."""
    check_fs(fs)
    if not isinstance(piece, _korvi.MidiDict):
        piece = ids_to_midi(piece, tokenizer=tokenizer)
    table = note_frames(piece, fs)
    roll = np.zeros((128, int(table[:, 2].max(initial=0))), dtype=np.uint8)
    for pitch, s, e, velocity, channel in table.tolist():
        if (channel == DRUM_CHANNEL) == drums and 0 <= pitch < 128 and s >= 0:
            row = roll[pitch, s:e]
            np.maximum(row, min(max(velocity, 0), 127), out=row)
    return roll
