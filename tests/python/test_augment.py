"""Pitch, velocity and tempo augmentation of token sequences (the deterministic paths, where the
amount is given, plus argument handling)."""

import random

import pytest

from noteloom import AbsTokenizer, MidiDict
from support import round_to_i32, wrap32

TOKEN_ERROR = "Token must be either a string or a 3-tuple"
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


@pytest.fixture(scope="module")
def tok():
    return AbsTokenizer()


def N(pitch, velocity=64, instrument="piano"):
    return (instrument, pitch, velocity)


def ON(t):
    return ("onset", t, 0)


def DUR(d):
    return ("dur", d, 0)


def DRUM(p):
    return ("drum", p, 0)


def PREFIX(text):
    return (text, 0, 0)


def panic_exception_type(tok):
    try:
        tok.apply_tempo_aug([], float("inf"), False, None)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("an infinite tempo range did not fail")


def sample_piece():
    d = MidiDict()
    d.add_tempo(500000, 0)
    d.add_instrument(0, 0, 0)
    d.add_instrument(25, 0, 1)
    for i in range(14):
        d.add_note(50 + i, i * 900, i * 900 + 400 + 37 * i, 20 + 7 * i, i % 2)
    d.add_note(36, 960, 1000, 100, 9)
    d.add_note(55, 960, 1200, 90, 0)
    return d


NON_NOTE_TOKENS = [
    "<S>",
    PREFIX("prefix:instrument:piano"),
    PREFIX("prefix:composer:bach"),
    "prefix:instrument:piano",  # a plain string is a special token
    ON(120),
    DUR(5000),
    DRUM(38),
    DRUM(200),
    "<U>",
    "<T>",
    "<D>",
    "<P>",
    "hello",
    "",
    "<E>",
]


# --- pitch ---------------------------------------------------------------------------------------


def test_pitch_zero_shift_is_identity(tok):
    tokens = tok.tokenize(sample_piece())
    assert tok.apply_pitch_aug(tokens, 5, 0) == tokens
    mixed = NON_NOTE_TOKENS + [N(0), N(127), N(64, 3, "guitar"), N(60, 64, "flute")]
    assert tok.apply_pitch_aug(mixed, 5, 0) == mixed


@pytest.mark.parametrize("maximum", [0, -1, -4, INT32_MIN])
def test_pitch_no_shift_when_maximum_is_not_positive(tok, maximum):
    tokens = tok.tokenize(sample_piece())
    for _ in range(20):
        assert tok.apply_pitch_aug(tokens, maximum, None) == tokens


def test_pitch_shift_examples(tok):
    tokens = [N(126), N(125), DRUM(38), N(0), N(60, 8, "guitar")]
    assert tok.apply_pitch_aug(tokens, 0, 2) == ["<U>", N(127), DRUM(38), N(2), N(62, 8, "guitar")]
    assert tok.apply_pitch_aug([N(60)], 0, -61) == ["<U>"]
    assert tok.apply_pitch_aug([N(60)], 0, -60) == [N(0)]
    assert tok.apply_pitch_aug([N(60)], 0, 67) == [N(127)]
    assert tok.apply_pitch_aug([N(60)], 0, 68) == ["<U>"]


def test_pitch_given_shift_ignores_the_maximum(tok):
    assert tok.apply_pitch_aug([N(60)], 1, 12) == [N(72)]
    assert tok.apply_pitch_aug([N(60)], -5, -12) == [N(48)]


def test_pitch_outside_range_becomes_unknown_even_without_shift(tok):
    assert tok.apply_pitch_aug([N(128), N(-1), N(127), N(0)], 0, 0) == ["<U>", "<U>", N(127), N(0)]


def test_pitch_sum_wraps_at_32_bits(tok):
    assert tok.apply_pitch_aug([N(INT32_MIN)], 0, INT32_MIN) == [N(0)]
    assert tok.apply_pitch_aug([N(INT32_MAX)], 0, INT32_MAX) == ["<U>"]
    assert tok.apply_pitch_aug([N(INT32_MAX)], 0, 2) == ["<U>"]


def test_pitch_keeps_every_other_token_in_place(tok):
    tokens = []
    for i, t in enumerate(NON_NOTE_TOKENS):
        tokens += [t, N(40 + i, 4 * i)]
    out = tok.apply_pitch_aug(tokens, 0, 5)
    assert out[0::2] == NON_NOTE_TOKENS
    assert out[1::2] == [N(45 + i, 4 * i) for i in range(len(NON_NOTE_TOKENS))]


