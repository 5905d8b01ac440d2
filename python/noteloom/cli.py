"""The command line: MIDI files, folders, archives and Parquet files in, a token dataset out; a
thin shell over noteloom.encode_dataset.

    python -m noteloom encode [PATH...] [--paths-from FILE] -o OUT [--format bin|jsonl|parquet] [-j N] [--raw]
                              [--oov drop|unk|zero] [--max-tokens N] [--dedupe] [--min-retention F] [--resume]
                              [--tokenizer CONFIG.json | --instruments piano,bass,strings,drum]
                              [--column NAME] [--name-column NAME] [--meta-columns A,B]
                              [--dask ADDRESS|local:N [--shard-size N]]
    python -m noteloom info OUT
    python -m noteloom split DATASET --valid F --test F [--seed N]
    python -m noteloom decode DATASET -i N -o PIECE.mid | decode IDS.npy|IDS.txt -o PIECE.mid [--tokenizer ...]
    python -m noteloom plot DATASET -i N -o ROLL.png | plot PIECE.mid -o ROLL.png [--fs N]
    python -m noteloom stats DATASET [-o STATS.png]
    python -m noteloom render PIECE.mid -o PIECE.wav [--soundfont SF2] [--sample-rate HZ]

Exit status: 0 when at least one file was encoded, 1 when none could be or the output cannot be
written, 2 for a wrong command line.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
from collections.abc import Iterator

import numpy as np

from . import dataset
from .job import Summary, encode_dataset
from .options import FORMATS, MAX_TOKENS, OOV_RULES, SHARD_SIZE
from .skips import count_manifest
from .tokenizer import Tokenizer


def input_paths(args: argparse.Namespace) -> Iterator[str]:
    """The PATH arguments, then the lines of --paths-from (read lazily; "-" is stdin)."""
    yield from args.paths
    if args.paths_from is None:
        return
    with (contextlib.nullcontext(sys.stdin) if args.paths_from == "-" else open(args.paths_from, encoding="utf-8",
                                                                                   errors="surrogateescape")) as f:
        yield from (line.rstrip("\n") for line in f if line.strip())


def chosen_tokenizer(args: argparse.Namespace) -> Tokenizer | None:
    """--tokenizer (a file Tokenizer.save wrote) or --instruments (families, comma-separated)."""
    if args.tokenizer is not None:
        return Tokenizer.load(args.tokenizer)
    if args.instruments is not None:
        return Tokenizer(instruments=[name.strip() for name in args.instruments.split(",") if name.strip()])
    return None


def encode_command(args: argparse.Namespace) -> int:
    given = args.paths if args.paths_from is None else input_paths(args)
    tokenizer = chosen_tokenizer(args)
    summary = encode_dataset(given, args.output, format=args.format, threads=args.jobs, normalize=not args.raw,
                             oov=args.oov, max_tokens=args.max_tokens, dedupe=args.dedupe,
                             min_retention=args.min_retention, resume=args.resume,
                             column=args.column, name_column=args.name_column, meta_columns=args.meta_columns,
                             progress=True, dask=args.dask, shard_size=args.shard_size, tokenizer=tokenizer)
    _report(summary)
    if summary.kept == 0 and summary.resumed == 0:
        print("noteloom: no file could be encoded", file=sys.stderr)
        return 1
    return 0


def _report(s: Summary) -> None:
    rate = s.files / s.seconds if s.seconds > 0 else 0.0
    print(f"noteloom: encoded {s.kept} of {s.files} files ({s.skipped} skipped), "
          f"{s.tokens} tokens in {s.seconds:.1f} s ({rate:.0f} files/s, "
          f"{s.tokens / max(s.seconds, 1e-9) / 1e6:.2f} M tokens/s) -> {s.output}", file=sys.stderr)
    for kind, count in s.reasons.items():
        print(f"  skipped {count}: {kind}", file=sys.stderr)


def info_command(args: argparse.Namespace) -> int:
    ds = dataset.TokenDataset(args.dataset)
    counts = count_manifest(ds.manifest())
    files, reasons, oov, notes, kept_notes = counts.files, counts.skipped, counts.oov, counts.notes, counts.kept_notes
    meta = ds.meta
    print(f"dataset:    {ds.directory}" + ("" if meta.get("complete") else "  (incomplete: resume with --resume)"))
    print(f"tokenizer:  {meta['tokenizer']}, {meta['vocab_size']} tokens, noteloom {meta.get('noteloom_version', '?')}")
    print(f"options:    {', '.join(f'{k}={v}' for k, v in meta['options'].items())}")
    print(f"files:      {files}")
    print(f"sequences:  {len(ds)}")
    print(f"tokens:     {ds.num_tokens} ({oov} out of vocabulary)")
    if notes:
        print(f"notes:      {kept_notes} of {notes} kept in the sequences ({kept_notes / notes:.1%})")
    print(f"skipped:    {sum(reasons.values())}")
    for kind, count in reasons.most_common():
        print(f"  {count:>8}  {kind}")
    run_file = ds.directory / dataset.RUN
    if run_file.exists():
        sessions = json.loads(run_file.read_text())["sessions"]
        seconds = sum(s["seconds"] for s in sessions)
        run_tokens = sum(s["tokens"] for s in sessions)
        run_files = sum(s["files"] for s in sessions)
        if seconds > 0:
            print(f"run:        {seconds:.1f} s in {len(sessions)} session(s), {run_files / seconds:.0f} files/s, "
                  f"{run_tokens / seconds / 1e6:.2f} M tokens/s")
    return 0


def split_command(args: argparse.Namespace) -> int:
    from .splits import store_split

    ds = dataset.TokenDataset(args.dataset)
    with dataset.writer_lock(args.dataset):
        counts = store_split(ds, args.valid, args.test, args.seed)
    for name, count in counts.items():
        print(f"{name + ':':<7} {count} sequences ({count / max(len(ds), 1):.1%})")
    return 0


def decode_command(args: argparse.Namespace) -> int:
    from .music import ids_to_midi

    source = args.source
    tokenizer: Tokenizer | None
    if os.path.isdir(source):
        if args.index is None:
            raise ValueError("decoding a dataset needs -i N, the sequence to decode")
        ds = dataset.TokenDataset(source)
        ids, tokenizer = ds.stored(args.index), ds.tokenizer()
    elif args.index is not None:
        raise ValueError(f"-i picks a sequence of a dataset, and {source} is a file of IDs")
    else:
        ids, tokenizer = read_ids(source), chosen_tokenizer(args)
    piece = ids_to_midi(ids, tokenizer=tokenizer)
    piece.to_midi().save(args.output)
    print(f"{len(ids)} IDs, {len(piece.note_msgs)} notes -> {args.output}", file=sys.stderr)
    return 0


def read_ids(path: str) -> np.ndarray:
    """The IDs in a .npy file (a 1-D integer array) or a text file (integers split by blanks or commas)."""
    if path.endswith(".npy"):
        try:
            return np.asarray(np.load(path, allow_pickle=False))
        except ValueError as e:
            raise ValueError(f"{path}: not a .npy file of IDs ({e})") from None
    with open(path, encoding="utf-8") as f:
        text = f.read().replace(",", " ").replace("[", " ").replace("]", " ")
    try:
        return np.array([int(word) for word in text.split()], dtype=np.int64)
    except ValueError as e:
        raise ValueError(f"{path}: not a text file of integer IDs ({e})") from None


def plot_command(args: argparse.Namespace) -> int:
    from .korvi import _korvi
    from .music import ids_to_midi
    from .pictures import plot_roll

    source = args.source
    if os.path.isdir(source):
        if args.index is None:
            raise ValueError("plotting a dataset needs -i N, the sequence to plot")
        ds = dataset.TokenDataset(source)
        piece = ids_to_midi(ds.stored(args.index), tokenizer=ds.tokenizer())
        title = f"{ds.row(args.index)['path']} (sequence {args.index})"
    elif args.index is not None:
        raise ValueError(f"-i picks a sequence of a dataset, and {source} is a MIDI file")
    else:
        piece = _korvi.MidiDict.from_midi(source)
        title = os.path.basename(source)
    plot_roll(piece, args.output, fs=args.fs, title=title)
    print(f"{len(piece.note_msgs)} notes -> {args.output}", file=sys.stderr)
    return 0


def stats_command(args: argparse.Namespace) -> int:
    from .pictures import dataset_stats, plot_stats

    stats = dataset_stats(dataset.TokenDataset(args.dataset))
    length = stats["length"]
    print(f"files:       {stats['files']}")
    print(f"sequences:   {stats['sequences']}")
    print(f"tokens:      {stats['tokens']}")
    print(f"length:      p5 {length['p5']:.1f}  p50 {length['p50']:.1f}  p95 {length['p95']:.1f}  "
          f"max {length['max']}")
    pitches = stats["pitches"]
    used = np.flatnonzero(pitches)
    print(f"notes:       {int(pitches.sum())}" + (f" (pitches {used[0]} to {used[-1]}, most often "
                                                   f"{int(np.argmax(pitches))})" if len(used) else ""))
    if stats["notes"]:
        print(f"retention:   {stats['kept_notes']} of {stats['notes']} notes kept "
              f"({stats['kept_notes'] / stats['notes']:.1%})")
    print("instruments: (sequences with each)")
    for name, count in stats["instruments"].items():
        print(f"  {count:>8}  {name}")
    print(f"skipped:     {sum(stats['skipped'].values())}")
    for kind, count in stats["skipped"].items():
        print(f"  {count:>8}  {kind}")
    if args.output is not None:
        plot_stats(stats, args.output)
        print(f"-> {args.output}", file=sys.stderr)
    return 0


def render_command(args: argparse.Namespace) -> int:
    from .audio import render

    render(args.piece, args.output, soundfont=args.soundfont, sample_rate=args.sample_rate)
    print(f"{args.piece} -> {args.output}", file=sys.stderr)
    return 0


def _fraction(text: str) -> float:
    value = float(text)
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be a fraction from 0 to 1, not {value}")
    return value


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _not_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="noteloom", description="MIDI files to token datasets.")
    commands = p.add_subparsers(dest="command", required=True)
    enc = commands.add_parser("encode", help="encode MIDI files, folders, archives and Parquet files into a token "
                                             "dataset")
    enc.add_argument("paths", nargs="*", metavar="PATH",
                     help="MIDI files, folders searched for *.mid / *.midi, tar archives (plain, .gz, .bz2, .xz, "
                          ".zst), "
                          "zip archives, or Parquet files with the files' bytes in a column")
    enc.add_argument("--paths-from", metavar="FILE", default=None,
                     help="more PATHs, one per line ('-': stdin), read as the run goes: for lists of millions of "
                          "files made once, instead of walking folders")
    enc.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="dataset directory (bin), or file (jsonl, '-' for stdout; parquet)")
    enc.add_argument("--format", choices=FORMATS, default="bin")
    enc.add_argument("-j", "--jobs", type=_positive, default=None, metavar="N", help="threads (default: every core)")
    enc.add_argument("--raw", action="store_true", help="tokenize the files as loaded, without normalizing them")
    enc.add_argument("--oov", choices=tuple(OOV_RULES), default="drop",
                     help="tokens outside the vocabulary: drop their note group, write <U>, or write ID 0")
    enc.add_argument("--max-tokens", type=_not_negative, default=MAX_TOKENS, metavar="N",
                     help="skip files that would give more IDs (default 2^20)")
    enc.add_argument("--dedupe", action="store_true", help="skip files whose MidiDict equals an earlier file's")
    enc.add_argument("--min-retention", type=_fraction, default=0.0, metavar="F",
                     help="skip files that keep less than the share F of their notes (the built-in tokenizer "
                          "keeps piano, guitar and drums only)")
    enc.add_argument("--resume", action="store_true", help="continue an interrupted run into the same OUT")
    vocabulary = enc.add_mutually_exclusive_group()
    vocabulary.add_argument("--tokenizer", metavar="CONFIG.json", default=None,
                            help="the tokenizer a noteloom.Tokenizer.save wrote (default: the built-in one)")
    vocabulary.add_argument("--instruments", metavar="A,B,...", default=None,
                            help="a tokenizer of these General MIDI families (and drum), otherwise built in")
    enc.add_argument("--dask", metavar="ADDRESS", default=None,
                     help="run on the Dask cluster whose scheduler is at ADDRESS, or on a local cluster of N "
                          "worker processes with local:N; each worker's threads are -j (default: its cores). "
                          "A rerun into the same OUT keeps the shards already complete")
    enc.add_argument("--shard-size", type=_positive, default=SHARD_SIZE, metavar="N",
                     help="input files per Dask task (default 10,000)")
    enc.add_argument("--column", metavar="NAME", default=None,
                     help="the Parquet column that holds the files' bytes (default: the only binary column)")
    enc.add_argument("--name-column", metavar="NAME", default=None,
                     help="the Parquet column that names each row in the manifest (default: its row number)")
    enc.add_argument("--meta-columns", metavar="A,B", default="",
                     help="Parquet columns copied into each row's manifest record under \"meta\"")
    info = commands.add_parser("info", help="summarize a token dataset")
    info.add_argument("dataset", metavar="OUT")
    split = commands.add_parser("split", help="store a train / valid / test split in a dataset, by content hash")
    split.add_argument("dataset", metavar="DATASET")
    split.add_argument("--valid", type=_fraction, required=True, metavar="F",
                       help="the share of sequences to validate on")
    split.add_argument("--test", type=_fraction, required=True, metavar="F", help="the share of sequences to test on")
    split.add_argument("--seed", type=int, default=0, metavar="N", help="another seed, another split (default 0)")
    decode = commands.add_parser("decode", help="write the piece that IDs stand for as a MIDI file")
    decode.add_argument("source", metavar="DATASET|IDS", help="a dataset, or a .npy or text file of IDs")
    decode.add_argument("-i", "--index", type=int, default=None, metavar="N", help="the dataset's sequence to decode")
    decode.add_argument("-o", "--output", required=True, metavar="PIECE.mid")
    ids_vocabulary = decode.add_mutually_exclusive_group()
    ids_vocabulary.add_argument("--tokenizer", metavar="CONFIG.json", default=None,
                                help="the tokenizer of a file of IDs (a dataset knows its own)")
    ids_vocabulary.add_argument("--instruments", metavar="A,B,...", default=None,
                                help="a file of IDs of a tokenizer of these families")
    plot = commands.add_parser("plot", help="draw the piano roll of a dataset's sequence or of a MIDI file (needs "
                                            "matplotlib)")
    plot.add_argument("source", metavar="DATASET|PIECE.mid", help="a dataset, or a MIDI file")
    plot.add_argument("-i", "--index", type=int, default=None, metavar="N", help="the dataset's sequence to draw")
    plot.add_argument("-o", "--output", required=True, metavar="ROLL.png",
                      help="the picture (PNG; .svg or .pdf by their extension)")
    plot.add_argument("--fs", type=_positive, default=100, metavar="N",
                      help="frames per second that note edges fall on (default 100)")
    stats = commands.add_parser("stats", help="lengths, pitches, instruments and skips of a dataset, as text and "
                                              "with -o a picture (needs matplotlib)")
    stats.add_argument("dataset", metavar="DATASET")
    stats.add_argument("-o", "--output", default=None, metavar="STATS.png", help="also draw the histograms here")
    render = commands.add_parser("render", help="render a MIDI file as sound with fluidsynth and a General MIDI "
                                                "soundfont")
    render.add_argument("piece", metavar="PIECE.mid")
    render.add_argument("-o", "--output", required=True, metavar="PIECE.wav")
    render.add_argument("--soundfont", default=None, metavar="SF2",
                        help="the .sf2 file to render with (default: $NOTELOOM_SOUNDFONT, else a Debian one installed)")
    render.add_argument("--sample-rate", type=int, default=44100, metavar="HZ", help="default 44100")
    return p


def main(argv: list[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if args.command == "encode" and not args.paths and args.paths_from is None:
        p.error("encode needs a PATH or --paths-from")
    try:
        commands = {"encode": encode_command, "info": info_command, "split": split_command,
                    "decode": decode_command, "plot": plot_command, "stats": stats_command,
                    "render": render_command}
        return commands[args.command](args)
    except KeyboardInterrupt:
        print("noteloom: interrupted; the records written so far are kept (continue with --resume)",
              file=sys.stderr)
        return 130
    except (OSError, ValueError, ImportError) as e:
        print(f"noteloom: {e}", file=sys.stderr)
        return 1
