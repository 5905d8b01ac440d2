"""The hot paths side by side with peer libraries, on the same files in the same run.

    PYTHON_GIL=0 .venv/bin/python bench/bench_hot_paths.py [CORPUS] [--repeat N] [--peer-python PATH]

Loading (MidiDict.from_midi) is set against symusic.Score and mido.MidiFile, tokenize against
MidiTok REMI encoding a symusic Score already in memory; encode, decode, detokenize, tokenizer
construction and two hostile inputs (their time at n and 2n, which should grow linearly) are ours
alone. Every corpus figure is the best of N passes. The peers run in their own environment on a
stock CPython (`make bench` builds .venv-peers), through bench/peers.py; without --peer-python
only our column is filled.
"""

import functools
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from common import argument_parser, best_time, compare, midi_files, print_table, run_peers, size_sets, total_mb
from noteloom import AbsTokenizer, MidiDict, normalize_midi_dict

HOSTILE_CAP = 20.0  # seconds: a hostile input slower than this at n is not run at 2n
TOKEN_GOAL = ">= 30 M tokens/s"
GROWTH_GOAL = "<= 2.3"


def first_construction_ms(repeat):
    """The first AbsTokenizer() in a fresh interpreter (best of `repeat` interpreters), in ms."""
    code = ("import time, noteloom; t = time.perf_counter(); noteloom.AbsTokenizer(); "
            "print(time.perf_counter() - t)")
    runs = [subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
            for _ in range(repeat)]
    return min(float(r.stdout) for r in runs) * 1e3


def smf(fmt, tracks):
    """A Standard MIDI File of the given track bodies (end-of-track events appended), 480 ticks per beat."""
    chunks = b"".join(b"MTrk" + struct.pack(">I", len(t) + 4) + t + b"\x00\xff\x2f\x00" for t in tracks)
    return b"MThd" + struct.pack(">IHHH", 6, fmt, len(tracks), 480) + chunks


def long_running_status(n):
    """One track: n note-ons of the same key, then n note-offs, all at tick 0 in running status."""
    return smf(0, [b"\x00\x90\x3c\x40" + b"\x00\x3c\x40" * (n - 1) + b"\x00\x80\x3c\x40" + b"\x00\x3c\x40" * (n - 1)])


def dense_tempos_and_notes(n):
    """A tempo change every tick in one track, a one-tick note every other tick in another."""
    tempos = b"\x00\xff\x51\x03\x07\xa1\x20" + b"\x01\xff\x51\x03\x07\xa1\x20" * (n - 1)
    notes = b"\x83\xff\x7f\x90\x3c\x40\x01\x3c\x00" + b"\x01\x3c\x40\x01\x3c\x00" * (n - 1)
    return smf(1, [tempos, notes])


