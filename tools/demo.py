"""The main job end to end: MIDI files -> a token dataset, then a look at it.

Runs `python -m noteloom encode` over ../shared/corpus when it is present, otherwise over a few
small pieces this script writes itself, then `python -m noteloom info`, and reads the first
sequence back through TokenDataset.
"""

import subprocess
import sys
import tempfile
from pathlib import Path

from noteloom import AbsTokenizer, MidiDict, TokenDataset

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def write_demo_pieces(folder):
    for k, root in enumerate([60, 62, 65]):
        d = MidiDict()
        d.add_tempo(500000, 0)
        d.add_instrument(0, 0, 0)
        for i, step in enumerate([0, 4, 7, 12, 7, 4]):
            d.add_note(root + step, i * 240, i * 240 + 220, 80 + 5 * k, 0)
        d.to_midi().save(str(folder / f"arpeggio_{k}.mid"))


def run(*args):
    print("$ python -m noteloom " + " ".join(map(str, args)), flush=True)
    subprocess.run([sys.executable, "-m", "noteloom", *map(str, args)], check=True)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        source = CORPUS if CORPUS.is_dir() else tmp / "pieces"
        if source != CORPUS:
            source.mkdir()
            write_demo_pieces(source)
        out = tmp / "dataset"
        run("encode", source, "-o", out)
        run("info", out)
        ds = TokenDataset(out)
        first = ds[0]
        print(f"first sequence: {Path(ds.row(0)['path']).name}: {len(first)} IDs, starting {first[:8].tolist()}")
        print(f"  = {AbsTokenizer().decode(first[:8].tolist())}")


if __name__ == "__main__":
    main()
