"""Reading and writing Standard MIDI Files: MidiDict.from_midi, MidiDict.to_midi, MidiFile.save.

Every fixture is built byte by byte with smf_bytes and expected results are written out by hand.
Random inputs are checked through invariants, through mido reading the files we write, and
through round trips and fixed points.
"""

import errno
import os
import pathlib
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import smf_bytes as sb
from noteloom import MidiDict
from support import build_midi_dict, check_loaded_events, make_meta, make_pedal, plain

MidiFile = type(MidiDict().to_midi())

LOAD_PREFIX = "Failed to load MIDI file: "
SAVE_PREFIX = "Failed to save MIDI file: "


# --- helpers ------------------------------------------------------------------------------------


def notes_of(d):
    """(pitch, start, end, velocity, channel) of every note; a loaded note's tick is its start."""
    out = []
    for n in d.note_msgs:
        assert n.msg_type == "note"
        assert n.tick == n.start
        out.append((n.pitch, n.start, n.end, n.velocity, n.channel))
    return out


def write(tmp_path, data, name="in.mid"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def load(tmp_path, data, name="in.mid"):
    return MidiDict.from_midi(str(write(tmp_path, data, name)))


def load_error(tmp_path, data, name="bad.mid"):
    with pytest.raises(OSError) as info:
        load(tmp_path, data, name)
    return str(info.value)


def single_track(*events, division=480, fmt=0):
    """A file with one track holding `events` and a closing end-of-track."""
    return sb.midi_file(fmt, division, [sb.track(*events, sb.end_of_track())])


def build(ticks_per_beat=480, notes=(), tempos=(), instruments=(), pedals=(), metas=(), metadata=None):
    """A MidiDict from plain values: notes (pitch, start, end, velocity, channel); tempos
    (tempo, tick); instruments (program, tick, channel); pedals (data, tick, channel); metas
    (msg_type, text)."""
    d = build_midi_dict(notes, tempos, instruments, metadata, ticks_per_beat)
    d.pedal_msgs = [make_pedal(*p) for p in pedals]
    d.meta_msgs = [make_meta(*m) for m in metas]
    return d


def saved_bytes(d, tmp_path, name="out.mid"):
    path = tmp_path / name
    result = d.to_midi().save(str(path))
    assert result is None
    return path.read_bytes()


def only_defaults(ticks_per_beat=480):
    """What a load gives for a file without any usable event: the default tempo and program."""
    return {
        "ticks_per_beat": ticks_per_beat,
        "notes": [],
        "tempos": [(500000, 0)],
        "instruments": [(0, 0, 0)],
        "pedals": [],
        "metas": [],
    }


def split_chunks(data):
    """[(tag, body)] of a file with well-formed chunk lengths."""
    out, pos = [], 0
    while pos < len(data):
        tag, length = data[pos : pos + 4], struct.unpack(">I", data[pos + 4 : pos + 8])[0]
        out.append((tag, data[pos + 8 : pos + 8 + length]))
        pos += 8 + length
    return out


# --- the builders against hand-written bytes --------------------------------------------------------


def test_varlen_encoding():
    assert sb.varlen(0) == b"\x00"
    assert sb.varlen(0x7F) == b"\x7f"
    assert sb.varlen(0x80) == b"\x81\x00"
    assert sb.varlen(480) == b"\x83\x60"
    assert sb.varlen(0x3FFF) == b"\xff\x7f"
    assert sb.varlen(0x0FFFFFFF) == b"\xff\xff\xff\x7f"


# --- loading: timing and formats -------------------------------------------------------------------


@pytest.mark.parametrize("fmt", [0, 1, 2])
def test_every_track_counts_ticks_from_its_own_start(tmp_path, fmt):
    first = sb.track(sb.program(0, 0, 0), sb.note_on(100, 0, 60, 90), sb.note_off(100, 0, 60), sb.end_of_track())
    second = sb.track(sb.program(0, 1, 5), sb.note_on(100, 1, 62, 80), sb.note_off(300, 1, 62), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(fmt, 480, [first, second]))
    assert notes_of(d) == [(60, 100, 200, 90, 0), (62, 100, 400, 80, 1)]
    assert plain(d)["instruments"] == [(0, 0, 0), (5, 0, 1)]
    assert d.ticks_per_beat == 480


@pytest.mark.parametrize("fps, subframes", [(24, 1), (25, 4), (29, 40), (30, 80), (24, 255)])
def test_timecode_timing_reads_as_480_ticks_per_beat_without_converting_ticks(tmp_path, fps, subframes):
    data = single_track(
        sb.tempo(0, 600000),
        sb.note_on(1234, 2, 60, 90),
        sb.note_off(4321, 2, 60),
        division=sb.smpte_division(fps, subframes),
    )
    d = load(tmp_path, data)
    assert d.ticks_per_beat == 480
    assert notes_of(d) == [(60, 1234, 5555, 90, 2)]
    assert plain(d)["tempos"] == [(600000, 0)]


@pytest.mark.parametrize("fps", [1, 23, 26, 28, 31, 127, 128])
def test_timecode_with_unknown_frame_rate_is_refused(tmp_path, fps):
    data = single_track(sb.note_on(0, 0, 60, 90), division=sb.smpte_division(fps, 4))
    assert load_error(tmp_path, data) == LOAD_PREFIX + "invalid midi: invalid smpte fps"


@pytest.mark.parametrize("division", [0, 1, 96, 480, 960, 0x7FFF])
def test_metrical_division_is_ticks_per_beat(tmp_path, division):
    d = load(tmp_path, single_track(sb.note_on(0, 0, 60, 90), sb.note_off(10, 0, 60), division=division))
    assert d.ticks_per_beat == division
    assert notes_of(d) == [(60, 0, 10, 90, 0)]


def test_header_chunk_longer_than_the_file_leaves_no_tracks(tmp_path):
    data = sb.header(1, 1, 480, length=1000) + GOOD_TRACK
    assert plain(load(tmp_path, data)) == only_defaults()


def test_longer_header_chunk_is_skipped_past(tmp_path):
    data = sb.header(1, 1, 240, extra=b"\x01\x02\x03\x04") + sb.track(
        sb.note_on(0, 0, 60, 90), sb.note_off(5, 0, 60), sb.end_of_track()
    )
    d = load(tmp_path, data)
    assert d.ticks_per_beat == 240
    assert notes_of(d) == [(60, 0, 5, 90, 0)]


# --- loading: note pairing -------------------------------------------------------------------------


def test_running_status(tmp_path):
    data = single_track(
        sb.note_on(0, 0, 60, 90),
        sb.note_on(0, 0, 64, 80, running=True),
        sb.note_on(480, 0, 60, 0, running=True),
        sb.note_on(0, 0, 64, 0, running=True),
        sb.program(0, 3, 10),
        sb.program(5, 3, 11, running=True),
    )
    d = load(tmp_path, data)
    assert notes_of(d) == [(60, 0, 480, 90, 0), (64, 0, 480, 80, 0)]
    assert plain(d)["instruments"] == [(10, 480, 3), (11, 485, 3)]


def test_meta_and_sysex_events_keep_running_status(tmp_path):
    data = single_track(
        sb.note_on(0, 0, 60, 90),
        sb.text(0, "in between"),
        sb.note_on(0, 0, 64, 80, running=True),
        sb.sysex(10, b"\x7e\x7f\x09\x01\xf7"),
        sb.note_on(0, 0, 60, 0, running=True),
        sb.note_on(0, 0, 64, 0, running=True),
    )
    d = load(tmp_path, data)
    assert notes_of(d) == [(60, 0, 10, 90, 0), (64, 0, 10, 80, 0)]
    assert plain(d)["metas"] == [("text", "in between")]


@pytest.mark.parametrize("style", ["note_off", "note_off_velocity_0", "note_off_velocity_127", "note_on_velocity_0"])
def test_note_ended_by_note_off_or_note_on_with_velocity_zero(tmp_path, style):
    end = {
        "note_off": sb.note_off(240, 5, 72),
        "note_off_velocity_0": sb.note_off(240, 5, 72, 0),
        "note_off_velocity_127": sb.note_off(240, 5, 72, 127),
        "note_on_velocity_0": sb.note_on(240, 5, 72, 0),
    }[style]
    d = load(tmp_path, single_track(sb.note_on(10, 5, 72, 33), end))
    assert notes_of(d) == [(72, 10, 250, 33, 5)]


def test_note_off_at_the_tick_of_its_note_on_leaves_the_note_open(tmp_path):
    data = single_track(sb.note_on(100, 0, 60, 90), sb.note_off(0, 0, 60), sb.note_off(50, 0, 60))
    assert notes_of(load(tmp_path, data)) == [(60, 100, 150, 90, 0)]


def test_note_started_and_stopped_at_one_tick_without_later_note_off_is_dropped(tmp_path):
    data = single_track(
        sb.note_on(100, 0, 60, 90),
        sb.note_on(0, 0, 60, 0),
        sb.note_on(0, 0, 62, 91),
        sb.note_off(10, 0, 62),
    )
    assert notes_of(load(tmp_path, data)) == [(62, 100, 110, 91, 0)]


def test_same_tick_note_off_ends_older_notes_but_not_the_new_one(tmp_path):
    data = single_track(
        sb.note_on(0, 0, 60, 10),
        sb.note_on(100, 0, 60, 20),
        sb.note_off(0, 0, 60),  # tick 100: ends the note from 0, the one from 100 stays open
        sb.note_off(30, 0, 60),
    )
    assert notes_of(load(tmp_path, data)) == [(60, 0, 100, 10, 0), (60, 100, 130, 20, 0)]


def test_two_note_ons_then_one_note_off_give_two_notes_with_the_same_end(tmp_path):
    data = single_track(sb.note_on(0, 0, 60, 10), sb.note_on(50, 0, 60, 20), sb.note_off(50, 0, 60), sb.note_off(50, 0, 60))
    assert notes_of(load(tmp_path, data)) == [(60, 0, 100, 10, 0), (60, 50, 100, 20, 0)]


def test_note_off_on_another_channel_or_key_does_not_end_a_note(tmp_path):
    data = single_track(
        sb.note_on(0, 0, 60, 90),
        sb.note_off(10, 1, 60),
        sb.note_off(10, 0, 61),
        sb.note_off(10, 9, 60),
        sb.note_off(10, 0, 60),
    )
    assert notes_of(load(tmp_path, data)) == [(60, 0, 40, 90, 0)]


def test_note_off_with_nothing_open_is_ignored(tmp_path):
    data = single_track(sb.note_off(10, 0, 60), sb.note_on(0, 0, 60, 0), sb.note_on(5, 0, 60, 70), sb.note_off(5, 0, 60))
    assert notes_of(load(tmp_path, data)) == [(60, 15, 20, 70, 0)]


def test_note_open_at_the_end_of_the_file_is_dropped(tmp_path):
    data = single_track(sb.note_on(0, 0, 60, 90), sb.note_on(0, 0, 61, 90), sb.note_off(10, 0, 61))
    assert notes_of(load(tmp_path, data)) == [(61, 0, 10, 90, 0)]


def test_note_ended_in_a_later_track_takes_that_tracks_tick(tmp_path):
    first = sb.track(sb.note_on(1000, 3, 60, 90), sb.end_of_track())
    second = sb.track(sb.note_off(500, 3, 60), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [first, second]))
    assert notes_of(d) == [(60, 1000, 500, 90, 3)]


