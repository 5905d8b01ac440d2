"""noteloom: fast symbolic-music toolkit for free-threaded CPython.

The classes live in the extension module ``_noteloom`` and are published in its sub-module
``noteloom.korvi._korvi``; this package re-exports them under short names.
"""

import sys as _sys

import _noteloom  # noqa: F401  (registers "noteloom.korvi._korvi" in sys.modules)

_korvi = _sys.modules["noteloom.korvi._korvi"]

from . import korvi  # noqa: E402,F401  (makes `import noteloom.korvi._korvi` bind every level)

PanicException = _noteloom.PanicException

MidiDict = _korvi.MidiDict
NoteMessage = _korvi.NoteMessage
TempoMessage = _korvi.TempoMessage
InstrumentMessage = _korvi.InstrumentMessage
PedalMessage = _korvi.PedalMessage
MetaMessage = _korvi.MetaMessage
AbsTokenizer = _korvi._AbsTokenizer
_AbsTokenizer = _korvi._AbsTokenizer
normalize_midi_dict = _korvi.normalize_midi_dict

from .engine import EncodedFile, encode_files  # noqa: E402

__all__ = [
    "MidiDict",
    "NoteMessage",
    "TempoMessage",
    "InstrumentMessage",
    "PedalMessage",
    "MetaMessage",
    "AbsTokenizer",
    "normalize_midi_dict",
    "PanicException",
    "encode_files",
    "EncodedFile",
]
