"""normalize_midi_dict: family filtering, fixed channels, millisecond grid, duration caps, drum
notes and the velocity callable."""

import collections
import re

import pytest

import smf_bytes as sb
from noteloom import AbsTokenizer, MidiDict, normalize_midi_dict
from support import Index, round_half_away

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

# Every General MIDI family name with its first program number.
FAMILY_PROGRAMS = {
    "piano": 0,
    "chromatic": 8,
    "organ": 16,
    "guitar": 24,
    "bass": 32,
    "strings": 40,
    "ensemble": 48,
    "brass": 56,
    "reed": 64,
    "pipe": 72,
    "synth_lead": 80,
    "synth_pad": 88,
    "synth_effect": 96,
    "ethnic": 104,
    "percussive": 112,
    "sfx": 120,
}


# --- helpers -------------------------------------------------------------------------------------


def identity(v):
    return v


def ms_piece(notes=(), instruments=()):
    """A piece whose tick is one millisecond (500 ticks per beat at 500000 us per beat).

    notes: (pitch, start, end, velocity, channel); instruments: (program, tick, channel).
    """
    d = MidiDict()
    d.ticks_per_beat = 500
    d.add_tempo(500000, 0)
    for program, tick, channel in instruments:
        d.add_instrument(program, tick, channel)
    for n in notes:
        d.add_note(*n)
    return d


def norm(d, ignore, programs=None, step=10, max_dur=5000, drum_velocity=127, fn=identity):
    return normalize_midi_dict(d, ignore, {} if programs is None else programs, step, max_dur, drum_velocity, fn)


def notes(d):
    """(pitch, start, end, velocity, channel) of every note, in list order."""
    return [(m.pitch, m.start, m.end, m.velocity, m.channel) for m in d.note_msgs]


def full_notes(d):
    return [(m.msg_type, m.pitch, m.start, m.end, m.velocity, m.tick, m.channel) for m in d.note_msgs]


def instruments(d):
    """(program, channel) of every instrument message, in list order (all must be at tick 0)."""
    for m in d.instrument_msgs:
        assert m.msg_type == "instrument"
        assert m.tick == 0
    return [(m.data, m.channel) for m in d.instrument_msgs]


def panic_exception_type():
    """The module's PanicException class (obtained from a call that is documented to panic)."""
    try:
        AbsTokenizer().apply_tempo_aug([], float("inf"), False, None)
    except BaseException as exc:  # noqa: BLE001 - we want the exact class
        return type(exc)
    raise AssertionError("an infinite tempo range did not fail")


# --- a tiny Standard MIDI File writer (for pieces with no program changes, pedals and text) -----


def smf(tpb, events):
    """Format-0 file from (delta, raw event bytes) pairs; an end-of-track is appended."""
    body = [sb.varlen(delta) + ev for delta, ev in events]
    return sb.midi_file(0, tpb, [sb.track(*body, sb.end_of_track())])


def note_on(ch, pitch, vel):
    return bytes([0x90 | ch, pitch, vel])


def note_off(ch, pitch):
    return bytes([0x80 | ch, pitch, 0])


def control(ch, number, value):
    return bytes([0xB0 | ch, number, value])


def text_event(text):
    data = text.encode()
    return b"\xff\x01" + sb.varlen(len(data)) + data


# --- instrument families and channels -----------------------------------------------------------


def test_empty_ignore_map_keeps_only_channel_9_drums():
    d = ms_piece(
        notes=[
            (60, 0, 100, 80, 0),  # piano channel: dropped
            (36, 20, 400, 90, 9),  # drum
            (40, 30, 40, 50, 3),  # no program change: dropped
            (38, 1000, 1001, 10, 9),  # drum
        ],
        instruments=[(0, 0, 0), (33, 0, 3)],
    )
    out = norm(d, {}, {"piano": 5}, step=10, drum_velocity=100)
    assert notes(out) == [(36, 20, 30, 100, 9), (38, 1000, 1010, 100, 9)]
    assert instruments(out) == [(0, 9)]


def test_kept_families_get_channels_in_sorted_order_and_others_are_dropped():
    d = ms_piece(
        notes=[
            (60, 0, 100, 80, 0),  # piano
            (40, 10, 100, 81, 1),  # bass
            (70, 20, 100, 82, 2),  # strings (ignored)
            (50, 30, 100, 83, 3),  # guitar (not a key at all)
            (36, 40, 100, 84, 9),  # drum
        ],
        instruments=[(0, 0, 0), (33, 0, 1), (41, 0, 2), (25, 0, 3)],
    )
    out = norm(d, {"piano": False, "bass": False, "strings": True}, {"piano": 2, "bass": 34, "strings": 40})
    assert instruments(out) == [(34, 0), (2, 1), (0, 9)]
    assert notes(out) == [
        (60, 0, 100, 80, 1),
        (40, 10, 100, 81, 0),
        (36, 40, 50, 127, 9),
    ]


