"""A tokenizer of any configuration: instrument families, time resolution, velocity levels.

``Tokenizer()`` is the built-in configuration: the same vocabulary, tokens and IDs as
``AbsTokenizer``. Any other configuration builds its vocabulary by the same rules, in a fixed
order, so IDs depend on the configuration alone:

    special tokens; instrument prefixes (the families, then "drum"); composer, form, genre
    prefixes in the order given; notes per family x pitch 0..127 x velocity level; drums 35..81;
    durations 0..max_dur_ms; onsets 0..abs_time_step_ms (exclusive), in steps of time_step_ms

The families come in General MIDI program order (piano, chromatic, organ, guitar, bass, strings,
ensemble, brass, reed, pipe, synth_lead, synth_pad, synth_effect, ethnic, percussive, sfx), then
"drum", whatever order they are given in. Drums (channel 9) are always kept; listing "drum" adds
the vocabulary's block of drum-named notes, as the built-in configuration has.
"""

from __future__ import annotations

import functools
import json
import os
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

import _noteloom

from . import durable

FORMAT = "noteloom-tokenizer"
FORMAT_VERSION = 1

# The built-in configuration, field by field.
DEFAULTS: dict[str, Any] = {
    "instruments": {"piano": 0, "guitar": 24, "drum": 0},
    "time_step_ms": 10,
    "abs_time_step_ms": 5000,
    "max_dur_ms": 5000,
    "velocity_step": 4,
    "drum_velocity": 127,
    "composers": ["Orlane", "Vesk"],
    "forms": ["sonata", "fugue"],
    "genres": ["classical", "jazz"],
}
_INT_FIELDS = ("time_step_ms", "abs_time_step_ms", "max_dur_ms", "velocity_step", "drum_velocity")
_NAME_FIELDS = ("composers", "forms", "genres")


def _instruments(value: object) -> dict[str, int]:
    if isinstance(value, str) or not isinstance(value, Mapping | Iterable):
        raise TypeError(f"instruments must be a mapping of family name to program, not {type(value).__name__}")
    # A bare name announces its family's first program (-1 asks the native side for it).
    items = value.items() if isinstance(value, Mapping) else ((name, -1) for name in value)
    out: dict[str, int] = {}
    for name, program in items:
        if not isinstance(name, str):
            raise TypeError(f"instruments: family names must be str, not {type(name).__name__}")
        if isinstance(program, bool) or not isinstance(program, int):
            raise TypeError(f"instruments: the program of {name!r} must be an int, not {type(program).__name__}")
        out[name] = program
    return out


def _names(field: str, value: object) -> list[str]:
    if isinstance(value, str) or not isinstance(value, Iterable):
        raise TypeError(f"{field} must be a list of str, not {type(value).__name__}")
    names = list(value)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{field} must be a list of str, not a list holding {type(name).__name__}")
    return names


