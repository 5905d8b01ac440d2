"""The absolute tokenizer: construction and attributes, the ID layout of the vocabulary, velocity
quantization, how Python objects are read as tokens, encode/decode, and worked examples of
tokenize and detokenize."""

from __future__ import annotations

import collections
import hashlib
import os
import subprocess
import sys

import pytest

import noteloom
from noteloom import AbsTokenizer, MidiDict
from support import (
    DRUM_BASE,
    DUR_BASE,
    INT32_MAX,
    INT32_MIN,
    NOTE_BASE,
    ONSET_BASE,
    VOCAB_SIZE,
    full_notes_of,
    instruments_of,
    Index,
    make_piece,
    note_id,
    notes_of,
    snapshot,
    tempos_of,
    vocabulary,
)

BAD_TOKEN = "Token must be either a string or a 3-tuple"
PIANO = ("prefix:instrument:piano", 0, 0)
GUITAR = ("prefix:instrument:guitar", 0, 0)
DRUM = ("prefix:instrument:drum", 0, 0)


@pytest.fixture(scope="module")
def tok():
    return AbsTokenizer()


def ms_piece(notes, instruments=(), pedals=(), metadata=None):
    """A piece at 500 ticks per beat and 500000 us per beat: one tick is one millisecond."""
    return make_piece(notes, tempos=[(500000, 0)], instruments=instruments, pedals=pedals, metadata=metadata, tpb=500)


def group(instrument, pitch, velocity, onset, dur):
    return [(instrument, pitch, velocity), ("onset", onset, 0), ("dur", dur, 0)]


# =================================================================================================
# Construction and attributes
# =================================================================================================


def test_class_is_published_in_the_submodule():
    korvi = sys.modules["noteloom.korvi._korvi"]
    assert AbsTokenizer is korvi._AbsTokenizer is noteloom._AbsTokenizer
    assert AbsTokenizer.__name__ == "_AbsTokenizer"
    assert isinstance(AbsTokenizer(), AbsTokenizer)


@pytest.mark.parametrize(
    "read, expected",
    [
        (lambda t: t.vocab_size(), 13351),
        (lambda t: t.name(), "abs"),
        (lambda t: t.unk_tok, "<U>"),
        (lambda t: t.max_velocity, 124),
        (lambda t: t.time_step_ms, 10),
        (lambda t: t.abs_time_step_ms, 5000),
        (lambda t: t.max_dur_ms, 5000),
        (lambda t: t.velocity_step, 4),
    ],
    ids=["vocab_size", "name", "unk_tok", "max_velocity", "time_step_ms", "abs_time_step_ms", "max_dur_ms", "velocity_step"],
)
def test_scalar_attributes(tok, read, expected):
    value = read(tok)
    assert type(value) is type(expected)
    assert value == expected


def test_config_content_and_order(tok):
    cfg = tok.config
    assert type(cfg) is dict
    assert list(cfg) == ["ignore_instruments", "instrument_programs", "drum_velocity"]
    assert list(cfg["ignore_instruments"].items()) == [("piano", False), ("guitar", False), ("drum", False)]
    assert all(v is False for v in cfg["ignore_instruments"].values())
    assert list(cfg["instrument_programs"].items()) == [("piano", 0), ("guitar", 24), ("drum", 0)]
    assert type(cfg["drum_velocity"]) is int and cfg["drum_velocity"] == 127


def test_config_is_a_new_copy_every_time():
    t = AbsTokenizer()
    first = t.config
    assert first is not t.config
    assert first["instrument_programs"] is not t.config["instrument_programs"]
    first["drum_velocity"] = 0
    first["ignore_instruments"]["piano"] = True
    first["instrument_programs"]["guitar"] = 99
    del first["instrument_programs"]["piano"]
    first["extra"] = 1
    again = t.config
    assert again == {
        "ignore_instruments": {"piano": False, "guitar": False, "drum": False},
        "instrument_programs": {"piano": 0, "guitar": 24, "drum": 0},
        "drum_velocity": 127,
    }
    # The tokenizer itself still works with its built-in values.
    d = t.detokenize([GUITAR, DRUM, "<S>", ("drum", 38, 0), ("onset", 0, 0)])
    assert instruments_of(d) == [(24, 0, 0), (0, 0, 9)]
    assert full_notes_of(d) == [(38, 0, 10, 127, 0, 9)]
    assert t.tokenize(ms_piece([(60, 0, 100, 64, 0)]))[0] == PIANO


def test_instruments_nd_is_a_new_list_in_fixed_order(tok):
    names = tok.instruments_nd
    assert names == ["piano", "guitar", "drum"]
    assert type(names) is list
    names.append("organ")
    names[0] = "x"
    assert tok.instruments_nd == ["piano", "guitar", "drum"]
    assert tok.instruments_nd is not tok.instruments_nd


@pytest.mark.parametrize(
    "attr",
    ["config", "time_step_ms", "abs_time_step_ms", "max_dur_ms", "velocity_step", "max_velocity", "instruments_nd", "unk_tok"],
)
def test_attributes_are_read_only(tok, attr):
    before = getattr(tok, attr)
    with pytest.raises(AttributeError):
        setattr(tok, attr, before)
    with pytest.raises(AttributeError):
        delattr(tok, attr)
    assert getattr(tok, attr) == before


@pytest.mark.parametrize(
    "method, signature",
    [
        ("tokenize", "($self, py_midi_dict, remove_preceding_silence=None)"),
        ("detokenize", "($self, tokens)"),
        ("encode", "($self, tokens)"),
        ("decode", "($self, ids)"),
        ("vocab_size", "($self)"),
        ("name", "($self)"),
        ("_quantize_velocity", "($self, velocity)"),
    ],
)
def test_text_signatures(tok, method, signature):
    assert getattr(AbsTokenizer, method).__text_signature__ == signature
    assert getattr(tok, method).__text_signature__ == signature
    # The docstring holds the signature and nothing else, so the interpreter shows no text.
    assert getattr(AbsTokenizer, method).__doc__ is None


@pytest.mark.parametrize(
    "make",
    [lambda: AbsTokenizer(1), lambda: AbsTokenizer(None), lambda: AbsTokenizer(config={})],
    ids=["positional", "positional-None", "keyword"],
)
def test_constructor_takes_no_arguments(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.vocab_size(1),
        lambda t: t.name(1),
        lambda t: t._quantize_velocity(),
        lambda t: t._quantize_velocity(1, 2),
        lambda t: t._quantize_velocity(speed=1),
        lambda t: t.encode(),
        lambda t: t.decode([], []),
        lambda t: t.detokenize(tokens=[], extra=1),
        lambda t: t.tokenize(),
        lambda t: t.tokenize(MidiDict(), None, None),
        lambda t: t.tokenize(MidiDict(), py_midi_dict=MidiDict()),
    ],
)
def test_argument_count_errors(tok, call):
    with pytest.raises(TypeError):
        call(tok)


