"""The peer side of bench/bench_engine.py: symusic's load alone and MidiTok REMI's file -> IDs,
timed over the files the main script hands over. Runs under the peer environment (.venv-peers):

    .venv-peers/bin/python bench/peers_engine.py JOB.json

JOB.json holds {"files": [...], "passes": P, "repeat": N, "remi": bool}. Prints {"versions": {...},
"symusic_load": s, "remi_file_to_ids": s, "symusic_files": n, "remi_files": n}: the seconds of one
pass over the files that peer reads, for symusic the best of N runs of P passes each (divided by P),
for REMI one run of one pass; REMI is left out (null) when "remi" is false.
"""

import json
import sys
from importlib.metadata import version

import symusic
from miditok import REMI

from common import best_time


def remi_ids(remi, path):
    """REMI's IDs of one file, loaded by symusic as MidiTok does."""
    seq = remi.encode(symusic.Score(path))
    return [s.ids for s in seq] if isinstance(seq, list) else seq.ids


def load_all(files, passes):
    """Every file loaded `passes` times, each score dropped at once (as the engine drops its results)."""
    for _ in range(passes):
        for f in files:
            symusic.Score(f)


def main():
    with open(sys.argv[1]) as fh:
        job = json.load(fh)
    remi = REMI()
    with_remi = job.get("remi", True)
    passes = job.get("passes", 1)
    sym_files, remi_files = [], []
    for f in job["files"]:
        try:
            symusic.Score(f)
        except Exception:  # damaged files: the peer refuses some that our loader reads
            continue
        sym_files.append(f)
        try:
            if with_remi:
                remi_ids(remi, f)
                remi_files.append(f)
        except Exception:
            pass
    print(json.dumps({
        "versions": {name: version(name) for name in ("symusic", "miditok")},
        "symusic_files": len(sym_files),
        "symusic_load": best_time(lambda: load_all(sym_files, passes), job["repeat"]) / passes,
        "remi_files": len(remi_files),
        "remi_file_to_ids": best_time(lambda: [remi_ids(remi, f) for f in remi_files], 1) if with_remi else None,
    }))


if __name__ == "__main__":
    main()
