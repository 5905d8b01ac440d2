"""The main job end to end: MIDI files -> token IDs, one JSON line per file.

Runs `python -m noteloom` over ../shared/corpus when it is present, otherwise over a few small
pieces this script writes itself, and prints a short summary of the output.
"""

import json
import subprocess
import sys
import tempfile
from pathlib import Path

from noteloom import AbsTokenizer, MidiDict

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def write_demo_pieces(folder):
    for k, root in enumerate([60, 62, 65]):
        d = MidiDict()
        d.add_tempo(500000, 0)
        d.add_instrument(0, 0, 0)
        for i, step in enumerate([0, 4, 7, 12, 7, 4]):
            d.add_note(root + step, i * 240, i * 240 + 220, 80 + 5 * k, 0)
        d.to_midi().save(str(folder / f"arpeggio_{k}.mid"))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        source = CORPUS if CORPUS.is_dir() else tmp / "pieces"
        if source != CORPUS:
            source.mkdir()
            write_demo_pieces(source)
        out = tmp / "ids.jsonl"
        print(f"$ python -m noteloom {source} -o {out.name}", flush=True)
        subprocess.run([sys.executable, "-m", "noteloom", str(source), "-o", str(out)], check=True)
        rows = [json.loads(line) for line in out.read_text().splitlines()]

    tok = AbsTokenizer()
    total = sum(len(r["ids"]) for r in rows)
    print(f"{len(rows)} files, {total} token IDs (vocabulary of {tok.vocab_size()})")
    first = rows[0]
    preview = tok.decode(first["ids"][:8])
    print(f"first file: {Path(first['path']).name}: {len(first['ids'])} IDs, starting {first['ids'][:8]}")
    print(f"  = {preview}")


if __name__ == "__main__":
    main()