def test_keyword_arguments_are_accepted(tok):
    assert tok.encode(tokens=["<E>"]) == [1]
    assert tok.decode(ids=[1]) == ["<E>"]
    assert tok._quantize_velocity(velocity=7) == 8
    assert full_notes_of(tok.detokenize(tokens=[PIANO, *group("piano", 60, 64, 0, 10)])) == [(60, 0, 10, 64, 0, 0)]
    d = ms_piece([(60, 0, 100, 64, 0)])
    assert tok.tokenize(py_midi_dict=d, remove_preceding_silence=True) == tok.tokenize(d)


def _vocab_digest(t):
    return hashlib.sha256(repr(t.decode(list(range(t.vocab_size())))).encode()).hexdigest()


def test_two_tokenizers_have_the_same_vocabulary():
    a, b = AbsTokenizer(), AbsTokenizer()
    assert a.decode(list(range(VOCAB_SIZE))) == b.decode(list(range(VOCAB_SIZE)))
    assert a.instruments_nd == b.instruments_nd
    assert a.config == b.config


def test_two_processes_have_the_same_vocabulary():
    code = (
        "import hashlib; from noteloom import AbsTokenizer; t = AbsTokenizer(); "
        "print(hashlib.sha256(repr(t.decode(list(range(t.vocab_size())))).encode()).hexdigest())"
    )
    digests = set()
    for seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        digests.add(out.stdout.strip())
    assert digests == {_vocab_digest(AbsTokenizer())}


# =================================================================================================
# ID layout
# =================================================================================================


def test_whole_vocabulary_in_id_order(tok):
    assert tok.decode(list(range(VOCAB_SIZE))) == vocabulary()


@pytest.mark.parametrize(
    "token_id, token",
    [
        (0, "<S>"),
        (1, "<E>"),
        (2, "<P>"),
        (3, "<U>"),
        (4, "<D>"),
        (5, "<T>"),
        (6, ("prefix:instrument:piano", 0, 0)),
        (7, ("prefix:instrument:guitar", 0, 0)),
        (8, ("prefix:instrument:drum", 0, 0)),
        (9, ("prefix:composer:Orlane", 0, 0)),
        (10, ("prefix:composer:Vesk", 0, 0)),
        (11, ("prefix:form:sonata", 0, 0)),
        (12, ("prefix:form:fugue", 0, 0)),
        (13, ("prefix:genre:classical", 0, 0)),
        (14, ("prefix:genre:jazz", 0, 0)),
        (15, ("piano", 0, 0)),
        (16, ("piano", 0, 4)),
        (46, ("piano", 0, 124)),
        (47, ("piano", 1, 0)),
        (1951, ("piano", 60, 64)),
        (4110, ("piano", 127, 124)),
        (4111, ("guitar", 0, 0)),
        (8206, ("guitar", 127, 124)),
        (12303, ("drum", 35, 0)),
        (12306, ("drum", 38, 0)),
        (12349, ("drum", 81, 0)),
        (12350, ("dur", 0, 0)),
        (12351, ("dur", 10, 0)),
        (12850, ("dur", 5000, 0)),
        (12851, ("onset", 0, 0)),
        (12852, ("onset", 10, 0)),
        (13350, ("onset", 4990, 0)),
    ],
)
def test_block_boundaries(tok, token_id, token):
    assert tok.decode([token_id]) == [token]
    assert tok.encode([token]) == [token_id]


@pytest.mark.parametrize(
    "token_id, pitch, velocity",
    [(8207, 0, 0), (8208, 0, 4), (8207 + 38 * 32 + 16, 38, 64), (12302, 127, 124)],
)
def test_drum_note_block_decodes_as_drum_tuples(tok, token_id, pitch, velocity):
    # The third note block (instrument "drum") comes back as ("drum", pitch, velocity), which reads
    # back as the drum token of that pitch.
    assert token_id == note_id("drum", pitch, velocity)
    assert tok.decode([token_id]) == [("drum", pitch, velocity)]
    assert tok.encode([("drum", pitch, velocity)]) == [DRUM_BASE + pitch - 35 if 35 <= pitch <= 81 else 0]


