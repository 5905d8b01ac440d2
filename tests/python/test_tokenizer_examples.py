"""Worked examples of the absolute tokenizer, with every expected token computed by hand from the
rules.

The rules the examples follow:
- Time: a tick lasts tempo / ticks_per_beat microseconds under the tempo in force (500000 us per
  beat in a piece without tempo messages). Notes are read in start order (ties keep list order); before each note a
  "<T>" stands for every 5000 ms segment boundary passed since the previous note, and the onset is
  the rest of the start on the 10 ms grid 0..4990. The duration is on the 10 ms grid 0..5000, and a
  zero duration becomes 10 ms.
- Pedal: a note ending strictly inside a pedal interval (down, up) of its channel ends at the up.
- Instruments: channel 9 plays drums, ("drum", pitch, 0) and an onset, no duration. Other channels
  take the family of their program (program // 8 in General MIDI), piano without one.
- Velocity: the nearest of 0, 4, ..., 124; a velocity that is not 0 never becomes 0.
- Prefix: metadata genre, form, composer (only the configured names), then the families by name,
  then the drums.
- detokenize: the prefix's piano, guitar and drum get channels (guitar and piano from 0 in prefix
  order, drums 9), at 500 ticks per beat and 500000 us per beat, so one tick is one millisecond;
  leading "<T>" tokens are dropped, other families are dropped, drums last 10 ms at velocity 127.
"""

from __future__ import annotations

import pytest

from noteloom import AbsTokenizer
from support import build_midi_dict, round_half_away

TOK = AbsTokenizer()


def prefix(*names):
    return [(f"prefix:{x}", 0, 0) for x in names]


def group(instrument, pitch, velocity, onset, dur):
    return [(instrument, pitch, velocity), ("onset", onset, 0), ("dur", dur, 0)]


def test_tempo_changes_pedals_families_drums_and_metadata(loaded_midi_dict):
    # 480 ticks per beat; 500000 us per beat up to tick 960, then 250000:
    #   tick t <= 960 is t * 25/24 ms (tick 480 = 500 ms, tick 960 = 1000 ms);
    #   tick t > 960 is 1000 + (t - 960) * 25/48 ms (1248 = 1150, 1440 = 1250, 1920 = 1500,
    #   10560 = 6000, 10600 = 6020.83).
    d = build_midi_dict(
        notes=[
            (67, 10560, 10600, 7, 0),  # piano, segment 1: "<T>", onset 1000, 20.83 ms -> 20, velocity 8
            (64, 960, 1440, 51, 1),  # guitar: onset 1000, 250 ms, velocity 52; the pedal goes down at its end
            (60, 0, 480, 91, 0),  # piano, held by the pedal 240..1920: 1500 ms, velocity 92
            (38, 1248, 1258, 100, 9),  # drum: onset 1150
            (72, 480, 960, 64, 2),  # organ (program 19): onset 500, 500 ms
        ],
        tempos=[(500000, 0), (250000, 960)],
        instruments=[(25, 0, 1), (19, 0, 2)],
        metadata={"composer": "Vesk", "genre": "jazz", "title": "Etude"},
        ticks_per_beat=480,
    )
    pedals = []
    for data, tick, channel in [(1, 240, 0), (0, 1920, 0), (1, 1440, 1), (0, 2000, 1)]:
        m = loaded_midi_dict.pedal_msgs[0]  # every read gives a new object
        m.data, m.tick, m.channel = data, tick, channel
        pedals.append(m)
    d.pedal_msgs = pedals
    tokens = TOK.tokenize(d)
    assert tokens == [
        *prefix("genre:jazz", "composer:Vesk", "instrument:guitar", "instrument:organ", "instrument:piano", "instrument:drum"),
        "<S>",
        *group("piano", 60, 92, 0, 1500),
        *group("organ", 72, 64, 500, 500),
        *group("guitar", 64, 52, 1000, 250),
        ("drum", 38, 0), ("onset", 1150, 0),
        "<T>",
        *group("piano", 67, 8, 1000, 20),
        "<E>",
    ]  # fmt: skip
    # The organ has no tokens in the vocabulary: through the IDs they read back as "<S>".
    assert TOK.decode(TOK.encode(tokens)) == [("<S>" if i in (3, 10) else t) for i, t in enumerate(tokens)]
    # Guitar on channel 0 and piano on 1 (prefix order), drums on 9; the organ note is dropped.
    back = TOK.detokenize(tokens)
    assert [(m.data, m.tick, m.channel) for m in back.instrument_msgs] == [(24, 0, 0), (0, 0, 1), (0, 0, 9)]
    assert [(n.pitch, n.start, n.end, n.velocity, n.tick, n.channel) for n in back.note_msgs] == [
        (60, 0, 1500, 92, 0, 1),
        (64, 1000, 1250, 52, 1000, 0),
        (38, 1150, 1160, 127, 1150, 9),
        (67, 6000, 6020, 8, 6000, 1),
    ]


def test_leading_silence_and_the_ends_of_the_grids():
    # One tick is one millisecond (500 ticks per beat, 500000 us per beat).
    #   7003 ms: "<T>", onset 2003 -> 2000; zero length -> 10 ms; velocity 1 -> 4.
    #   14996 ms: "<T>", onset 4996 -> 4990 (the last onset); 15004 ms -> 5000; velocity 127 -> 124.
    d = build_midi_dict([(62, 14996, 30000, 127, 0), (60, 7003, 7003, 1, 0)], [(500000, 0)], ticks_per_beat=500)
    tokens = TOK.tokenize(d)
    assert tokens == [
        *prefix("instrument:piano"), "<S>",
        "<T>", *group("piano", 60, 4, 2000, 10),
        "<T>", *group("piano", 62, 124, 4990, 5000),
        "<E>",
    ]  # fmt: skip
    # detokenize drops the "<T>" before the first note.
    back = TOK.detokenize(tokens)
    assert [(n.pitch, n.start, n.end, n.velocity) for n in back.note_msgs] == [(60, 2000, 2010, 4), (62, 9990, 14990, 124)]


@pytest.mark.parametrize(
    "x, expected",
    [(-7, -7), (-0.5, -1), (0.5, 1), (1.5, 2), (2.5, 3), (-2.5, -3), (2.4999999, 2), (0.49999999999999994, 0)],
)
def test_support_rounds_halves_away_from_zero(x, expected):
    assert round_half_away(x) == expected