def test_drum_key_takes_a_position_and_leaves_its_channel_free():
    d = ms_piece(
        notes=[(60, 0, 100, 80, 0), (40, 0, 100, 80, 1), (36, 0, 100, 80, 9)],
        instruments=[(0, 0, 0), (32, 0, 1)],
    )
    out = norm(d, {"bass": False, "drum": False, "piano": False}, {"bass": 32, "piano": 1, "drum": 99})
    assert instruments(out) == [(32, 0), (1, 2), (0, 9)]
    assert [n[4] for n in notes(out)] == [2, 0, 9]
    assert all(ch != 1 for _, ch in instruments(out))


def test_drum_true_still_keeps_drums():
    d = ms_piece(
        notes=[(60, 0, 100, 80, 0), (36, 0, 100, 80, 9)],
        instruments=[(0, 0, 0)],
    )
    out = norm(d, {"drum": True, "piano": False}, drum_velocity=77)
    # "drum": True is not a kept name, so it takes no position: piano is first.
    assert instruments(out) == [(0, 0), (0, 9)]
    assert notes(out) == [(60, 0, 100, 80, 0), (36, 0, 10, 77, 9)]

    only = norm(d, {"drum": True}, drum_velocity=77)
    assert instruments(only) == [(0, 9)]
    assert notes(only) == [(36, 0, 10, 77, 9)]


def test_ten_kept_names_tenth_gets_channel_10():
    names = sorted(FAMILY_PROGRAMS)[:10]
    assert len(names) == 10
    # Each family plays on its own input channel (channels are plain integers here).
    d = ms_piece(
        notes=[(40 + i, i * 10, i * 10 + 50, 60, 20 + i) for i in range(10)],
        instruments=[(FAMILY_PROGRAMS[name], 0, 20 + i) for i, name in enumerate(names)],
    )
    out = norm(d, {name: False for name in names})
    expected_channel = {name: (i if i < 9 else i + 1) for i, name in enumerate(names)}
    assert expected_channel[names[9]] == 10
    assert instruments(out) == [(0, c) for c in range(9)] + [(0, 9), (0, 10)]
    assert [n[4] for n in notes(out)] == [expected_channel[name] for name in names]


def test_sixteen_kept_names_reach_channel_16():
    names = list(FAMILY_PROGRAMS)
    d = ms_piece(
        notes=[(40 + i, i, i + 50, 60, 100 + i) for i in range(16)] + [(36, 5, 6, 60, 9)],
        instruments=[(FAMILY_PROGRAMS[name] + 7, 0, 100 + i) for i, name in enumerate(names)],
    )
    programs = {name: 100 + i for i, name in enumerate(names)}
    out = norm(d, {name: False for name in reversed(names)}, programs)
    ordered = sorted(names)
    channel = {name: (i if i < 9 else i + 1) for i, name in enumerate(ordered)}
    assert channel[ordered[-1]] == 16
    want_instruments = sorted([(programs[name], channel[name]) for name in names] + [(0, 9)], key=lambda x: x[1])
    assert instruments(out) == want_instruments
    assert [ch for _, ch in instruments(out)] == list(range(17))
    assert [n[4] for n in notes(out)] == [channel[name] for name in names] + [9]


def test_kept_names_are_sorted_by_utf8_bytes():
    # Upper case sorts before lower case, a prefix before its extensions, non-ASCII last.
    ignore = {"piano": False, "pian": False, "Zither": False, "\u00f1": False, "bass": False, "a": True}
    out = norm(ms_piece(), ignore, {"Zither": 1, "bass": 2, "pian": 3, "piano": 4, "\u00f1": 5, "a": 6})
    assert instruments(out) == [(1, 0), (2, 1), (3, 2), (4, 3), (5, 4), (0, 9)]


def test_names_that_are_not_families_get_channels_but_no_notes():
    d = ms_piece(notes=[(60, 0, 100, 80, 0)], instruments=[(0, 0, 0)])
    out = norm(d, {"aaa": False, "piano": False}, {"aaa": 9})
    assert instruments(out) == [(9, 0), (0, 1), (0, 9)]
    assert notes(out) == [(60, 0, 100, 80, 1)]


def test_instrument_message_on_channel_9_does_not_change_drums():
    d = ms_piece(
        notes=[(36, 0, 500, 80, 9), (60, 0, 500, 80, 0)],
        instruments=[(0, 0, 9), (0, 0, 0)],
    )
    out = norm(d, {"piano": False}, drum_velocity=64)
    assert notes(out) == [(36, 0, 10, 64, 9), (60, 0, 500, 80, 0)]
    # Only piano channel 9 instrument would drop drums; with piano ignored the drums still stay.
    out = norm(d, {"piano": True}, drum_velocity=64)
    assert notes(out) == [(36, 0, 10, 64, 9)]


def test_notes_on_channels_without_program_change_are_dropped():
    d = ms_piece(
        notes=[(60, 0, 100, 80, 0), (61, 0, 100, 80, 5), (62, 0, 100, 80, 1)],
        instruments=[(0, 0, 1)],
    )
    out = norm(d, {"piano": False})
    assert notes(out) == [(62, 0, 100, 80, 0)]


