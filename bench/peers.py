"""The peer side of bench/bench_hot_paths.py: symusic, mido and MidiTok REMI timed over the files
the main script hands over. Runs under the peer environment (.venv-peers, a stock CPython):

    .venv-peers/bin/python bench/peers.py JOB.json

JOB.json holds {"files": [...], "tokenizable": [...], "repeat": N}: `files` are the files our
loader reads, `tokenizable` those our tokenizer handles. Prints one JSON object on stdout:

    {"versions": {...},
     "symusic": {"readable": [...], "seconds": {"all": s, "big": s, "largest": s}},
     "mido":    {"readable": [...], "seconds": s},
     "remi":    {"files": [...], "seconds": s}}

Each time is the best of N passes over its file set; the sets are chosen by common.size_sets on the
files symusic reads, so the main script can time the very same files.
"""

import json
import sys
from importlib.metadata import version

import mido
import symusic
from miditok import REMI

from common import best_time, size_sets


def readable(load, files):
    """The files `load` reads without raising."""
    out = []
    for f in files:
        try:
            load(f)
            out.append(f)
        except Exception:  # damaged files: peers refuse some that our loader reads
            pass
    return out


def main():
    with open(sys.argv[1]) as fh:
        job = json.load(fh)
    repeat = job["repeat"]

    def load_all(files, load):
        return best_time(lambda: [load(f) for f in files], repeat)

    sym_files = readable(symusic.Score, job["files"])
    mido_files = readable(mido.MidiFile, job["files"])

    remi = REMI()
    sym_set = set(sym_files)
    scores = {f: symusic.Score(f) for f in job["tokenizable"] if f in sym_set}
    remi_files = readable(lambda f: remi.encode(scores[f]), list(scores))
    remi_scores = [scores[f] for f in remi_files]

    print(json.dumps({
        "versions": {name: version(name) for name in ("symusic", "mido", "miditok")},
        "symusic": {"readable": sym_files,
                    "seconds": {name: load_all(files, symusic.Score) for name, files in size_sets(sym_files).items()}},
        "mido": {"readable": mido_files, "seconds": load_all(mido_files, mido.MidiFile)},
        "remi": {"files": remi_files, "seconds": best_time(lambda: [remi.encode(s) for s in remi_scores], repeat)},
    }))


if __name__ == "__main__":
    main()
