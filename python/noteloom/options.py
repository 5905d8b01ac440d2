"""The main job's options, with their defaults written once: the command line, encode_dataset,
encode_files, encode_bytes and the Dask path all take them from here."""

from __future__ import annotations

import dataclasses
import os
from typing import Any

OOV_RULES = {"drop": 0, "unk": 1, "zero": 2}
MAX_TOKENS = 2**20
SHARD_SIZE = 10_000
FORMATS = ("bin", "jsonl", "parquet")


def default_threads() -> int:
    return os.process_cpu_count() or 1


@dataclasses.dataclass(frozen=True)
class EncodeOptions:
    """What the engine does with each input file, and whether duplicates are skipped."""

    threads: int | None = None  # None: the machine's cores
    normalize: bool = True
    oov: str = "drop"
    max_tokens: int = MAX_TOKENS
    dedupe: bool = False
    min_retention: float = 0.0  # skip a file that keeps a smaller share of its notes

    def __post_init__(self) -> None:
        if not (isinstance(self.min_retention, (int, float)) and 0 <= self.min_retention <= 1):
            raise ValueError(f"min_retention must be a fraction from 0 to 1, not {self.min_retention!r}")
        if self.oov not in OOV_RULES:
            raise ValueError(f"oov must be one of {', '.join(OOV_RULES)}, not {self.oov!r}")
        if self.threads is not None and self.threads < 1:
            raise ValueError("threads must be at least 1")
        if self.max_tokens < 0:
            raise ValueError("max_tokens must not be negative")

    @property
    def thread_count(self) -> int:
        return default_threads() if self.threads is None else self.threads

    @property
    def engine_has_every_core(self) -> bool:
        """Whether the engine's threads take every core (then they inflate zip members themselves;
        otherwise the reading thread does, on the core left)."""
        return self.thread_count >= default_threads()

    def meta(self) -> dict[str, Any]:
        """What meta.json says of the tokenizer and the options; a resumed run must match it."""
        from . import AbsTokenizer, __version__

        tok = AbsTokenizer()
        return {
            "tokenizer": tok.name(),
            "vocab_size": tok.vocab_size(),
            "noteloom_version": __version__,
            # min_retention only when set, so that datasets of earlier versions still resume
            "options": {"normalize": self.normalize, "oov": self.oov, "max_tokens": self.max_tokens,
                        "dedupe": self.dedupe, **({"min_retention": self.min_retention} if self.min_retention else {})},
        }


def local_workers(address: str) -> int | None:
    """N of a Dask address "local:N" (a ValueError when N is not a number of at least 1); None for
    the address of a scheduler."""
    if not address.startswith("local:"):
        return None
    text = address[len("local:"):]
    if not text.isdigit() or int(text) < 1:
        raise ValueError(f"--dask local:N needs a number of workers of at least 1, not {address!r}")
    return int(text)