def test_file_without_program_changes_counts_as_piano_on_channel_0(tmp_path):
    path = tmp_path / "no_programs.mid"
    path.write_bytes(
        smf(
            500,
            [
                (0, note_on(0, 60, 90)),
                (0, note_on(9, 36, 70)),
                (200, note_off(0, 60)),
                (0, note_off(9, 36)),
                (0, note_on(3, 50, 40)),
                (100, note_off(3, 50)),
            ],
        )
    )
    d = MidiDict.from_midi(str(path))
    assert [(m.data, m.tick, m.channel) for m in d.instrument_msgs] == [(0, 0, 0)]
    out = norm(d, {"piano": False}, {"piano": 4}, drum_velocity=1)
    assert instruments(out) == [(4, 0), (0, 9)]
    assert sorted(notes(out)) == sorted([(60, 0, 200, 90, 0), (36, 0, 10, 1, 9)])
    # channel 3 has no program change: its note is gone
    assert all(n[0] != 50 for n in notes(out))


def test_last_usable_program_of_a_channel_wins():
    d = ms_piece(notes=[(40, 0, 100, 80, 0)], instruments=[(0, 0, 0), (33, 100, 0)])
    assert notes(norm(d, {"piano": False, "bass": False})) == [(40, 0, 100, 80, 0)]  # bass -> channel 0
    assert notes(norm(d, {"piano": False})) == []
    # list order counts, not the tick
    d = ms_piece(notes=[(40, 0, 100, 80, 0)], instruments=[(33, 500, 0), (0, 0, 0)])
    assert notes(norm(d, {"piano": False})) == [(40, 0, 100, 80, 0)]
    assert notes(norm(d, {"bass": False})) == []


@pytest.mark.parametrize("bad_program", [128, 200, -1, INT32_MIN, INT32_MAX])
def test_programs_outside_0_to_127_are_not_used(bad_program):
    d = ms_piece(
        notes=[(60, 0, 100, 80, 0), (61, 0, 100, 80, 1)],
        instruments=[(120, 0, 0), (bad_program, 10, 0), (bad_program, 0, 1)],
    )
    # channel 0 stays sfx (program 120); channel 1 has no usable program at all
    assert notes(norm(d, {"sfx": False, "piano": False})) == [(60, 0, 100, 80, 1)]


def test_program_boundaries_of_families():
    d = ms_piece(
        notes=[(60, 0, 10, 80, 0), (61, 0, 10, 80, 1), (62, 0, 10, 80, 2), (63, 0, 10, 80, 3)],
        instruments=[(7, 0, 0), (8, 0, 1), (127, 0, 2), (119, 0, 3)],
    )
    out = norm(d, {"piano": False, "chromatic": False, "sfx": False, "percussive": False})
    # sorted: chromatic 0, percussive 1, piano 2, sfx 3
    assert [n[4] for n in notes(out)] == [2, 0, 3, 1]


# --- times ---------------------------------------------------------------------------------------


def test_quantization_rounds_halves_up_and_keeps_zero_length_notes():
    d = ms_piece(notes=[(60, 14, 25, 80, 0), (61, 15, 24, 80, 0)], instruments=[(0, 0, 0)])
    assert full_notes(norm(d, {"piano": False}, step=10)) == [
        ("note", 60, 10, 30, 80, 10, 0),
        ("note", 61, 20, 20, 80, 20, 0),
    ]


@pytest.mark.parametrize(
    "ms, step, expected",
    [
        (5, 10, 10),
        (4, 10, 0),
        (15, 10, 20),
        (25, 10, 30),
        (-15, 10, 0),  # ticks before 0 count as 0 ms
        (7, 3, 6),
        (8, 3, 9),
        (1234567, 1000, 1235000),
        (45, 30, 60),
        (44, 30, 30),
    ],
)
def test_quantization_table(ms, step, expected):
    # With one tick per millisecond, the start is exactly `ms` before snapping.
    d = ms_piece(notes=[(60, ms, ms, 80, 0)], instruments=[(0, 0, 0)])
    out = norm(d, {"piano": False}, step=step, max_dur=10**9)
    assert notes(out) == [(60, expected, expected, 80, 0)]
    assert out.note_msgs[0].tick == expected


def test_negative_time_step_snaps_to_the_same_multiples():
    d = ms_piece(notes=[(60, 14, 26, 80, 0)], instruments=[(0, 0, 0)])
    # 14 / -10 = -1.4 -> -1 -> 10 ; 26 / -10 = -2.6 -> -3 -> 30 ; cap start + max
    assert notes(norm(d, {"piano": False}, step=-10, max_dur=1000)) == [(60, 10, 30, 80, 0)]


def test_grid_arithmetic_wraps_at_32_bits():
    # INT32_MAX ms / 10 rounds to 214748365, and 214748365 * 10 wraps around.
    d = ms_piece(notes=[(60, INT32_MAX, INT32_MAX, 80, 0)], instruments=[(0, 0, 0)])
    wrapped = 214748365 * 10 - 2**32
    out = norm(d, {"piano": False}, step=10, max_dur=0)
    assert notes(out) == [(60, wrapped, wrapped, 80, 0)]


