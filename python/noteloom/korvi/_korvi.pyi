# The extension's classes, as the package noteloom re-exports them.
from noteloom import (
    InstrumentMessage as InstrumentMessage,
    MetaMessage as MetaMessage,
    MidiDict as MidiDict,
    NoteMessage as NoteMessage,
    PedalMessage as PedalMessage,
    TempoMessage as TempoMessage,
    _AbsTokenizer as _AbsTokenizer,
    normalize_midi_dict as normalize_midi_dict,
)

__all__ = [
    "MidiDict",
    "NoteMessage",
    "TempoMessage",
    "InstrumentMessage",
    "PedalMessage",
    "MetaMessage",
    "_AbsTokenizer",
    "normalize_midi_dict",
]
