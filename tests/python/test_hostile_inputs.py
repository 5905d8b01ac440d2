"""Inputs meant to hurt: files that never end or are not files, and sequences that lie about
their length. Each is refused with the usual exception, at once and without the memory it asks for."""

import os
import subprocess
import sys

import pytest

from noteloom import AbsTokenizer, MidiDict
from smf_bytes import end_of_track, midi_file, note_off, note_on, track

PIECE = midi_file(0, 480, [track(note_on(0, 0, 60, 90), note_off(480, 0, 60), end_of_track())])


def in_child(code, *args, timeout=60):
    """Runs `code` with `args` in a fresh interpreter (its memory and threads are its own, and a
    hang ends in a failure) and returns its output."""
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def load_error(path):
    with pytest.raises(OSError) as failure:
        MidiDict.from_midi(str(path))
    return str(failure.value)


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_a_device_is_refused_without_reading_it():
    assert load_error("/dev/zero") == "Failed to load MIDI file: not a regular file or pipe"


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_a_large_file_of_the_wrong_kind_costs_one_small_read(tmp_path):
    # 240 sparse MiB (under the size limit): reading them whole before looking at the first bytes
    # would take as much memory.
    path = tmp_path / "zeros.mid"
    with open(path, "wb") as f:
        f.truncate(240 * 2**20)
    # The child's own high-water mark (VmHWM starts afresh at exec; ru_maxrss would carry over the
    # size of the test process it was forked from).
    peak_kib = in_child(
        "from noteloom import MidiDict\n"
        f"try:\n    MidiDict.from_midi({str(path)!r})\nexcept OSError as e:\n    assert 'not a midi file' in str(e), e\n"
        "print(next(l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM:')))")
    assert int(peak_kib) < 150 * 1024


def test_a_file_over_the_size_limit_is_refused_by_its_size(tmp_path):
    path = tmp_path / "huge.mid"
    path.write_bytes(PIECE)
    with open(path, "r+b") as f:
        f.truncate(2**28 + 1)
    assert load_error(path) == "Failed to load MIDI file: file larger than 256 MiB"


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_a_pipe_without_a_writer_fails_after_a_while_instead_of_waiting_forever(tmp_path):
    fifo = tmp_path / "pipe.mid"
    os.mkfifo(fifo)
    out = in_child(f"from noteloom import MidiDict\ntry:\n    MidiDict.from_midi({str(fifo)!r})\n"
                   "except OSError as e:\n    print(e)", timeout=30)
    assert out == "Failed to load MIDI file: nothing came through the pipe within 5 s"


PIPE_WRITER = """
import os, sys, threading
from noteloom import MidiDict
piece, fifo = open(sys.argv[1], "rb").read(), sys.argv[2]
def write():
    with open(fifo, "wb") as f:
        for i in range(0, len(piece), 5):
            f.write(piece[i:i + 5])
            f.flush()
keep = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # lets the writer's open return at once
writer = threading.Thread(target=write)
writer.start()
loaded = MidiDict.from_midi(fifo)
writer.join()
print(len(loaded.note_msgs), loaded.calculate_hash() == MidiDict.from_midi(sys.argv[1]).calculate_hash())
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_a_pipe_written_from_python_is_read_to_its_end(tmp_path):
    """The writer is a Python thread of the same process: the read must not hold it up."""
    (tmp_path / "piece.mid").write_bytes(PIECE)
    fifo = tmp_path / "pipe.mid"
    os.mkfifo(fifo)
    assert in_child(PIPE_WRITER, tmp_path / "piece.mid", fifo).split() == ["1", "True"]

class Claims:
    """A sequence whose __len__ claims far more items than it yields."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("claimed", [sys.maxsize, 2**62])
def test_a_claimed_length_is_not_trusted(claimed):
    tok = AbsTokenizer()
    ids = [0, 5, 1]
    assert tok.decode(Claims(ids, claimed)) == tok.decode(ids)
    assert tok.encode(Claims(tok.decode(ids), claimed)) == tok.encode(tok.decode(ids))
    seq = tok.decode(ids)
    for aug in (lambda s: tok.apply_pitch_aug(s, 0, 0), lambda s: tok.apply_velocity_aug(s, 0, 0),
                lambda s: tok.apply_tempo_aug(s, 0.0, False, 1.0)):
        assert aug(Claims(seq, claimed)) == aug(seq)
    d = MidiDict()
    d.note_msgs = Claims([], claimed)
    assert len(d.note_msgs) == 0


@pytest.mark.parametrize("length", [2**62, 2**45])
def test_a_true_length_that_cannot_fit_is_a_memory_error(length):
    with pytest.raises(MemoryError):
        AbsTokenizer().decode(range(length))
