"""Tokenizers, pieces and messages pickle: what comes back is equal and tokenizes the same, also in
worker processes started by spawn."""

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor
from functools import partial

import pytest

from noteloom import AbsTokenizer, MidiDict
from support import MESSAGE_FIELDS, build_midi_dict, make_meta, make_pedal, message_fields

PROTOCOLS = range(pickle.DEFAULT_PROTOCOL - 1, pickle.HIGHEST_PROTOCOL + 1)


def odd_piece():
    """A piece with every list filled and fields no add_* method sets (types, ticks of notes)."""
    d = build_midi_dict(notes=[(60, 0, 480, 90, 0), (64, 100, 200, 80, 1)], tempos=[(400000, 960)],
                        instruments=[(0, 0, 0), (41, 0, 1)], metadata={"composer": "Vesk", "title": "é\x00"},
                        ticks_per_beat=96)
    notes = d.note_msgs
    notes[-1].msg_type, notes[-1].tick = "nota", -7
    d.note_msgs = notes
    d.pedal_msgs = [make_pedal(1, 0, 0), make_pedal(0, 480, 0)]
    d.meta_msgs = [make_meta("text", "hello")]
    return d


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_piece_comes_back_equal(protocol):
    d = odd_piece()
    back = pickle.loads(pickle.dumps(d, protocol))
    assert back == d and back is not d
    assert hash(back) == hash(d) and back.calculate_hash() == d.calculate_hash()
    assert [message_fields(m) for m in back.note_msgs] == [message_fields(m) for m in d.note_msgs]
    assert back.metadata == d.metadata and back.ticks_per_beat == 96
    assert AbsTokenizer().tokenize(back) == AbsTokenizer().tokenize(d)


@pytest.mark.parametrize("cls", list(MESSAGE_FIELDS))
def test_a_message_comes_back_with_its_fields(cls):
    d = odd_piece()
    lists = (d.note_msgs, d.tempo_msgs, d.instrument_msgs, d.pedal_msgs, d.meta_msgs)
    message = [m for messages in lists for m in messages if type(m) is cls][-1]
    back = pickle.loads(pickle.dumps(message))
    assert type(back) is cls and message_fields(back) == message_fields(message)


def test_the_tokenizer_comes_back_as_the_built_in_one():
    tok = AbsTokenizer()
    back = pickle.loads(pickle.dumps(tok))
    assert type(back) is AbsTokenizer and back.vocab_size() == tok.vocab_size()
    tokens = tok.tokenize(odd_piece())
    assert back.tokenize(odd_piece()) == tokens and back.encode(tokens) == tok.encode(tokens)


def test_only_message_classes_are_made():
    import _noteloom

    with pytest.raises(TypeError, match="not a message class"):
        _noteloom._new_message(MidiDict)


def tokenize_with(tok, piece):
    return tok.encode(tok.tokenize(piece))


def test_spawned_workers_take_a_tokenizer_and_pieces():
    tok = AbsTokenizer()
    pieces = [odd_piece(), build_midi_dict(notes=[(62, 0, 10, 50, 9)])]
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        got = list(pool.map(partial(tokenize_with, tok), pieces))
    assert got == [tokenize_with(tok, p) for p in pieces]