def test_pitch_returns_canonical_token_forms(tok):
    tokens = [("onset", 120, 999), ("<E>", 1, 2), ("drum", 38, 7), ("dur", 10, -1), ("piano", True, False)]
    assert tok.apply_pitch_aug(tokens, 0, 1) == [ON(120), "<E>", DRUM(38), DUR(10), N(2, 0)]


def test_pitch_empty_list(tok):
    assert tok.apply_pitch_aug([], 5, None) == []
    assert tok.apply_pitch_aug([], 5, 3) == []


def test_pitch_result_is_a_new_list(tok):
    tokens = [N(60), "<E>"]
    out = tok.apply_pitch_aug(tokens, 0, 0)
    assert out == tokens and out is not tokens
    assert tokens == [N(60), "<E>"]


def test_pitch_none_selects_a_random_shift(tok):
    seen = set()
    for _ in range(300):
        (out,) = tok.apply_pitch_aug([N(60)], 5, None)
        assert out[0] == "piano" and out[2] == 64
        assert 55 <= out[1] <= 65
        seen.add(out[1])
    # 300 draws from 11 values: all of them being equal has probability 11**-299
    assert len(seen) > 1


def test_pitch_accepts_tuples_and_keywords(tok):
    assert tok.apply_pitch_aug((N(60), "<E>"), 0, 1) == [N(61), "<E>"]
    assert tok.apply_pitch_aug(tokens=[N(60)], max_pitch_aug=0, pitch_aug=-1) == [N(59)]
    assert tok.apply_pitch_aug([N(60)], pitch_aug=3, max_pitch_aug=100) == [N(63)]


# --- velocity ------------------------------------------------------------------------------------


def test_velocity_settings(tok):
    assert tok.velocity_step == 4
    assert tok.max_velocity == 124


def test_velocity_zero_step_is_identity_inside_bounds(tok):
    tokens = tok.tokenize(sample_piece())
    assert tok.apply_velocity_aug(tokens, 3, 0) == tokens
    assert tok.apply_velocity_aug(tokens, 0, None) == tokens
    assert tok.apply_velocity_aug(tokens, -3, None) == tokens


def test_velocity_examples(tok):
    assert tok.apply_velocity_aug([N(60, 120), N(61, 124)], 0, 1) == [N(60, 124), N(61, 124)]
    assert tok.apply_velocity_aug([N(60, 8), N(61, 4)], 0, -2) == [N(60, 4), N(61, 4)]
    tokens = [N(60, v) for v in (0, 4, 64, 124, 127)]
    assert tok.apply_velocity_aug(tokens, 0, -40) == [N(60, 4)] * 5
    assert tok.apply_velocity_aug(tokens, 0, 40) == [N(60, 124)] * 5
    assert tok.apply_velocity_aug([N(60, 40)], 0, 3) == [N(60, 52)]
    assert tok.apply_velocity_aug([N(60, 40)], 0, -3) == [N(60, 28)]


def test_velocity_out_of_range_moves_to_nearest_bound_without_shift(tok):
    tokens = [N(60, 0), N(61, 127), N(62, 3), N(63, 125), N(64, -500), N(65, 10**6), N(66, 63)]
    assert tok.apply_velocity_aug(tokens, 0, 0) == [
        N(60, 4),
        N(61, 124),
        N(62, 4),
        N(63, 124),
        N(64, 4),
        N(65, 124),
        N(66, 63),  # off-grid values inside the bounds stay as they are
    ]
    assert tok.apply_velocity_aug([N(66, 63)], 0, 1) == [N(66, 67)]


def test_velocity_offset_wraps_at_32_bits(tok):
    # 2**30 steps of 4 is 2**32, which wraps to an offset of 0
    assert tok.apply_velocity_aug([N(60, 64)], 0, 2**30) == [N(60, 64)]
    assert tok.apply_velocity_aug([N(60, 64)], 0, -(2**30)) == [N(60, 64)]
    assert tok.apply_velocity_aug([N(60, 64)], 0, 2**30 + 1) == [N(60, 68)]


def test_velocity_keeps_every_other_token_in_place(tok):
    tokens = []
    for i, t in enumerate(NON_NOTE_TOKENS):
        tokens += [t, N(40 + i, 8 * i)]
    out = tok.apply_velocity_aug(tokens, 0, -1)
    assert out[0::2] == NON_NOTE_TOKENS
    assert out[1::2] == [N(40 + i, max(8 * i - 4, 4) if 8 * i - 4 <= 124 else 124) for i in range(len(NON_NOTE_TOKENS))]


