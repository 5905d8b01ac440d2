"""Train / valid / test splits without leakage: a sequence's part follows from its content hash.

A sequence goes to "test" when u < test, to "valid" when u < test + valid, else to "train", where u
in [0, 1) is read off BLAKE2b(seed, hash) of its manifest "hash". So copies of one piece share a
part, and a sequence keeps its part when the corpus grows, shrinks or is encoded again.

``noteloom split`` stores a split in the dataset directory:

    splits/train.npy, valid.npy, test.npy   ascending int64 indices of each part's sequences
    splits/split.json                       valid, test, seed, and the sequences the split covers
"""

from __future__ import annotations

import hashlib
import io
import json
import math
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from . import durable

if TYPE_CHECKING:
    from .dataset import TokenDataset

SPLITS = "splits"
PARTS = ("train", "valid", "test")
SPLIT_FILE = "split.json"


def check_fractions(valid: float, test: float) -> None:
    for name, value in (("valid", valid), ("test", test)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and 0 <= value <= 1):
            raise ValueError(f"{name} must be a fraction from 0 to 1, not {value!r}")
    if valid + test > 1:
        raise ValueError(f"valid + test must be at most 1, not {valid + test}")


def unit_of(content_hash: str, seed: int) -> float:
    """The number in [0, 1) that places a sequence of this hash in a part, for this seed."""
    digest = hashlib.blake2b(content_hash.encode(), digest_size=8, key=str(int(seed)).encode()).digest()
    return (int.from_bytes(digest, "little") >> 11) / float(1 << 53)


def assign(dataset: TokenDataset, valid: float, test: float, seed: int) -> dict[str, np.ndarray]:
    """Each part's sequence indices, ascending."""
    check_fractions(valid, test)
    units = np.fromiter((unit_of(dataset.row(i)["hash"], seed) for i in range(len(dataset))), dtype=np.float64,
                        count=len(dataset))
    part = np.where(units < test, 2, np.where(units < test + valid, 1, 0))
    return {name: np.flatnonzero(part == k).astype(np.int64) for k, name in enumerate(PARTS)}


def store_split(dataset: TokenDataset, valid: float, test: float, seed: int) -> dict[str, int]:
    """Stores the split in the dataset's directory (each file replaced whole, split.json last) and
    gives each part's number of sequences."""
    parts = assign(dataset, valid, test, seed)
    folder = dataset.directory / SPLITS
    folder.mkdir(exist_ok=True)
    for name, indices in parts.items():
        buffer = io.BytesIO()
        np.save(buffer, indices)
        durable.replace_file(folder / f"{name}.npy", buffer.getvalue())
    counts = {name: len(indices) for name, indices in parts.items()}
    record = {"valid": valid, "test": test, "seed": seed, "sequences": len(dataset), "counts": counts}
    durable.replace_file(folder / SPLIT_FILE, (json.dumps(record, indent=2) + "\n").encode())
    durable.sync_directory(folder)
    return counts


def load_split(dataset: TokenDataset, name: str) -> np.ndarray:
    """The stored part `name`, checked against the dataset it indexes."""
    from .dataset import DatasetError

    if name not in PARTS:
        raise ValueError(f"split must be one of {', '.join(PARTS)}, not {name!r}")
    folder = Path(dataset.directory) / SPLITS
    try:
        record = json.loads((folder / SPLIT_FILE).read_text())
        indices = np.load(folder / f"{name}.npy")
    except FileNotFoundError:
        raise DatasetError(f"{folder}: no split stored; make one with: noteloom split {dataset.directory} "
                           "--valid F --test F") from None
    except ValueError as e:
        raise DatasetError(f"{folder}: not a split written by noteloom ({e})") from None
    if not isinstance(record, dict) or record.get("sequences") != len(dataset):
        made_for = record.get("sequences") if isinstance(record, dict) else "?"
        raise DatasetError(f"{folder / SPLIT_FILE}: made for {made_for} sequences, but the dataset has {len(dataset)}; "
                           "make the split again")
    if indices.dtype != np.int64 or indices.ndim != 1 or (len(indices) and (
            indices[0] < 0 or indices[-1] >= len(dataset) or np.any(np.diff(indices) <= 0))):
        raise DatasetError(f"{folder / (name + '.npy')}: not ascending indices of the dataset's sequences")
    return np.asarray(indices, dtype=np.int64)
