"""noteloom: fast symbolic-music toolkit for free-threaded CPython.

The classes live in the extension module ``_noteloom`` and are published in its sub-module
``noteloom.korvi._korvi``; this package re-exports them under short names.
"""

import sys as _sys

__version__ = "0.1.0"


def _running_command_line() -> bool:
    """Whether this process is noteloom's command line (python -m noteloom, or the noteloom script)."""
    argv = getattr(_sys, "orig_argv", [])
    script = len(argv) > 1 and argv[1].rpartition("/")[2] == "noteloom"
    return script or any(a == "-m" and b == "noteloom" for a, b in zip(argv, argv[1:]))


if _running_command_line():
    # The command line's batches run on native threads with the interpreter released, so whether
    # the import re-enables the GIL does not matter to it: it does not print the interpreter's notice.
    import warnings as _warnings

    with _warnings.catch_warnings():
        _warnings.filterwarnings("ignore", message="The global interpreter lock", category=RuntimeWarning)
        import _noteloom  # noqa: F401
else:
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
# The class of `MidiDict.to_midi()` snapshots, for annotations (it has no constructor).
MidiFile = type(MidiDict().to_midi())
# A token: a str (special tokens such as "<S>") or a 3-tuple (str, int, int).
Token = str | tuple[str, int, int]

from . import _pickling  # noqa: E402

_pickling.register()

from .augment import augment_ids  # noqa: E402
from .chunks import TokenChunks  # noqa: E402
from .collate import collate  # noqa: E402
from .dataset import DatasetError, TokenDataset, TokenWindows  # noqa: E402
from .engine import EncodedFile, encode_bytes, encode_files  # noqa: E402
from .job import Summary, encode_dataset  # noqa: E402
from .music import ids_to_midi, piano_roll  # noqa: E402
from .tokenizer import Tokenizer  # noqa: E402
from .vocabulary import BOS_ID, DIM_ID, EOS_ID, PAD_ID, TIME_ID, UNK_ID, VOCAB_SIZE  # noqa: E402

__all__ = [
    "MidiDict",
    "NoteMessage",
    "TempoMessage",
    "InstrumentMessage",
    "PedalMessage",
    "MetaMessage",
    "AbsTokenizer",
    "Tokenizer",
    "normalize_midi_dict",
    "PanicException",
    "encode_files",
    "encode_bytes",
    "encode_dataset",
    "EncodedFile",
    "Summary",
    "augment_ids",
    "TokenDataset",
    "DatasetError",
    "TokenWindows",
    "TokenChunks",
    "collate",
    "ids_to_midi",
    "piano_roll",
    "BOS_ID",
    "EOS_ID",
    "PAD_ID",
    "UNK_ID",
    "DIM_ID",
    "TIME_ID",
    "VOCAB_SIZE",
    "MidiFile",
    "Token",
]
