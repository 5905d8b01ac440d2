"""Batches for a causal language model, from lists of ID arrays (a DataLoader's collate_fn)."""

from __future__ import annotations

import importlib
from collections.abc import Sequence
from typing import Any

import numpy as np

from .music import id_array
from .vocabulary import PAD_ID

IGNORE_INDEX = -100  # the label that loss functions such as torch's cross_entropy leave out


def collate(batch: Sequence[Any], *, max_len: int | None = None, pad_id: int = PAD_ID,
            return_tensors: str = "np") -> dict[str, Any]:
    """A dict of ``input_ids`` (int64, batch x the longest item, padded with `pad_id`),
    ``attention_mask`` (1 on IDs, 0 on padding) and ``labels`` (input_ids with -100 on padding).
    Items longer than `max_len` are cut to their first `max_len` IDs. numpy arrays, or torch
    tensors with ``return_tensors="pt"``."""
    if return_tensors not in ("np", "pt"):
        raise ValueError(f"return_tensors must be 'np' or 'pt', not {return_tensors!r}")
    if max_len is not None and max_len < 1:
        raise ValueError(f"max_len must be at least 1, not {max_len}")
    items = [id_array(item, f"batch item {k}") for k, item in enumerate(batch)]
    if not items:
        raise ValueError("an empty batch")
    if max_len is not None:
        items = [item[:max_len] for item in items]
    width = max(len(item) for item in items)
    input_ids = np.full((len(items), width), pad_id, dtype=np.int64)
    attention_mask = np.zeros((len(items), width), dtype=np.int64)
    for row, item in enumerate(items):
        input_ids[row, : len(item)] = item
        attention_mask[row, : len(item)] = 1
    labels = np.where(attention_mask == 1, input_ids, IGNORE_INDEX)
    out = {"input_ids": input_ids, "attention_mask": attention_mask, "labels": labels}
    if return_tensors == "pt":
        try:
            torch = importlib.import_module("torch")
        except ImportError:
            raise ImportError("return_tensors='pt' needs torch; install it, or take the numpy arrays") from None
        return {key: torch.from_numpy(value) for key, value in out.items()}
    return out
