"""The corpus engine on a local Dask cluster next to the one-machine command line, on the same files
in the same run (the stock build's environment, where dask.distributed is installed):

    .venv-gil/bin/python bench/bench_dask.py [CORPUS] [--repeat N] [--files N] [--shard-sizes N,N]

Rows: `encode` on this machine with every core; encode_on_dask on a LocalCluster of 1 worker
process (all cores to its engine) and of 2 worker processes (one core each), for each shard size.
The inputs are the corpus files listed over and over up to --files paths, so that a run lasts long
enough to show the cost of tasks; each run writes a new dataset. The clusters' start-up is
reported apart: a long run pays it once.
"""

import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

from common import argument_parser, midi_files


def timed(fn, repeat, tmp):
    """The fastest of `repeat` runs of fn(output path), each into a new output removed afterwards."""
    best = float("inf")
    for k in range(repeat):
        out = tmp / f"out{k}"
        start = time.perf_counter()
        fn(out)
        best = min(best, time.perf_counter() - start)
        shutil.rmtree(out)
    return best


def main():
    parser = argument_parser(__doc__, repeat=3)
    parser.add_argument("--files", type=int, default=20_000)
    parser.add_argument("--shard-sizes", default="500,2000")
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    from noteloom import TokenDataset
    from noteloom.cli import main as cli
    from noteloom.dask import encode_on_dask

    corpus = midi_files(args.corpus)
    files = [corpus[k % len(corpus)] for k in range(args.files)]
    cores = os.process_cpu_count() or 1
    tmp = Path(tempfile.mkdtemp(prefix="bench-dask-"))
    tokens = {}

    def single(out):
        cli(["encode", *files, "-o", str(out)])
        tokens["single"] = TokenDataset(out).num_tokens

    print(f"{len(files)} paths over {len(corpus)} corpus files, {cores} cores, best of {args.repeat}", flush=True)
    rows = [(f"one machine: encode -j {cores}", timed(single, args.repeat, tmp), tokens["single"])]
    for workers in (1, 2):
        start = time.perf_counter()
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            print(f"LocalCluster of {workers} worker(s) started in {time.perf_counter() - start:.1f} s", flush=True)
            for shard_size in map(int, args.shard_sizes.split(",")):
                def run(out):
                    ds = encode_on_dask(files, out, client, shard_size=shard_size, threads=max(1, cores // workers))
                    tokens["dask"] = ds.num_tokens

                seconds = timed(run, args.repeat, tmp)
                assert tokens["dask"] == tokens["single"]
                label = f"Dask: {workers} worker(s) x {max(1, cores // workers)} threads, shards of {shard_size}"
                rows.append((label, seconds, tokens["dask"]))
    shutil.rmtree(tmp, ignore_errors=True)
    base = rows[0][1]
    print("| run | files/s | M tokens/s | vs one machine |\n|---|---|---|---|")
    for label, seconds, n in rows:
        print(f"| {label} | {len(files) / seconds:.0f} | {n / seconds / 1e6:.2f} | {base / seconds:.2f}x |")

if __name__ == "__main__":
    sys.exit(main())