def test_note_opened_in_a_later_track_is_not_ended_by_an_earlier_track(tmp_path):
    first = sb.track(sb.note_off(500, 3, 60), sb.end_of_track())
    second = sb.track(sb.note_on(100, 3, 60, 90), sb.end_of_track())
    assert notes_of(load(tmp_path, sb.midi_file(1, 480, [first, second]))) == []


def test_notes_with_equal_start_keep_the_order_they_were_ended_in(tmp_path):
    first = sb.track(
        sb.note_on(0, 0, 60, 1),
        sb.note_on(0, 0, 62, 2),
        sb.note_on(0, 0, 64, 3),
        sb.note_on(0, 0, 64, 4),
        sb.note_off(100, 0, 64),  # ends velocity 3 then 4 (order of their note-ons)
        sb.note_off(100, 0, 60),
        sb.end_of_track(),
    )
    second = sb.track(sb.note_off(50, 0, 62), sb.note_on(0, 0, 65, 5), sb.note_off(1, 0, 65), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [first, second]))
    # 62 ends first in time but later in the file: ending order is file order, not time order.
    assert notes_of(d) == [
        (64, 0, 100, 3, 0),
        (64, 0, 100, 4, 0),
        (60, 0, 200, 1, 0),
        (62, 0, 50, 2, 0),
        (65, 50, 51, 5, 0),
    ]


def test_notes_are_sorted_by_start(tmp_path):
    data = single_track(
        sb.note_on(0, 0, 60, 90),
        sb.note_on(100, 0, 62, 90),
        sb.note_off(10, 0, 62),
        sb.note_off(10, 0, 60),
    )
    assert notes_of(load(tmp_path, data)) == [(60, 0, 120, 90, 0), (62, 100, 110, 90, 0)]


# --- loading: pedals, programs, tempo, ignored events ----------------------------------------------


@pytest.mark.parametrize("value, data", [(0, 0), (1, 0), (63, 0), (64, 1), (65, 1), (127, 1)])
def test_sustain_pedal_value_threshold(tmp_path, value, data):
    d = load(tmp_path, single_track(sb.controller(7, 11, 64, value)))
    assert plain(d)["pedals"] == [(data, 7, 11)]
    assert all(p.msg_type == "pedal" for p in d.pedal_msgs)


@pytest.mark.parametrize("number", [0, 1, 7, 10, 63, 65, 66, 67, 121, 123, 127])
def test_other_controllers_are_ignored(tmp_path, number):
    d = load(tmp_path, single_track(sb.controller(0, 0, number, 127), sb.controller(5, 0, number, 0)))
    assert d.pedal_msgs == []


def test_pedals_are_sorted_by_tick_across_tracks(tmp_path):
    first = sb.track(sb.controller(100, 0, 64, 127), sb.controller(100, 0, 64, 0), sb.end_of_track())
    second = sb.track(sb.controller(50, 1, 64, 100), sb.controller(50, 2, 64, 10), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [first, second]))
    assert plain(d)["pedals"] == [(1, 50, 1), (1, 100, 0), (0, 100, 2), (0, 200, 0)]


def test_program_changes_become_instruments_sorted_by_tick(tmp_path):
    first = sb.track(sb.program(100, 0, 5), sb.end_of_track())
    second = sb.track(sb.program(0, 1, 7), sb.program(100, 2, 1), sb.program(0, 15, 127), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [first, second]))
    assert plain(d)["instruments"] == [(7, 0, 1), (5, 100, 0), (1, 100, 2), (127, 100, 15)]
    assert all(i.msg_type == "instrument" for i in d.instrument_msgs)


def test_defaults_when_no_tempo_and_no_program(tmp_path):
    data = single_track(sb.note_on(0, 9, 36, 100), sb.note_off(10, 9, 36), sb.note_on(0, 9, 38, 90), sb.note_off(10, 9, 38))
    d = load(tmp_path, data)
    assert plain(d)["tempos"] == [(500000, 0)]
    assert plain(d)["instruments"] == [(0, 0, 0)]
    assert [(t.msg_type) for t in d.tempo_msgs] == ["tempo"]
    assert [(i.msg_type) for i in d.instrument_msgs] == ["instrument"]
    assert notes_of(d) == [(36, 0, 10, 100, 9), (38, 10, 20, 90, 9)]


def test_empty_track_gives_only_the_defaults(tmp_path):
    assert plain(load(tmp_path, sb.midi_file(1, 96, [sb.track()]))) == only_defaults(96)


def test_file_without_tracks_loads(tmp_path):
    d = load(tmp_path, sb.header(1, 0, 480))
    assert plain(d)["tempos"] == [(500000, 0)]
    assert notes_of(d) == []


def test_tempos_are_kept_and_sorted_by_tick(tmp_path):
    first = sb.track(sb.tempo(500, 400000), sb.tempo(0, 300000), sb.end_of_track())
    second = sb.track(sb.tempo(100, 0xFFFFFF), sb.tempo(400, 1), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [first, second]))
    # (500, 400000) and (500, 300000) share a tick and keep file order; no default is added.
    assert plain(d)["tempos"] == [(0xFFFFFF, 100), (400000, 500), (300000, 500), (1, 500)]


@pytest.mark.parametrize("payload", [b"", b"\x07", b"\x07\xa1", b"\x07\xa1\x20\x00", b"\x00\x00\x00\x00\x00"])
def test_set_tempo_with_wrong_length_is_ignored(tmp_path, payload):
    d = load(tmp_path, single_track(sb.meta(0, 0x51, payload), sb.tempo(10, 600000), sb.meta(10, 0x51, payload)))
    assert plain(d)["tempos"] == [(600000, 10)]


def test_only_malformed_tempos_give_the_default(tmp_path):
    d = load(tmp_path, single_track(sb.meta(20, 0x51, b"\x07\xa1")))
    assert plain(d)["tempos"] == [(500000, 0)]


def test_ignored_events_do_not_disturb_anything(tmp_path):
    data = single_track(
        sb.track_name(0, "Piano"),
        sb.meta(0, 0x04, b"Instrument"),
        sb.meta(0, 0x05, b"lyric"),
        sb.meta(0, 0x06, b"marker"),
        sb.meta(0, 0x07, b"cue"),
        sb.meta(0, 0x20, b"\x00"),
        sb.meta(0, 0x21, b"\x00"),
        sb.meta(0, 0x54, b"\x60\x00\x00\x00\x00"),
        sb.meta(0, 0x58, b"\x04\x02\x18\x08"),
        sb.meta(0, 0x59, b"\x00\x00"),
        sb.meta(0, 0x7F, b"\x00\x00\x41"),
        sb.meta(0, 0x60, b"unknown type"),
        sb.sysex(0, b"\x41\x10\x42\xf7"),
        sb.varlen(0) + b"\xf7\x02\x01\x02",  # escape event
        sb.note_on(0, 0, 60, 90),
        sb.key_pressure(5, 0, 60, 50),
        sb.channel_pressure(5, 0, 40),
        sb.pitch_bend(5, 0, 0x2000),
        sb.channel_event(0, 0xE0, 0, 0x40, running=True),  # running status after pitch bend
        sb.note_off(5, 0, 60),
    )
    assert plain(load(tmp_path, data)) == {**only_defaults(), "notes": [(60, 0, 20, 90, 0, 0)]}


def test_events_after_end_of_track_are_still_read(tmp_path):
    data = sb.midi_file(
        1,
        480,
        [sb.track(sb.note_on(0, 0, 60, 90), sb.end_of_track(10), sb.note_off(10, 0, 60), sb.program(0, 0, 4), sb.end_of_track())],
    )
    d = load(tmp_path, data)
    assert notes_of(d) == [(60, 0, 20, 90, 0)]
    assert plain(d)["instruments"] == [(4, 20, 0)]


# --- loading: text -------------------------------------------------------------------------------


def test_text_and_copyright_keep_file_order_across_tracks(tmp_path):
    first = sb.track(sb.text(500, "a"), sb.copyright(0, "(c) b"), sb.end_of_track())
    second = sb.track(sb.copyright(0, "c"), sb.text(10, "d"), sb.track_name(0, "name"), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [first, second]))
    assert plain(d)["metas"] == [("text", "a"), ("copyright", "(c) b"), ("copyright", "c"), ("text", "d")]
    assert not hasattr(d.meta_msgs[0], "tick")


@pytest.mark.parametrize(
    "value",
    ["", "plain", "héllo wörld", "€ and ✓", "𝄞 clef", "tab\tand\nnewline", "nul\x00inside", "\U0010ffff"],
)
def test_valid_utf8_text_is_kept(tmp_path, value):
    d = load(tmp_path, single_track(sb.text(0, value), sb.copyright(0, value)))
    assert plain(d)["metas"] == [("text", value), ("copyright", value)]


@pytest.mark.parametrize(
    "raw",
    [
        b"\xff",
        b"caf\xe9",  # Latin-1
        b"\x80",  # lone continuation byte
        b"\xc0\x80",  # overlong NUL
        b"\xc1\xbf",  # overlong
        b"\xe0\x80\x80",  # overlong
        b"\xed\xa0\x80",  # surrogate U+D800
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\xf5\x80\x80\x80",
        b"\xe2\x82",  # truncated sequence at the end
        b"ok\xe2\x82x",  # truncated sequence in the middle
    ],
)
def test_invalid_utf8_text_is_skipped(tmp_path, raw):
    data = single_track(sb.text(0, "before"), sb.text(0, raw), sb.copyright(0, raw), sb.copyright(0, "after"))
    assert plain(load(tmp_path, data))["metas"] == [("text", "before"), ("copyright", "after")]