def test_velocity_empty_list(tok):
    assert tok.apply_velocity_aug([], 5, None) == []


def test_velocity_none_selects_a_random_step(tok):
    seen = set()
    for _ in range(300):
        (out,) = tok.apply_velocity_aug([N(60, 64)], 3, None)
        assert out[1] == 60
        assert out[2] in (52, 56, 60, 64, 68, 72, 76)
        seen.add(out[2])
    assert len(seen) > 1  # 7**-299 chance of a single value


def test_velocity_keywords(tok):
    assert tok.apply_velocity_aug(tokens=[N(60, 64)], max_num_aug_steps=0, aug_step=2) == [N(60, 72)]


# --- argument handling of pitch and velocity -------------------------------------------------------


@pytest.mark.parametrize(
    "method, third",
    [("apply_pitch_aug", "pitch_aug"), ("apply_velocity_aug", "aug_step")],
)
def test_missing_third_argument(tok, method, third):
    with pytest.raises(TypeError) as e:
        getattr(tok, method)([N(60)], 5)
    assert f"missing 1 required positional argument: '{third}'" in str(e.value)
    assert method in str(e.value)
    with pytest.raises(TypeError, match="missing 2 required positional arguments"):
        getattr(tok, method)([N(60)])
    with pytest.raises(TypeError, match=r"takes 3 positional arguments but 4 were given"):
        getattr(tok, method)([N(60)], 5, 0, 0)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'seed'"):
        getattr(tok, method)([N(60)], 5, 0, seed=1)


@pytest.mark.parametrize(
    "method, second, third",
    [("apply_pitch_aug", "max_pitch_aug", "pitch_aug"), ("apply_velocity_aug", "max_num_aug_steps", "aug_step")],
)
def test_argument_errors(tok, method, second, third):
    f = getattr(tok, method)
    with pytest.raises(TypeError) as e:
        f("abc", 5, 0)
    assert str(e.value) == "argument 'tokens': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as e:
        f(5, 5, 0)
    assert str(e.value) == "argument 'tokens': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as e:
        f(iter([N(60)]), 5, 0)
    assert str(e.value).startswith("argument 'tokens': ")
    with pytest.raises(TypeError) as e:
        f([N(60)], "5", 0)
    assert str(e.value).startswith(f"argument '{second}': ")
    with pytest.raises(TypeError) as e:
        f([N(60)], 5, 1.5)
    assert str(e.value).startswith(f"argument '{third}': ")
    with pytest.raises(OverflowError):
        f([N(60)], 2**31, 0)
    with pytest.raises(OverflowError):
        f([N(60)], 0, -(2**31) - 1)
    # the token items are converted after the other arguments
    with pytest.raises(TypeError) as e:
        f([N(60), 5], "x", 0)
    assert str(e.value).startswith(f"argument '{second}': ")


BAD_TOKENS = [
    5,
    None,
    ("piano", 60),
    ["piano", 60, 64],
    ("piano", 60.0, 64),
    ("piano", 2**40, 64),
    ("piano", 60, 64, 1),
    (1, 2, 3),
    "\ud800",
    b"<S>",
]


@pytest.mark.parametrize("bad", BAD_TOKENS, ids=[repr(b) for b in BAD_TOKENS])
@pytest.mark.parametrize("position", [0, 2, 4])
def test_invalid_token_anywhere_fails(tok, bad, position):
    tokens = [N(60), ON(0), DUR(10), "<E>"]
    tokens.insert(position, bad)
    for call in (
        lambda: tok.apply_pitch_aug(tokens, 5, None),
        lambda: tok.apply_velocity_aug(tokens, 5, None),
        lambda: tok.apply_tempo_aug(tokens, 0.5, True, None),
        lambda: tok.apply_tempo_aug(tokens, float("inf"), False, None),  # no draw happens first
    ):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == TOKEN_ERROR


def test_text_signatures(tok):
    assert AbsTokenizer.apply_pitch_aug.__text_signature__ == "($self, tokens, max_pitch_aug, pitch_aug)"
    assert AbsTokenizer.apply_velocity_aug.__text_signature__ == "($self, tokens, max_num_aug_steps, aug_step)"
    assert AbsTokenizer.apply_tempo_aug.__text_signature__ == "($self, tokens, max_tempo_aug, mixup, tempo_aug)"