def _int(field: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{field} must be an int, not {type(value).__name__}")
    return value


@functools.lru_cache(maxsize=8)
def _native_tokenizer(
    families: tuple[tuple[str, int], ...], ints: tuple[int, ...], names: tuple[tuple[str, ...], ...]
) -> _noteloom._Tokenizer:
    """The native tokenizer of a configuration. It is immutable, so the tokenizers of one
    configuration share one: a worker that rebuilds its dataset's tokenizer per task pays once."""
    return _noteloom._Tokenizer(
        [name for name, _ in families], [program for _, program in families], *ints, *(list(n) for n in names)
    )


def _token_to_json(token: str | tuple[str, int, int]) -> str | list[object]:
    return token if isinstance(token, str) else list(token)


class Tokenizer:
    """Tokens and IDs of a configurable vocabulary; the methods of ``AbsTokenizer``.

    Invalid configurations raise ``ValueError`` (or ``TypeError`` for a value of the wrong type)
    naming the field.
    """

    __slots__ = ("_native", "_config")

    def __init__(
        self,
        *,
        instruments: Mapping[str, int] | Iterable[str] | None = None,
        time_step_ms: int = DEFAULTS["time_step_ms"],
        abs_time_step_ms: int = DEFAULTS["abs_time_step_ms"],
        max_dur_ms: int = DEFAULTS["max_dur_ms"],
        velocity_step: int = DEFAULTS["velocity_step"],
        drum_velocity: int = DEFAULTS["drum_velocity"],
        composers: Sequence[str] = DEFAULTS["composers"],
        forms: Sequence[str] = DEFAULTS["forms"],
        genres: Sequence[str] = DEFAULTS["genres"],
    ) -> None:
        families = _instruments(DEFAULTS["instruments"] if instruments is None else instruments)
        ints = {
            field: _int(field, value)
            for field, value in zip(
                _INT_FIELDS, (time_step_ms, abs_time_step_ms, max_dur_ms, velocity_step, drum_velocity)
            )
        }
        names = {field: _names(field, value) for field, value in zip(_NAME_FIELDS, (composers, forms, genres))}
        self._native = _native_tokenizer(
            tuple(families.items()), tuple(ints.values()), tuple(tuple(names[f]) for f in _NAME_FIELDS)
        )
        # The instruments as the vocabulary orders them.
        self._config: dict[str, Any] = {"instruments": dict(self._native.instruments()), **ints, **names}

    # -- configuration -------------------------------------------------------------------------

    @property
    def config(self) -> dict[str, Any]:
        """The configuration, ready for JSON (a new dict on every read)."""
        copy: dict[str, Any] = json.loads(json.dumps(self._config))
        return copy

    @classmethod
    def from_config(cls, config: Mapping[str, Any]) -> Tokenizer:
        """The tokenizer of ``config`` (as ``config`` gives it; missing fields take the defaults)."""
        if not isinstance(config, Mapping):
            raise TypeError(f"a tokenizer configuration must be a mapping, not {type(config).__name__}")
        unknown = sorted(set(config) - set(DEFAULTS))
        if unknown:
            raise ValueError(f"unknown tokenizer configuration field {unknown[0]!r} (known: {', '.join(DEFAULTS)})")
        return cls(**config)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the configuration and the vocabulary (ID -> token) as JSON, written aside and renamed."""
        document = {
            "format": FORMAT,
            "version": FORMAT_VERSION,
            "config": self._config,
            "vocabulary": [_token_to_json(t) for t in self._native.vocabulary()],
        }
        durable.replace_file(Path(path), (json.dumps(document, indent=1) + "\n").encode())

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Tokenizer:
        """The tokenizer a ``save`` wrote; ``ValueError`` when the file is not one or its vocabulary
        is not the one its configuration gives."""
        try:
            document = json.loads(Path(path).read_text(encoding="utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise ValueError(f"{os.fspath(path)}: not a tokenizer file ({error})") from None
        if not isinstance(document, dict) or document.get("format") != FORMAT or "config" not in document:
            raise ValueError(f"{os.fspath(path)}: not a tokenizer file")
        if document.get("version") != FORMAT_VERSION:
            raise ValueError(f"{os.fspath(path)}: tokenizer file version {document.get('version')!r} is not supported")
        tokenizer = cls.from_config(document["config"])
        stored = document.get("vocabulary")
        if stored is not None and stored != [_token_to_json(t) for t in tokenizer._native.vocabulary()]:
            raise ValueError(f"{os.fspath(path)}: the stored vocabulary is not the one its configuration gives")
        return tokenizer

    def __reduce__(self) -> tuple[Any, ...]:
        return (Tokenizer.from_config, (self._config,))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Tokenizer) and self._config == other._config

    def __hash__(self) -> int:
        return hash(json.dumps(self._config, sort_keys=True))

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={v!r}" for k, v in self._config.items() if v != DEFAULTS[k])
        return f"Tokenizer({fields})"

    # -- the methods of AbsTokenizer -----------------------------------------------------------

    def vocab_size(self) -> int:
        return self._native.vocab_size()

    def name(self) -> str:
        return self._native.name()

    def vocabulary(self) -> list[str | tuple[str, int, int]]:
        """Every token, in ID order."""
        return self._native.vocabulary()

    def tokenize(self, py_midi_dict: Any, remove_preceding_silence: bool | None = None) -> list[Any]:
        return self._native.tokenize(py_midi_dict, remove_preceding_silence)

    def detokenize(self, tokens: Sequence[Any]) -> Any:
        return self._native.detokenize(tokens)

    def encode(self, tokens: Sequence[Any]) -> list[int]:
        return self._native.encode(tokens)

    def decode(self, ids: Sequence[int]) -> list[Any]:
        return self._native.decode(ids)

    def apply_pitch_aug(self, tokens: Sequence[Any], max_pitch_aug: int, pitch_aug: int | None = None) -> list[Any]:
        return self._native.apply_pitch_aug(tokens, max_pitch_aug, pitch_aug)

    def apply_velocity_aug(
        self, tokens: Sequence[Any], max_num_aug_steps: int, aug_step: int | None = None
    ) -> list[Any]:
        return self._native.apply_velocity_aug(tokens, max_num_aug_steps, aug_step)

    def apply_tempo_aug(
        self, tokens: Sequence[Any], max_tempo_aug: float, mixup: bool, tempo_aug: float | None = None
    ) -> list[Any]:
        return self._native.apply_tempo_aug(tokens, max_tempo_aug, mixup, tempo_aug)

    def _quantize_velocity(self, velocity: int) -> int:
        return self._native._quantize_velocity(velocity)


def tokenizer_of_meta(meta: Mapping[str, Any]) -> Tokenizer:
    """The tokenizer a dataset's meta.json names: its stored configuration, or the built-in one for
    datasets written before configurations were stored."""
    return Tokenizer.from_config(meta.get("tokenizer_config") or DEFAULTS)

