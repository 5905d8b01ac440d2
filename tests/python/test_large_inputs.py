"""Inputs whose size once made loading, tokenizing or normalizing quadratic.

Each file here is small (a few hundred kilobytes) but holds a shape that cost notes x notes or
notes x tempo changes: with that cost these tests would run for minutes. The checks are on the
results, against independent expectations.
"""

import math

from noteloom import AbsTokenizer, MidiDict, normalize_midi_dict
from smf_bytes import end_of_track, midi_file, note_off, note_on, tempo, track


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def test_a_run_of_note_offs_at_one_tick_keeps_notes_that_started_there(tmp_path):
    # n note-ons of one key at tick 0, n note-offs at tick 0 (each ends nothing: the notes started
    # at that tick), then one note-off at tick 10 that ends them all, in arrival order.
    n = 200_000
    events = [note_on(0, 0, 60, 1 + i % 127, running=i > 0) for i in range(n)]
    events += [note_on(0, 0, 60, 0, running=True) for _ in range(n)]
    events += [note_off(10, 0, 60), end_of_track()]
    d = MidiDict.from_midi(write(tmp_path, "same-tick.mid", midi_file(0, 480, [track(*events)])))
    notes = d.note_msgs
    assert len(notes) == n
    assert {(m.start, m.end, m.pitch, m.channel) for m in notes} == {(0, 10, 60, 0)}
    assert [m.velocity for m in notes] == [1 + i % 127 for i in range(n)]


def dense_tempo_piece(tmp_path, n):
    """n tempo changes one tick apart, and n one-tick notes, one starting at every tick."""
    tempos = [tempo(0 if i == 0 else 1, 400_000 + 7 * (i % 50)) for i in range(n)]
    notes = [note_on(0, 0, 60, 64)]
    for _ in range(n - 1):
        notes += [note_on(1, 0, 60, 0, running=True), note_on(0, 0, 60, 64, running=True)]
    notes += [note_on(1, 0, 60, 0, running=True)]
    data = midi_file(1, 480, [track(*tempos, end_of_track()), track(*notes, end_of_track())])
    return MidiDict.from_midi(write(tmp_path, f"dense-{n}.mid", data))


def test_normalize_follows_every_tempo_change_of_a_long_tempo_map(tmp_path):
    n = 100_000
    d = dense_tempo_piece(tmp_path, n)
    out = normalize_midi_dict(d, {"piano": False}, {"piano": 0}, 10, 5000, 127, lambda v: v)
    assert len(out.note_msgs) == len(d.note_msgs) == n
    # tick_to_ms walks the tempo list itself: the oracle for a sample of notes across the piece.
    starts = sorted(m.start for m in d.note_msgs)
    by_start = sorted(out.note_msgs, key=lambda m: m.start)
    for k in range(0, n, 997):
        ms = d.tick_to_ms(starts[k])
        assert by_start[k].start == 10 * math.floor(ms / 10 + 0.5)


def test_tokenize_places_every_note_of_a_long_tempo_map(tmp_path):
    n = 100_000
    d = dense_tempo_piece(tmp_path, n)
    tokens = AbsTokenizer().tokenize(d)
    # Absolute onsets: 5000 ms per time token before the note, plus the onset token.
    onsets, elapsed = [], 0
    for t in tokens:
        if t == "<T>":
            elapsed += 5000
        elif isinstance(t, tuple) and t[0] == "onset":
            onsets.append(elapsed + t[1])
    assert len(onsets) == n
    assert onsets == sorted(onsets)
    starts = sorted(m.start for m in d.note_msgs)
    for k in range(0, n, 997):
        assert abs(onsets[k] - d.tick_to_ms(starts[k])) < 10  # onsets sit on a 10 ms grid


def test_tokenize_of_notes_across_a_flood_of_tempo_events_at_one_tick(tmp_path):
    # n tempo events at tick 960, and n four-beat notes from tick 2 that all hold across it.
    n = 100_000
    tempos = [tempo(960 if i == 0 else 0, 500_000 if i % 2 else 250_000) for i in range(n)]
    notes = [note_on(2, 0, 60, 64)] + [note_on(0, 0, 60, 64, running=True) for _ in range(n - 1)]
    notes += [note_on(1920, 0, 60, 0, running=True), end_of_track()]
    d = MidiDict.from_midi(write(tmp_path, "flood.mid", midi_file(1, 480, [track(*tempos, end_of_track()), track(*notes)])))
    tokens = AbsTokenizer().tokenize(d)
    # The first tempo record also governs the ticks before it: 958 ticks at 0.25 s per beat, then
    # 962 at the last record's 0.5 s per beat: 1501 ms, on the 10 ms grid 1500.
    assert tokens.count(("dur", 1500, 0)) == n