# --- loading: metadata and paths -------------------------------------------------------------------


def test_metadata_holds_only_the_canonical_path(tmp_path):
    path = write(tmp_path, single_track(sb.note_on(0, 0, 60, 90)))
    d = MidiDict.from_midi(str(path))
    assert d.metadata == {"abs_load_path": os.path.realpath(path)}


def test_metadata_resolves_symbolic_links(tmp_path):
    real_dir = tmp_path / "real"
    real_dir.mkdir()
    path = write(real_dir, single_track(sb.note_on(0, 0, 60, 90)), "target.mid")
    (tmp_path / "link.mid").symlink_to(path)
    (tmp_path / "linkdir").symlink_to(real_dir)
    for via in (tmp_path / "link.mid", tmp_path / "linkdir" / "target.mid"):
        d = MidiDict.from_midi(str(via))
        assert d.metadata == {"abs_load_path": os.path.realpath(path)}
        assert d.metadata["abs_load_path"] == str(path.resolve())


def test_relative_path_is_made_absolute(tmp_path, monkeypatch):
    write(tmp_path, single_track(), "rel.mid")
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path / "sub")
    d = MidiDict.from_midi("../rel.mid")
    assert d.metadata == {"abs_load_path": os.path.realpath(tmp_path / "rel.mid")}


def test_pathlib_path_and_objects_with_str(tmp_path):
    path = write(tmp_path, single_track(sb.note_on(0, 0, 60, 90), sb.note_off(1, 0, 60)))
    assert isinstance(path, pathlib.Path)

    class Named:
        def __str__(self):
            return str(path)

    class StrSubclass(str):
        def __str__(self):  # a str is used as it is: this is never called
            raise AssertionError("__str__ of a str subclass was called")

    for arg in (path, Named(), StrSubclass(str(path))):
        d = MidiDict.from_midi(arg)
        assert notes_of(d) == [(60, 0, 1, 90, 0)]
        assert d.metadata == {"abs_load_path": os.path.realpath(path)}
    assert notes_of(MidiDict.from_midi(mid_path=path)) == [(60, 0, 1, 90, 0)]


def test_integer_path_names_a_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(123)
    assert str(info.value) == LOAD_PREFIX + "No such file or directory (os error 2)"
    write(tmp_path, single_track(sb.program(0, 0, 9)), "123")
    d = MidiDict.from_midi(123)
    assert plain(d)["instruments"] == [(9, 0, 0)]
    assert d.metadata == {"abs_load_path": os.path.realpath(tmp_path / "123")}


def test_path_whose_str_raises():
    class Broken:
        def __str__(self):
            raise ValueError("no text for you")

    with pytest.raises(TypeError) as info:
        MidiDict.from_midi(Broken())
    assert str(info.value) == "Path must be a string or pathlib.Path"
    assert info.value.__cause__ is None


def test_path_whose_str_returns_a_non_string():
    class Numeric:
        def __str__(self):
            return 42

    with pytest.raises(TypeError) as info:
        MidiDict.from_midi(Numeric())
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "raw_name, shown",
    [
        (b"caf\xe9 \xff.mid", "caf\ufffd \ufffd.mid"),
        (b"\xf0\x90\x80.mid", "\ufffd.mid"),  # truncated 4-byte sequence: one replacement
        (b"\xed\xa0\x80.mid", "\ufffd\ufffd\ufffd.mid"),  # encoded surrogate: one per byte
        (b"\xc0\xaf.mid", "\ufffd\ufffd.mid"),  # overlong
        (b"\xe2\x82.mid", "\ufffd.mid"),
        (b"ok\xe2\x82\xac.mid", "ok\u20ac.mid"),  # valid UTF-8 stays as it is
    ],
)
def test_file_name_that_is_not_utf8(tmp_path, raw_name, shown):
    raw_path = os.fsencode(tmp_path) + b"/" + raw_name
    try:
        with open(raw_path, "wb") as f:
            f.write(single_track(sb.note_on(0, 0, 60, 90), sb.note_off(3, 0, 60)))
    except OSError as e:
        pytest.skip(f"file system refuses non-UTF-8 names: {e}")
    d = MidiDict.from_midi(os.fsdecode(raw_path))
    assert notes_of(d) == [(60, 0, 3, 90, 0)]
    expected = os.path.realpath(raw_path).decode("utf-8", "replace")
    assert d.metadata == {"abs_load_path": expected}
    assert expected == os.path.realpath(tmp_path) + "/" + shown


def test_bytes_path_is_taken_through_str(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, single_track(sb.program(0, 0, 42)), "b'x.mid'")
    write(tmp_path, single_track(sb.program(0, 0, 1)), "x.mid")
    d = MidiDict.from_midi(b"x.mid")
    assert plain(d)["instruments"] == [(42, 0, 0)]
    assert d.metadata == {"abs_load_path": os.path.realpath(tmp_path / "b'x.mid'")}


