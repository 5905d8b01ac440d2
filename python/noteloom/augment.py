"""Augmentation of token ID arrays, for training-time variation in DataLoader workers."""

from __future__ import annotations

import hashlib
from typing import Any

import _noteloom
import numpy as np

PARAMETERS = ("max_pitch_aug", "pitch_aug", "max_num_aug_steps", "aug_step", "max_tempo_aug", "mixup", "tempo_aug")


def augment_ids(
    ids: Any,
    *,
    max_pitch_aug: int = 0,
    pitch_aug: int | None = None,
    max_num_aug_steps: int = 0,
    aug_step: int | None = None,
    max_tempo_aug: float = 0.0,
    mixup: bool = False,
    tempo_aug: float | None = None,
    seed: int | None = None,
    tokenizer: Any = None,
) -> np.ndarray:
    """A new uint16 array: ``ids`` (a 1-D array or sequence of integers) transposed, shifted in
    velocity and changed in tempo, natively and with the interpreter released.

    The result is, ID for ID, ``tok.encode(tok.apply_tempo_aug(tok.apply_velocity_aug(
    tok.apply_pitch_aug(tok.decode(ids), max_pitch_aug, pitch_aug), max_num_aug_steps, aug_step),
    max_tempo_aug, mixup, tempo_aug))`` with the same rules: pitches moved out of 0..127 become
    "<U>", velocities are clamped, times are scaled and re-split into "<T>" segments. An amount
    given as None is drawn from [-max, max] (a factor from [1 - max_tempo_aug, 1 + max_tempo_aug])
    by the same per-thread generator as the methods, re-seeded in every forked worker; with a
    ``seed`` (an int from 0 to 2**64 - 1), by a generator of that seed instead, so the same seed
    gives the same result. With ``mixup``, events that start together come out in a random order.
    ``tokenizer`` (a noteloom.Tokenizer) says whose IDs these are; the built-in one by default.
    """
    array = np.asarray(ids)
    if array.dtype.kind not in "iu":
        raise TypeError(f"ids must be integers, not {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"ids must be one-dimensional, not of shape {array.shape}")
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    native = None
    if tokenizer is not None:
        from .tokenizer import Tokenizer

        if not isinstance(tokenizer, Tokenizer):
            raise TypeError(f"tokenizer must be a noteloom.Tokenizer, not {type(tokenizer).__name__}")
        if tokenizer.vocab_size() > 65536 - 128:
            raise ValueError(f"augment_ids handles vocabularies of at most {65536 - 128} tokens, and the "
                             f"tokenizer has {tokenizer.vocab_size()}")
        native = tokenizer._native
    out = _noteloom._augment_ids(np.ascontiguousarray(array), max_pitch_aug, pitch_aug, max_num_aug_steps, aug_step,
                                 max_tempo_aug, mixup, tempo_aug, seed, native)
    return np.frombuffer(out, dtype=np.uint16)


def item_seed(seed: int, epoch: int, item: int) -> int:
    """The seed of item `item` in epoch `epoch` of a dataset augmented with `seed`."""
    text = f"{int(seed)}:{int(epoch)}:{int(item)}".encode()
    return int.from_bytes(hashlib.blake2b(text, digest_size=8).digest(), "little")


def check_augmentation(augment: dict[str, Any]) -> dict[str, Any]:
    """The keyword arguments of augment_ids in `augment`, checked by a call on no IDs."""
    unknown = set(augment) - set(PARAMETERS)
    if unknown:
        raise TypeError(f"unknown augmentation parameter(s): {', '.join(sorted(unknown))}")
    augment_ids(np.zeros(0, dtype=np.uint16), **augment)
    return dict(augment)
