import os
from collections.abc import Callable, Sequence
from typing import TypedDict, final

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

__version__: str

from _noteloom import PanicException as PanicException

@final
class NoteMessage:
    msg_type: str
    pitch: int
    start: int
    end: int
    velocity: int
    tick: int
    channel: int
    def __getitem__(self, key: str, /) -> object: ...

@final
class TempoMessage:
    msg_type: str
    data: int
    """Microseconds per quarter note."""
    tick: int

@final
class InstrumentMessage:
    msg_type: str
    data: int
    """Program number."""
    tick: int
    channel: int

@final
class PedalMessage:
    msg_type: str
    data: int
    """1 = sustain pedal down, 0 = up."""
    tick: int
    channel: int

@final
class MetaMessage:
    msg_type: str
    data: str

@final
class MidiFile:
    """A snapshot of a MidiDict taken by `MidiDict.to_midi()`."""
    def save(self, path: str | os.PathLike[str] | object) -> None: ...

class _MsgDict(TypedDict):
    """What MidiDict.get_msg_dict() returns: copies of the lists, resolution and metadata."""
    note_msgs: list[NoteMessage]
    tempo_msgs: list[TempoMessage]
    instrument_msgs: list[InstrumentMessage]
    pedal_msgs: list[PedalMessage]
    meta_msgs: list[MetaMessage]
    ticks_per_beat: int
    metadata: dict[str, str]

class _TokenizerConfig(TypedDict):
    """The tokenizer's configuration, as `AbsTokenizer.config` gives it."""
    ignore_instruments: dict[str, bool]
    instrument_programs: dict[str, int]
    drum_velocity: int

@final
class MidiDict:
    def __init__(self) -> None: ...
    @classmethod
    def from_midi(cls, mid_path: str | os.PathLike[str] | object) -> MidiDict: ...
    def to_midi(self) -> MidiFile: ...
    @property
    def ticks_per_beat(self) -> int: ...
    @ticks_per_beat.setter
    def ticks_per_beat(self, value: int) -> None: ...
    @property
    def note_msgs(self) -> list[NoteMessage]: ...
    @note_msgs.setter
    def note_msgs(self, value: Sequence[NoteMessage]) -> None: ...
    @property
    def tempo_msgs(self) -> list[TempoMessage]: ...
    @tempo_msgs.setter
    def tempo_msgs(self, value: Sequence[TempoMessage]) -> None: ...
    @property
    def instrument_msgs(self) -> list[InstrumentMessage]: ...
    @instrument_msgs.setter
    def instrument_msgs(self, value: Sequence[InstrumentMessage]) -> None: ...
    @property
    def pedal_msgs(self) -> list[PedalMessage]: ...
    @pedal_msgs.setter
    def pedal_msgs(self, value: Sequence[PedalMessage]) -> None: ...
    @property
    def meta_msgs(self) -> list[MetaMessage]: ...
    @meta_msgs.setter
    def meta_msgs(self, value: Sequence[MetaMessage]) -> None: ...
    @property
    def metadata(self) -> dict[str, str]: ...
    @metadata.setter
    def metadata(self, value: dict[str, str]) -> None: ...
    def add_note(self, pitch: int, start: int, end: int, velocity: int, channel: int) -> None: ...
    def add_instrument(self, program: int, tick: int, channel: int) -> None: ...
    def add_tempo(self, tempo: int, tick: int) -> None: ...
    def tick_to_ms(self, tick: int) -> int: ...
    def get_msg_dict(self) -> _MsgDict: ...
    def calculate_hash(self) -> int: ...
    def resolve_pedal(self) -> MidiDict: ...
    def remove_redundant_pedals(self) -> MidiDict: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

# A token is a str (special tokens such as "<S>") or a 3-tuple (str, int, int).
Token = str | tuple[str, int, int]

@final
class _AbsTokenizer:
    def __init__(self) -> None: ...
    def tokenize(self, py_midi_dict: MidiDict, remove_preceding_silence: bool | None = None) -> list[Token]: ...
    def detokenize(self, tokens: Sequence[Token]) -> MidiDict: ...
    def encode(self, tokens: Sequence[Token]) -> list[int]: ...
    def decode(self, ids: Sequence[int]) -> list[Token]: ...
    def vocab_size(self) -> int: ...
    def name(self) -> str: ...
    def _quantize_velocity(self, velocity: int) -> int: ...
    @property
    def config(self) -> _TokenizerConfig: ...
    @property
    def time_step_ms(self) -> int: ...
    @property
    def abs_time_step_ms(self) -> int: ...
    @property
    def max_dur_ms(self) -> int: ...
    @property
    def velocity_step(self) -> int: ...
    @property
    def max_velocity(self) -> int: ...
    @property
    def instruments_nd(self) -> list[str]: ...
    @property
    def unk_tok(self) -> str: ...
    def apply_pitch_aug(self, tokens: Sequence[Token], max_pitch_aug: int, pitch_aug: int | None) -> list[Token]: ...
    def apply_velocity_aug(
        self, tokens: Sequence[Token], max_num_aug_steps: int, aug_step: int | None
    ) -> list[Token]: ...
    def apply_tempo_aug(
        self, tokens: Sequence[Token], max_tempo_aug: float, mixup: bool, tempo_aug: float | None
    ) -> list[Token]: ...

AbsTokenizer = _AbsTokenizer

def normalize_midi_dict(
    midi_dict: MidiDict,
    ignore_instruments: dict[str, bool],
    instrument_programs: dict[str, int],
    time_step_ms: int,
    max_duration_ms: int,
    drum_velocity: int,
    quantize_velocity_fn: Callable[[int], int],
) -> MidiDict: ...

from .augment import augment_ids as augment_ids
from .chunks import TokenChunks as TokenChunks
from .collate import collate as collate
from .dataset import DatasetError as DatasetError, TokenDataset as TokenDataset, TokenWindows as TokenWindows
from .engine import EncodedFile as EncodedFile, encode_bytes as encode_bytes, encode_files as encode_files
from .job import Summary as Summary, encode_dataset as encode_dataset
from .music import ids_to_midi as ids_to_midi, piano_roll as piano_roll
from .tokenizer import Tokenizer as Tokenizer
from .vocabulary import (
    BOS_ID as BOS_ID,
    DIM_ID as DIM_ID,
    EOS_ID as EOS_ID,
    PAD_ID as PAD_ID,
    TIME_ID as TIME_ID,
    UNK_ID as UNK_ID,
    VOCAB_SIZE as VOCAB_SIZE,
)