def test_missing_file(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(str(tmp_path / "nope.mid"))
    assert str(info.value) == LOAD_PREFIX + "No such file or directory (os error 2)"


def test_missing_parent_directory(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(tmp_path / "nope" / "x.mid")
    assert str(info.value) == LOAD_PREFIX + "No such file or directory (os error 2)"


def test_directory(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(tmp_path)
    assert str(info.value) == LOAD_PREFIX + "Is a directory (os error 21)"


def test_path_below_a_regular_file(tmp_path):
    path = write(tmp_path, single_track())
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(str(path) + "/inner.mid")
    assert str(info.value) == LOAD_PREFIX + f"{os.strerror(errno.ENOTDIR)} (os error {errno.ENOTDIR})"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of their mode")
def test_unreadable_file(tmp_path):
    path = write(tmp_path, single_track())
    path.chmod(0)
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(path)
    assert str(info.value) == LOAD_PREFIX + "Permission denied (os error 13)"


def test_path_with_nul_character(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict.from_midi(str(tmp_path) + "/a\x00b.mid")
    assert str(info.value) == LOAD_PREFIX + "file name contained an unexpected NUL byte"


def test_file_that_reports_no_size_is_read_whole(tmp_path):
    # A pipe has no size up front; more than 64 KiB arrive through it.
    import subprocess

    events = [e for i in range(25000) for e in (sb.note_on(1, 0, 30 + i % 60, 1 + i % 127), sb.note_off(1, 0, 30 + i % 60))]
    data = single_track(*events)
    assert len(data) > 3 * 64 * 1024
    source = write(tmp_path, data, "source.mid")
    fifo = tmp_path / "pipe.mid"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', str(source), str(fifo)])
    try:
        d = MidiDict.from_midi(fifo)
    finally:
        writer.wait(timeout=30)
    assert plain(d) == plain(MidiDict.from_midi(source))
    assert len(d.note_msgs) == 25000
    assert d.metadata == {"abs_load_path": os.path.realpath(fifo)}


def test_character_device_is_refused():
    if not os.path.exists("/dev/null"):
        pytest.skip("no /dev/null")
    with pytest.raises(OSError) as info:
        MidiDict.from_midi("/dev/null")
    assert str(info.value) == LOAD_PREFIX + "not a regular file or pipe"


def test_empty_path():
    with pytest.raises(OSError) as info:
        MidiDict.from_midi("")
    assert str(info.value) == LOAD_PREFIX + "No such file or directory (os error 2)"


# --- loading: broken and unusual files -------------------------------------------------------------

GOOD_TRACK = sb.track(sb.note_on(0, 0, 60, 90), sb.note_off(10, 0, 60), sb.end_of_track())


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "invalid midi: not a midi file"),
        (b"M", "invalid midi: not a midi file"),
        (b"MTh", "invalid midi: not a midi file"),
        (b"hello, this is not music at all", "invalid midi: not a midi file"),
        (b"MTrk\x00\x00\x00\x04\x00\xff\x2f\x00", "invalid midi: not a midi file"),
        (b"\x00" * 64, "invalid midi: not a midi file"),
        (b"mthd\x00\x00\x00\x06\x00\x01\x00\x01\x01\xe0", "invalid midi: not a midi file"),
        (b"MThd", "malformed midi: file ends inside the header"),
        (b"MThd\x00\x00\x00", "malformed midi: file ends inside the header"),
        (b"MThd\x00\x00\x00\x06", "malformed midi: file ends inside the header"),
        (b"MThd\x00\x00\x00\x06\x00\x01\x00\x01\x01", "malformed midi: file ends inside the header"),
        (b"MThd\x00\x00\x00\x05\x00\x01\x00\x01\x01\xe0" + GOOD_TRACK, "invalid midi: header chunk too short"),
        (b"MThd\x00\x00\x00\x00", "invalid midi: header chunk too short"),
        (sb.header(3, 1, 480) + GOOD_TRACK, "invalid midi: invalid smf format"),
        (sb.header(0xFFFF, 1, 480) + GOOD_TRACK, "invalid midi: invalid smf format"),
        (b"RIFF", "invalid midi: not a midi file"),
        (b"RIFF\x04\x00\x00\x00RMI", "invalid midi: not a midi file"),
        (b"RIFF\x04\x00\x00\x00WAVE" + b"fmt \x00\x00\x00\x00", "invalid midi: not a midi file"),
        (b"RIFF\x04\x00\x00\x00RMID", "invalid midi: RIFF file without a MIDI data chunk"),
        (b"RIFF\x10\x00\x00\x00RMIDLIST\x02\x00\x00\x00ab", "invalid midi: RIFF file without a MIDI data chunk"),
        (sb.riff(b"not midi inside"), "invalid midi: not a midi file"),
        (sb.riff(b"MThd\x00\x00"), "malformed midi: file ends inside the header"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_header_errors_fail_the_load(tmp_path, data, message):
    assert load_error(tmp_path, data) == LOAD_PREFIX + message


@pytest.mark.parametrize(
    "damage, at_chunk_end",
    [
        pytest.param(sb.note_on(0, 0, 62, 0x90), False, id="status-byte-as-velocity"),
        pytest.param(b"\x00\x90\xb0\x40", False, id="status-byte-as-key"),
        pytest.param(b"\x00\xc0\x80", False, id="status-byte-as-program"),
        pytest.param(b"\x00\xb0\x40\xff", False, id="status-byte-as-controller-value"),
        pytest.param(b"\x81\x81\x81\x81\x01\x90\x3c\x40", False, id="delta-longer-than-4-bytes"),
        pytest.param(b"\x00\xf2\x00\x00", False, id="system-common-status"),
        pytest.param(b"\x00\xf8", False, id="real-time-status"),
        pytest.param(b"\x00\xff\x01\x81\x81\x81\x81\x01ab", False, id="meta-length-longer-than-4-bytes"),
        pytest.param(b"\x00\x90\x3e", True, id="truncated-channel-event"),
        pytest.param(b"\x00\xff\x01\x10ab", True, id="meta-runs-past-the-chunk"),
        pytest.param(b"\x00\xf0\x7f\x01", True, id="sysex-runs-past-the-chunk"),
        pytest.param(b"\x00\xff", True, id="meta-without-type"),
        pytest.param(b"\x83", True, id="unfinished-delta"),
        pytest.param(b"\x10", True, id="delta-without-event"),
    ],
)
def test_damaged_track_keeps_what_came_before_and_later_tracks_load(tmp_path, damage, at_chunk_end):
    before = [
        sb.program(0, 0, 5),
        sb.note_on(0, 0, 60, 90),
        sb.note_off(100, 0, 60),
        sb.controller(0, 0, 64, 127),
        sb.text(0, "ok"),
        sb.tempo(0, 400000),
        sb.note_on(0, 0, 64, 70),  # left open here, ended by the last track
    ]
    never = [sb.note_on(0, 0, 66, 90), sb.note_off(10, 0, 66), sb.text(0, "never"), sb.program(0, 2, 9), sb.end_of_track()]
    last = sb.track(
        sb.note_on(0, 1, 70, 80), sb.note_off(50, 1, 70), sb.text(0, "last"), sb.note_off(300, 0, 64), sb.end_of_track()
    )
    if at_chunk_end:
        tracks = [sb.track(*before, damage), last]
    else:
        # The same damage also at the very start of a track, with readable events after it.
        tracks = [sb.track(*before, damage, *never), sb.track(damage, *never), last]
    d = load(tmp_path, sb.midi_file(1, 480, tracks))
    assert notes_of(d) == [(60, 0, 100, 90, 0), (70, 0, 50, 80, 1), (64, 100, 350, 70, 0)]
    assert plain(d)["metas"] == [("text", "ok"), ("text", "last")]
    assert plain(d)["pedals"] == [(1, 100, 0)]
    assert plain(d)["tempos"] == [(400000, 100)]
    assert plain(d)["instruments"] == [(5, 0, 0)]


def test_data_byte_at_track_start_ends_only_that_track(tmp_path):
    bad = sb.track(b"\x00\x3c\x40", sb.note_on(0, 0, 61, 90), sb.note_off(5, 0, 61), sb.end_of_track())
    d = load(tmp_path, sb.midi_file(1, 480, [bad, GOOD_TRACK, bad, GOOD_TRACK]))
    assert notes_of(d) == [(60, 0, 10, 90, 0), (60, 0, 10, 90, 0)]


TRUNCATION_SOURCE = [
    [
        sb.tempo(0, 450000),
        sb.text(0, "title"),
        sb.program(0, 0, 3),
        sb.note_on(0, 0, 60, 90),
        sb.note_on(0, 0, 64, 80, running=True),
        sb.controller(200, 0, 64, 127),
        sb.note_off(280, 0, 60),
        sb.note_off(0, 0, 64, running=True),
        sb.end_of_track(),
    ],
    [
        sb.copyright(0, "me"),
        sb.program(0, 9, 0),
        sb.note_on(960, 9, 36, 100),
        sb.note_on(0x3FFF, 9, 36, 0, running=True),
        sb.tempo(1, 500000),
        sb.end_of_track(),
    ],
]


def test_every_prefix_of_a_file_loads_like_the_events_it_holds_whole(tmp_path):
    """A file cut anywhere after its header loads exactly as the well-formed file made of the
    track chunks whose header it holds and, in each, the events it holds whole."""
    full = sb.header(1, len(TRUNCATION_SOURCE), 480)
    spans = []  # per track: offset of its first event, and the end offset of each event
    for events in TRUNCATION_SOURCE:
        start = len(full) + 8
        full += sb.track(*events)
        ends = [start + len(b"".join(events[: i + 1])) for i in range(len(events))]
        spans.append((start, ends))
    assert plain(load(tmp_path, full)) == {
        "ticks_per_beat": 480,
        "notes": [(60, 0, 480, 90, 0, 0), (64, 0, 480, 80, 0, 0), (36, 960, 17343, 100, 960, 9)],
        "tempos": [(450000, 0), (500000, 17344)],
        "instruments": [(3, 0, 0), (0, 0, 9)],
        "pedals": [(1, 200, 0)],
        "metas": [("text", "title"), ("copyright", "me")],
    }

    for cut in range(len(full) + 1):
        path = write(tmp_path, full[:cut], f"cut{cut}.mid")
        if cut < 14:
            with pytest.raises(OSError) as info:
                MidiDict.from_midi(path)
            reason = "invalid midi: not a midi file" if cut < 4 else "malformed midi: file ends inside the header"
            assert str(info.value) == LOAD_PREFIX + reason, cut
            continue
        whole = [
            sb.track(*[e for e, end in zip(events, ends) if end <= cut])
            for events, (start, ends) in zip(TRUNCATION_SOURCE, spans)
            if start <= cut
        ]
        expected = plain(load(tmp_path, sb.midi_file(1, 480, whole), "whole.mid"))
        assert plain(MidiDict.from_midi(path)) == expected, cut


def _fuzz_seed_file():
    return sb.midi_file(
        1,
        480,
        [
            sb.track(sb.tempo(0, 500000), sb.text(0, "seed"), sb.copyright(0, "c"), sb.end_of_track()),
            sb.track(
                sb.program(0, 0, 1),
                sb.controller(0, 0, 64, 127),
                sb.note_on(0, 0, 60, 90),
                sb.note_on(0, 0, 64, 80, running=True),
                sb.sysex(10, b"\x01\x02\xf7"),
                sb.note_off(100, 0, 60, running=False),
                sb.note_off(0, 0, 64, running=True),
                sb.pitch_bend(5, 0, 0x2000),
                sb.controller(0, 0, 64, 0),
                sb.end_of_track(),
            ),
        ],
    )


@given(data=st.data())
def test_damaged_files_load_or_fail_cleanly(tmp_path, data):
    """Random byte changes, cuts and insertions anywhere in a valid file (or its RIFF form):
    the load either succeeds with values inside their MIDI ranges or is refused with a header
    error; it never crashes."""
    raw = bytearray(_fuzz_seed_file())
    if data.draw(st.booleans()):
        raw = bytearray(sb.riff(bytes(raw)))
    for _ in range(data.draw(st.integers(1, 6))):
        action = data.draw(st.sampled_from(["set", "cut", "insert", "truncate"]))
        at = data.draw(st.integers(0, max(0, len(raw) - 1)))
        if action == "set" and raw:
            raw[at] = data.draw(st.integers(0, 255))
        elif action == "cut":
            del raw[at : at + data.draw(st.integers(1, 8))]
        elif action == "insert":
            raw[at:at] = data.draw(st.binary(min_size=1, max_size=8))
        else:
            del raw[at:]
    path = write(tmp_path, bytes(raw), "fuzz.mid")
    try:
        d = MidiDict.from_midi(path)
    except OSError as e:
        text = str(e)
        assert text.startswith(LOAD_PREFIX + "invalid midi: ") or text.startswith(LOAD_PREFIX + "malformed midi: ")
        return
    got = plain(d)
    assert 0 <= got["ticks_per_beat"] <= 0x7FFF
    assert all(0 <= p <= 127 and 1 <= v <= 127 and 0 <= c <= 15 and t == s for p, s, _e, v, t, c in got["notes"])
    assert all(0 <= t <= 0xFFFFFF for t, _ in got["tempos"]) and got["tempos"]
    assert all(0 <= p <= 127 and 0 <= c <= 15 for p, _, c in got["instruments"]) and got["instruments"]
    assert all(v in (0, 1) and 0 <= c <= 15 for v, _, c in got["pedals"])
    assert all(k in ("text", "copyright") for k, _ in got["metas"])
    for key in ("notes", "tempos", "instruments", "pedals"):
        ticks = [m[4] if key == "notes" else m[1] for m in got[key]]
        assert ticks == sorted(ticks)
    assert d.metadata == {"abs_load_path": os.path.realpath(path)}


@pytest.mark.parametrize("extra", [1, 2, 100, 2**31, 2**32 - 1])
def test_track_length_past_the_end_of_file_reads_what_is_there(tmp_path, extra):
    events = sb.note_on(0, 0, 60, 90) + sb.note_off(10, 0, 60) + sb.text(0, "end")
    data = sb.header(1, 1, 480) + sb.chunk(b"MTrk", events, length=min(len(events) + extra, 2**32 - 1))
    d = load(tmp_path, data)
    assert notes_of(d) == [(60, 0, 10, 90, 0)]
    assert plain(d)["metas"] == [("text", "end")]


def test_track_length_shorter_than_its_events(tmp_path):
    # The declared length ends the track after the note-on. The note-off's four bytes and the tag
    # of the next track are then read as one unknown chunk whose length ("MTrk" as a number) runs
    # past the end of the file, so nothing more is read and the note never ends.
    events = sb.note_on(0, 0, 60, 90) + sb.note_off(10, 0, 60)
    data = sb.header(1, 2, 480) + sb.chunk(b"MTrk", events, length=4) + GOOD_TRACK
    assert plain(load(tmp_path, data)) == only_defaults()


@pytest.mark.parametrize("declared", [0, 1, 2, 5, 0xFFFF])
def test_number_of_tracks_in_the_header_is_not_trusted(tmp_path, declared):
    tracks = [
        sb.track(sb.note_on(0, ch, 60 + ch, 90), sb.note_off(10 + ch, ch, 60 + ch), sb.end_of_track()) for ch in range(3)
    ]
    d = load(tmp_path, sb.midi_file(1, 480, tracks, ntracks=declared))
    assert notes_of(d) == [(60, 0, 10, 90, 0), (61, 0, 11, 90, 1), (62, 0, 12, 90, 2)]


def test_unknown_chunks_are_skipped(tmp_path):
    junk = sb.chunk(b"XFIH", b"MTrk\x00\x00\x00\x04\x00\x90\x3c\x40 junk that mentions MTrk")
    empty = sb.chunk(b"ABCD", b"")
    data = (
        sb.header(1, 2, 480)
        + junk
        + sb.track(sb.note_on(0, 0, 60, 90), sb.note_off(10, 0, 60), sb.end_of_track())
        + empty
        + sb.chunk(b"MTrK", sb.note_on(0, 0, 70, 90) + sb.note_off(10, 0, 70))
        + sb.track(sb.note_on(0, 1, 62, 80), sb.note_off(20, 1, 62), sb.end_of_track())
        + b"\x00\x01\x02"  # fewer bytes than a chunk header at the end
    )
    d = load(tmp_path, data)
    assert notes_of(d) == [(60, 0, 10, 90, 0), (62, 0, 20, 80, 1)]


def test_unknown_chunk_running_past_the_end(tmp_path):
    data = sb.header(1, 2, 480) + GOOD_TRACK + sb.chunk(b"JUNK", b"\x00\x90\x3c\x40", length=1000)
    assert notes_of(load(tmp_path, data)) == [(60, 0, 10, 90, 0)]


def test_riff_wrapped_file(tmp_path):
    inner = sb.midi_file(
        1,
        96,
        [sb.track(sb.tempo(0, 400000), sb.text(0, "rmid"), sb.end_of_track()), sb.track(sb.program(0, 2, 19), sb.note_on(0, 2, 60, 90), sb.note_off(48, 2, 60), sb.end_of_track())],
    )
    plain_load = plain(load(tmp_path, inner, "plain.mid"))
    for before in [(), ((b"LIST", b"abc"),), ((b"INFO", b""), (b"DISP", b"\x01\x02\x03\x04\x05"))]:
        d = load(tmp_path, sb.riff(inner, before), "wrapped.rmi")
        assert plain(d) == plain_load
        assert plain(d)["notes"] == [(60, 0, 48, 90, 0, 2)]
        assert d.ticks_per_beat == 96


def test_riff_data_chunk_longer_than_the_file(tmp_path):
    inner = single_track(sb.note_on(0, 0, 60, 90), sb.note_off(10, 0, 60))
    data = b"RIFF" + struct.pack("<I", 4 + 8 + len(inner)) + b"RMID" + b"data" + struct.pack("<I", 10_000) + inner
    assert notes_of(load(tmp_path, data)) == [(60, 0, 10, 90, 0)]


def test_tick_counter_wraps_at_32_bits(tmp_path):
    big = 0x0FFFFFFF  # the largest delta a 4-byte varlen holds
    events = [sb.tempo(0, 500000)]
    events += [sb.text(big, f"step{i}") for i in range(7)]  # tick 7 * big
    events += [sb.note_on(big, 0, 60, 90)]  # 8 * big = 2147483640, still positive
    events += [sb.note_off(big, 0, 60)]  # 9 * big: past 2**31, read as negative
    events += [sb.tempo(0, 600000)]
    events += [sb.text(big, "more") for _ in range(7)]
    events += [sb.controller(big, 0, 64, 127)]  # 17 * big wraps past 2**32
    d = load(tmp_path, single_track(*events))
    assert 8 * big == 2147483640
    wrapped = 9 * big - 2**32
    assert wrapped == -1879048201
    assert notes_of(d) == [(60, 8 * big, wrapped, 90, 0)]
    assert plain(d)["tempos"] == [(600000, wrapped), (500000, 0)]
    assert plain(d)["pedals"] == [(1, 17 * big - 2**32, 0)]


STATUS = {"note_on": 0x90, "note_off": 0x80, "control": 0xB0, "program": 0xC0}


@given(data=st.data())
def test_random_event_streams_keep_their_events(tmp_path, data):
    """Random tracks of many event kinds load with every event in place (check_loaded_events), and
    running status changes nothing."""
    delta = st.one_of(st.integers(0, 3), st.integers(0, 2000), st.integers(0, 0x0FFFFFFF))
    channel = st.integers(0, 3)
    key = st.integers(58, 61)
    event = st.one_of(
        st.tuples(st.sampled_from(["note_on", "note_off"]), channel, key, st.integers(0, 127)),
        st.tuples(st.just("control"), channel, st.sampled_from([7, 63, 64, 65]), st.integers(0, 127)),
        st.tuples(st.just("program"), channel, st.integers(0, 127)),
        st.tuples(st.just("tempo"), st.integers(0, 0xFFFFFF)),
        st.tuples(st.sampled_from(["text", "copyright"]), st.binary(max_size=6)),
        st.tuples(st.just("other"), st.sampled_from(["bend", "pressure", "sysex", "name", "eot"])),
    )
    explicit, running, model = [], [], []
    for _ in range(data.draw(st.integers(1, 4))):
        events = data.draw(st.lists(st.tuples(delta, event), max_size=40))
        plain_body, running_body, status = [], [], None
        for dt, ev in events:
            kind = ev[0]
            if kind in STATUS:
                byte = STATUS[kind] | ev[1]
                plain_body.append(sb.channel_event(dt, byte, *ev[2:]))
                running_body.append(sb.channel_event(dt, byte, *ev[2:], running=byte == status))
                status = byte
                continue
            if kind == "tempo":
                event_bytes = sb.tempo(dt, ev[1])
            elif kind in ("text", "copyright"):
                event_bytes = (sb.text if kind == "text" else sb.copyright)(dt, ev[1])
            else:
                event_bytes = {
                    "bend": sb.pitch_bend(dt, 0, 0x1234),
                    "pressure": sb.channel_pressure(dt, 1, 5),
                    "sysex": sb.sysex(dt, b"\x01\x02\xf7"),
                    "name": sb.track_name(dt, "x"),
                    "eot": sb.end_of_track(dt),
                }[ev[1]]
                status = {"bend": 0xE0, "pressure": 0xD1}.get(ev[1], status)
            plain_body.append(event_bytes)
            running_body.append(event_bytes)
        explicit.append(sb.track(*plain_body))
        running.append(sb.track(*running_body))
        model.append(events)
    division, fmt = data.draw(st.integers(0, 0x7FFF)), data.draw(st.integers(0, 2))
    d = load(tmp_path, sb.midi_file(fmt, division, explicit))
    got = plain(d)
    assert plain(load(tmp_path, sb.midi_file(fmt, division, running), "running.mid")) == got
    assert set(d.metadata) == {"abs_load_path"}
    assert got["ticks_per_beat"] == division
    check_loaded_events(got, model)


def test_large_file_loads_every_note(tmp_path):
    # Well above the size where the track data may be read by several threads. Each note is ended
    # by its own note-off: a key comes back only after 40 other notes.
    chunks, notes, pedals = [], [], []
    for ch in range(12):
        events, tick = [sb.program(0, ch, ch)], 0
        for i in range(400):
            key, velocity = 40 + (i * 7 + ch) % 40, 1 + i % 126
            start = tick = tick + i % 3
            tick += 1 + i % 5
            events += [sb.note_on(i % 3, ch, key, velocity), sb.note_off(1 + i % 5, ch, key)]
            notes.append((key, start, tick, velocity, start, ch))
            if i % 50 == 0:
                events.append(sb.controller(0, ch, 64, 127 if i % 100 else 0))
                pedals.append((1 if i % 100 else 0, tick, ch))
        chunks.append(sb.track(*events, sb.end_of_track()))
    data = sb.midi_file(1, 480, chunks)
    assert len(data) > 20_000
    got = plain(load(tmp_path, data))
    assert sorted(got["notes"]) == sorted(notes)
    assert [n[1] for n in got["notes"]] == sorted(n[1] for n in notes)
    assert got["pedals"] == sorted(pedals, key=lambda p: p[1])
    assert got["instruments"] == [(ch, 0, ch) for ch in range(12)]


# --- writing: exact bytes --------------------------------------------------------------------------

def MTHD_480(ntracks):
    """Header chunk of a written file with default ticks per beat."""
    return b"MThd\x00\x00\x00\x06\x00\x01" + struct.pack(">H", ntracks) + b"\x01\xe0"

EOT = b"\x00\xff\x2f\x00"


def test_empty_midi_dict_is_one_conductor_track(tmp_path):
    assert saved_bytes(MidiDict(), tmp_path) == MTHD_480(1) + b"MTrk\x00\x00\x00\x04" + EOT


def test_program_and_two_notes_use_running_status(tmp_path):
    d = build(notes=[(60, 0, 480, 90, 0), (64, 0, 480, 80, 0)], instruments=[(0, 0, 0)])
    body = (
        b"\x00\xc0\x00"  # program change
        b"\x00\x90\x3c\x5a"  # note-on 60
        b"\x00\x40\x50"  # note-on 64, running status
        b"\x83\x60\x80\x3c\x40"  # note-off 60 at 480
        b"\x00\x40\x40"  # note-off 64, running status
    ) + EOT
    assert saved_bytes(d, tmp_path) == MTHD_480(2) + b"MTrk\x00\x00\x00\x04" + EOT + sb.chunk(b"MTrk", body)


def test_conductor_track_tempo_before_text(tmp_path):
    d = build(
        tempos=[(500000, 100), (400000, 0)],
        metas=[("text", "hi"), ("copyright", "c"), ("lyric", "dropped"), ("Text", "dropped too")],
    )
    body = (
        b"\x00\xff\x51\x03\x06\x1a\x80"  # 400000 at 0
        b"\x00\xff\x01\x02hi"
        b"\x00\xff\x02\x01c"
        b"\x64\xff\x51\x03\x07\xa1\x20"  # 500000 at 100
    ) + EOT
    assert saved_bytes(d, tmp_path) == MTHD_480(1) + sb.chunk(b"MTrk", body)


def test_long_text_length_is_a_varlen(tmp_path):
    long_text = "x" * 200 + "é" * 100  # 400 bytes
    d = build(metas=[("text", long_text)])
    body = b"\x00\xff\x01\x83\x10" + long_text.encode() + EOT
    assert saved_bytes(d, tmp_path) == MTHD_480(1) + sb.chunk(b"MTrk", body)
    back = MidiDict.from_midi(tmp_path / "out.mid")
    assert plain(back)["metas"] == [("text", long_text)]


def test_text_is_written_as_utf8(tmp_path):
    d = build(metas=[("text", "é€𝄞"), ("copyright", "")])
    body = b"\x00\xff\x01\x09" + "é€𝄞".encode() + b"\x00\xff\x02\x00" + EOT
    assert saved_bytes(d, tmp_path) == MTHD_480(1) + sb.chunk(b"MTrk", body)


def test_meta_event_cancels_running_status(tmp_path):
    # The 256th program change in program order lands in track 0 with the tempo events, so a
    # meta event can sit between two channel events of one status there.
    instruments = [(0, 0, ch) for ch in range(100, 356)]
    d = build(instruments=instruments, notes=[(60, 0, 20, 100, 355), (62, 10, 30, 101, 355)], tempos=[(500000, 5)])
    data = saved_bytes(d, tmp_path)
    chunks = split_chunks(data)
    assert chunks[0] == (b"MThd", b"\x00\x01\x01\x00\x01\xe0")  # 256 tracks
    assert len(chunks) == 257
    assert chunks[1] == (
        b"MTrk",
        b"\x00\xc3\x00"  # program change, channel 355 & 15 = 3
        b"\x00\x93\x3c\x64"
        b"\x05\xff\x51\x03\x07\xa1\x20"
        b"\x05\x93\x3e\x65"  # status written again after the meta event
        b"\x0a\x83\x3c\x40"
        b"\x0a\x3e\x40"  # running status
        + EOT,
    )
    for k in range(1, 256):
        assert chunks[1 + k] == (b"MTrk", b"\x00" + bytes([0xC0 | ((99 + k) & 15), 0]) + EOT)


# --- writing: layout rules -------------------------------------------------------------------------


def test_no_instruments_means_only_the_conductor_track(tmp_path):
    d = build(notes=[(60, 0, 10, 90, 0)], pedals=[(1, 0, 0)], tempos=[(500000, 0)])
    assert saved_bytes(d, tmp_path) == MTHD_480(1) + sb.chunk(b"MTrk", b"\x00\xff\x51\x03\x07\xa1\x20" + EOT)


def test_notes_and_pedals_of_channels_without_program_change_are_left_out(tmp_path):
    d = build(
        instruments=[(0, 0, 0)],
        notes=[(36, 0, 10, 100, 9), (60, 0, 10, 90, 0), (61, 0, 10, 90, 16)],
        pedals=[(1, 0, 9), (1, 5, 0), (1, 5, 16)],
    )
    body = b"\x00\xc0\x00" b"\x00\x90\x3c\x5a" b"\x05\xb0\x40\x7f" b"\x05\x80\x3c\x40" + EOT
    assert saved_bytes(d, tmp_path) == MTHD_480(2) + sb.chunk(b"MTrk", EOT) + sb.chunk(b"MTrk", body)


def test_tracks_follow_program_order(tmp_path):
    d = build(instruments=[(40, 0, 3), (0, 0, 5)], notes=[(60, 0, 10, 90, 3), (62, 0, 10, 91, 5)])
    chunks = split_chunks(saved_bytes(d, tmp_path))
    assert [tag for tag, _ in chunks] == [b"MThd"] + [b"MTrk"] * 3
    assert chunks[2][1] == b"\x00\xc5\x00\x00\x95\x3e\x5b\x0a\x85\x3e\x40" + EOT  # program 0, channel 5
    assert chunks[3][1] == b"\x00\xc3\x28\x00\x93\x3c\x5a\x0a\x83\x3c\x40" + EOT  # program 40, channel 3


def test_channel_with_two_programs_goes_to_the_last_in_program_order(tmp_path):
    d = build(instruments=[(20, 0, 2), (10, 0, 2)], notes=[(60, 0, 10, 90, 2)], pedals=[(1, 5, 2)])
    chunks = split_chunks(saved_bytes(d, tmp_path))
    assert chunks[2][1] == b"\x00\xc2\x0a" + EOT
    assert chunks[3][1] == b"\x00\xc2\x14\x00\x92\x3c\x5a\x05\xb2\x40\x7f\x05\x82\x3c\x40" + EOT


def test_equal_programs_keep_list_order(tmp_path):
    d = build(instruments=[(5, 0, 1), (5, 0, 0), (5, 0, 1)], notes=[(60, 0, 1, 90, 1), (61, 0, 1, 90, 0)])
    chunks = split_chunks(saved_bytes(d, tmp_path))
    assert [c[1] for c in chunks[2:]] == [
        b"\x00\xc1\x05" + EOT,
        b"\x00\xc0\x05\x00\x90\x3d\x5a\x01\x80\x3d\x40" + EOT,
        b"\x00\xc1\x05\x00\x91\x3c\x5a\x01\x81\x3c\x40" + EOT,
    ]


def test_more_than_255_program_changes_wrap_the_track_counter(tmp_path):
    instruments = [(p, 0, p) for p in range(258)]
    notes = [(60, 0, 10, 90, 0), (61, 0, 10, 90, 255), (62, 0, 10, 90, 256)]
    d = build(instruments=list(reversed(instruments)), notes=notes)
    data = saved_bytes(d, tmp_path)
    chunks = split_chunks(data)
    assert chunks[0][1][2:4] == b"\x01\x00"
    assert len(chunks) == 1 + 256
    # Track 0: program 255 (channel 255 -> 15, program 255 -> 127) and the notes of channel 255.
    assert chunks[1][1] == b"\x00\xcf\x7f\x00\x9f\x3d\x5a\x0a\x8f\x3d\x40" + EOT
    # Track 1: programs 0 and 256 (both written as channel 0, program 0, the second with running
    # status), the note of channel 0 and the note of channel 256 (also mapped to track 1).
    assert chunks[2][1] == (
        b"\x00\xc0\x00\x00\x00" b"\x00\x90\x3c\x5a\x00\x3e\x5a" b"\x0a\x80\x3c\x40\x00\x3e\x40" + EOT
    )
    # Track 2: programs 1 and 257 (channel 257 -> 1, program 257 -> 1).
    assert chunks[3][1] == b"\x00\xc1\x01\x00\x01" + EOT
    # Tracks 3 to 255: programs 2 to 254, one each, nothing else.
    for k in range(3, 256):
        assert chunks[1 + k][1] == b"\x00" + bytes([0xC0 | ((k - 1) & 15), (k - 1) & 0x7F]) + EOT


@pytest.mark.parametrize("data, value", [(1, 127), (5, 127), (127, 127), (2**31 - 1, 127), (0, 0), (-1, 0), (-(2**31), 0)])
def test_pedal_value_written(tmp_path, data, value):
    d = build(instruments=[(0, 0, 4)], pedals=[(data, 7, 4)])
    body = b"\x00\xc4\x00" + b"\x07\xb4\x40" + bytes([value]) + EOT
    assert saved_bytes(d, tmp_path) == MTHD_480(2) + sb.chunk(b"MTrk", EOT) + sb.chunk(b"MTrk", body)


@pytest.mark.parametrize("velocity, written", [(0, 0), (128, 0), (256, 0), (129, 1), (-1, 127), (255, 127), (90, 90)])
def test_note_velocity_low_7_bits(tmp_path, velocity, written):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 10, velocity, 0)])
    body = b"\x00\xc0\x00\x00\x90\x3c" + bytes([written]) + b"\x0a\x80\x3c\x40" + EOT
    assert split_chunks(saved_bytes(d, tmp_path))[2][1] == body


def test_note_ending_before_it_starts_writes_note_off_first(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 100, 50, 90, 0)])
    body = b"\x00\xc0\x00" b"\x32\x80\x3c\x40" b"\x32\x90\x3c\x5a" + EOT
    assert split_chunks(saved_bytes(d, tmp_path))[2][1] == body