def test_augmentation_does_not_change_the_tokenizer(tok):
    before = (tok.config, tok.time_step_ms, tok.abs_time_step_ms, tok.max_dur_ms, tok.velocity_step, tok.vocab_size())
    tokens = tok.tokenize(sample_piece())
    tok.apply_pitch_aug(tokens, 5, None)
    tok.apply_velocity_aug(tokens, 5, None)
    tok.apply_tempo_aug(tokens, 0.3, True, None)
    after = (tok.config, tok.time_step_ms, tok.abs_time_step_ms, tok.max_dur_ms, tok.velocity_step, tok.vocab_size())
    assert after == before


# --- tempo: worked examples ----------------------------------------------------------------------


def test_tempo_settings(tok):
    assert (tok.time_step_ms, tok.abs_time_step_ms, tok.max_dur_ms) == (10, 5000, 5000)


def test_tempo_one_and_a_half(tok):
    tokens = ["<S>", N(60), ON(4000), DUR(1000), "<T>", N(62), ON(500), DUR(200), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.5) == [
        "<S>",
        "<T>",
        N(60),
        ON(1000),
        DUR(1500),
        N(62),
        ON(3250),
        DUR(300),
        "<E>",
    ]


def test_tempo_factor_one_keeps_tokenizer_output(tok):
    tokens = tok.tokenize(sample_piece())
    assert "<T>" in tokens
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == tokens
    assert tok.apply_tempo_aug(tokens, 0, False, None) == tokens
    assert tok.apply_tempo_aug(tokens, -1.0, False, None) == tokens
    assert tok.apply_tempo_aug(tokens, float("nan"), False, None) == tokens
    assert tok.apply_tempo_aug(tokens, float("-inf"), False, None) == tokens


def test_tempo_factor_one_sorts_events_and_counts_time_tokens(tok):
    tokens = [
        "<S>",
        N(60), ON(3000), DUR(100),
        N(61), ON(1000), DUR(100),
        "<T>", "<T>", "<T>",
        N(62), ON(0), DUR(100),
        DRUM(36), ON(0),
        N(63), ON(1000), DUR(100),
        "<T>",
        N(64), ON(10), DUR(100),
        "<T>", "<T>",
        "<E>",
    ]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        "<S>",
        N(61), ON(1000), DUR(100),
        N(60), ON(3000), DUR(100),
        "<T>", "<T>", "<T>",
        N(62), ON(0), DUR(100),
        DRUM(36), ON(0),
        N(63), ON(1000), DUR(100),
        "<T>",
        N(64), ON(10), DUR(100),
        "<E>",  # time tokens after the last event are gone
    ]


def test_tempo_times_two(tok):
    tokens = [N(60), ON(3000), DUR(3000), "<T>", N(61), ON(0), DUR(1000), N(62), ON(2400), DUR(2600), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 2.0) == [
        "<T>",
        N(60), ON(1000), DUR(5000),
        "<T>",
        N(61), ON(0), DUR(2000),
        N(62), ON(4800), DUR(5000),
        "<E>",
    ]


def test_tempo_half_rounds_halves_away_from_zero(tok):
    tokens = ["<T>", N(60), ON(10), DUR(10), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 0.5) == [N(60), ON(2510), DUR(10), "<E>"]
    assert tok.apply_tempo_aug([N(60), ON(30), DUR(30), "<E>"], 0.0, False, 0.5) == [N(60), ON(20), DUR(20), "<E>"]


def test_tempo_short_notes_can_get_zero_duration(tok):
    assert tok.apply_tempo_aug([N(60), ON(100), DUR(10), "<E>"], 0.0, False, 0.4) == [N(60), ON(40), DUR(0), "<E>"]
    assert tok.apply_tempo_aug([N(60), ON(100), DUR(20), "<E>"], 0.0, False, 0.4) == [N(60), ON(40), DUR(10), "<E>"]


def test_tempo_durations_are_capped(tok):
    assert tok.apply_tempo_aug([N(60), ON(0), DUR(4000), "<E>"], 0.0, False, 1.3) == [N(60), ON(0), DUR(5000), "<E>"]
    assert tok.apply_tempo_aug([N(60), ON(0), DUR(9000), "<E>"], 0.0, False, 1.0) == [N(60), ON(0), DUR(5000), "<E>"]


