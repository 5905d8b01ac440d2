"""Command line: MIDI files in, token IDs out (one JSON line per file).

    python -m noteloom [-o OUT.jsonl] [-j JOBS] PATH [PATH ...]

Each PATH is a MIDI file or a folder searched recursively for *.mid / *.midi. Every file is loaded,
tokenized with the absolute tokenizer and encoded; the result is written as
{"path": ..., "ids": [...]} in input order. Files that fail to load or hold no notes are reported
on stderr and skipped. With -j above 1, files are processed on a thread pool (which runs truly in
parallel on a free-threaded interpreter with PYTHON_GIL=0).
"""

import argparse
import concurrent.futures
import json
import os
import sys
import time

from noteloom import AbsTokenizer, MidiDict

MIDI_SUFFIXES = (".mid", ".midi")


def find_midi_files(paths):
    for path in paths:
        if os.path.isdir(path):
            found = []
            for root, _dirs, files in os.walk(path):
                found.extend(os.path.join(root, f) for f in files if f.lower().endswith(MIDI_SUFFIXES))
            yield from sorted(found)
        else:
            yield path


class Progress:
    """A one-line progress bar on stderr, shown only for runs that take a while."""

    def __init__(self, total, stream=sys.stderr, delay=1.0):
        self.total = total
        self.stream = stream
        self.start = time.monotonic()
        self.delay = delay
        self.shown = False
        self.last = 0.0

    def update(self, done):
        now = time.monotonic()
        if now - self.start < self.delay or (now - self.last < 0.1 and done < self.total):
            return
        self.last = now
        width = 30
        filled = width * done // max(self.total, 1)
        rate = done / (now - self.start)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{self.total} files, {rate:.0f}/s")
        self.stream.flush()
        self.shown = True

    def close(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


def encode_file(tokenizer, path):
    """(path, ids) or (path, error text)."""
    try:
        midi_dict = MidiDict.from_midi(path)
        return path, tokenizer.encode(tokenizer.tokenize(midi_dict))
    except (OSError, RuntimeError) as exc:
        return path, str(exc)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m noteloom", description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", help="MIDI files or folders")
    parser.add_argument("-o", "--output", help="write JSON lines here instead of stdout")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, help="worker threads")
    args = parser.parse_args(argv)

    files = list(find_midi_files(args.paths))
    tokenizer = AbsTokenizer()
    out = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    progress = Progress(len(files))
    failed = 0
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(args.jobs, 1)) as pool:
            results = pool.map(lambda p: encode_file(tokenizer, p), files)
            for done, (path, result) in enumerate(results, 1):
                if isinstance(result, str):
                    failed += 1
                    progress.close()
                    progress.shown = False
                    print(f"noteloom: skipped {path}: {result}", file=sys.stderr)
                else:
                    out.write(json.dumps({"path": path, "ids": result}) + "\n")
                progress.update(done)
    finally:
        progress.close()
        if out is not sys.stdout:
            out.close()
    print(f"noteloom: {len(files) - failed} of {len(files)} files encoded", file=sys.stderr)
    return 1 if files and failed == len(files) else 0


if __name__ == "__main__":
    sys.exit(main())