def once(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def timed(fn, repeat):
    """Best of `repeat` runs, or the first run alone when it takes more than a second."""
    first = once(fn)
    return first if first > 1.0 or repeat < 2 else min(first, best_time(fn, repeat - 1, warm_up=False))


def growth_rows(label, n, seconds_at):
    """Rows for a hostile input timed once at n and 2n; the 2n run is skipped past HOSTILE_CAP."""
    small = seconds_at(n)
    rows = [(f"{label}, n={n}", f"{small:.3f} s")]
    if small > HOSTILE_CAP:
        return rows + [(f"{label}, n={2 * n}", "skipped"), (f"{label}, growth 2n/n", "skipped", "", "", GROWTH_GOAL)]
    large = seconds_at(2 * n)
    return rows + [(f"{label}, n={2 * n}", f"{large:.3f} s"),
                   (f"{label}, growth 2n/n", f"{large / small:.2f}", "", "", GROWTH_GOAL)]


def hostile_rows(tmp, tok, repeat):
    def write(name, data):
        path = os.path.join(tmp, name)
        Path(path).write_bytes(data)
        return path

    @functools.cache
    def dense(n):
        return MidiDict.from_midi(write(f"dense-{n}.mid", dense_tempos_and_notes(n)))

    def normalize(d):
        return normalize_midi_dict(d, {"piano": False}, {"piano": 0}, 10, 5000, 127, tok._quantize_velocity)

    def load(n):
        path = write(f"rs-{n}.mid", long_running_status(n))
        return timed(lambda: MidiDict.from_midi(path), repeat)

    return (growth_rows("hostile load: running-status notes", 80_000, load)
            + growth_rows("hostile tokenize: dense tempos", 20_000, lambda n: timed(lambda: tok.tokenize(dense(n)), repeat))
            + growth_rows("hostile normalize: dense tempos", 20_000, lambda n: timed(lambda: normalize(dense(n)), repeat)))


def main():
    parser = argument_parser(__doc__, repeat=5)
    parser.add_argument("--peer-python", help="interpreter of the peer environment (runs bench/peers.py)")
    args = parser.parse_args()
    repeat = args.repeat

    all_files = midi_files(args.corpus)
    dicts = {}
    for f in all_files:
        try:
            dicts[f] = MidiDict.from_midi(f)
        except OSError:
            pass
    files = list(dicts)
    tok = AbsTokenizer()
    tokens = {}
    for f, d in dicts.items():
        try:
            tokens[f] = tok.tokenize(d)
        except Exception:  # noqa: BLE001 (the files the tokenizer refuses are left out)
            pass
    print(f"corpus: {args.corpus}: {len(all_files)} files, {total_mb(all_files):.2f} MB; "
          f"{len(files)} load, {len(tokens)} tokenize")

    peers = run_peers(args.peer_python, "peers.py", {"files": files, "tokenizable": list(tokens), "repeat": repeat})
    if peers:
        print("peers: " + ", ".join(f"{k} {v}" for k, v in peers["versions"].items()))
    sym_files = peers["symusic"]["readable"] if peers else files
    mido_files = peers["mido"]["readable"] if peers else files
    remi_files = peers["remi"]["files"] if peers else list(tokens)

    def peer(*keys):
        """A peer timing in seconds, None when the peers were skipped."""
        value = peers
        for k in keys:
            value = value and value[k]
        return value

    def load_seconds(fs):
        return best_time(lambda: [MidiDict.from_midi(f) for f in fs], repeat)

    sets = size_sets(sym_files)
    rows = [compare(f"from_midi vs symusic.Score ({len(sets['all'])} files)", len(sets["all"]),
                    load_seconds(sets["all"]), peer("symusic", "seconds", "all"), "files/s", ">= 1.5x")]
    for name, label, goal in (("big", "files >= 60 KB", ">= 1.5x"),
                              ("largest", f"{len(sets['largest'])} largest files", ">= 1.0x")):
        mb = total_mb(sets[name])
        rows.append(compare(f"from_midi vs symusic.Score, {label} ({len(sets[name])} files, {mb:.2f} MB)", mb,
                            load_seconds(sets[name]), peer("symusic", "seconds", name), "MB/s", goal, "{:.2f}"))
    rows.append(compare(f"from_midi vs mido.MidiFile ({len(mido_files)} files)", len(mido_files),
                        load_seconds(mido_files), peer("mido", "seconds"), "files/s", ">= 200x"))

    remi_dicts = [dicts[f] for f in remi_files]
    seconds = best_time(lambda: [tok.tokenize(d) for d in remi_dicts], repeat)
    label, ours, *rest = compare(f"tokenize vs MidiTok REMI encode ({len(remi_files)} files)", len(remi_files),
                                 seconds, peer("remi", "seconds"), "files/s", ">= 100x")
    n_remi_tokens = sum(len(tokens[f]) for f in remi_files)
    rows.append((label, f"{ours}, {n_remi_tokens / seconds / 1e6:.2f} M tokens/s", *rest))

    token_lists = list(tokens.values())
    id_lists = [tok.encode(t) for t in token_lists]
    n_tokens = sum(len(t) for t in token_lists)
    for name, fn in (("encode", lambda: [tok.encode(t) for t in token_lists]),
                     ("decode", lambda: [tok.decode(i) for i in id_lists]),
                     ("detokenize", lambda: [tok.detokenize(t) for t in token_lists])):
        rate = n_tokens / best_time(fn, repeat) / 1e6
        rows.append((f"{name} ({len(token_lists)} files, {n_tokens / 1e6:.2f} M tokens)",
                     f"{rate:.2f} M tokens/s", "", "", TOKEN_GOAL))

    rows.append(("AbsTokenizer() first in a fresh interpreter", f"{first_construction_ms(repeat):.2f} ms", "", "",
                 "<= 2 ms"))
    rows.append(("AbsTokenizer() later (best of 20+)", f"{best_time(AbsTokenizer, max(repeat, 20)) * 1e3:.4f} ms", "",
                 "", "<= 0.05 ms"))

    with tempfile.TemporaryDirectory() as tmp:
        rows += hostile_rows(tmp, tok, repeat)
    print()
    print_table(rows)


if __name__ == "__main__":
    main()
