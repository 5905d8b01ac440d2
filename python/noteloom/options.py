"""The main job's options, with their defaults written once: the command line, encode_dataset,
encode_files, encode_bytes and the Dask path all take them from here."""

from __future__ import annotations

import dataclasses
import os
from typing import Any

import _noteloom

from .tokenizer import Tokenizer

# The engine's own names and defaults (its options are checked there, once).
OOV_RULES: tuple[str, ...] = _noteloom._engine_defaults()["oov_rules"]
MAX_TOKENS: int = _noteloom._engine_defaults()["max_tokens"]
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
    tokenizer: Any = None  # a noteloom.Tokenizer; None: the built-in configuration

    def __post_init__(self) -> None:
        if not (isinstance(self.min_retention, (int, float)) and 0 <= self.min_retention <= 1):
            raise ValueError(f"min_retention must be a fraction from 0 to 1, not {self.min_retention!r}")
        _noteloom._check_engine_options(1 if self.threads is None else self.threads, self.normalize, self.oov,
                                        self.max_tokens)
        if self.tokenizer is not None:
            if not isinstance(self.tokenizer, Tokenizer):
                raise TypeError(f"tokenizer must be a noteloom.Tokenizer, not {type(self.tokenizer).__name__}")
            if self.tokenizer.vocab_size() > 65536:
                raise ValueError(f"the tokenizer has {self.tokenizer.vocab_size()} tokens: the engine writes "
                                 "uint16 IDs, so at most 65536 (a smaller velocity_step or fewer families fit)")

    @property
    def native_tokenizer(self) -> Any:
        """What the engine is given: the configured tokenizer's native half, or None."""
        return None if self.tokenizer is None else self.tokenizer._native

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
        from . import __version__

        tok = Tokenizer() if self.tokenizer is None else self.tokenizer
        return {
            "tokenizer": tok.name(),
            "vocab_size": tok.vocab_size(),
            "tokenizer_config": tok.config,
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