def test_note_off_before_note_on_at_a_shared_tick(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 100, 90, 0), (60, 100, 200, 91, 0)])
    body = b"\x00\xc0\x00\x00\x90\x3c\x5a" b"\x64\x80\x3c\x40" b"\x00\x90\x3c\x5b" b"\x64\x80\x3c\x40" + EOT
    assert split_chunks(saved_bytes(d, tmp_path))[2][1] == body


def test_negative_ticks_are_clamped_to_delta_zero(tmp_path):
    d = build(instruments=[(0, -10, 0)], notes=[(60, 5, 20, 90, 0)], tempos=[(500000, -3), (400000, 2)])
    chunks = split_chunks(saved_bytes(d, tmp_path))
    assert chunks[1][1] == b"\x00\xff\x51\x03\x07\xa1\x20" b"\x05\xff\x51\x03\x06\x1a\x80" + EOT
    assert chunks[2][1] == b"\x00\xc0\x00" b"\x0f\x90\x3c\x5a" b"\x0f\x80\x3c\x40" + EOT


def test_deltas_keep_their_low_28_bits(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 2**28 + 3, 90, 0), (61, 2**30, 2**31 - 1, 90, 0)])
    chunks = split_chunks(saved_bytes(d, tmp_path))
    delta_big = sb.varlen((2**31 - 1 - 2**30) & 0x0FFFFFFF)
    assert chunks[2][1] == (
        b"\x00\xc0\x00\x00\x90\x3c\x5a" b"\x03\x80\x3c\x40" + sb.varlen((2**30 - 2**28 - 3) & 0x0FFFFFFF) + b"\x90\x3d\x5a" + delta_big + b"\x80\x3d\x40" + EOT
    )