def test_max_duration_caps_long_notes_but_not_drums():
    d = ms_piece(
        notes=[(60, 0, 5000, 80, 0), (61, 100, 600, 80, 0), (36, 0, 5000, 80, 9)],
        instruments=[(0, 0, 0)],
    )
    out = norm(d, {"piano": False}, step=10, max_dur=1000, drum_velocity=90)
    assert notes(out) == [(60, 0, 1000, 80, 0), (61, 100, 600, 80, 0), (36, 0, 10, 90, 9)]


def test_duration_cap_is_measured_from_the_quantized_start():
    d = ms_piece(notes=[(60, 6, 2000, 80, 0)], instruments=[(0, 0, 0)])
    # start 6 -> 10; the cap 10 + 995 = 1005 is not on the grid and is used as it is
    assert notes(norm(d, {"piano": False}, step=10, max_dur=995)) == [(60, 10, 1005, 80, 0)]
    # a zero or negative cap is applied too
    assert notes(norm(d, {"piano": False}, step=10, max_dur=0)) == [(60, 10, 10, 80, 0)]
    assert notes(norm(d, {"piano": False}, step=10, max_dur=-30)) == [(60, 10, -20, 80, 0)]


def test_drum_length_is_one_step_whatever_the_input_length():
    d = ms_piece(notes=[(36, 1234, 1235, 80, 9), (38, 996, 99999, 80, 9), (40, 500, 100, 5, 9)])
    out = norm(d, {}, step=25, max_dur=1, drum_velocity=3)
    assert notes(out) == [(36, 1225, 1250, 3, 9), (38, 1000, 1025, 3, 9), (40, 500, 525, 3, 9)]


def test_time_step_zero_puts_everything_at_zero():
    d = ms_piece(
        notes=[(60, 0, 100, 80, 0), (61, 123, 456, 80, 0), (36, 50, 60, 80, 9), (62, -70, -10, 80, 0)],
        instruments=[(0, 0, 0)],
    )
    out = norm(d, {"piano": False}, step=0, max_dur=1000, drum_velocity=11)
    assert full_notes(out) == [
        ("note", 60, 0, 0, 80, 0, 0),
        ("note", 61, 0, 0, 80, 0, 0),
        ("note", 36, 0, 0, 11, 0, 9),
        ("note", 62, 0, 0, 80, 0, 0),
    ]


def test_ticks_are_converted_with_the_tempo_map():
    d = MidiDict()  # 480 ticks per beat
    d.add_tempo(1000000, 0)
    d.add_tempo(500000, 480)
    d.add_instrument(0, 0, 0)
    d.add_note(60, 0, 480, 80, 0)
    d.add_note(61, 480, 960, 80, 0)
    d.add_note(62, 240, 720, 80, 0)
    d.add_note(63, 960, 1920, 80, 0)
    out = norm(d, {"piano": False}, step=1, max_dur=10**6)
    assert notes(out) == [
        (60, 0, 1000, 80, 0),
        (61, 1000, 1500, 80, 0),
        (62, 500, 1250, 80, 0),
        (63, 1500, 2500, 80, 0),
    ]


