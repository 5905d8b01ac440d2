"""Corpora as they ship, next to the same files given as paths, in the same run:

    PYTHON_GIL=0 .venv/bin/python bench/bench_sources.py [CORPUS] [--repeat N] [--copies N]

The corpus files (repeated --copies times under distinct names, default 20) are written as a
folder, a plain .tar, a .tar.gz, a .tar.xz, a .tar.zst, a deflated .zip and a Parquet file
(pyarrow's default compression, one binary column); each is encoded with encode_dataset's engine
on 1 and 2 threads, and the table gives files/s and the ratio to the folder on the same threads.
The last column is the reading cost alone: microseconds per member to read (and inflate) the
source, with nothing encoded. (With every core encoding, zip members are inflated by the encoding
threads instead of the reader, as encode_dataset does.)
"""

import io
import os
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

from common import argument_parser, midi_files


def build(files, copies, where):
    """The sources, each holding the same members in the same order."""
    entries = [(f"{k:03d}/{Path(f).name}", Path(f).read_bytes()) for k in range(copies) for f in files]
    folder = where / "folder"
    for name, data in entries:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w") as tar:
        for name, data in entries:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    import gzip
    import lzma

    import pyarrow as pa
    import pyarrow.parquet as pq

    sources = {"folder": folder}
    for kind, compress in (("tar", lambda b: b), ("tar.gz", gzip.compress), ("tar.xz", lzma.compress),
                           ("tar.zst", lambda b: pa.Codec("zstd").compress(b, asbytes=True))):
        sources[kind] = where / f"corpus.{kind}"
        sources[kind].write_bytes(compress(raw.getvalue()))
    sources["zip"] = where / "corpus.zip"
    with zipfile.ZipFile(sources["zip"], "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, data)
    sources["parquet"] = where / "corpus.parquet"
    pq.write_table(pa.table({"name": [n for n, _ in entries], "midi": pa.array([d for _, d in entries], pa.binary())}),
                   sources["parquet"])
    return sources, len(entries)


def encode_seconds(source, threads):
    from noteloom.engine import encode_windows
    from noteloom.options import EncodeOptions
    from noteloom.sources import expand

    options = EncodeOptions(threads=threads)
    start = time.perf_counter()
    for _ in encode_windows(expand([str(source)], pack=options.engine_has_every_core), options):
        pass
    return time.perf_counter() - start


def read_seconds(source):
    """The time to expand the source into the engine's inputs (reading and inflating), alone."""
    from noteloom.sources import expand

    start = time.perf_counter()
    for unit in expand([str(source)]):
        if isinstance(unit, str):
            Path(unit).read_bytes()
    return time.perf_counter() - start


def main():
    parser = argument_parser(__doc__, repeat=3)
    parser.add_argument("--copies", type=int, default=20)
    args = parser.parse_args()
    files = midi_files(args.corpus)
    if not files:
        raise SystemExit(f"no MIDI files under {args.corpus}")
    with tempfile.TemporaryDirectory() as tmp:
        sources, members = build(files, args.copies, Path(tmp))
        print(f"{members} members ({len(files)} corpus files x {args.copies}); best of {args.repeat}")
        best = {(kind, t): float("inf") for kind in sources for t in (1, 2)}
        reading = {kind: float("inf") for kind in sources}
        for _ in range(args.repeat):  # rounds alternate the kinds, so a slow stretch weighs on all
            for kind, source in sources.items():
                for t in (1, 2):
                    best[kind, t] = min(best[kind, t], encode_seconds(source, t))
                reading[kind] = min(reading[kind], read_seconds(source))
        print(f"{'source':<10} {'1 thread':>12} {'ratio':>7} {'2 threads':>12} {'ratio':>7} {'read us/member':>15}")
        for kind in sources:
            rates = {t: members / best[kind, t] for t in (1, 2)}
            ratios = {t: best["folder", t] / best[kind, t] for t in (1, 2)}
            print(f"{kind:<10} {rates[1]:>9.0f}/s {ratios[1]:>6.2f}x {rates[2]:>9.0f}/s {ratios[2]:>6.2f}x "
                  f"{reading[kind] / members * 1e6:>15.1f}")


if __name__ == "__main__":
    os.environ.setdefault("PYTHON_GIL", "0")
    main()