@pytest.mark.parametrize(
    "ticks_per_beat, division",
    [(480, 480), (1, 1), (0, 0), (32767, 32767), (32768, 0), (32769, 1), (65536 + 96, 96), (-1, 32767), (2**31 - 1, 32767), (-(2**31), 0)],
)
def test_ticks_per_beat_low_15_bits(tmp_path, ticks_per_beat, division):
    data = saved_bytes(build(ticks_per_beat=ticks_per_beat), tmp_path)
    assert data == b"MThd\x00\x00\x00\x06\x00\x01\x00\x01" + struct.pack(">H", division) + b"MTrk\x00\x00\x00\x04" + EOT


def test_out_of_range_values_are_cut_to_their_low_bits(tmp_path):
    d = build(
        instruments=[(130, 0, 17)],
        notes=[(200, 0, 10, 90, 17), (-1, 0, 10, 90, 17)],
        tempos=[(2**24 + 5, 0), (-1, 1)],
    )
    chunks = split_chunks(saved_bytes(d, tmp_path))
    assert chunks[1][1] == b"\x00\xff\x51\x03\x00\x00\x05" b"\x01\xff\x51\x03\xff\xff\xff" + EOT
    assert chunks[2][1] == b"\x00\xc1\x02" b"\x00\x91\x48\x5a" b"\x00\x7f\x5a" b"\x0a\x81\x48\x40" b"\x00\x7f\x40" + EOT


