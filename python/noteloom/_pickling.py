"""Pickling of the extension's objects, registered with copyreg when noteloom is imported.

A tokenizer pickles as "the built-in tokenizer" (it has no state of its own); a MidiDict by its
fields and lists; a message by its fields. So a tokenizer or a piece can go to the worker processes
of a ProcessPoolExecutor or a DataLoader under every start method.
"""

from __future__ import annotations

import copyreg
import types
from typing import Any

import _noteloom

from .korvi import _korvi

MESSAGE_CLASSES = (_korvi.NoteMessage, _korvi.TempoMessage, _korvi.InstrumentMessage, _korvi.PedalMessage,
                   _korvi.MetaMessage)


def _fields(cls: type) -> tuple[str, ...]:
    """The attribute names of a message class, in declaration order."""
    return tuple(name for name, value in vars(cls).items() if isinstance(value, types.GetSetDescriptorType))


FIELDS: dict[type, tuple[str, ...]] = {cls: _fields(cls) for cls in MESSAGE_CLASSES}
LISTS = ("note_msgs", "tempo_msgs", "instrument_msgs", "pedal_msgs", "meta_msgs")


def _message(cls: type, values: tuple[Any, ...]) -> Any:
    message = _noteloom._new_message(cls)
    for name, value in zip(FIELDS[cls], values, strict=True):
        setattr(message, name, value)
    return message


def _reduce_message(message: Any) -> tuple[Any, ...]:
    cls = type(message)
    return _message, (cls, tuple(getattr(message, name) for name in FIELDS[cls]))


def _midi_dict(ticks_per_beat: int, metadata: dict[str, str], *lists: list[Any]) -> Any:
    d = _korvi.MidiDict()
    d.ticks_per_beat = ticks_per_beat
    d.metadata = metadata
    for name, messages in zip(LISTS, lists, strict=True):
        setattr(d, name, messages)
    return d


def _reduce_midi_dict(d: Any) -> tuple[Any, ...]:
    return _midi_dict, (d.ticks_per_beat, d.metadata, *(getattr(d, name) for name in LISTS))


def _reduce_tokenizer(tokenizer: Any) -> tuple[Any, ...]:
    return _korvi._AbsTokenizer, ()


def register() -> None:
    copyreg.pickle(_korvi._AbsTokenizer, _reduce_tokenizer)
    copyreg.pickle(_korvi.MidiDict, _reduce_midi_dict)
    for cls in MESSAGE_CLASSES:
        copyreg.pickle(cls, _reduce_message)