def test_note_id_formula(tok):
    for k, instrument in enumerate(["piano", "guitar"]):
        tokens = [(instrument, p, v) for p in range(128) for v in range(0, 125, 4)]
        expected = [15 + (k * 128 + p) * 32 + v // 4 for p in range(128) for v in range(0, 125, 4)]
        assert tok.encode(tokens) == expected
        assert tok.decode(expected) == tokens


def test_drum_dur_onset_id_formulas(tok):
    assert tok.encode([("drum", p, 0) for p in range(35, 82)]) == [12303 + p - 35 for p in range(35, 82)]
    assert tok.encode([("dur", d, 0) for d in range(0, 5001, 10)]) == [12350 + d // 10 for d in range(0, 5001, 10)]
    assert tok.encode([("onset", t, 0) for t in range(0, 4991, 10)]) == [12851 + t // 10 for t in range(0, 4991, 10)]


@pytest.mark.parametrize(
    "token",
    [
        ("drum", 34, 0),
        ("drum", 82, 0),
        ("drum", -1, 0),
        ("onset", 5000, 0),
        ("onset", 5, 0),
        ("onset", -10, 0),
        ("dur", 5010, 0),
        ("dur", 15, 0),
        ("dur", -10, 0),
        ("piano", 60, 2),
        ("piano", 60, 128),
        ("piano", 60, -4),
        ("piano", 128, 64),
        ("piano", -1, 64),
        ("organ", 60, 64),
        ("Piano", 60, 64),
        ("prefix:instrument:organ", 0, 0),
        ("prefix:composer:vesk", 0, 0),
        ("prefix:genre:pop", 0, 0),
        "<X>",
        "",
        "prefix:instrument:piano",
        "onset",
    ],
)
def test_tokens_outside_the_vocabulary_encode_as_zero(tok, token):
    assert tok.encode([token]) == [0]
    assert tok.encode(["<E>", token, "<T>"]) == [1, 0, 5]


@pytest.mark.parametrize("token_id", [-1, VOCAB_SIZE, VOCAB_SIZE + 1, INT32_MAX, INT32_MIN])
def test_ids_outside_the_vocabulary_decode_as_unknown(tok, token_id):
    assert tok.decode([token_id]) == ["<U>"]
    assert tok.decode([1, token_id, 5]) == ["<E>", "<U>", "<T>"]


def test_encode_decode_empty_and_any_sequence(tok):
    assert tok.encode([]) == []
    assert tok.decode([]) == []
    assert tok.encode(("<S>", "<E>")) == [0, 1]
    assert tok.decode((0, 1)) == ["<S>", "<E>"]
    assert tok.decode(range(3)) == ["<S>", "<E>", "<P>"]
    assert tok.decode([True, False]) == ["<E>", "<S>"]
    assert tok.encode(["<U>"]) == [3]


def test_decode_accepts_index_objects(tok):
    assert tok.decode([Index(5), Index(12851)]) == ["<T>", ("onset", 0, 0)]


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


class LazySequence:
    """A sequence without __len__: read through __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


def test_decode_passes_other_conversion_errors_unchanged(tok):
    with pytest.raises(ValueError, match="no index"):
        tok.decode([0, RaisingIndex()])


def test_token_with_failing_integer_conversion_is_refused(tok):
    with pytest.raises(TypeError) as info:
        tok.encode([("piano", RaisingIndex(), 64)])
    assert str(info.value) == BAD_TOKEN
    with pytest.raises(TypeError) as info:
        tok.encode([("piano", 60, Index(2**31))])
    assert str(info.value) == BAD_TOKEN


def test_sequences_without_length_are_accepted(tok):
    assert tok.encode(LazySequence(["<E>", ("piano", 60, 64)])) == [1, 1951]
    assert tok.decode(LazySequence([1, 1951])) == ["<E>", ("piano", 60, 64)]
    assert notes_of(tok.detokenize(LazySequence([PIANO, *group("piano", 60, 64, 0, 10)]))) == [(60, 0, 10, 64, 0)]


@pytest.mark.parametrize(
    "ids, exc, message",
    [
        (["a"], TypeError, "argument 'ids': 'str' object cannot be interpreted as an integer"),
        ([1.0], TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
        ([None], TypeError, "argument 'ids': 'NoneType' object cannot be interpreted as an integer"),
        ([0, 1, "x"], TypeError, "argument 'ids': 'str' object cannot be interpreted as an integer"),
        ("abc", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'ids': 'NoneType' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'ids': 'set' object cannot be converted to 'Sequence'"),
        ([2**31], OverflowError, None),
        ([-(2**31) - 1], OverflowError, None),
        ([0, 2**40], OverflowError, None),
    ],
)
def test_decode_argument_errors(tok, ids, exc, message):
    with pytest.raises(exc) as info:
        tok.decode(ids)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.encode("<S>"), "argument 'tokens': Can't extract `str` to `Vec`"),
        (lambda t: t.detokenize("<S>"), "argument 'tokens': Can't extract `str` to `Vec`"),
        (lambda t: t.encode(5), "argument 'tokens': 'int' object cannot be converted to 'Sequence'"),
        (lambda t: t.detokenize(None), "argument 'tokens': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda t: t.encode({"<S>": 1}), "argument 'tokens': 'dict' object cannot be converted to 'Sequence'"),
        (lambda t: t.detokenize(x for x in ["<S>"]), "argument 'tokens': 'generator' object cannot be converted to 'Sequence'"),
    ],
)
def test_token_sequence_argument_errors(tok, call, message):
    with pytest.raises(TypeError) as info:
        call(tok)
    assert str(info.value) == message


# =================================================================================================
# Velocity quantization
# =================================================================================================


@pytest.mark.parametrize(
    "velocity, expected",
    [
        (0, 0),
        (1, 4),
        (2, 4),
        (3, 4),
        (4, 4),
        (5, 4),
        (6, 4),
        (7, 8),
        (10, 12),
        (14, 12),
        (64, 64),
        (122, 120),
        (124, 124),
        (125, 124),
        (126, 124),
        (127, 124),
        (200, 124),
        (-1, 4),
        (-5, 4),
        (INT32_MAX, 124),
        (INT32_MIN, 4),
    ],
)
def test_quantize_velocity(tok, velocity, expected):
    assert tok._quantize_velocity(velocity) == expected


def test_quantize_velocity_accepts_bool_and_index(tok):
    assert tok._quantize_velocity(True) == 4
    assert tok._quantize_velocity(False) == 0
    assert tok._quantize_velocity(Index(63)) == 64


@pytest.mark.parametrize("velocity", [2**31, -(2**31) - 1, 2**70])
def test_quantize_velocity_overflow(tok, velocity):
    with pytest.raises(OverflowError):
        tok._quantize_velocity(velocity)


@pytest.mark.parametrize(
    "velocity, type_name",
    [(64.0, "float"), ("64", "str"), (None, "NoneType"), ([64], "list")],
)
def test_quantize_velocity_type_errors(tok, velocity, type_name):
    with pytest.raises(TypeError) as info:
        tok._quantize_velocity(velocity)
    assert str(info.value) == f"argument 'velocity': '{type_name}' object cannot be interpreted as an integer"


# =================================================================================================
# Reading Python objects as tokens
# =================================================================================================


class Str(str):
    pass


class Tuple(tuple):
    pass


Named = collections.namedtuple("Named", "name a b")


@pytest.mark.parametrize(
    "token, token_id",
    [
        # every str is a special token with that text, whatever the text
        ("<S>", 0),
        ("<T>", 5),
        ("<U>", 3),
        ("prefix:instrument:piano", 0),
        ("onset", 0),
        ("piano", 0),
        ("", 0),
        (Str("<E>"), 1),
        # a tuple whose text starts with '<' is a special token; its integers are dropped
        (("<E>", 1, 2), 1),
        (("<T>", 0, 0), 5),
        (("<D>", -5, INT32_MAX), 4),
        (("<S", 9, 9), 0),
        (("<prefix:instrument:piano", 0, 0), 0),
        # onset, dur and drum ignore the third element
        (("onset", 120, 999), ONSET_BASE + 12),
        (("onset", 4990, -1), 13350),
        (("dur", 500, 7), DUR_BASE + 50),
        (("drum", 38, 7), DRUM_BASE + 3),
        (("drum", 81, INT32_MIN), 12349),
        # "prefix:" anywhere: split at ':' into exactly three pieces, else a special token
        (("prefix:instrument:piano", 0, 0), 6),
        (("prefix:instrument:guitar", 5, 6), 7),
        (("prefix:genre:jazz", 0, 0), 14),
        (("prefix:composer:Orlane", 0, 0), 9),
        (("prefix:a", 0, 0), 0),
        (("x-prefix:a:b", 0, 0), 0),
        (("prefix:instrument:piano:x", 0, 0), 0),
        # note tokens
        (("piano", 60, 64), 1951),
        (("guitar", 0, 0), 4111),
        (("guitar", 127, 124), 8206),
        (("", 60, 64), 0),
        # comparisons are exact and case-sensitive
        (("Onset", 0, 0), 0),
        (("DRUM", 38, 0), 0),
        (("onset ", 0, 0), 0),
        # bools are integers
        (("piano", True, False), NOTE_BASE + 32),
        (("onset", False, True), ONSET_BASE),
        (("dur", True, 0), 0),
        # subclasses and __index__ objects
        (Tuple(("piano", 60, 64)), 1951),
        (Named("onset", 10, 0), ONSET_BASE + 1),
        ((Str("dur"), 10, 0), DUR_BASE + 1),
        (("piano", Index(60), Index(64)), 1951),
    ],
)
def test_token_classification_by_id(tok, token, token_id):
    assert tok.encode([token]) == [token_id]


@pytest.mark.parametrize(
    "token, canonical",
    [
        (("<E>", 1, 2), "<E>"),
        (("onset", 120, 999), ("onset", 120, 0)),
        (("dur", 500, 7), ("dur", 500, 0)),
        (("drum", 38, 7), ("drum", 38, 0)),
        (("prefix:instrument:guitar", 5, 6), ("prefix:instrument:guitar", 0, 0)),
        (("piano", True, False), ("piano", 1, 0)),
        (Tuple(("piano", 60, 64)), ("piano", 60, 64)),
        (Str("<E>"), "<E>"),
    ],
)
def test_token_comes_back_in_canonical_form(tok, token, canonical):
    back = tok.decode(tok.encode([token]))
    assert back == [canonical]
    assert type(back[0]) is type(canonical)


def _detok_notes(t, tokens):
    return full_notes_of(t.detokenize(tokens))


def test_plain_string_prefix_is_special_not_prefix(tok):
    # As a tuple it gives the piano a channel; as a plain string it is a special token, passed over.
    body = [*group("piano", 60, 64, 0, 100)]
    assert _detok_notes(tok, [("prefix:instrument:piano", 0, 0), "<S>", *body]) == [(60, 0, 100, 64, 0, 0)]
    assert _detok_notes(tok, ["prefix:instrument:piano", "<S>", *body]) == []
    assert instruments_of(tok.detokenize(["prefix:instrument:piano", "<S>", *body])) == []


@pytest.mark.parametrize(
    "first",
    [("prefix:a", 0, 0), ("x-prefix:a:b", 0, 0), ("prefix:instrument:piano:x", 0, 0), ("<X>", 1, 1), "onset"],
)
def test_special_and_prefix_tuples_do_not_end_the_prefix(tok, first):
    tokens = [first, PIANO, "<S>", *group("piano", 60, 64, 0, 100)]
    assert _detok_notes(tok, tokens) == [(60, 0, 100, 64, 0, 0)]


@pytest.mark.parametrize(
    "first",
    [("", 60, 64), ("organ", 60, 64), ("Onset", 0, 0), ("onset", 0, 0), ("dur", 10, 0), ("drum", 38, 0)],
)
def test_other_tuples_end_the_prefix(tok, first):
    # A note, onset, dur or drum token ends the prefix: a piano prefix after it is not read.
    d = tok.detokenize([first, PIANO, "<S>", *group("piano", 60, 64, 0, 100)])
    assert instruments_of(d) == []
    assert notes_of(d) == []


def test_tuple_special_time_token_counts_as_time(tok):
    tokens = [PIANO, "<S>", *group("piano", 60, 64, 0, 100), ("<T>", 7, 8), *group("piano", 62, 64, 10, 100)]
    assert _detok_notes(tok, tokens) == [(60, 0, 100, 64, 0, 0), (62, 5010, 5110, 64, 5010, 0)]
    tokens[5] = ("<T>x", 0, 0)
    assert _detok_notes(tok, tokens) == [(60, 0, 100, 64, 0, 0), (62, 10, 110, 64, 10, 0)]


def test_onset_with_any_third_element_and_string_onset(tok):
    ok = [PIANO, "<S>", ("piano", 60, 64), ("onset", 120, 999), ("dur", 500, -3)]
    assert _detok_notes(tok, ok) == [(60, 120, 620, 64, 120, 0)]
    # The plain string "onset" is a special token, so the group is incomplete.
    assert _detok_notes(tok, [PIANO, "<S>", ("piano", 60, 64), "onset", ("dur", 500, 0)]) == []


REFUSED = [
    ("piano", 60),
    ("piano", 60, 64, 0),
    (),
    ["piano", 60, 64],
    ("piano", 60.0, 64),
    ("piano", 60, 64.0),
    ("piano", 2**40, 64),
    ("piano", 60, 2**31),
    ("piano", 60, -(2**31) - 1),
    ("onset", 2**31, 0),
    ("piano", "60", 64),
    ("piano", None, 64),
    ("<S>", 1.5, 0),
    ("prefix:a:b", "x", 0),
    (b"piano", 60, 64),
    (60, "piano", 64),
    (None, 0, 0),
    ("\ud800", 60, 64),
    "\ud800",
    "<S>\udfff",
    None,
    5,
    5.0,
    b"<S>",
    {"piano": 60},
    Tuple(("piano", 60)),
]


@pytest.mark.parametrize("bad", REFUSED, ids=[repr(b) for b in REFUSED])
@pytest.mark.parametrize("method", ["encode", "detokenize"])
def test_refused_token_objects(tok, method, bad):
    with pytest.raises(TypeError) as info:
        getattr(tok, method)([bad])
    assert type(info.value) is TypeError
    assert str(info.value) == BAD_TOKEN


@pytest.mark.parametrize("position", [0, 3, 6])
@pytest.mark.parametrize("method", ["encode", "detokenize"])
def test_one_bad_element_anywhere_fails_the_whole_call(tok, method, position):
    tokens = [PIANO, "<S>", *group("piano", 60, 64, 0, 100), "<E>"]
    tokens.insert(position, ("piano", 60))
    with pytest.raises(TypeError) as info:
        getattr(tok, method)(tokens)
    assert str(info.value) == BAD_TOKEN


def test_extreme_integers_are_accepted(tok):
    assert tok.encode([("onset", INT32_MAX, INT32_MIN), ("piano", INT32_MIN, INT32_MAX)]) == [0, 0]
    d = tok.detokenize([PIANO, ("piano", INT32_MIN, INT32_MAX), ("onset", 0, 0), ("dur", 10, 0)])
    assert notes_of(d) == [(INT32_MIN, 0, 10, INT32_MAX, 0)]


# =================================================================================================
# tokenize: worked examples
# =================================================================================================


@pytest.mark.parametrize(
    "piece",
    [
        MidiDict,
        lambda: make_piece(tempos=[(500000, 0)], instruments=[(0, 0, 0), (24, 0, 1)], pedals=[(1, 0, 0), (0, 10, 0)]),
        lambda: make_piece(metadata={"composer": "Vesk"}),
    ],
    ids=["new", "no-notes", "metadata-only"],
)
def test_tokenize_without_notes_fails(tok, piece):
    with pytest.raises(RuntimeError) as info:
        tok.tokenize(piece())
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Tokenization failed: Empty note messages after filtering"


def test_tokenize_one_note(tok):
    d = make_piece(notes=[(60, 0, 480, 64, 0)], tempos=[(500000, 0)], instruments=[(0, 0, 0)], tpb=480)
    tokens = tok.tokenize(d)
    assert tokens == [PIANO, "<S>", ("piano", 60, 64), ("onset", 0, 0), ("dur", 500, 0), "<E>"]
    assert type(tokens) is list
    assert [type(t) for t in tokens] == [tuple, str, tuple, tuple, tuple, str]
    assert tok.encode(tokens) == [6, 0, 1951, ONSET_BASE, DUR_BASE + 50, 1]


def test_tokenize_segments(tok):
    d = ms_piece([(60, 12345, 12445, 64, 0), (62, 14000, 14100, 64, 0), (64, 15000, 15100, 64, 0)])
    assert tok.tokenize(d) == [
        PIANO,
        "<S>",
        "<T>",
        "<T>",
        *group("piano", 60, 64, 2350, 100),
        *group("piano", 62, 64, 4000, 100),
        "<T>",
        *group("piano", 64, 64, 0, 100),
        "<E>",
    ]


def test_tokenize_skips_several_segments_at_once(tok):
    d = ms_piece([(60, 0, 100, 64, 0), (61, 23000, 23100, 64, 0), (62, 23010, 23110, 64, 0)])
    assert tok.tokenize(d) == [
        PIANO,
        "<S>",
        *group("piano", 60, 64, 0, 100),
        *["<T>"] * 4,
        *group("piano", 61, 64, 3000, 100),
        *group("piano", 62, 64, 3010, 100),
        "<E>",
    ]


def test_tokenize_orders_notes_by_start_keeping_ties_in_list_order(tok):
    d = ms_piece([(70, 300, 400, 64, 0), (60, 100, 200, 64, 0), (65, 100, 150, 64, 0), (50, 0, 10, 64, 0)])
    assert tok.tokenize(d)[2:-1] == [
        *group("piano", 50, 64, 0, 10),
        *group("piano", 60, 64, 100, 100),
        *group("piano", 65, 64, 100, 50),
        *group("piano", 70, 64, 300, 100),
    ]


@pytest.mark.parametrize(
    "length, dur",
    [(0, 10), (1, 10), (4, 10), (5, 10), (6, 10), (14, 10), (15, 20), (16, 20), (2345, 2340), (4996, 5000),
     (5000, 5000), (6000, 5000), (100000, 5000), (-50, 10)],
)  # fmt: skip
def test_tokenize_durations(tok, length, dur):
    d = ms_piece([(60, 1000, 1000 + length, 64, 0)])
    assert tok.tokenize(d)[2:5] == group("piano", 60, 64, 1000, dur)


@pytest.mark.parametrize(
    "velocity, quantized",
    [(0, 0), (1, 4), (2, 4), (6, 4), (7, 8), (64, 64), (122, 120), (126, 124), (127, 124), (200, 124), (-5, 4)],
)
def test_tokenize_velocities(tok, velocity, quantized):
    assert tok.tokenize(ms_piece([(60, 0, 100, velocity, 0)]))[2] == ("piano", 60, quantized)


@pytest.mark.parametrize(
    "start, time_tokens, onset",
    [(5, 0, 0), (15, 0, 20), (25, 0, 20), (4985, 0, 4980), (4995, 0, 4990), (4999, 0, 4990), (5004, 1, 0), (5005, 1, 0),
     (5006, 1, 10), (10000, 2, 0)],
)  # fmt: skip
def test_tokenize_onset_rounding(tok, start, time_tokens, onset):
    tokens = tok.tokenize(ms_piece([(60, start, start + 100, 64, 0)]))
    assert tokens[2:-4] == ["<T>"] * time_tokens
    assert tokens[-3] == ("onset", onset, 0)


def test_tokenize_drum_note(tok):
    d = ms_piece([(38, 20, 500, 90, 9)])
    assert tok.tokenize(d) == [DRUM, "<S>", ("drum", 38, 0), ("onset", 20, 0), "<E>"]


def test_tokenize_drums_with_other_instruments(tok):
    d = ms_piece(
        [(38, 0, 10, 90, 9), (60, 0, 100, 64, 0), (20, 30, 30, 1, 9)],
        instruments=[(0, 0, 9), (24, 0, 9), (24, 0, 1)],
    )
    # Program changes on the drum channel are ignored; the drum prefix comes last. Drum pitches
    # outside the drum tokens of the vocabulary are kept as they are.
    assert tok.tokenize(d) == [
        GUITAR,
        PIANO,
        DRUM,
        "<S>",
        ("drum", 38, 0),
        ("onset", 0, 0),
        *group("piano", 60, 64, 0, 100),
        ("drum", 20, 0),
        ("onset", 30, 0),
        "<E>",
    ]


FAMILY_CASES = [
    # (notes as (pitch, channel), instruments as (program, tick, channel), expected prefix names, note instruments)
    ([(60, 5)], [], ["piano"], ["piano"]),
    ([(60, 2)], [(30, 0, 2)], ["guitar"], ["guitar"]),
    ([(60, 3)], [(200, 0, 3)], ["piano"], ["piano"]),
    ([(60, 3)], [(-1, 0, 3)], ["piano"], ["piano"]),
    ([(60, 0)], [(24, 0, 0), (200, 0, 4)], ["guitar"], ["guitar"]),
    ([(60, 2)], [(0, 0, 2), (25, 0, 2)], ["guitar"], ["guitar"]),
    ([(60, 2)], [(25, 0, 2), (0, 0, 2)], ["piano"], ["piano"]),
    ([(60, 2)], [(25, 100, 2), (0, 0, 2)], ["piano"], ["piano"]),  # list order decides, not ticks
    ([(60, 2)], [(25, 0, 2), (200, 0, 2)], ["guitar"], ["guitar"]),
    ([(60, 0)], [(24, 0, 1)], ["guitar", "piano"], ["piano"]),
    ([(60, 0)], [(40, 0, 1)], ["piano", "strings"], ["piano"]),
    ([(60, 0), (62, 1)], [(24, 0, 1), (7, 0, 0)], ["guitar", "piano"], ["piano", "guitar"]),
    ([(60, 0), (62, 1), (64, 4)], [(16, 0, 0), (33, 0, 1), (127, 0, 4)], ["bass", "organ", "sfx"], ["organ", "bass", "sfx"]),
    ([(36, 9)], [(0, 0, 9)], ["drum"], []),
]


@pytest.mark.parametrize("notes, instruments, prefix, note_instruments", FAMILY_CASES)
def test_tokenize_channel_families(tok, notes, instruments, prefix, note_instruments):
    d = ms_piece([(p, 10 * i, 10 * i + 100, 64, ch) for i, (p, ch) in enumerate(notes)], instruments=instruments)
    tokens = tok.tokenize(d)
    s = tokens.index("<S>")
    assert tokens[:s] == [(f"prefix:instrument:{x}", 0, 0) for x in prefix]
    assert [t[0] for t in tokens[s + 1 : -1] if isinstance(t, tuple) and t[0] not in ("onset", "dur", "drum")] == note_instruments


def test_tokenize_all_sixteen_families(tok):
    families = [
        "piano", "chromatic", "organ", "guitar", "bass", "strings", "ensemble", "brass",
        "reed", "pipe", "synth_lead", "synth_pad", "synth_effect", "ethnic", "percussive", "sfx",
    ]  # fmt: skip
    channels = [c for c in range(17) if c != 9]
    instruments = [(8 * k + k % 8, 0, ch) for k, ch in enumerate(channels)]
    notes = [(40 + k, 100 * k, 100 * k + 50, 80, ch) for k, ch in enumerate(channels)]
    d = ms_piece(notes, instruments=instruments)
    tokens = tok.tokenize(d)
    assert tokens[:16] == [(f"prefix:instrument:{f}", 0, 0) for f in sorted(families)]
    assert tokens[16] == "<S>"
    assert [t[0] for t in tokens[17:-1:3]] == families
    # Only piano and guitar (and drum) have a place in the vocabulary.
    ids = tok.encode(tokens)
    # 14 prefix tokens and 14 note tokens of the other families are outside the vocabulary.
    outside = [t for i, t in zip(ids, tokens) if i == 0 and t != "<S>"]
    assert len(outside) == 28
    assert all(t[0].split(":")[-1] not in ("piano", "guitar") for t in outside)
    for back in (tokens, tok.decode(ids)):
        d2 = tok.detokenize(back)
        assert instruments_of(d2) == [(24, 0, 0), (0, 0, 1)]  # guitar sorts before piano
        assert notes_of(d2) == [(40, 0, 50, 80, 1), (43, 300, 350, 80, 0)]


@pytest.mark.parametrize(
    "metadata, expected",
    [
        ({"composer": "Vesk", "genre": "jazz"}, ["genre:jazz", "composer:Vesk"]),
        ({"composer": "Orlane", "form": "fugue", "genre": "classical"}, ["genre:classical", "form:fugue", "composer:Orlane"]),
        ({"form": "sonata", "title": "x"}, ["form:sonata"]),
        ({"composer": "vesk", "genre": "Jazz"}, []),
        ({"Composer": "Vesk", "GENRE": "jazz"}, []),
        ({"composer": "Vesk ", "form": "Fugue", "genre": "pop"}, []),
        ({"composer": "Bach", "form": "sonata"}, ["form:sonata"]),
        ({"composer": "jazz", "genre": "Vesk", "form": "classical"}, []),
        ({}, []),
    ],
)
def test_tokenize_metadata_prefixes(tok, metadata, expected):
    d = ms_piece([(60, 0, 100, 64, 0)], instruments=[(24, 0, 1)], metadata=metadata)
    tokens = tok.tokenize(d)
    assert tokens[: tokens.index("<S>")] == [(f"prefix:{x}", 0, 0) for x in expected] + [GUITAR, PIANO]
    assert all(i != 0 for i in tok.encode(tokens[: tokens.index("<S>")]))


@pytest.mark.parametrize(
    "end, dur",
    [(500, 900), (401, 900), (899, 900), (400, 400), (900, 900), (300, 300), (1200, 1200)],
)
def test_tokenize_pedal_extends_note_ends(tok, end, dur):
    d = ms_piece([(60, 0, end, 64, 0)], pedals=[(1, 400, 0), (0, 900, 0)])
    assert tok.tokenize(d)[2:5] == group("piano", 60, 64, 0, dur)


def test_tokenize_pedal_details(tok):
    pedals = [
        (0, 300, 0),  # up first in the list: sorted by tick, it closes the down at 100
        (1, 100, 0),
        (1, 150, 0),  # a second down keeps the first down tick
        (1, 400, 0),
        (0, 900, 0),
        (127, 950, 0),  # neither 0 nor 1: ignored
        (1, 100, 1),  # another channel
        (0, 2000, 1),
    ]
    notes = [
        (60, 0, 120, 64, 0),  # (100, 300) -> 300
        (61, 0, 500, 64, 0),  # (400, 900) -> 900
        (62, 0, 350, 64, 0),  # between intervals: unchanged
        (63, 0, 960, 64, 0),  # after the last interval: unchanged
        (64, 0, 120, 64, 2),  # channel 2 has no pedal
        (65, 0, 120, 64, 1),  # channel 1: (100, 2000) -> 2000
    ]
    d = ms_piece(notes, pedals=pedals)
    durs = [t[1] for t in tok.tokenize(d) if isinstance(t, tuple) and t[0] == "dur"]
    assert durs == [300, 900, 350, 960, 120, 2000]


def test_tokenize_open_pedal_is_closed_by_the_last_note_in_start_order(tok):
    # In list order the last note ends at 400; in start order the last note ends at 900, which
    # is where the pedal that never comes up is closed.
    d = ms_piece([(62, 500, 900, 64, 0), (60, 0, 400, 64, 0)], pedals=[(1, 300, 0)])
    assert tok.tokenize(d)[2:-1] == [*group("piano", 60, 64, 0, 900), *group("piano", 62, 64, 500, 400)]


def test_tokenize_tempo_changes(tok):
    d = make_piece(
        notes=[(60, 960, 1200, 64, 0), (62, 0, 480, 64, 0), (64, 240, 720, 64, 0)],
        tempos=[(1000000, 0), (500000, 480)],
        tpb=480,
    )
    assert tok.tokenize(d)[2:-1] == [
        *group("piano", 62, 64, 0, 1000),
        *group("piano", 64, 64, 500, 750),
        *group("piano", 60, 64, 1500, 250),
    ]


def test_tokenize_without_tempo_uses_the_default_tempo(tok):
    d = make_piece(notes=[(60, 960, 1440, 64, 0)], tpb=480)
    assert tok.tokenize(d)[2:-1] == group("piano", 60, 64, 1000, 500)


@pytest.mark.parametrize("tempos", [[(500000, 0)], [(500000, 0), (250000, 1000)], [(250000, 1000), (500000, 0)], []])
def test_tokenize_note_ending_at_the_largest_tick(tok, tempos):
    d = make_piece(notes=[(60, 0, INT32_MAX, 64, 0), (61, INT32_MAX, INT32_MAX, 64, 0)], tempos=tempos, tpb=500000)
    tokens = tok.tokenize(d)
    assert tokens[2:5] == group("piano", 60, 64, 0, 5000)
    assert tokens.count("<T>") == d.tick_to_ms(INT32_MAX) // 5000 > 200


def test_tokenize_far_apart_ticks_do_not_wrap(tok):
    # A span of more than 2**31 ticks (from a negative start to a large end) stays positive.
    d = make_piece(notes=[(60, -(2**30), 2**30 + 5, 64, 0)], tempos=[(500000, -(2**31))], tpb=2**30)
    tokens = tok.tokenize(d)
    assert tokens[-2] == ("dur", 1000, 0)


@pytest.mark.parametrize("tpb", [0, -480])
def test_tokenize_odd_resolutions_do_not_fail(tok, tpb):
    # With 0 ticks per beat every positive span is endless and is clamped; with a negative
    # resolution times run backwards and clamp at zero-length notes and onset 0.
    d = make_piece(notes=[(60, 0, 100, 64, 0), (62, 10, 20, 64, 0)], tempos=[(500000, 0)], tpb=tpb)
    tokens = tok.tokenize(d)
    if tpb == 0:
        assert tokens[2:5] == group("piano", 60, 64, 0, 5000)
        assert tokens.count("<T>") == INT32_MAX // 5000
        assert tokens[-4:-1] == group("piano", 62, 64, 3650, 5000)
    else:
        assert tokens == [PIANO, "<S>", *group("piano", 60, 64, 0, 10), *group("piano", 62, 64, 0, 10), "<E>"]


def _body(tokens):
    return tokens[tokens.index("<S>") + 1 : -1]


@pytest.mark.parametrize(
    "notes, dim_index",
    [
        # 50 notes in segment 0: a body of 150 tokens gets no "<D>"
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(50)], None),
        # 49 notes, a time token, one note: 151 tokens; "<D>" before the 18th note group
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(49)] + [(60, 5000, 5005, 64, 0)], 51),
        # 51 notes: 153 tokens; position 53 is a dur token, so "<D>" moves back to 51
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(51)], 51),
        # 51 notes and a drum note: 155 tokens; position 55 is an onset token, so "<D>" moves back to 54
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(51)] + [(38, 600, 600, 64, 9)], 54),
        # 17 notes, a time token at 51, 33 notes: "<D>" right before the time token
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(17)] + [(60, 5000 + 10 * i, 5005 + 10 * i, 64, 0) for i in range(33)], 51),
        # 17 notes and 51 drum notes: 153 tokens; position 53 is a drum token
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(17)] + [(38, 200 + 10 * i, 200, 64, 9) for i in range(51)], 53),
        # 17 notes, 50 drum notes, one note: 154 tokens; position 54 is the onset of a drum group
        ([(60, 10 * i, 10 * i + 5, 64, 0) for i in range(17)] + [(38, 200 + 10 * i, 200, 64, 9) for i in range(50)]
         + [(60, 1000, 1100, 64, 0)], 53),
    ],
    ids=["150", "151", "153-dur", "155-onset", "before-time-token", "drum-token", "drum-onset"],
)
def test_tokenize_dim_token(tok, notes, dim_index):
    tokens = tok.tokenize(ms_piece(notes))
    body = _body(tokens)
    assert tokens.count("<D>") == (0 if dim_index is None else 1)
    if dim_index is not None:
        assert body.index("<D>") == dim_index
        assert len(body) - 1 > 150
        nxt = body[dim_index + 1]
        assert nxt == "<T>" or nxt[0] not in ("onset", "dur")


def test_tokenize_dim_token_once_in_a_long_piece(tok):
    notes = [(40 + i % 50, 97 * i, 97 * i + 300, 1 + i % 127, i % 3) for i in range(1000)]
    tokens = tok.tokenize(ms_piece(notes))
    assert tokens.count("<D>") == 1
    assert len(_body(tokens)) - _body(tokens).index("<D>") in range(100, 104)


@pytest.mark.parametrize("flag", [True, False, None])
def test_remove_preceding_silence_has_no_effect(tok, flag):
    d = ms_piece([(60, 7000, 7100, 64, 0), (62, 12000, 12100, 64, 0)])
    expected = tok.tokenize(d)
    assert expected[2] == "<T>"  # the leading time tokens stay
    assert tok.tokenize(d, flag) == expected
    assert tok.tokenize(d, remove_preceding_silence=flag) == expected


def test_remove_preceding_silence_accepts_numpy_bools(tok):
    np = pytest.importorskip("numpy")
    d = ms_piece([(60, 7000, 7100, 64, 0)])
    assert tok.tokenize(d, np.bool_(True)) == tok.tokenize(d, np.bool_(False)) == tok.tokenize(d)


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), ("yes", "str"), (1.0, "float"), ([], "list")])
def test_remove_preceding_silence_refuses_other_values(tok, value, type_name):
    d = ms_piece([(60, 0, 100, 64, 0)])
    with pytest.raises(TypeError) as info:
        tok.tokenize(d, value)
    assert str(info.value) == f"argument 'remove_preceding_silence': '{type_name}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("value, type_name", [(5, "int"), (None, "NoneType"), ("d", "str"), ({}, "dict")])
def test_tokenize_refuses_non_midi_dicts(tok, value, type_name):
    with pytest.raises(TypeError) as info:
        tok.tokenize(value)
    assert str(info.value) == f"argument 'py_midi_dict': '{type_name}' object cannot be converted to 'MidiDict'"


def test_tokenize_leaves_the_input_unchanged(tok):
    def build():
        return make_piece(
            notes=[(64, 900, 950, 200, 0), (60, 0, 480, 64, 0), (38, 10, 20, 90, 9), (62, 480, 500, 0, 1)],
            tempos=[(400000, 480), (500000, 0)],
            instruments=[(24, 0, 1), (0, 0, 0)],
            pedals=[(0, 700, 0), (1, 450, 0)],
            metadata={"composer": "Vesk", "genre": "jazz", "title": "t"},
            tpb=480,
        )

    d = build()
    before = snapshot(d)
    h, ph = d.calculate_hash(), hash(d)
    tokens = tok.tokenize(d)
    assert snapshot(d) == before
    assert d == build()
    assert d.calculate_hash() == h and hash(d) == ph
    assert tok.tokenize(d) == tokens


# =================================================================================================
# detokenize: worked examples
# =================================================================================================


def test_detokenize_empty(tok):
    d = tok.detokenize([])
    assert isinstance(d, MidiDict)
    assert d.ticks_per_beat == 500
    assert tempos_of(d) == [(500000, 0)]
    assert [m.msg_type for m in d.tempo_msgs] == ["tempo"]
    assert d.note_msgs == [] and d.instrument_msgs == [] and d.pedal_msgs == [] and d.meta_msgs == []
    assert d.metadata == {}


def test_detokenize_one_note(tok):
    d = tok.detokenize([("prefix:instrument:piano", 0, 0), "<S>", ("piano", 60, 64), ("onset", 100, 0), ("dur", 500, 0), "<E>"])
    assert instruments_of(d) == [(0, 0, 0)]
    assert [m.msg_type for m in d.instrument_msgs] == ["instrument"]
    assert full_notes_of(d) == [(60, 100, 600, 64, 100, 0)]
    assert [m.msg_type for m in d.note_msgs] == ["note"]
    assert d.ticks_per_beat == 500 and tempos_of(d) == [(500000, 0)]
    assert d.pedal_msgs == [] and d.meta_msgs == [] and d.metadata == {}


@pytest.mark.parametrize(
    "prefix, instruments, channels",
    [
        (["guitar", "piano", "drum"], [(24, 0, 0), (0, 0, 1), (0, 0, 9)], {"guitar": 0, "piano": 1, "drum": 9}),
        (["drum", "piano", "guitar"], [(0, 0, 0), (24, 0, 1), (0, 0, 9)], {"piano": 0, "guitar": 1, "drum": 9}),
        (["piano", "piano", "guitar", "guitar"], [(0, 0, 0), (24, 0, 1)], {"piano": 0, "guitar": 1}),
        (["organ", "Piano", "piano"], [(0, 0, 0)], {"piano": 0}),
        (["drum"], [(0, 0, 9)], {"drum": 9}),
    ],
)
def test_detokenize_channels(tok, prefix, instruments, channels):
    tokens = [(f"prefix:instrument:{x}", 0, 0) for x in prefix] + ["<S>"]
    tokens += [*group("guitar", 40, 64, 0, 10), *group("piano", 60, 64, 10, 10), ("drum", 38, 0), ("onset", 20, 0)]
    d = tok.detokenize(tokens)
    assert instruments_of(d) == instruments
    expected = []
    if "guitar" in channels:
        expected.append((40, 0, 10, 64, 0, channels["guitar"]))
    if "piano" in channels:
        expected.append((60, 10, 20, 64, 10, channels["piano"]))
    if "drum" in channels:
        expected.append((38, 20, 30, 127, 20, 9))
    assert full_notes_of(d) == expected


def test_detokenize_other_prefixes_are_passed_over(tok):
    tokens = [
        ("prefix:genre:jazz", 0, 0),
        ("prefix:composer:Vesk", 0, 0),
        ("prefix:instrument:organ", 0, 0),
        ("x-prefix:instrument:piano", 0, 0),
        GUITAR,
        "<S>",
        *group("guitar", 40, 64, 0, 10),
    ]
    d = tok.detokenize(tokens)
    assert instruments_of(d) == [(24, 0, 0)]
    assert notes_of(d) == [(40, 0, 10, 64, 0)]


def test_detokenize_drops_unknown_groups_and_keeps_reading(tok):
    tokens = [
        PIANO,
        "<S>",
        *group("organ", 50, 64, 0, 10),
        *group("guitar", 51, 64, 0, 10),  # guitar has no prefix here
        *group("piano", 52, 64, 100, 50),
        *group("", 53, 64, 0, 10),
        *group("piano", 54, 64, 200, 50),
    ]
    assert notes_of(tok.detokenize(tokens)) == [(52, 100, 150, 64, 0), (54, 200, 250, 64, 0)]


def test_detokenize_time_tokens(tok):
    tokens = [
        "<T>",
        PIANO,
        "<S>",
        "<T>",
        "<T>",
        *group("piano", 60, 64, 30, 10),
        "<T>",
        *group("piano", 61, 64, 40, 10),
        "<T>",
        "<T>",
        "<D>",
        *group("piano", 62, 64, 50, 6000),
    ]
    assert notes_of(tok.detokenize(tokens)) == [(60, 30, 40, 64, 0), (61, 5040, 5050, 64, 0), (62, 15050, 21050, 64, 0)]


def test_detokenize_drum_groups(tok):
    body = ["<S>", ("drum", 38, 0), ("onset", 20, 0), ("drum", 20, 5), ("onset", 30, 0)]
    assert full_notes_of(tok.detokenize([DRUM] + body)) == [(38, 20, 30, 127, 20, 9), (20, 30, 40, 127, 30, 9)]
    assert full_notes_of(tok.detokenize([PIANO] + body)) == []
    assert full_notes_of(tok.detokenize(body)) == []


def test_detokenize_incomplete_groups(tok):
    tokens = [
        PIANO,
        DRUM,
        "<S>",
        ("piano", 60, 64),
        ("onset", 100, 0),  # no dur: no note; reading goes on at the onset
        ("piano", 62, 64),
        ("onset", 200, 0),
        ("dur", 300, 0),
        ("drum", 38, 0),
        ("dur", 10, 0),  # a drum token needs an onset
        ("onset", 5, 0),  # lone onset
        ("dur", 10, 0),  # lone dur
        ("piano", 64, 64),
        ("dur", 10, 0),
        ("onset", 10, 0),  # wrong order
        ("piano", 65, 64),
        ("onset", 400, 0),  # cut off at the end
    ]
    assert notes_of(tok.detokenize(tokens)) == [(62, 200, 500, 64, 0)]


def test_detokenize_reads_past_the_end_token(tok):
    tokens = [PIANO, "<S>", *group("piano", 60, 64, 0, 10), "<E>", "<T>", *group("piano", 61, 64, 0, 10), "<E>"]
    assert notes_of(tok.detokenize(tokens)) == [(60, 0, 10, 64, 0), (61, 5000, 5010, 64, 0)]


def test_detokenize_prefix_tokens_in_the_body_are_ignored(tok):
    tokens = [PIANO, "<S>", *group("piano", 60, 64, 0, 10), GUITAR, *group("guitar", 40, 64, 0, 10)]
    d = tok.detokenize(tokens)
    assert instruments_of(d) == [(0, 0, 0)]
    assert notes_of(d) == [(60, 0, 10, 64, 0)]


def test_detokenize_prefix_only(tok):
    d = tok.detokenize([GUITAR, PIANO, "<S>", "<T>", "<E>"])
    assert instruments_of(d) == [(24, 0, 0), (0, 0, 1)]
    assert d.note_msgs == []


def test_detokenize_copies_values_unchecked(tok):
    tokens = [PIANO, "<S>", ("piano", 300, 200), ("onset", -100, 0), ("dur", 7, 0), ("piano", 60, 3), ("onset", 6000, 0), ("dur", 0, 0)]
    assert full_notes_of(tok.detokenize(tokens)) == [(300, -100, -93, 200, -100, 0), (60, 6000, 6000, 3, 6000, 0)]


def test_detokenize_result_is_a_new_piece_each_time(tok):
    tokens = [PIANO, "<S>", *group("piano", 60, 64, 0, 10)]
    a, b = tok.detokenize(tokens), tok.detokenize(tokens)
    assert a == b and a is not b
    a.add_note(1, 2, 3, 4, 5)
    assert len(b.note_msgs) == 1