def test_metadata_is_never_written(tmp_path):
    plain_dict = build(instruments=[(0, 0, 0)], notes=[(60, 0, 1, 90, 0)])
    with_meta = build(instruments=[(0, 0, 0)], notes=[(60, 0, 1, 90, 0)], metadata={"title": "x", "abs_load_path": "/y"})
    a = saved_bytes(plain_dict, tmp_path, "a.mid")
    b = saved_bytes(with_meta, tmp_path, "b.mid")
    assert a == b
    assert b"title" not in b


def test_note_tick_field_is_not_used(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 10, 90, 0)])
    before = saved_bytes(d, tmp_path, "before.mid")
    note = d.note_msgs[0]
    note.tick = 12345
    d.note_msgs = [note]
    assert saved_bytes(d, tmp_path) == before


def test_saving_twice_gives_identical_files(tmp_path):
    d = build(instruments=[(3, 0, 1)], notes=[(60, 0, 10, 90, 1)], tempos=[(400000, 0)], metas=[("text", "x")])
    f = d.to_midi()
    f.save(tmp_path / "one.mid")
    f.save(tmp_path / "two.mid")
    assert (tmp_path / "one.mid").read_bytes() == (tmp_path / "two.mid").read_bytes()
    assert isinstance(f, MidiFile)


def test_changes_after_to_midi_do_not_reach_the_file(tmp_path):
    d = build(instruments=[(3, 0, 1)], notes=[(60, 0, 10, 90, 1)])
    f = d.to_midi()
    before = saved_bytes(d, tmp_path, "before.mid")
    d.add_note(62, 0, 10, 90, 1)
    d.add_tempo(300000, 0)
    d.ticks_per_beat = 96
    d.instrument_msgs = []
    f.save(tmp_path / "after.mid")
    assert (tmp_path / "after.mid").read_bytes() == before
    assert saved_bytes(d, tmp_path, "changed.mid") != before


def test_save_replaces_an_existing_longer_file(tmp_path):
    path = tmp_path / "out.mid"
    path.write_bytes(b"x" * 10_000)
    MidiDict().to_midi().save(path)
    assert path.read_bytes() == MTHD_480(1) + b"MTrk\x00\x00\x00\x04" + EOT


def test_midi_file_has_no_constructor():
    with pytest.raises(TypeError) as info:
        MidiFile()
    assert str(info.value) == "No constructor defined for MidiFile"


def read_with_mido(path):
    """The file as mido, an independent reader, sees it: the MidiFile, and each track as a list of
    (absolute tick, message)."""
    mido = pytest.importorskip("mido")
    mid = mido.MidiFile(path)
    tracks = []
    for track in mid.tracks:
        tick, events = 0, []
        for msg in track:
            tick += msg.time
            events.append((tick, msg))
        tracks.append(events)
    return mid, tracks


def test_large_dict_is_written_as_mido_reads_it(tmp_path):
    instruments = [(p, 0, ch) for ch, p in enumerate([0, 40, 24, 0, 73])]
    notes = [(30 + i % 60, i * 3, i * 3 + 1 + i % 17, 1 + i % 127, i % 6) for i in range(3000)]  # channel 5: no program
    pedals = [(i % 2, i * 11, i % 5) for i in range(200)]
    tempos = [(400000 + i, i * 50) for i in range(100)]
    build(notes=notes, instruments=instruments, pedals=pedals, tempos=tempos).to_midi().save(tmp_path / "out.mid")
    mid, tracks = read_with_mido(tmp_path / "out.mid")
    assert (mid.type, mid.ticks_per_beat, len(tracks)) == (1, 480, 6)
    assert all(m.is_meta for _, m in tracks[0])
    assert [(m.tempo, t) for t, m in tracks[0] if m.type == "set_tempo"] == tempos
    # One track per program change in program order (equal programs keep list order), each
    # holding its channel's notes and pedals.
    for events, (program, channel) in zip(tracks[1:], [(0, 0), (0, 3), (24, 2), (40, 1), (73, 4)]):
        assert events[-1][1].type == "end_of_track"
        msgs = [(t, m) for t, m in events if not m.is_meta]
        assert (msgs[0][0], msgs[0][1].type, msgs[0][1].program) == (0, "program_change", program)
        assert {m.channel for _, m in msgs} == {channel}
        mine = [n for n in notes if n[4] == channel]
        assert sorted((m.note, t, m.velocity) for t, m in msgs if m.type == "note_on") == sorted(n[:2] + n[3:4] for n in mine)
        assert sorted((m.note, t) for t, m in msgs if m.type == "note_off") == sorted((n[0], n[2]) for n in mine)
        assert [(m.control, m.value, t) for t, m in msgs if m.type == "control_change"] == [
            (64, 127 if data else 0, tick) for data, tick, ch in pedals if ch == channel
        ]


# --- writing: paths and errors ---------------------------------------------------------------------


def test_save_to_missing_directory(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict().to_midi().save(tmp_path / "missing" / "out.mid")
    assert str(info.value) == SAVE_PREFIX + "No such file or directory (os error 2)"
    assert not (tmp_path / "missing").exists()


def test_save_to_a_directory(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict().to_midi().save(str(tmp_path))
    assert str(info.value) == SAVE_PREFIX + "Is a directory (os error 21)"


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes files regardless of their mode")
def test_save_without_permission(tmp_path):
    (tmp_path / "ro").mkdir()
    (tmp_path / "ro").chmod(0o500)
    with pytest.raises(OSError) as info:
        MidiDict().to_midi().save(tmp_path / "ro" / "x.mid")
    assert str(info.value) == SAVE_PREFIX + "Permission denied (os error 13)"


def test_save_that_cannot_write_its_bytes():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with pytest.raises(OSError) as info:
        MidiDict().to_midi().save("/dev/full")
    assert str(info.value) == SAVE_PREFIX + "No space left on device (os error 28)"


def test_save_path_with_nul_character(tmp_path):
    with pytest.raises(OSError) as info:
        MidiDict().to_midi().save(str(tmp_path / "a\x00b.mid"))
    assert str(info.value) == SAVE_PREFIX + "file name contained an unexpected NUL byte"
    assert list(tmp_path.iterdir()) == []


def test_save_path_conversions(tmp_path, monkeypatch):
    f = MidiDict().to_midi()

    class Named:
        def __str__(self):
            return str(tmp_path / "named.mid")

    class Broken:
        def __str__(self):
            raise RuntimeError("nope")

    class Numeric:
        def __str__(self):
            return 1.5

    f.save(tmp_path / "pathlib.mid")
    f.save(Named())
    f.save(path=str(tmp_path / "keyword.mid"))
    monkeypatch.chdir(tmp_path)
    f.save(7)
    assert (tmp_path / "7").read_bytes() == (tmp_path / "pathlib.mid").read_bytes()
    assert (tmp_path / "named.mid").is_file()
    assert (tmp_path / "keyword.mid").is_file()
    with pytest.raises(TypeError) as info:
        f.save(Broken())
    assert str(info.value) == "Path must be a string or pathlib.Path"
    with pytest.raises(TypeError) as info:
        f.save(Numeric())
    assert str(info.value) == "'float' object cannot be converted to 'PyString'"


def test_save_to_a_file_name_that_is_not_utf8(tmp_path):
    raw = os.fsencode(tmp_path) + b"/out\xfe.mid"
    try:
        MidiDict().to_midi().save(os.fsdecode(raw))
    except OSError as e:
        pytest.skip(f"file system refuses non-UTF-8 names: {e}")
    assert os.path.exists(raw)
    d = MidiDict.from_midi(os.fsdecode(raw))
    assert d.metadata == {"abs_load_path": os.path.realpath(raw).decode("utf-8", "replace")}


# --- write, then load ------------------------------------------------------------------------------


def reload(d, tmp_path, name="round.mid"):
    path = tmp_path / name
    d.to_midi().save(path)
    return MidiDict.from_midi(path), path


def test_empty_dict_reloads_with_defaults(tmp_path):
    d, path = reload(MidiDict(), tmp_path)
    assert plain(d) == only_defaults()
    assert d.metadata == {"abs_load_path": os.path.realpath(path)}


def test_zero_length_note_is_ended_by_the_next_note_off_of_its_key(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 100, 100, 10, 0), (60, 200, 300, 20, 0), (62, 50, 50, 30, 0)])
    back, _ = reload(d, tmp_path)
    assert notes_of(back) == [(60, 100, 300, 10, 0), (60, 200, 300, 20, 0)]


def test_overlapping_notes_of_one_key_end_together(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 200, 90, 0), (60, 100, 300, 80, 0)])
    back, _ = reload(d, tmp_path)
    assert notes_of(back) == [(60, 0, 200, 90, 0), (60, 100, 200, 80, 0)]


@pytest.mark.parametrize("velocity", [0, 128, 256, -128])
def test_velocity_zero_notes_are_lost(tmp_path, velocity):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 10, velocity, 0), (61, 0, 10, 90, 0)])
    back, _ = reload(d, tmp_path)
    assert notes_of(back) == [(61, 0, 10, 90, 0)]


def test_velocity_zero_note_cuts_a_sounding_note_of_its_key(tmp_path):
    d = build(instruments=[(0, 0, 0)], notes=[(60, 0, 500, 90, 0), (60, 100, 200, 0, 0)])
    back, _ = reload(d, tmp_path)
    assert notes_of(back) == [(60, 0, 100, 90, 0)]


def test_notes_come_back_sorted_by_start_with_tick_equal_to_start(tmp_path):
    d = build(instruments=[(0, 0, 0), (0, 0, 1)], notes=[(64, 300, 400, 90, 1), (60, 0, 100, 80, 0), (62, 200, 250, 70, 0)])
    notes = d.note_msgs
    for n in notes:
        n.tick = -5
    d.note_msgs = notes
    assert [n.tick for n in d.note_msgs] == [-5, -5, -5]
    back, _ = reload(d, tmp_path)
    assert notes_of(back) == [(60, 0, 100, 80, 0), (62, 200, 250, 70, 0), (64, 300, 400, 90, 1)]


def test_text_and_copyright_come_back_and_other_kinds_are_lost(tmp_path):
    d = build(metas=[("text", "a"), ("marker", "b"), ("copyright", "c"), ("text", "")])
    back, _ = reload(d, tmp_path)
    assert plain(back)["metas"] == [("text", "a"), ("copyright", "c"), ("text", "")]