def test_milliseconds_match_tick_to_ms_for_many_ticks():
    d = MidiDict()
    d.ticks_per_beat = 384
    d.add_tempo(612345, 0)
    d.add_tempo(400000, 1000)
    d.add_tempo(2000000, 2500)
    d.add_instrument(0, 0, 0)
    ticks = list(range(-50, 4000, 37))
    for i, t in enumerate(ticks):
        d.add_note(i % 128, t, t + 3 * i, 80, 0)
    out = norm(d, {"piano": False}, step=1, max_dur=INT32_MAX // 2)
    assert [(n[1], n[2]) for n in notes(out)] == [
        (d.tick_to_ms(t), d.tick_to_ms(t + 3 * i)) for i, t in enumerate(ticks)
    ]
    for step in (7, 10, 25):
        out = norm(d, {"piano": False}, step=step, max_dur=INT32_MAX // 2)
        assert [(n[1], n[2]) for n in notes(out)] == [
            (
                round_half_away(d.tick_to_ms(t) / step) * step,
                round_half_away(d.tick_to_ms(t + 3 * i) / step) * step,
            )
            for i, t in enumerate(ticks)
        ]


def test_snapping_uses_the_whole_milliseconds():
    # At 480 ticks per beat and 500000 us per beat, tick 14 is 14.583 ms: that is 15 whole ms,
    # which is 1.5 steps of 10 and goes to 20 (snapping 14.583 directly would give 10).
    d = MidiDict()
    d.add_tempo(500000, 0)
    d.add_instrument(0, 0, 0)
    d.add_note(60, 14, 14, 80, 0)
    assert d.tick_to_ms(14) == 15
    assert notes(norm(d, {"piano": False}, step=10)) == [(60, 20, 20, 80, 0)]


def test_output_has_one_millisecond_ticks_and_a_single_tempo():
    d = MidiDict()
    d.ticks_per_beat = 96
    d.add_tempo(300000, 0)
    d.add_tempo(700000, 96)
    d.add_instrument(0, 0, 0)
    d.add_note(60, 96, 192, 80, 0)
    out = norm(d, {"piano": False}, step=1)
    assert out.ticks_per_beat == 500
    assert [(m.msg_type, m.data, m.tick) for m in out.tempo_msgs] == [("tempo", 500000, 0)]
    assert notes(out) == [(60, 300, 1000, 80, 0)]
    assert out.tick_to_ms(1000) == 1000


def test_empty_input_gives_only_the_frame():
    out = norm(MidiDict(), {"piano": False, "bass": True}, {"piano": 3})
    assert out.note_msgs == []
    assert instruments(out) == [(3, 0), (0, 9)]
    assert out.ticks_per_beat == 500
    assert [(m.data, m.tick) for m in out.tempo_msgs] == [(500000, 0)]
    assert out.pedal_msgs == [] and out.meta_msgs == [] and out.metadata == {}


def test_every_note_dropped_is_a_valid_result():
    d = ms_piece(notes=[(60, 0, 100, 80, 0)], instruments=[(0, 0, 0)])
    out = norm(d, {"piano": True})
    assert out.note_msgs == []
    assert instruments(out) == [(0, 9)]


# --- instrument messages -------------------------------------------------------------------------


def test_instrument_messages_use_the_given_programs():
    out = norm(
        ms_piece(),
        {"strings": False, "bass": False, "organ": False, "guitar": True},
        {"bass": 35, "strings": -7, "drum": 88, "guitar": 25, "unused": 1},
    )
    # bass 0 (35), organ 1 (missing -> 0), strings 2 (-7 as given), drum 9 (always 0)
    assert instruments(out) == [(35, 0), (0, 1), (-7, 2), (0, 9)]
    assert [m.msg_type for m in out.instrument_msgs] == ["instrument"] * 4


def test_drum_key_false_with_a_program_still_announces_program_0():
    out = norm(ms_piece(), {"drum": False}, {"drum": 5})
    assert instruments(out) == [(0, 9)]


# --- velocities ----------------------------------------------------------------------------------


def _velocity_piece():
    return ms_piece(
        notes=[(60, 0, 100, 80, 0), (61, 10, 100, 33, 0), (36, 20, 100, 55, 9)],
        instruments=[(0, 0, 0)],
    )


def _velocities(fn, drum_velocity=127):
    return [n[3] for n in notes(norm(_velocity_piece(), {"piano": False}, drum_velocity=drum_velocity, fn=fn))]


class BadIndex:
    def __index__(self):
        raise ValueError("no")


def _raise_value_error(v):
    raise ValueError("bad velocity")


def _raise_custom(v):
    class Oops(Exception):
        pass

    raise Oops()


@pytest.mark.parametrize(
    "fn",
    [
        _raise_value_error,
        _raise_custom,
        lambda v: 1 / 0,
        lambda v: None,
        lambda v: float(v),
        lambda v: 100.0,
        lambda v: "90",
        lambda v: 2**31,
        lambda v: -(2**31) - 1,
        lambda v: 2**70,
        lambda v: BadIndex(),
        lambda v: [v],
        lambda: 5,  # wrong number of parameters
        None,
        5,
        "not callable",
    ],
    ids=[
        "raises",
        "raises-subclass",
        "zero-division",
        "none",
        "float",
        "float-const",
        "str",
        "above-int32",
        "below-int32",
        "huge",
        "index-raises",
        "list",
        "arity",
        "none-fn",
        "int-fn",
        "str-fn",
    ],
)
def test_velocity_failures_keep_the_velocity(fn):
    assert _velocities(fn, drum_velocity=127) == [80, 33, 127]


@pytest.mark.parametrize(
    "fn, expected",
    [
        (lambda v: 200, [200, 200]),
        (lambda v: v + 1, [81, 34]),
        (lambda v: -5, [-5, -5]),
        (lambda v: INT32_MAX, [INT32_MAX, INT32_MAX]),
        (lambda v: INT32_MIN, [INT32_MIN, INT32_MIN]),
        (lambda v: True, [1, 1]),
        (lambda v: False, [0, 0]),
        (lambda v: Index(v * 2), [160, 66]),
        (lambda v: 0, [0, 0]),
    ],
)
def test_velocity_results_are_used_without_clamping(fn, expected):
    assert _velocities(fn, drum_velocity=9) == expected + [9]


def test_callable_gets_each_kept_note_once_in_input_order():
    d = ms_piece(
        notes=[
            (60, 500, 600, 11, 0),  # piano
            (61, 0, 100, 12, 1),  # strings: dropped
            (36, 300, 400, 13, 9),  # drum
            (62, 100, 200, 14, 0),  # piano
            (63, 0, 100, 15, 4),  # no program: dropped
            (38, 0, 100, 16, 9),  # drum
            (64, 0, 100, 17, 2),  # bass
        ],
        instruments=[(0, 0, 0), (40, 0, 1), (33, 0, 2)],
    )
    calls = []

    def fn(v):
        assert type(v) is int
        calls.append(v)
        return v + 100

    out = norm(d, {"piano": False, "bass": False, "strings": True}, fn=fn, drum_velocity=1)
    assert calls == [11, 13, 14, 16, 17]
    assert [n[3] for n in notes(out)] == [111, 1, 114, 1, 117]


def test_callable_gets_one_positional_int_argument():
    seen = []

    def fn(*args, **kwargs):
        seen.append((args, kwargs))
        return None

    d = ms_piece(notes=[(60, 0, 100, 80, 0)], instruments=[(0, 0, 0)])
    norm(d, {"piano": False}, fn=fn)
    assert seen == [((80,), {})]
    assert type(seen[0][0][0]) is int


@pytest.mark.parametrize("fn, expected", [(int, [80, 33, 127]), (str, [80, 33, 127]), (bool, [1, 1, 127])])
def test_builtin_types_as_callables(fn, expected):
    assert _velocities(fn, drum_velocity=127) == expected


def test_callable_is_not_checked_when_no_note_is_kept():
    d = ms_piece(notes=[(60, 0, 100, 80, 0)], instruments=[(0, 0, 0)])
    out = norm(d, {"bass": False}, fn=object())
    assert out.note_msgs == []


def test_callable_may_change_the_input_piece_without_affecting_the_result():
    d = ms_piece(notes=[(60, 0, 100, 80, 0), (61, 10, 100, 81, 0)], instruments=[(0, 0, 0)])

    def fn(v):
        d.add_note(99, 0, 1, 1, 0)
        d.ticks_per_beat = 1
        return v

    out = norm(d, {"piano": False}, fn=fn)
    assert notes(out) == [(60, 0, 100, 80, 0), (61, 10, 100, 81, 0)]
    assert len(d.note_msgs) == 4


def test_note_message_type_is_copied():
    d = ms_piece(notes=[(60, 0, 100, 80, 0), (36, 0, 100, 80, 9)], instruments=[(0, 0, 0)])
    msgs = d.note_msgs
    msgs[0].msg_type = "special"
    msgs[1].msg_type = "hit"
    d.note_msgs = msgs
    out = norm(d, {"piano": False})
    assert [m.msg_type for m in out.note_msgs] == ["special", "hit"]


def test_output_keeps_input_order():
    d = ms_piece(
        notes=[(60, 300, 400, 80, 0), (61, 100, 200, 80, 9), (62, 200, 300, 80, 1), (63, 0, 100, 80, 0)],
        instruments=[(0, 0, 0), (33, 0, 1)],
    )
    out = norm(d, {"piano": False, "bass": False}, drum_velocity=5)
    assert notes(out) == [
        (60, 300, 400, 80, 1),
        (61, 100, 110, 5, 9),
        (62, 200, 300, 80, 0),
        (63, 0, 100, 80, 1),
    ]


# --- the input piece -----------------------------------------------------------------------------


def _rich_file(tmp_path):
    path = tmp_path / "rich.mid"
    path.write_bytes(
        smf(
            480,
            [
                (0, text_event("hello")),
                (0, bytes([0xC0, 0])),  # program 0 on channel 0
                (0, control(0, 64, 127)),
                (0, note_on(0, 60, 90)),
                (0, note_on(9, 36, 100)),
                (480, note_off(0, 60)),
                (0, note_off(9, 36)),
                (0, note_on(0, 62, 70)),
                (240, note_off(0, 62)),
                (0, control(0, 64, 0)),  # pedal held until tick 720
            ],
        )
    )
    return path


_FIELDS = {
    "note_msgs": ("msg_type", "pitch", "start", "end", "velocity", "tick", "channel"),
    "tempo_msgs": ("msg_type", "data", "tick"),
    "instrument_msgs": ("msg_type", "data", "tick", "channel"),
    "pedal_msgs": ("msg_type", "data", "tick", "channel"),
    "meta_msgs": ("msg_type", "data"),
}


def _content(d):
    out = {name: [tuple(getattr(m, f) for f in fields) for m in getattr(d, name)] for name, fields in _FIELDS.items()}
    out["metadata"] = d.metadata
    out["ticks_per_beat"] = d.ticks_per_beat
    return out


def test_input_piece_is_unchanged_and_its_extras_do_not_reach_the_output(tmp_path):
    d = MidiDict.from_midi(str(_rich_file(tmp_path)))
    d.metadata = {"title": "x", "composer": "y"}
    assert d.pedal_msgs and d.meta_msgs  # the file did provide pedals and text
    twin = MidiDict.from_midi(str(_rich_file(tmp_path)))
    twin.metadata = {"title": "x", "composer": "y"}
    before = _content(d)
    h = d.calculate_hash()
    hh = hash(d)

    out = norm(d, {"piano": False}, {"piano": 1}, step=10, fn=lambda v: v // 2)

    assert _content(d) == before
    assert d.metadata == {"title": "x", "composer": "y"}
    assert d.ticks_per_beat == 480
    assert d == twin
    assert d.calculate_hash() == h
    assert hash(d) == hh

    assert out.pedal_msgs == []
    assert out.meta_msgs == []
    assert out.metadata == {}
    # the pedal is not resolved: the first piano note keeps its own end (500 ms, not 750)
    assert notes(out) == [(60, 0, 500, 45, 0), (36, 0, 10, 127, 9), (62, 500, 750, 35, 0)]


def test_result_is_a_new_object_each_time():
    d = ms_piece(notes=[(60, 0, 100, 80, 0)], instruments=[(0, 0, 0)])
    a = norm(d, {"piano": False})
    b = norm(d, {"piano": False})
    assert a is not b and a is not d
    assert a == b
    a.add_note(1, 2, 3, 4, 5)
    assert a != b


# --- arguments -----------------------------------------------------------------------------------


def test_text_signature():
    assert normalize_midi_dict.__text_signature__ == (
        "(midi_dict, ignore_instruments, instrument_programs, time_step_ms, max_duration_ms, "
        "drum_velocity, quantize_velocity_fn)"
    )
    assert normalize_midi_dict.__name__ == "normalize_midi_dict"


def test_keywords_are_accepted():
    d = ms_piece(notes=[(60, 14, 25, 80, 0)], instruments=[(0, 0, 0)])
    out = normalize_midi_dict(
        quantize_velocity_fn=lambda v: 3,
        drum_velocity=1,
        max_duration_ms=5000,
        time_step_ms=10,
        instrument_programs={"piano": 2},
        ignore_instruments={"piano": False},
        midi_dict=d,
    )
    assert notes(out) == [(60, 10, 30, 3, 0)]
    out = normalize_midi_dict(d, {"piano": False}, {}, 10, max_duration_ms=5, drum_velocity=1, quantize_velocity_fn=None)
    assert notes(out) == [(60, 10, 15, 80, 0)]


def test_missing_argument():
    d = MidiDict()
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {}, {}, 10, 5000, 127)
    assert re.search(r"normalize_midi_dict\(\) missing 1 required positional argument: 'quantize_velocity_fn'", str(e.value))
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {}, {}, 10)
    assert "missing 3 required positional arguments" in str(e.value)
    assert "'max_duration_ms'" in str(e.value) and "'drum_velocity'" in str(e.value)
    assert "'quantize_velocity_fn'" in str(e.value)
    with pytest.raises(TypeError, match="missing"):
        normalize_midi_dict()


def test_argument_count_and_keyword_errors():
    d = MidiDict()
    with pytest.raises(TypeError, match=r"takes 7 positional arguments but 8 were given"):
        normalize_midi_dict(d, {}, {}, 10, 5000, 127, None, 1)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'velocity_fn'"):
        normalize_midi_dict(d, {}, {}, 10, 5000, 127, velocity_fn=None)
    with pytest.raises(TypeError, match=r"got multiple values for argument 'midi_dict'"):
        normalize_midi_dict(d, {}, {}, 10, 5000, 127, None, midi_dict=d)


@pytest.mark.parametrize(
    "args, text",
    [
        ((5, {}, {}, 1, 1, 1, None), "argument 'midi_dict': 'int' object cannot be converted to 'MidiDict'"),
        ((None, {}, {}, 1, 1, 1, None), "argument 'midi_dict': 'NoneType' object cannot be converted to 'MidiDict'"),
        ((MidiDict(), [], {}, 1, 1, 1, None), "argument 'ignore_instruments': 'list' object cannot be converted to 'PyDict'"),
        ((MidiDict(), {}, [("a", 1)], 1, 1, 1, None), "argument 'instrument_programs': 'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_argument_type_errors(args, text):
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(*args)
    assert str(e.value) == text


@pytest.mark.parametrize("position, name", [(3, "time_step_ms"), (4, "max_duration_ms"), (5, "drum_velocity")])
def test_integer_argument_errors_name_the_argument(position, name):
    args = [MidiDict(), {}, {}, 10, 5000, 127, None]
    args[position] = "10"
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(*args)
    assert str(e.value).startswith(f"argument '{name}': ")
    args[position] = 10.0
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(*args)
    assert str(e.value).startswith(f"argument '{name}': ")
    args[position] = 2**31
    with pytest.raises(OverflowError):
        normalize_midi_dict(*args)
    args[position] = Index(7)
    normalize_midi_dict(*args)  # objects with __index__ are integers


def test_arguments_are_converted_in_order():
    d = MidiDict()
    # midi_dict first
    with pytest.raises(TypeError, match=r"^argument 'midi_dict'"):
        normalize_midi_dict(1, [], [], "x", "y", "z", None)
    # then ignore_instruments, instrument_programs
    with pytest.raises(TypeError, match=r"^argument 'ignore_instruments'"):
        normalize_midi_dict(d, [], [], "x", "y", "z", None)
    with pytest.raises(TypeError, match=r"^argument 'instrument_programs'"):
        normalize_midi_dict(d, {}, [], "x", "y", "z", None)
    # then the three integers
    with pytest.raises(TypeError, match=r"^argument 'time_step_ms'"):
        normalize_midi_dict(d, {}, {}, "x", "y", "z", None)
    with pytest.raises(TypeError, match=r"^argument 'max_duration_ms'"):
        normalize_midi_dict(d, {}, {}, 1, "y", "z", None)
    with pytest.raises(TypeError, match=r"^argument 'drum_velocity'"):
        normalize_midi_dict(d, {}, {}, 1, 1, "z", None)
    # dictionary entries are read only after all arguments
    with pytest.raises(TypeError, match=r"^argument 'drum_velocity'"):
        normalize_midi_dict(d, {"piano": 1}, {"piano": "0"}, 1, 1, "z", None)
    # ignore_instruments entries before instrument_programs entries
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {"piano": 1}, {"piano": "0"}, 1, 1, 1, None)
    assert str(e.value) == "'int' object cannot be converted to 'PyBool'"


def test_dictionary_entry_errors_have_no_argument_prefix():
    d = MidiDict()
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {"piano": 1}, {}, 10, 5000, 127, None)
    assert str(e.value) == "'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {"piano": None}, {}, 10, 5000, 127, None)
    assert str(e.value) == "'NoneType' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {1: False}, {}, 10, 5000, 127, None)
    assert str(e.value) == "'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {}, {"piano": "0"}, 10, 5000, 127, None)
    assert not str(e.value).startswith("argument")
    with pytest.raises(TypeError) as e:
        normalize_midi_dict(d, {}, {b"piano": 0}, 10, 5000, 127, None)
    assert str(e.value) == "'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(OverflowError):
        normalize_midi_dict(d, {}, {"piano": 2**40}, 10, 5000, 127, None)


def test_dict_subclasses_are_accepted_other_mappings_are_not():
    class MyDict(dict):
        pass

    d = ms_piece(notes=[(60, 0, 100, 80, 0)], instruments=[(0, 0, 0)])
    out = normalize_midi_dict(d, MyDict(piano=False), collections.OrderedDict(piano=6), 10, 5000, 127, None)
    assert instruments(out) == [(6, 0), (0, 9)]
    import types

    with pytest.raises(TypeError, match=r"^argument 'ignore_instruments': 'mappingproxy' object cannot be converted to 'PyDict'$"):
        normalize_midi_dict(d, types.MappingProxyType({"piano": False}), {}, 10, 5000, 127, None)


# --- interrupts and internal failures inside the callable ----------------------------------------


class CustomInterrupt(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, CustomInterrupt])
def test_interrupt_in_callable_stops_and_reaches_the_caller(exc_type):
    d = ms_piece(notes=[(60 + i, i, i + 10, 80, 0) for i in range(5)], instruments=[(0, 0, 0)])
    calls = []

    def fn(v):
        calls.append(v)
        if len(calls) == 2:
            raise exc_type("stop")
        return v

    with pytest.raises(exc_type):
        norm(d, {"piano": False}, fn=fn)
    assert len(calls) == 2
    # the module is still usable afterwards
    assert len(norm(d, {"piano": False}).note_msgs) == 5


def test_panic_raised_in_callable_resumes_as_panic():
    panic = panic_exception_type()
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    d = ms_piece(notes=[(60, 0, 10, 80, 0), (61, 0, 10, 80, 0)], instruments=[(0, 0, 0)])
    calls = []

    def fn(v):
        calls.append(v)
        raise panic("boom inside the callable")

    with pytest.raises(panic) as e:
        norm(d, {"piano": False}, fn=fn)
    assert "boom inside the callable" in str(e.value)
    assert calls == [80]
    assert len(norm(d, {"piano": False}).note_msgs) == 2


# --- dictionaries that change while they are read ------------------------------------------------


class _GrowsDict:
    """An integer whose conversion adds a key to the dictionary being read."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target["zzz"] = 1
        return 3


class _SwapsKey:
    """An integer whose conversion removes the key just read and adds another (same size)."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        del self.target["a"]
        self.target["c"] = 1
        return 3


@pytest.mark.parametrize("first", [True, False])
def test_dictionary_growing_while_read_is_an_internal_failure(first):
    panic = panic_exception_type()
    programs = {}
    if first:
        programs["a"] = _GrowsDict(programs)
        programs["b"] = 2
    else:
        programs["a"] = 2
        programs["b"] = _GrowsDict(programs)
    with pytest.raises(panic) as e:
        normalize_midi_dict(MidiDict(), {"a": False}, programs, 10, 10, 10, None)
    assert str(e.value) == "dictionary changed size during iteration"


def test_dictionary_keys_replaced_while_read_is_an_internal_failure():
    panic = panic_exception_type()
    programs = {}
    programs["a"] = _SwapsKey(programs)
    programs["b"] = 2
    with pytest.raises(panic) as e:
        normalize_midi_dict(MidiDict(), {"a": False}, programs, 10, 10, 10, None)
    assert str(e.value) == "dictionary keys changed during iteration"
