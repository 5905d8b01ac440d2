"""Files per second for loading and writing MIDI files, noteloom next to mido, over the corpus.

    PYTHON_GIL=0 .venv/bin/python bench/bench_midi_io.py [CORPUS_DIR] [--repeat N]

Both libraries see the same files (those mido can read) in the same run; the best of N passes is
reported for each measurement.
"""

import os
import tempfile

import mido

from common import arguments, best_time, midi_files
from noteloom import MidiDict


def best_rate(fn, files, repeat):
    """Files per second over the fastest of `repeat` passes."""
    return len(files) / best_time(lambda: [fn(f) for f in files], repeat)


def main():
    args = arguments(__doc__)
    all_files = midi_files(args.corpus)
    files = []
    for f in all_files:
        try:
            mido.MidiFile(f)
            files.append(f)
        except Exception:  # damaged files: mido refuses them, noteloom loads what it can
            pass
    total_bytes = sum(os.path.getsize(f) for f in files)
    print(f"{len(files)} files mido can read ({total_bytes / 1e6:.1f} MB) of {len(all_files)} in {args.corpus}")

    dicts = {f: MidiDict.from_midi(f) for f in files}
    mido_files = {f: mido.MidiFile(f) for f in files}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.mid")
        rows = [
            ("load", best_rate(MidiDict.from_midi, files, args.repeat),
             best_rate(mido.MidiFile, files, args.repeat)),
            ("to_midi().save()", best_rate(lambda f: dicts[f].to_midi().save(out), files, args.repeat),
             best_rate(lambda f: mido_files[f].save(out), files, args.repeat)),
        ]
    print(f"{'operation':<18} {'noteloom files/s':>17} {'mido files/s':>13} {'ratio':>8}")
    for name, ours, theirs in rows:
        print(f"{name:<18} {ours:>17.1f} {theirs:>13.1f} {ours / theirs:>7.1f}x")


if __name__ == "__main__":
    main()
