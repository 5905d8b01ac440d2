"""Shared fixtures for the noteloom Python tests."""

import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, settings

from noteloom import InstrumentMessage, MidiDict, NoteMessage, PedalMessage, TempoMessage

from support import build_midi_dict

# Every property test runs under this one profile: no deadline (a shared host stalls at random), and
# the read-only fixtures and slow generators some of them use are fine.
settings.register_profile(
    "noteloom",
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
settings.load_profile("noteloom")


@pytest.fixture
def populated():
    """A small piece: two notes, two tempo changes, two program changes and metadata."""
    return build_midi_dict(
        notes=[(60, 0, 480, 90, 0), (64, 480, 960, 80, 1)],
        tempos=[(500000, 0), (400000, 960)],
        instruments=[(0, 0, 0), (40, 0, 1)],
        metadata={"title": "Etude", "composer": "anon"},
    )


# --- message objects -------------------------------------------------------------------------
#
# Notes, tempo changes and program changes can be made through MidiDict.add_*. Pedal and text
# messages only come out of a loaded MIDI file, so those tests need MidiDict.from_midi; until
# the loader is part of the module they are skipped.


def _write_midi_with_pedal_and_text(path):
    import mido

    mid = mido.MidiFile(ticks_per_beat=480)
    track = mido.MidiTrack()
    track.append(mido.MetaMessage("text", text="hello", time=0))
    track.append(mido.Message("program_change", program=0, channel=0, time=0))
    track.append(mido.Message("control_change", control=64, value=127, channel=0, time=0))
    track.append(mido.Message("note_on", note=60, velocity=90, channel=0, time=0))
    track.append(mido.Message("note_off", note=60, velocity=0, channel=0, time=480))
    track.append(mido.Message("control_change", control=64, value=0, channel=0, time=0))
    track.append(mido.MetaMessage("end_of_track", time=0))
    mid.tracks.append(track)
    mid.save(str(path))


@pytest.fixture(scope="session")
def loaded_midi_dict(tmp_path_factory):
    """A MidiDict loaded from a small MIDI file with a pedal and a text event, or None."""
    if not hasattr(MidiDict, "from_midi"):
        return None
    path = tmp_path_factory.mktemp("midi") / "pedal_and_text.mid"
    _write_midi_with_pedal_and_text(path)
    return MidiDict.from_midi(str(path))


def _make_message(cls, loaded):
    d = MidiDict()
    if cls is NoteMessage:
        d.add_note(60, 10, 20, 90, 3)
        return d.note_msgs[0]
    if cls is TempoMessage:
        d.add_tempo(500000, 10)
        return d.tempo_msgs[0]
    if cls is InstrumentMessage:
        d.add_instrument(5, 10, 3)
        return d.instrument_msgs[0]
    if loaded is None:
        pytest.skip(f"{cls.__name__} objects only come from loaded MIDI files (MidiDict.from_midi not available)")
    source = loaded.pedal_msgs if cls is PedalMessage else loaded.meta_msgs
    if not source:
        pytest.skip(f"the loaded MIDI file gave no {cls.__name__}")
    return source[0]


@pytest.fixture
def make_message(loaded_midi_dict):
    """make_message(cls) returns a new message object of class cls."""
    return lambda cls: _make_message(cls, loaded_midi_dict)


# --- SipHash-1-3 reference -------------------------------------------------------------------
#
# CPython hashes bytes with SipHash-1-3; with PYTHONHASHSEED=0 its key is all zero bits. A helper
# interpreter started that way serves as an independent reference for calculate_hash.

_ORACLE_SOURCE = r"""
import sys
info = sys.hash_info
print(info.algorithm, info.cutoff, flush=True)
for line in sys.stdin:
    print(hash(bytes.fromhex(line.strip())) % 2**64, flush=True)
"""


class SipHash13Reference:
    def __init__(self):
        env = dict(os.environ, PYTHONHASHSEED="0")
        self._proc = subprocess.Popen(
            [sys.executable, "-c", _ORACLE_SOURCE],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        algorithm, cutoff = self._proc.stdout.readline().split()
        self.usable = algorithm == "siphash13" and cutoff == "0"

    def __call__(self, stream: bytes) -> set:
        """The possible SipHash-1-3 values of `stream` (CPython reports -1 as -2)."""
        self._proc.stdin.write(stream.hex() + "\n")
        self._proc.stdin.flush()
        value = int(self._proc.stdout.readline())
        if value == 2**64 - 2:
            return {2**64 - 2, 2**64 - 1}
        return {value}

    def close(self):
        self._proc.stdin.close()
        self._proc.wait(timeout=10)


@pytest.fixture(scope="session")
def siphash13():
    ref = SipHash13Reference()
    try:
        if not ref.usable:
            pytest.skip("this interpreter does not hash bytes with plain SipHash-1-3")
        yield ref
    finally:
        ref.close()