def test_tempo_same_onset_events_share_the_new_onset_in_input_order(tok):
    tokens = [
        N(60), ON(1000), DUR(100),
        DRUM(36), ON(1000),
        N(64, 8, "guitar"), ON(1000), DUR(300),
        "<U>", ON(1000), DUR(50),
        N(67), ON(2000), DUR(100),
        "<E>",
    ]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.5) == [
        N(60), ON(1500), DUR(150),
        DRUM(36), ON(1500),
        N(64, 8, "guitar"), ON(1500), DUR(450),
        "<U>", ON(1500), DUR(80),  # 7.5 steps -> 8
        N(67), ON(3000), DUR(150),
        "<E>",
    ]


def test_tempo_short_sequences(tok):
    assert tok.apply_tempo_aug(["<S>", "<E>"], 0.0, False, 1.0) == ["<E>"]
    assert tok.apply_tempo_aug(["<E>"], 0.0, False, 1.0) == ["<E>"]
    assert tok.apply_tempo_aug([], 0.0, False, 1.0) == []
    assert tok.apply_tempo_aug(["<S>"], 0.0, False, 1.0) == []
    assert tok.apply_tempo_aug(["<S>", "x", "<E>"], 0.0, False, 1.0) == ["<S>", "<E>"]
    assert tok.apply_tempo_aug(["<E>", "<E>"], 0.0, False, 1.0) == ["<E>"]
    assert tok.apply_tempo_aug(["<E>", N(60), ON(0), DUR(10)], 0.0, False, 1.0) == [N(60), ON(0), DUR(10)]


def test_tempo_head_keeps_start_and_prefix_tokens_in_order(tok):
    tokens = [
        PREFIX("prefix:instrument:piano"),
        "<S>",
        PREFIX("prefix:instrument:drum"),
        N(60), ON(0), DUR(10),
        "<S>",
        N(61), ON(10), DUR(10),
        "<E>",
    ]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 2.0) == [
        PREFIX("prefix:instrument:piano"),
        "<S>",
        PREFIX("prefix:instrument:drum"),
        "<S>",
        N(60), ON(0), DUR(20),
        N(61), ON(20), DUR(20),
        "<E>",
    ]


def test_tempo_head_takes_prefix_tokens_by_their_parsed_form(tok):
    tokens = [
        ("x-prefix:a:b", 0, 0),  # three pieces: a prefix token
        ("prefix:a", 0, 0),  # two pieces: a special token, dropped
        ("prefix:instrument:piano", 7, 9),  # the integers of a prefix token are not kept
        N(60), ON(0), DUR(10),
        "<E>",
    ]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        ("x-prefix:a:b", 0, 0),
        PREFIX("prefix:instrument:piano"),
        N(60), ON(0), DUR(10),
        "<E>",
    ]


def test_tempo_drops_unknown_instruments_and_stray_tokens(tok):
    tokens = [
        "<S>",
        ("flute", 60, 64), ON(100), DUR(100),
        N(61), ON(200), DUR(100),
        "<P>",
        ON(300),
        DUR(300),
        N(62), ON(400),  # no dur: dropped
        N(63), DUR(100), ON(100),  # wrong order: dropped
        "<U>", ON(500),  # no dur: dropped
        "hello",
        PREFIX("prefix:instrument:piano"),
        "<E>",
        N(64), ON(600), DUR(100),
        "<E>",
    ]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        "<S>",
        PREFIX("prefix:instrument:piano"),
        N(61), ON(200), DUR(100),
        N(64), ON(600), DUR(100),
        "<E>",
    ]


def test_tempo_drum_event_has_no_duration(tok):
    assert tok.apply_tempo_aug([DRUM(38), ON(200), "<E>"], 0.0, False, 1.5) == [DRUM(38), ON(300), "<E>"]
    # a dur token after a drum event does not belong to it and is dropped
    assert tok.apply_tempo_aug([DRUM(38), ON(200), DUR(100), "<E>"], 0.0, False, 1.5) == [DRUM(38), ON(300), "<E>"]
    # the event must start three positions before the end to be seen at all
    assert tok.apply_tempo_aug([DRUM(38), ON(200)], 0.0, False, 1.5) == []


