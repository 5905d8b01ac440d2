"""The corpus engine (MIDI file -> normalized token IDs, natively on a pool of threads) next to
today's Python path and the peers, on the same files in the same run:

    PYTHON_GIL=0 .venv/bin/python bench/bench_engine.py [CORPUS] [--repeat N]
        [--peer-python PATH] [--gil-python PATH] [--small-files N] [--rounds N] [--min-files N]

Rows: the engine on 1 and 2 threads, under this interpreter and (with --gil-python) under a stock
GIL build; the Python path encode(tokenize(normalize_midi_dict(from_midi(p)))) on one thread;
symusic's load alone and MidiTok REMI's file -> IDs (peers in their own environment, through
bench/peers_engine.py). Last, the command line encodes N small files it generates in a temporary
folder (default 100,000) and its peak resident memory is reported.
"""

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from common import argument_parser, best_time, compare, midi_files, print_table, run_peers

ENGINE_ONLY = "--engine-only"  # run by the main script under another interpreter: print JSON timings


def engine_seconds(files, repeat):
    """{threads: seconds} for 1 and 2 threads, the runs of the two alternating so that a slow
    stretch of the machine weighs on both."""
    from noteloom import encode_files

    def run(threads):
        start = time.perf_counter()
        for _ in encode_files(files, threads=threads):
            pass
        return time.perf_counter() - start

    best = {1: float("inf"), 2: float("inf")}
    for t in best:
        run(t)  # warm-up: first touches of memory and caches
    for _ in range(repeat):
        for t in best:
            best[t] = min(best[t], run(t))
    return best


