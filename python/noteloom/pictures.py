"""Pictures of music and of datasets: a piece's piano roll, one colour per instrument, and a
dataset's lengths, pitches and instruments.

matplotlib is optional (the ``plot`` extra) and imported only when a picture is drawn. The figures
are drawn on their own Agg canvas, never through pyplot, so a caller's pyplot state and backend
are left alone and drawing from several threads at once is safe.
"""

from __future__ import annotations

import collections
import functools
import os
from collections.abc import Iterator
from typing import Any

import numpy as np

from . import vocabulary
from .korvi import _korvi
from .music import DRUM_CHANNEL, check_fs, note_frames
from .skips import count_manifest
from .vocabulary import Kind, Vocabulary

# General MIDI's sixteen families of eight programs each.
GM_FAMILIES = ("piano", "chromatic percussion", "organ", "guitar", "bass", "strings", "ensemble", "brass",
               "reed", "pipe", "synth lead", "synth pad", "synth effects", "ethnic", "percussive",
               "sound effects")
_PREFIX = "prefix:instrument:"
_CHUNK = 1 << 22  # IDs counted at a time: bounds the memory a count of a large dataset takes


def _figure(what: str, width: float, height: float) -> Any:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(f"{what} needs matplotlib: pip install 'noteloom[plot]'") from None
    fig = Figure(figsize=(width, height), dpi=100, layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def family(program: int) -> str:
    """The General MIDI family of a program number (0 to 127)."""
    return GM_FAMILIES[min(max(program, 0), 127) // 8]


def _channel_programs(piece: _korvi.MidiDict, first_tick: dict[int, int]) -> dict[int, int]:
    """Each channel's program where its first note starts (the first program set on it, else 0)."""
    programs: dict[int, int] = {}
    for msg in piece.instrument_msgs:  # sorted by tick
        channel = msg.channel
        if channel in first_tick and (channel not in programs or msg.tick <= first_tick[channel]):
            programs[channel] = msg.data
    return programs


def plot_roll(piece: _korvi.MidiDict, path: str | os.PathLike[str], *, fs: float = 100,
              title: str | None = None) -> None:
    """Writes a picture (PNG, or what the extension of `path` names) of the piano roll of `piece`:
    time in seconds across, pitch up, each channel's notes in a colour of their own, labelled with
    the General MIDI family of the channel's program ("drums" for channel 9, whose rows are drum
    keys), more opaque the louder. Note edges fall on frames of 1 / `fs` seconds as in
    ``noteloom.piano_roll``, so a very short note still shows one frame wide."""
    check_fs(fs)
    fig = _figure("plot_roll", 12, 5)
    from matplotlib import rcParams
    from matplotlib.collections import PolyCollection
    from matplotlib.colors import to_rgba
    from matplotlib.patches import Patch

    notes = piece.note_msgs
    pitch, start, end, velocity, channel = note_frames(piece, fs).T
    shown = (pitch >= 0) & (pitch < 128) & (start >= 0)
    first_tick: dict[int, int] = {}
    for n in notes:
        first_tick.setdefault(n.channel, n.start)
    programs = _channel_programs(piece, first_tick)
    labels = {c: "drums" if c == DRUM_CHANNEL else family(programs.get(c, 0)) for c in sorted(first_tick)}
    repeated = collections.Counter(labels.values())
    cycle = [entry["color"] for entry in rcParams["axes.prop_cycle"]]

    ax = fig.add_subplot()
    handles = []
    for k, (c, label) in enumerate(labels.items()):
        mine = shown & (channel == c)
        x0, x1, y = start[mine] / fs, end[mine] / fs, pitch[mine].astype(np.float64)
        # one polygon per note, all of a channel in one collection: fast for tens of thousands
        verts = np.stack([np.stack([x0, y - 0.4], 1), np.stack([x1, y - 0.4], 1),
                          np.stack([x1, y + 0.4], 1), np.stack([x0, y + 0.4], 1)], 1)
        colour = cycle[k % len(cycle)]
        faces = np.tile(np.array(to_rgba(colour)), (len(x0), 1))
        faces[:, 3] = 0.35 + 0.65 * np.clip(velocity[mine], 0, 127) / 127
        # an (N, 4, 2) array, not a list of polygons: matplotlib's fast path (its hints say Sequence)
        ax.add_collection(PolyCollection(verts, facecolors=faces, edgecolors="none"))  # type: ignore[arg-type]
        handles.append(Patch(color=colour, label=f"{label} (channel {c})" if repeated[label] > 1 else label))
    if shown.any():
        ax.set_xlim(0, float(end[shown].max()) / fs)
        ax.set_ylim(float(pitch[shown].min()) - 2, float(pitch[shown].max()) + 2)
    else:
        ax.set_xlim(0, 1)
        ax.set_ylim(0, 127)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("pitch (MIDI key)")
    if handles:
        ax.legend(handles=handles, loc="upper right", fontsize="small")
    if title is not None:
        ax.set_title(title)
    fig.savefig(path)


@functools.cache
def _id_tables(vocab: Vocabulary) -> tuple[np.ndarray, np.ndarray, tuple[str, ...]]:
    """Per ID: its pitch where it is a NOTE ID (-1 elsewhere), and its instrument's number where it
    is an instrument prefix ID (-1 elsewhere); and the instruments' names by number."""
    kind = vocab.kinds
    pitch = np.full(vocab.size, -1, dtype=np.int64)
    instrument = np.full(vocab.size, -1, dtype=np.int64)
    names: list[str] = []
    for i, token in enumerate(vocab.tokens):
        if kind[i] == Kind.NOTE:
            pitch[i] = token[1]
        elif kind[i] == Kind.PREFIX and token[0].startswith(_PREFIX):
            instrument[i] = len(names)
            names.append(token[0][len(_PREFIX):])
    return pitch, instrument, tuple(names)


def _segments(starts: np.ndarray, lengths: np.ndarray) -> Iterator[tuple[int, int]]:
    """The ID ranges that sequences starting at `starts` cover, those that touch merged."""
    if len(starts) == 0:
        return
    ends = starts + lengths
    breaks = np.flatnonzero(starts[1:] != ends[:-1]) + 1
    for lo, hi in zip(np.concatenate(([0], breaks)), np.concatenate((breaks, [len(starts)]))):
        yield int(starts[lo]), int(ends[hi - 1])


def _count_ids(ds: Any) -> tuple[np.ndarray, np.ndarray]:
    """How often each ID occurs in the dataset's sequences, and in how many sequences each
    instrument's prefix token occurs (read from each sequence's leading prefix IDs only)."""
    vocab = vocabulary.of(ds.tokenizer())
    ids_in_vocabulary = vocab.size
    _, instrument_of, names = _id_tables(vocab)
    is_prefix = vocab.kinds == Kind.PREFIX
    widest = int(is_prefix.sum())  # a prefix holds each prefix token at most once
    counts = np.zeros(ids_in_vocabulary, dtype=np.int64)
    present = np.zeros(len(names), dtype=np.int64)
    for _, tokens, starts, lengths in ds._token_runs():
        starts, lengths = np.asarray(starts, dtype=np.int64), np.asarray(lengths, dtype=np.int64)
        pending: list[np.ndarray] = []
        size = 0
        for lo, hi in _segments(starts, lengths):
            for at in range(lo, hi, _CHUNK):
                pending.append(np.asarray(tokens[at : min(hi, at + _CHUNK)]))
                size += len(pending[-1])
                if size >= _CHUNK:
                    counts += np.bincount(np.concatenate(pending), minlength=ids_in_vocabulary)[:ids_in_vocabulary]
                    pending, size = [], 0
        if pending:
            counts += np.bincount(np.concatenate(pending), minlength=ids_in_vocabulary)[:ids_in_vocabulary]
        for block in range(0, len(starts), 1 << 16):
            s, n = starts[block : block + (1 << 16)], lengths[block : block + (1 << 16)]
            where = s[:, None] + np.arange(widest)[None, :]
            inside = np.arange(widest)[None, :] < n[:, None]
            ids = np.asarray(tokens[np.where(inside, where, 0).ravel()] if len(tokens) else
                             np.zeros(where.size, dtype=np.uint16)).reshape(where.shape).astype(np.int64)
            leading = np.cumprod(inside & is_prefix[ids], axis=1).astype(bool)
            rows, cols = np.nonzero(leading & (instrument_of[ids] >= 0))
            pairs = np.unique(rows * len(names) + instrument_of[ids[rows, cols]])
            present += np.bincount(pairs % max(len(names), 1), minlength=len(names))[: len(names)]
    return counts, present


def dataset_stats(ds: Any) -> dict[str, Any]:
    """What a TokenDataset (or a part of one) holds: "files" (manifest records), "sequences",
    "tokens"; "lengths" (IDs per sequence, an int64 array) and their "length" percentiles "p5",
    "p50", "p95" and "max"; "pitches" (how many note IDs of each of the 128 pitches; drum IDs left
    out); "instruments" (name -> the number of sequences whose prefix names it, most first); and
    "skipped" (skip kind -> files, most first); "notes" and "kept_notes", summed over the kept
    files' records (the notes as loaded, and those their sequences keep)."""
    lengths = np.diff(np.asarray(ds.offsets)).astype(np.int64)
    pitch_of, _, names = _id_tables(vocabulary.of(ds.tokenizer()))
    counts, present = _count_ids(ds)
    notes = pitch_of >= 0
    pitches = np.bincount(pitch_of[notes], weights=counts[notes], minlength=128)[:128].astype(np.int64)
    manifest = count_manifest(ds.manifest())
    if len(lengths):
        p5, p50, p95 = (float(v) for v in np.percentile(lengths, [5, 50, 95]))
        longest = int(lengths.max())
    else:
        p5 = p50 = p95 = 0.0
        longest = 0
    order = np.argsort(-present, kind="stable")
    return {
        "files": manifest.files,
        "sequences": len(lengths),
        "tokens": int(lengths.sum()),
        "lengths": lengths,
        "length": {"p5": p5, "p50": p50, "p95": p95, "max": longest},
        "pitches": pitches,
        "instruments": {names[k]: int(present[k]) for k in order if present[k]},
        "skipped": dict(manifest.skipped.most_common()),
        "notes": manifest.notes,
        "kept_notes": manifest.kept_notes,
    }


def plot_stats(stats: dict[str, Any], path: str | os.PathLike[str]) -> None:
    """Writes one picture of what `dataset_stats` gave: the sequence lengths' histogram, the pitch
    histogram of the notes, and the sequences per instrument."""
    fig = _figure("plot_stats", 15, 4.5)
    lengths_ax, pitches_ax, instruments_ax = fig.subplots(1, 3)
    lengths = np.asarray(stats["lengths"])
    lengths_ax.hist(lengths, bins=max(1, min(50, len(np.unique(lengths)))))
    lengths_ax.set_title(f"{stats['sequences']} sequences, {stats['tokens']} IDs")
    lengths_ax.set_xlabel("IDs per sequence")
    lengths_ax.set_ylabel("sequences")
    pitches_ax.bar(np.arange(128), np.asarray(stats["pitches"]), width=1.0)
    pitches_ax.set_xlim(-0.5, 127.5)
    pitches_ax.set_title("pitches of the notes")
    pitches_ax.set_xlabel("pitch (MIDI key)")
    pitches_ax.set_ylabel("notes")
    names = list(stats["instruments"])[::-1]  # the most common on top
    instruments_ax.barh(names, [stats["instruments"][n] for n in names])
    instruments_ax.set_title("instruments")
    instruments_ax.set_xlabel("sequences")
    fig.savefig(path)