def test_tempo_dim_follows_its_event(tok):
    tokens = [N(60), ON(1000), DUR(100), "<D>", N(61), ON(2000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == tokens
    tokens = [DRUM(36), ON(1000), "<D>", N(61), ON(2000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 2.0) == [
        DRUM(36), ON(2000), "<D>", N(61), ON(4000), DUR(200), "<E>"
    ]


def test_tempo_dim_moves_to_first_event_of_its_onset(tok):
    tokens = [N(60), ON(1000), DUR(100), N(61), ON(1000), DUR(100), "<D>", N(62), ON(2000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), "<D>", N(61), ON(1000), DUR(100), N(62), ON(2000), DUR(100), "<E>"
    ]


def test_tempo_dim_in_last_two_positions_is_dropped(tok):
    assert tok.apply_tempo_aug([N(60), ON(1000), DUR(100), "<D>", "<E>"], 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), "<E>"
    ]
    assert tok.apply_tempo_aug([N(60), ON(1000), DUR(100), "<D>"], 0.0, False, 1.0) == [N(60), ON(1000), DUR(100)]
    # three positions before the end it counts
    assert tok.apply_tempo_aug([N(60), ON(1000), DUR(100), "<D>", "x", "<E>"], 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), "<D>", "<E>"
    ]


def test_tempo_dim_before_any_event_is_dropped(tok):
    assert tok.apply_tempo_aug(["<D>", N(60), ON(1000), DUR(100), "<E>"], 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), "<E>"
    ]


def test_tempo_later_dim_replaces_earlier_one(tok):
    tokens = [N(60), ON(1000), DUR(100), "<D>", N(61), ON(2000), DUR(100), "<D>", N(62), ON(3000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), N(61), ON(2000), DUR(100), "<D>", N(62), ON(3000), DUR(100), "<E>"
    ]


def test_tempo_time_token_between_event_and_dim(tok):
    # the dim names segment 1 with the event's onset 1000: an event there receives it
    tokens = [N(60), ON(1000), DUR(100), "<T>", "<D>", N(61), ON(1000), DUR(100), N(62), ON(2000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), "<T>", N(61), ON(1000), DUR(100), "<D>", N(62), ON(2000), DUR(100), "<E>"
    ]
    # no event at segment 1, onset 1000: the dim disappears
    tokens = [N(60), ON(1000), DUR(100), "<T>", "<D>", N(61), ON(1500), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 1.0) == [
        N(60), ON(1000), DUR(100), "<T>", N(61), ON(1500), DUR(100), "<E>"
    ]


def test_tempo_negative_factor(tok):
    tokens = [N(60), ON(1000), DUR(100), "<T>", N(61), ON(500), DUR(200), "<T>", "<T>", DRUM(36), ON(0), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, -1.0) == [
        N(60), ON(-1000), DUR(-100),
        N(61), ON(-500), DUR(-200),
        DRUM(36), ON(0),
        "<E>",
    ]


def test_tempo_nan_factor_puts_everything_at_zero(tok):
    tokens = [N(60), ON(1000), DUR(100), "<T>", N(61), ON(500), DUR(200), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, float("nan")) == [
        N(60), ON(0), DUR(0), N(61), ON(0), DUR(0), "<E>"
    ]


def test_tempo_zero_factor(tok):
    tokens = [N(60), ON(1000), DUR(100), "<T>", N(61), ON(500), DUR(200), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.0, False, 0.0) == [N(60), ON(0), DUR(0), N(61), ON(0), DUR(0), "<E>"]


