"""Shared pieces of the benchmark scripts: the corpus location, timing, loading pieces.

bench/peers.py imports this module under the peer environment, where noteloom is not installed:
noteloom is imported where it is used.
"""

import argparse
import json
import os
import subprocess
import tempfile
import time
from pathlib import Path

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def argument_parser(description, repeat=5):
    """A parser for the corpus folder and --repeat, for scripts that add arguments of their own."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("corpus", nargs="?", default=str(DEFAULT_CORPUS))
    parser.add_argument("--repeat", type=int, default=repeat)
    return parser


def arguments(description):
    """corpus folder and --repeat, parsed from the command line."""
    return argument_parser(description).parse_args()


def best_time(fn, repeat, warm_up=True):
    """The fastest of `repeat` runs of fn, in seconds, after one untimed run (which pays for first
    touches of memory and caches, on both sides of a comparison alike)."""
    if warm_up:
        fn()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def midi_files(corpus):
    """Every *.mid / *.midi file under the corpus folder, sorted."""
    return sorted(str(p) for p in Path(corpus).rglob("*") if p.suffix.lower() in (".mid", ".midi") and p.is_file())


def size_sets(files, big=60_000, largest=10):
    """The file sets the loading throughput is reported on: all files, files of at least `big`
    bytes, and the `largest` largest files (the same selection on our side and the peers')."""
    by_size = sorted(files, key=lambda f: (-os.path.getsize(f), f))
    return {"all": list(files),
            "big": [f for f in files if os.path.getsize(f) >= big],
            "largest": sorted(by_size[:largest])}


def total_mb(files):
    return sum(os.path.getsize(f) for f in files) / 1e6


def pieces_with_notes(corpus):
    """Every corpus file that loads and holds notes, as a MidiDict."""
    from noteloom import MidiDict

    out = []
    for f in midi_files(corpus):
        try:
            d = MidiDict.from_midi(f)
        except OSError:
            continue
        if d.note_msgs:
            out.append(d)
    return out


def run_peers(python, script, job):
    """The JSON printed by bench/SCRIPT run on `job` under `python`, or None (with the reason printed) when they cannot be had."""
    if not python:
        print("peers skipped: no --peer-python given")
        return None
    if not os.access(python, os.X_OK):
        print(f"peers skipped: no interpreter at {python}")
        return None
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # a GIL build refuses PYTHON_GIL=0
    with tempfile.NamedTemporaryFile("w", suffix=".json") as job_file:
        json.dump(job, job_file)
        job_file.flush()
        proc = subprocess.run([python, str(Path(__file__).with_name(script)), job_file.name],
                              capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        print(f"peers skipped: bench/{script} failed ({proc.returncode}): {proc.stderr.strip()[-2000:]}")
        return None
    return json.loads(proc.stdout)


def compare(label, amount, ours, theirs, unit, goal="", fmt="{:.1f}"):
    """A row of amount/seconds for us and the peer (theirs None: peers skipped), ratio ours/theirs."""
    if theirs is None:
        return (label, f"{fmt.format(amount / ours)} {unit}", "skipped", "", goal)
    return (label, f"{fmt.format(amount / ours)} {unit}", f"{fmt.format(amount / theirs)} {unit}",
            f"{theirs / ours:.2f}x", goal)


def print_table(rows):
    header = ("operation", "noteloom", "peer", "ratio", "goal")
    rows = [tuple(r) + ("",) * (5 - len(r)) for r in rows]
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(5)]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
