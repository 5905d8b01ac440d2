"""Shared fixtures for the noteloom Python tests."""

import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, settings

from noteloom import InstrumentMessage, MetaMessage, MidiDict, NoteMessage, PedalMessage, TempoMessage

from support import build_midi_dict, make_meta, make_pedal, pedal_and_text_piece, write_piece

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


@pytest.fixture
def pieces(tmp_path):
    """Five good pieces (one a copy of another), a damaged file and a piece without notes."""
    folder = tmp_path / "pieces"
    (folder / "sub").mkdir(parents=True)
    good = [write_piece(folder / name, seed) for seed, name in enumerate(["c.mid", "a.mid", "sub/b.MIDI", "d.mid"])]
    (folder / "e.mid").write_bytes(good[0].read_bytes())
    (folder / "bad.mid").write_bytes(b"this is not a midi file at all")
    (folder / "notes.txt").write_text("not a midi file name: left out of folder walks")
    empty = MidiDict()
    empty.add_tempo(500000, 0)
    empty.to_midi().save(str(folder / "empty.mid"))
    return folder


# --- message objects -------------------------------------------------------------------------


@pytest.fixture(scope="session")
def loaded_midi_dict():
    """A MidiDict loaded from a small MIDI file with a pedal and a text event."""
    return pedal_and_text_piece()


_MAKERS = {
    NoteMessage: lambda d: (d.add_note(60, 10, 20, 90, 3), d.note_msgs[0])[1],
    TempoMessage: lambda d: (d.add_tempo(500000, 10), d.tempo_msgs[0])[1],
    InstrumentMessage: lambda d: (d.add_instrument(5, 10, 3), d.instrument_msgs[0])[1],
    PedalMessage: lambda d: make_pedal(1, 10, 3),
    MetaMessage: lambda d: make_meta("text", "hello"),
}


@pytest.fixture
def make_message():
    """make_message(cls) returns a new message object of class cls."""
    return lambda cls: _MAKERS[cls](MidiDict())


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