def test_tempo_given_factor_ignores_the_maximum(tok):
    tokens = [N(60), ON(1000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.1, False, 3.0) == [N(60), ON(3000), DUR(300), "<E>"]
    assert tok.apply_tempo_aug(tokens, float("inf"), False, 3.0) == [N(60), ON(3000), DUR(300), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0.1, False, 3) == [N(60), ON(3000), DUR(300), "<E>"]


@pytest.mark.parametrize("maximum", [float("inf"), 1e308])
def test_tempo_infinite_range_is_an_internal_failure(tok, maximum):
    panic = panic_exception_type(tok)
    assert panic.__name__ == "PanicException"
    assert not issubclass(panic, Exception)
    with pytest.raises(panic) as e:
        tok.apply_tempo_aug([N(60), ON(1000), DUR(100), "<E>"], maximum, False, None)
    assert "not finite" in str(e.value)
    # the tokenizer keeps working
    assert tok.apply_tempo_aug([N(60), ON(1000), DUR(100), "<E>"], 0.0, False, 1.0) == [N(60), ON(1000), DUR(100), "<E>"]


def test_tempo_random_factor_stays_in_range(tok):
    tokens = ["<T>"] * 20 + [N(60), ON(0), DUR(1000), "<E>"]
    for _ in range(200):
        out = tok.apply_tempo_aug(tokens, 0.1, False, None)
        t = out.count("<T>") * 5000 + out[-3][1]
        assert 90000 - 5 <= t <= 110000 + 5
        assert 900 - 10 <= out[-2][1] <= 1100 + 10


def test_tempo_mixup_keeps_order_of_different_onsets(tok):
    tokens = []
    groups = []
    for g in range(6):
        group = [N(40 + 5 * g + j) for j in range(g % 3 + 1)]
        groups.append(group)
        for n in group:
            tokens += [n, ON(100 * (6 - g)), DUR(50)]  # later groups have earlier onsets
        if g == 2:
            tokens.append("<T>")  # groups 3.. are in the next segment
    tokens.append("<E>")
    expected_order = groups[2::-1] + groups[:2:-1]
    for _ in range(100):
        out = tok.apply_tempo_aug(tokens, 0.0, True, 1.0)
        assert out.count("<T>") == 1 and out[-1] == "<E>"
        body = [t for t in out if t != "<T>"][:-1]
        leads = body[0::3]
        pos = 0
        for group in expected_order:
            chunk = leads[pos:pos + len(group)]
            assert sorted(chunk) == sorted(group)
            pos += len(group)
        assert pos == len(leads)


def test_tempo_mixup_without_simultaneous_events_changes_nothing(tok):
    tokens = tok.apply_tempo_aug(tok.tokenize(sample_piece()), 0.0, False, 1.0)
    single = [N(60), ON(0), DUR(10), N(61), ON(10), DUR(10), "<T>", DRUM(36), ON(0), "<E>"]
    for _ in range(20):
        assert tok.apply_tempo_aug(single, 0.0, True, 1.0) == single
    # the sample piece has one onset with three events; everything else stays put
    for _ in range(20):
        out = tok.apply_tempo_aug(tokens, 0.0, True, 1.0)
        assert len(out) == len(tokens)
        assert sorted(map(repr, out)) == sorted(map(repr, tokens))


# --- tempo: arguments ----------------------------------------------------------------------------


def test_tempo_argument_errors(tok):
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug("abc", 0.0, False, 1.0)
    assert str(e.value) == "argument 'tokens': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug(None, 0.0, False, 1.0)
    assert str(e.value) == "argument 'tokens': 'NoneType' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug([], "0.5", False, 1.0)
    assert str(e.value).startswith("argument 'max_tempo_aug': ")
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug([], 0.5, 1, 1.0)
    assert str(e.value) == "argument 'mixup': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug([], 0.5, None, 1.0)
    assert str(e.value) == "argument 'mixup': 'NoneType' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug([], 0.5, False, "1")
    assert str(e.value).startswith("argument 'tempo_aug': ")
    # arguments before token items
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug([5], 0.5, 1, 1.0)
    assert str(e.value).startswith("argument 'mixup': ")


def test_tempo_missing_and_keyword_arguments(tok):
    with pytest.raises(TypeError) as e:
        tok.apply_tempo_aug([], 0.5, False)
    assert "missing 1 required positional argument: 'tempo_aug'" in str(e.value)
    with pytest.raises(TypeError, match="takes 4 positional arguments but 5 were given"):
        tok.apply_tempo_aug([], 0.5, False, None, None)
    out = tok.apply_tempo_aug(tempo_aug=2.0, mixup=False, max_tempo_aug=0.0, tokens=[N(60), ON(10), DUR(10), "<E>"])
    assert out == [N(60), ON(20), DUR(20), "<E>"]


def test_tempo_accepts_float_like_arguments(tok):
    class Half:
        def __float__(self):
            return 0.5

    tokens = [N(60), ON(1000), DUR(100), "<E>"]
    assert tok.apply_tempo_aug(tokens, 0, False, Half()) == [N(60), ON(500), DUR(50), "<E>"]
    assert tok.apply_tempo_aug(tokens, Half(), False, 2) == [N(60), ON(2000), DUR(200), "<E>"]


# --- tempo: comparison with a straightforward model on many generated sequences -----------------

S, A, D = 10, 5000, 5000
KEPT_INSTRUMENTS = ("piano", "guitar", "drum")


def _scale(value, factor):
    return wrap32(round_to_i32(float(value) * factor / float(S)) * S)


def _kind(t):
    if isinstance(t, str):
        return "special"
    s = t[0]
    if s.startswith("<"):
        return "special"
    if s in ("onset", "dur", "drum"):
        return s
    if "prefix:" in s and len(s.split(":")) == 3:
        return "prefix"
    return "note"


def _text(t):
    return t if isinstance(t, str) else t[0]


def model_tempo_aug(tokens, factor):
    head, table = [], {}
    k, last_onset, dim = 0, None, None

    def record(lead, onset, dur):
        nonlocal last_onset
        table.setdefault(k, {}).setdefault(onset[1], []).append((lead, dur))
        last_onset = onset[1]

    n = len(tokens)
    for i in range(n - 2):
        t0, t1, t2 = tokens[i], tokens[i + 1], tokens[i + 2]
        k0 = _kind(t0)
        onset_dur = _kind(t1) == "onset" and _kind(t2) == "dur"
        if k0 == "special" and _text(t0) == "<T>":
            k = wrap32(k + 1)
        elif k0 == "special" and _text(t0) == "<U>":
            if onset_dur:
                record("<U>", t1, t2)
        elif k0 == "special" and _text(t0) == "<S>":
            head.append("<S>")
        elif k0 == "special" and _text(t0) == "<D>":
            if last_onset is not None:
                dim = (k, last_onset)
        elif k0 == "prefix":
            head.append((t0[0], 0, 0))
        elif k0 == "note":
            if onset_dur and t0[0] in KEPT_INSTRUMENTS:
                record(t0, t1, t2)
        elif k0 == "drum":
            if _kind(t1) == "onset":
                record(("drum", t0[1], 0), t1, None)
    out = list(head)
    cur = 0
    for seg in sorted(table):
        for o in sorted(table[seg]):
            T = _scale(wrap32(seg * A + o), factor)
            g = abs(T) // A * (1 if T >= 0 else -1)
            new_onset = T - g * A
            out += ["<T>"] * max(0, g - cur)
            for lead, dur in table[seg][o]:
                out.append(lead)
                out.append(("onset", new_onset, 0))
                if dur is not None:
                    out.append(("dur", min(_scale(dur[1], factor), D), 0))
                if dim is not None and dim == (seg, o):
                    out.append("<D>")
                    dim = None
            cur = g
    if n > 0 and _kind(tokens[-1]) == "special" and _text(tokens[-1]) == "<E>":
        out.append("<E>")
    return out


def _random_sequence(rng):
    out = []
    if rng.random() < 0.7:
        out.append("<S>")
    for _ in range(rng.randrange(0, 25)):
        r = rng.random()
        onset = rng.choice([rng.randrange(0, 5000, 10), rng.randrange(0, 5000), rng.choice([0, 4990, 2500])])
        if r < 0.45:
            out += [N(rng.randrange(128), rng.randrange(0, 128, 4), rng.choice(["piano", "piano", "guitar", "flute"])),
                    ON(onset), DUR(rng.choice([rng.randrange(0, 5001, 10), rng.randrange(0, 9000)]))]
        elif r < 0.6:
            out += [DRUM(rng.randrange(128)), ON(onset)]
        elif r < 0.68:
            out += ["<U>", ON(onset), DUR(rng.randrange(0, 3000, 10))]
        elif r < 0.8:
            out += ["<T>"] * rng.choice([1, 1, 2, 3])
        elif r < 0.86:
            out.append("<D>")
        elif r < 0.9:
            out.append(PREFIX(rng.choice(["prefix:instrument:piano", "prefix:genre:jazz", "a:prefix:b"])))
        else:
            out.append(rng.choice(["<P>", "<E>", "<S>", ON(onset), DUR(100), "junk", N(60), DRUM(5)]))
    if rng.random() < 0.7:
        out.append("<E>")
    return out


FACTORS = [1.0, 1.5, 0.5, 2.0, 0.4, 0.9137, 1.0833, 3.3, 0.05, -0.7, 0.0, float("nan"), float("inf"), 37.0]


def test_model_handles_the_worked_example():
    tokens = ["<S>", N(60), ON(4000), DUR(1000), "<T>", N(62), ON(500), DUR(200), "<E>"]
    assert model_tempo_aug(tokens, 1.5) == [
        "<S>", "<T>", N(60), ON(1000), DUR(1500), N(62), ON(3250), DUR(300), "<E>"
    ]


def test_tempo_matches_model_on_generated_sequences(tok):
    rng = random.Random(20240611)
    for case in range(600):
        tokens = _random_sequence(rng)
        for factor in FACTORS:
            got = tok.apply_tempo_aug(tokens, 0.0, False, factor)
            assert got == model_tempo_aug(tokens, factor), (case, factor, tokens)
