import os
from typing import Sequence, final

__all__ = [
    "MidiDict",
    "NoteMessage",
    "TempoMessage",
    "InstrumentMessage",
    "PedalMessage",
    "MetaMessage",
]

@final
class NoteMessage:
    msg_type: str
    pitch: int
    start: int
    end: int
    velocity: int
    tick: int
    channel: int
    def __getitem__(self, key: str) -> object: ...

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
    def get_msg_dict(self) -> dict[str, object]: ...
    def calculate_hash(self) -> int: ...
    def resolve_pedal(self) -> MidiDict: ...
    def remove_redundant_pedals(self) -> MidiDict: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
