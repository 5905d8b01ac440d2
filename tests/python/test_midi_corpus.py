"""Real MIDI files written by other people and tools: every one loads (or is refused with a clean
error), survives a write and a reload as far as the format can hold it, and agrees with what mido,
an independent reader, finds in it."""

import os
import struct
from collections import Counter

import pytest

from noteloom import MidiDict
from support import CORPUS, check_loaded_events, plain


if not CORPUS.is_dir():
    pytest.skip(f"no MIDI corpus at {CORPUS}", allow_module_level=True)

FILES = sorted(CORPUS.rglob("*.mid"))
IDS = [str(p.relative_to(CORPUS)) for p in FILES]

LOAD_PREFIX = "Failed to load MIDI file: "


def load_or_error(path):
    """The loaded MidiDict, or None after checking the error text of a refused file."""
    try:
        return MidiDict.from_midi(path)
    except OSError as e:
        text = str(e)
        assert text.startswith(LOAD_PREFIX)
        assert text[len(LOAD_PREFIX) :].startswith(("invalid midi: ", "malformed midi: "))
        return None


def test_corpus_is_not_empty():
    assert len(FILES) > 0


@pytest.mark.parametrize("path", FILES, ids=IDS)
def test_corpus_file_round_trips(path, tmp_path):
    original = load_or_error(path)
    if original is None:
        return
    assert original.metadata == {"abs_load_path": os.path.realpath(path)}
    first = plain(original)
    for n in original.note_msgs:
        assert 0 <= n.channel <= 15 and 0 <= n.pitch <= 127 and 1 <= n.velocity <= 127
        assert n.tick == n.start
    assert [n[1] for n in first["notes"]] == sorted(n[1] for n in first["notes"])

    out = _save(original, tmp_path / "once.mid")
    once = MidiDict.from_midi(out)
    reloaded = plain(once)
    assert once.metadata == {"abs_load_path": os.path.realpath(out)}
    # mido reads the written file: a conductor track and one track per program change.
    mido = pytest.importorskip("mido")
    assert len(mido.MidiFile(out).tracks) == 1 + min(len(first["instruments"]), 255)

    # The comparison with the original, aspect by aspect.
    assert reloaded["ticks_per_beat"] == first["ticks_per_beat"]
    assert reloaded["tempos"] == first["tempos"]
    assert reloaded["instruments"] == sorted(first["instruments"], key=lambda i: (i[1], i[0]))
    assert reloaded["metas"] == first["metas"]
    channels = {ch for _, _, ch in first["instruments"]}
    kept_pedals = [p for p in first["pedals"] if p[2] in channels]
    assert sorted(reloaded["pedals"]) == sorted(kept_pedals)
    for ch in channels:  # one channel's pedals keep their order
        assert [p for p in reloaded["pedals"] if p[2] == ch] == [p for p in kept_pedals if p[2] == ch]
    # Notes of channels without a program change are gone. Of the others, pitch, start, velocity
    # and channel always survive (only the end can move, or the note vanish), and every note that
    # has a positive length and no other note of its channel and key touching it comes back
    # unchanged.
    kept = [n for n in first["notes"] if n[5] in channels]
    assert not Counter((p, s, v, c) for p, s, _e, v, _t, c in reloaded["notes"]) - Counter(
        (p, s, v, c) for p, s, _e, v, _t, c in kept
    )
    clean = _untouched(kept)
    assert len(clean) >= 0.5 * len(kept)  # the losses are the exception in real music
    assert not Counter(clean) - Counter(reloaded["notes"])

    # A second pass changes nothing more.
    twice = MidiDict.from_midi(_save(once, tmp_path / "twice.mid"))
    assert plain(twice) == reloaded


def _save(d, path):
    d.to_midi().save(path)
    return path


def _untouched(notes):
    """The notes that a write and reload cannot change: positive length, and no other note of
    the same channel and key that overlaps them, starts with them, or has no positive length."""
    groups = {}
    for n in notes:
        groups.setdefault((n[5], n[0]), []).append(n)
    out = []
    for group in groups.values():
        if any(n[2] <= n[1] for n in group):
            continue
        group.sort(key=lambda n: n[1])
        latest_end = None  # the latest end among the notes before
        for i, (n, nxt) in enumerate(zip(group, group[1:] + [None])):
            overlaps_before = latest_end is not None and (latest_end > n[1] or group[i - 1][1] == n[1])
            overlaps_after = nxt is not None and nxt[1] < n[2]
            if not overlaps_before and not overlaps_after:
                out.append(n)
            latest_end = n[2] if latest_end is None else max(latest_end, n[2])
    return out


# --- comparison with mido --------------------------------------------------------------------------


def _chunk_tags(data):
    """Tags of the chunks after the header."""
    header_len = struct.unpack(">I", data[4:8])[0]
    pos, tags = 8 + header_len, []
    while len(data) - pos >= 8:
        tags.append(data[pos : pos + 4])
        pos += 8 + struct.unpack(">I", data[pos + 4 : pos + 8])[0]
    return tags


def _mido_tracks(mid):
    """Tracks of (delta, event) in check_loaded_events' event form, from mido's messages."""
    tracks = []
    for track in mid.tracks:
        events = []
        for msg in track:
            t = msg.type
            if t == "note_on":
                ev = ("note_on", msg.channel, msg.note, msg.velocity)
            elif t == "note_off":
                ev = ("note_off", msg.channel, msg.note, msg.velocity)
            elif t == "control_change":
                ev = ("control", msg.channel, msg.control, msg.value)
            elif t == "program_change":
                ev = ("program", msg.channel, msg.program)
            elif t == "set_tempo":
                ev = ("tempo", msg.tempo)
            elif t in ("text", "copyright"):
                ev = (t, msg.text.encode("latin-1"))  # mido decodes meta text as Latin-1
            else:
                ev = ("other",)
            events.append((msg.time, ev))
        tracks.append(events)
    return tracks


def _set_tempo_lengths_are_3(data):
    """Whether every FF 51 in the file is followed by length 3 (mido reads any length)."""
    i = data.find(b"\xff\x51")
    while i != -1:
        if data[i + 2 : i + 3] != b"\x03":
            return False
        i = data.find(b"\xff\x51", i + 1)
    return True


@pytest.mark.parametrize("path", FILES, ids=IDS)
def test_corpus_file_agrees_with_mido(path):
    mido = pytest.importorskip("mido")
    data = path.read_bytes()
    try:
        mid = mido.MidiFile(path)
    except Exception as e:  # noqa: BLE001 - any refusal by mido means there is nothing to compare
        pytest.skip(f"mido cannot read this file: {type(e).__name__}: {e}")
    tags = _chunk_tags(data)
    if tags.count(b"MTrk") != len(mid.tracks) or set(tags) != {b"MTrk"}:
        pytest.skip("mido reads only the declared number of track chunks")
    if not _set_tempo_lengths_are_3(data):
        pytest.skip("a set-tempo event of unusual length (mido reads it, noteloom ignores it)")

    ours = plain(MidiDict.from_midi(path))
    division = struct.unpack(">H", data[12:14])[0]
    assert ours["ticks_per_beat"] == (division if division < 0x8000 else 480)
    tracks = _mido_tracks(mid)
    check_loaded_events(ours, tracks)
    # Real music ends nearly every note it starts.
    note_ons = sum(1 for events in tracks for _, ev in events if ev[0] == "note_on" and ev[3] > 0)
    assert len(ours["notes"]) >= 0.9 * note_ons