def test_loaded_file_survives_a_round_trip(tmp_path):
    data = sb.midi_file(
        1,
        384,
        [
            sb.track(sb.tempo(0, 500000), sb.copyright(0, "anon"), sb.tempo(768, 450000), sb.end_of_track()),
            sb.track(sb.text(10, "piano"), sb.program(0, 0, 0), sb.controller(0, 0, 64, 100), sb.note_on(0, 0, 60, 90), sb.note_off(384, 0, 60), sb.controller(0, 0, 64, 0), sb.end_of_track()),
            sb.track(sb.program(0, 1, 33), sb.note_on(384, 1, 40, 70), sb.note_on(0, 1, 47, 71), sb.note_off(384, 1, 40), sb.note_off(0, 1, 47), sb.end_of_track()),
        ],
    )
    first = load(tmp_path, data)
    second, _ = reload(first, tmp_path)
    assert plain(second) == plain(first)
    assert plain(first)["metas"] == [("copyright", "anon"), ("text", "piano")]


TICK = st.integers(0, 100_000)


@st.composite
def table_dicts(draw):
    """MidiDict contents whose write-then-load result the comparison table predicts: values in
    range, notes only on channels with a program change, no zero-length or overlapping notes of
    one channel and key (touching ones are allowed), no velocity 0."""
    tpb = draw(st.integers(1, 32767))
    tempos = draw(st.lists(st.tuples(st.integers(1, 2**24 - 1), st.one_of(st.just(0), TICK)), max_size=5))
    instruments = draw(st.lists(st.tuples(st.integers(0, 127), st.one_of(st.just(0), TICK), st.integers(0, 15)), max_size=5))
    channels = sorted({ch for _, _, ch in instruments})
    notes = []
    if channels:
        for channel, key in draw(st.lists(st.tuples(st.sampled_from(channels), st.integers(0, 127)), max_size=8, unique=True)):
            at = draw(st.integers(0, 5000))
            for _ in range(draw(st.integers(1, 4))):
                at += draw(st.sampled_from([0, 0, 1, 7, 300]))
                length = draw(st.integers(1, 2000))
                notes.append((key, at, at + length, draw(st.integers(1, 127)), channel))
                at += length
        notes = draw(st.permutations(notes))
    pedal_channels = channels + [0, 9]
    pedals = draw(st.lists(st.tuples(st.integers(-3, 3), TICK, st.sampled_from(pedal_channels)), max_size=5))
    alphabet = st.characters(exclude_categories=["Cs"])
    metas = draw(st.lists(st.tuples(st.sampled_from(["text", "copyright", "lyric"]), st.text(alphabet, max_size=8)), max_size=4))
    extra_notes = draw(st.lists(st.tuples(st.integers(0, 127), TICK, TICK, st.integers(1, 127), st.integers(0, 15)), max_size=3))
    extra_notes = [n for n in extra_notes if n[4] not in channels]  # left out of the file
    metadata = draw(st.dictionaries(st.text(max_size=3), st.text(max_size=3), max_size=2))
    return dict(
        ticks_per_beat=tpb,
        notes=list(notes) + extra_notes,
        tempos=tempos,
        instruments=instruments,
        pedals=pedals,
        metas=metas,
        metadata=metadata,
    )


@given(values=table_dicts())
def test_write_then_load_keeps_what_the_format_can_hold(tmp_path, values):
    d = build(**values)
    back, path = reload(d, tmp_path)
    got = plain(back)
    channels = {ch for _, _, ch in values["instruments"]}

    assert got["ticks_per_beat"] == values["ticks_per_beat"]

    expected_tempos = sorted(values["tempos"], key=lambda t: t[1]) or [(500000, 0)]
    assert got["tempos"] == expected_tempos

    expected_instruments = sorted(values["instruments"], key=lambda i: (i[1], i[0])) or [(0, 0, 0)]
    assert got["instruments"] == expected_instruments

    kept = [(p, s, e, v, s, c) for p, s, e, v, c in values["notes"] if c in channels]
    assert sorted(got["notes"]) == sorted(kept)
    assert [n[1] for n in got["notes"]] == sorted(n[1] for n in got["notes"])
    assert all(n.tick == n.start for n in back.note_msgs)

    kept_pedals = [(1 if data > 0 else 0, tick, ch) for data, tick, ch in values["pedals"] if ch in channels]
    assert sorted(got["pedals"]) == sorted(kept_pedals)
    assert [p[1] for p in got["pedals"]] == sorted(p[1] for p in got["pedals"])
    for ch in channels:  # one channel's pedals keep their order among equal ticks
        assert [p for p in got["pedals"] if p[2] == ch] == sorted(
            [p for p in kept_pedals if p[2] == ch], key=lambda p: p[1]
        )

    assert got["metas"] == [(k, t) for k, t in values["metas"] if k in ("text", "copyright")]
    assert back.metadata == {"abs_load_path": os.path.realpath(path)}


DATA_VALUE = st.one_of(st.integers(-3, 200), st.integers(-(2**31), 2**31 - 1))
ANY_TICK = st.one_of(st.integers(-20, 600), st.integers(-(2**31), 2**31 - 1))


@st.composite
def any_dicts(draw):
    """Any MidiDict contents, out-of-range values, collisions and odd orders included."""
    channel = st.one_of(st.integers(0, 3), st.integers(-(2**31), 2**31 - 1))
    instruments = draw(st.lists(st.tuples(DATA_VALUE, ANY_TICK, channel), max_size=6))
    used = [ch for _, _, ch in instruments]
    note_channel = st.sampled_from(used + [0, 9]) if used else st.sampled_from([0, 9])
    notes = []
    for _ in range(draw(st.integers(0, 25))):
        start = draw(ANY_TICK)
        # Zero-length, touching and overlapping notes of one key are common on purpose.
        end = draw(st.one_of(ANY_TICK, st.sampled_from([0, 0, 1, 100]).map(lambda n: max(-(2**31), min(2**31 - 1, start + n)))))
        notes.append((draw(st.integers(58, 62) | DATA_VALUE), start, end, draw(DATA_VALUE), draw(note_channel)))
    tempos = draw(st.lists(st.tuples(DATA_VALUE, ANY_TICK), max_size=4))
    pedals = draw(st.lists(st.tuples(DATA_VALUE, ANY_TICK, note_channel), max_size=6))
    alphabet = st.characters(exclude_categories=["Cs"])
    metas = draw(st.lists(st.tuples(st.sampled_from(["text", "copyright", "other"]), st.text(alphabet, max_size=5)), max_size=3))
    tpb = draw(st.one_of(st.integers(0, 40000), st.integers(-(2**31), 2**31 - 1)))
    return dict(ticks_per_beat=tpb, notes=notes, tempos=tempos, instruments=instruments, pedals=pedals, metas=metas)


@given(values=any_dicts())
def test_any_dict_writes_a_file_mido_reads_and_settles(tmp_path, values):
    """Whatever a MidiDict holds, mido reads the file it writes (every data byte and length in
    range): a conductor track with the tempos, one track per program change. Loading and writing
    settles: the first pass cuts values to their bits (which can reorder equal ticks), after the
    second nothing changes."""
    d = build(**values)
    path = tmp_path / "out.mid"
    d.to_midi().save(path)
    mid, tracks = read_with_mido(path)
    assert (mid.type, mid.ticks_per_beat) == (1, values["ticks_per_beat"] & 0x7FFF)
    assert len(tracks) == 1 + len(values["instruments"])
    assert all(events[-1][1].type == "end_of_track" for events in tracks)
    assert all(m.is_meta for _, m in tracks[0])
    assert sorted(m.tempo for _, m in tracks[0] if m.type == "set_tempo") == sorted(t & 0xFFFFFF for t, _ in values["tempos"])
    assert [sum(m.type == "program_change" for _, m in events) for events in tracks[1:]] == [1] * len(values["instruments"])
    twice, _ = reload(MidiDict.from_midi(path), tmp_path, "twice.mid")
    thrice, _ = reload(twice, tmp_path, "thrice.mid")
    assert plain(thrice) == plain(twice)


# --- threads ---------------------------------------------------------------------------------------


def test_loading_and_saving_from_many_threads_at_once(tmp_path):
    import threading

    source = sb.midi_file(
        1,
        480,
        [
            sb.track(sb.tempo(0, 400000), sb.text(0, "threads"), sb.end_of_track()),
            sb.track(*[sb.program(0, 0, 1)] + [e for i in range(300) for e in (sb.note_on(1, 0, 40 + i % 40, 90), sb.note_off(2, 0, 40 + i % 40))], sb.end_of_track()),
        ],
    )
    path = write(tmp_path, source)
    reference = plain(MidiDict.from_midi(path))
    shared = MidiDict.from_midi(path).to_midi()
    shared.save(tmp_path / "reference_out.mid")
    reference_bytes = (tmp_path / "reference_out.mid").read_bytes()
    failures = []
    barrier = threading.Barrier(8)

    def work(n):
        try:
            barrier.wait()
            for i in range(15):
                if plain(MidiDict.from_midi(path)) != reference:
                    failures.append(f"thread {n}: load {i} differs")
                out = tmp_path / f"t{n}_{i}.mid"
                shared.save(out)
                if out.read_bytes() != reference_bytes:
                    failures.append(f"thread {n}: save {i} differs")
        except Exception as e:  # noqa: BLE001 - reported below
            failures.append(f"thread {n}: {type(e).__name__}: {e}")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert len(reference["notes"]) == 300


# --- argument matching -----------------------------------------------------------------------------


def test_from_midi_and_save_arguments(tmp_path):
    path = write(tmp_path, single_track())
    with pytest.raises(TypeError) as info:
        MidiDict.from_midi()
    assert "'mid_path'" in str(info.value) and "missing" in str(info.value)
    with pytest.raises(TypeError) as info:
        MidiDict.from_midi(path, path)
    assert " positional argument" in str(info.value)
    with pytest.raises(TypeError) as info:
        MidiDict.from_midi(path=path)
    assert "unexpected keyword argument 'path'" in str(info.value)
    f = MidiDict().to_midi()
    with pytest.raises(TypeError) as info:
        f.save()
    assert "'path'" in str(info.value) and "missing" in str(info.value)
    with pytest.raises(TypeError) as info:
        f.save(tmp_path / "a.mid", path=tmp_path / "b.mid")
    assert "multiple values for argument 'path'" in str(info.value)
    assert not (tmp_path / "a.mid").exists() and not (tmp_path / "b.mid").exists()
