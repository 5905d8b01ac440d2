"""Shared pieces of the benchmark scripts: the corpus location, timing, loading pieces."""

import argparse
import time
from pathlib import Path

from noteloom import MidiDict

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def arguments(description):
    """corpus folder and --repeat, parsed from the command line."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("corpus", nargs="?", default=str(DEFAULT_CORPUS))
    parser.add_argument("--repeat", type=int, default=5)
    return parser.parse_args()


def best_time(fn, repeat):
    """The fastest of `repeat` runs of fn, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def midi_files(corpus):
    return sorted(str(p) for p in Path(corpus).rglob("*.mid"))


def pieces_with_notes(corpus):
    """Every corpus file that loads and holds notes, as a MidiDict."""
    out = []
    for f in midi_files(corpus):
        try:
            d = MidiDict.from_midi(f)
        except OSError:
            continue
        if d.note_msgs:
            out.append(d)
    return out