def python_path_seconds(files, repeat):
    from noteloom import AbsTokenizer, MidiDict, normalize_midi_dict

    tok = AbsTokenizer()
    cfg = tok.config

    def run():
        for f in files:
            try:
                d = normalize_midi_dict(MidiDict.from_midi(f), cfg["ignore_instruments"], cfg["instrument_programs"],
                                        10, 5000, cfg["drum_velocity"], tok._quantize_velocity)
                tok.encode(tok.tokenize(d))
            except (OSError, RuntimeError):
                pass

    return best_time(run, max(1, repeat // 2))


def engine_under(python, files, repeat):
    """{threads: seconds} of the engine under another interpreter, or None."""
    if not python or not os.access(python, os.X_OK):
        print(f"GIL-build rows skipped: no interpreter at {python!r}")
        return None
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    with tempfile.NamedTemporaryFile("w", suffix=".json") as job:
        json.dump({"files": files, "repeat": repeat}, job)
        job.flush()
        proc = subprocess.run([python, __file__, ENGINE_ONLY, job.name], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        print(f"GIL-build rows skipped: {proc.stderr.strip()[-1000:]}")
        return None
    return {int(k): v for k, v in json.loads(proc.stdout).items()}


def small_piece(seed):
    """A short piano piece of a few hundred bytes, different for each seed."""
    from noteloom import MidiDict

    d = MidiDict()
    d.add_tempo(500000, 0)
    d.add_instrument(0, 0, 0)
    for i in range(8):
        d.add_note(48 + (seed * 7 + i * 5) % 40, i * 240, i * 240 + 200, 64 + (seed + i) % 60, 0)
    path = Path(tempfile.mkdtemp()) / "p.mid"
    d.to_midi().save(str(path))
    data = path.read_bytes()
    path.unlink()
    path.parent.rmdir()
    return data


def peak_rss_of_cli(n):
    """(peak RSS in MB, seconds) of `python -m noteloom encode` over n generated small files."""
    pieces = [small_piece(seed) for seed in range(97)]
    with tempfile.TemporaryDirectory() as tmp:
        src = Path(tmp) / "midi"
        for k in range(n):
            sub = src / f"{k // 1000:04d}"
            if k % 1000 == 0:
                sub.mkdir(parents=True)
            (sub / f"{k:07d}.mid").write_bytes(pieces[k % len(pieces)])
        start = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-m", "noteloom", "encode", str(src), "-o", str(Path(tmp) / "ds")],
                                stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
        stderr = proc.stderr.read().decode()
        proc.stderr.close()
        if status != 0:
            raise RuntimeError(f"encode failed: {stderr}")
    return usage.ru_maxrss / 1024, seconds


def main():
    if len(sys.argv) == 3 and sys.argv[1] == ENGINE_ONLY:
        job = json.loads(Path(sys.argv[2]).read_text())
        print(json.dumps(engine_seconds(job["files"], job["repeat"])))
        return
    parser = argument_parser(__doc__, repeat=5)
    parser.add_argument("--peer-python", help="interpreter of the peer environment")
    parser.add_argument("--gil-python", help="a stock GIL build of CPython with noteloom installed")
    parser.add_argument("--small-files", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=3, help="rounds the engine and peer timings alternate over")
    parser.add_argument("--min-files", type=int, default=2000, help="files per timed engine and symusic run")
    args = parser.parse_args()
    files = midi_files(args.corpus)
    # The engine and symusic rows pass over the corpus several times in a row (at least --min-files
    # files): a pass over a few hundred files lasts milliseconds on two threads, and its start and
    # its last large file would weigh more than in a real run over a large corpus.
    passes = max(1, -(-args.min_files // max(len(files), 1)))
    print(f"corpus: {args.corpus}: {len(files)} files, engine and symusic rows over {passes} passes")

    # The timings of both sides alternate over several rounds and the best of each is kept, so that
    # a stretch in which the machine runs slow (a shared host does) weighs on both sides alike.
    ours, gil, peers = {1: float("inf"), 2: float("inf")}, None, None
    for r in range(args.rounds):
        this = engine_seconds(files * passes, args.repeat)
        ours = {t: min(ours[t], this[t] / passes) for t in (1, 2)}
        if r == 0 or gil:
            this = engine_under(args.gil_python, files * passes, args.repeat)
            this = None if this is None else {t: this[t] / passes for t in this}
            gil = this if gil is None or this is None else {t: min(gil[t], this[t]) for t in this}
        if r == 0 or peers:
            job = {"files": files, "passes": passes, "repeat": args.repeat, "remi": r == 0}
            this = run_peers(args.peer_python, "peers_engine.py", job)
            if peers is None or this is None:
                peers = this
            else:
                peers["symusic_load"] = min(peers["symusic_load"], this["symusic_load"])
    python_path = python_path_seconds(files, args.repeat)
    if peers:
        print("peers: " + ", ".join(f"{k} {v}" for k, v in peers["versions"].items()))

    def peer_rate_seconds(key, count_key):
        """The peer's time scaled to our file count (it may read fewer files), or None."""
        return None if not peers else peers[key] * len(files) / peers[count_key]

    n = len(files)
    rows = [
        compare("engine, 1 thread vs symusic load alone", n, ours[1], peer_rate_seconds("symusic_load", "symusic_files"),
                "files/s", ">= 1.0x", "{:.0f}"),
        compare("engine, 2 threads vs 1 thread", n, ours[2], ours[1], "files/s", ">= 1.8x", "{:.0f}"),
        compare("engine, 1 thread vs Python path", n, ours[1], python_path, "files/s", "", "{:.0f}"),
        compare("engine, 1 thread vs REMI file -> IDs", n, ours[1], peer_rate_seconds("remi_file_to_ids", "remi_files"),
                "files/s", "", "{:.0f}"),
    ]
    if gil:
        rows += [
            compare("GIL build: engine, 1 thread vs symusic", n, gil[1],
                    peer_rate_seconds("symusic_load", "symusic_files"), "files/s", ">= 1.0x", "{:.0f}"),
            compare("GIL build: engine, 2 threads vs 1 thread", n, gil[2], gil[1], "files/s", ">= 1.8x", "{:.0f}"),
        ]
    print_table(rows)
    if args.small_files:
        rss, seconds = peak_rss_of_cli(args.small_files)
        print(f"command line over {args.small_files} generated small files: peak RSS {rss:.0f} MB (goal <= 200), "
              f"{args.small_files / seconds:.0f} files/s end to end")


if __name__ == "__main__":
    main()
