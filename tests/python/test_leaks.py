"""Repeated calls, successful and failing, must not leave memory behind.

Each operation runs a warm-up, then many more times; the number of blocks held by Python's
allocator (sys.getallocatedblocks, or the number of tracked objects where that reports 0) and the
resident set size must stay flat. The records carry 4 KiB strings, so a leaked record, string or
vector shows up in the resident set size as well.

Helper classes are defined once at module level: creating a class per call makes the allocator
figures drift on the free-threaded build (type objects are freed late), which would hide real
leaks behind noise.
"""

import atexit
import gc
import os
import shutil
import sys
import tempfile

import pytest

from noteloom import AbsTokenizer, MidiDict, NoteMessage, PanicException, TempoMessage, normalize_midi_dict
from support import Hook, Index, build_midi_dict

ROUNDS = 20_000
WARMUP = 4_000
BIG = "x" * 4096
PAGE = os.sysconf("SC_PAGE_SIZE")

# A leak of one block per call gives one block per round: 1% of the rounds is allowed for noise.
# A leak of one 4 KiB string per call gives about 80 MiB; allow 8 MiB for allocator noise.
RSS_TOLERANCE = 8 * 1024 * 1024


def _blocks():
    n = sys.getallocatedblocks()
    return n if n > 0 else len(gc.get_objects())


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def growth(fn, rounds=ROUNDS):
    """(block growth, resident-set growth in bytes) over `rounds` calls of fn after a warm-up."""
    for _ in range(min(WARMUP, rounds)):
        fn()
    # Several passes: on the free-threaded build objects freed by one collection can release
    # their memory only later, which would otherwise shrink the figures during the measurement.
    for _ in range(3):
        gc.collect()
    blocks, rss = _blocks(), _rss()
    for _ in range(rounds):
        fn()
    gc.collect()
    return _blocks() - blocks, _rss() - rss


def assert_no_leak(fn, rounds=ROUNDS):
    blocks, rss = growth(fn, rounds)
    assert blocks < rounds // 100, f"{blocks} blocks more after {rounds} calls"
    assert rss < RSS_TOLERANCE, f"resident set grew by {rss / 2**20:.1f} MiB after {rounds} calls"


def test_the_harness_sees_a_leak_of_small_objects():
    sink = []
    blocks, _ = growth(lambda: sink.append(object()))
    assert blocks >= ROUNDS * 9 // 10
    sink.clear()


def test_the_harness_sees_a_leak_of_large_buffers():
    sink = []
    _, rss = growth(lambda: sink.append(bytearray(BIG, "ascii")))
    assert rss >= RSS_TOLERANCE
    sink.clear()


def test_the_harness_stays_quiet_without_a_leak():
    sink = []

    def churn():
        sink.append(bytearray(BIG, "ascii"))
        sink.pop()

    assert_no_leak(churn)


# --- the operations --------------------------------------------------------------------------


def big_dict():
    d = build_midi_dict(
        notes=[(60 + i, i, i + 10, 90, 0) for i in range(4)],
        tempos=[(500000, 0), (400000, 960)],
        instruments=[(0, 0, 0)],
        metadata={"title": BIG, "composer": BIG + "y"},
    )
    notes = d.note_msgs
    for n in notes:
        n.msg_type = BIG
    d.note_msgs = notes
    return d


class RaisingIndex:
    cause = KeyError("cause")

    def __index__(self):
        raise TypeError("not today") from self.cause


class RaisingEq:
    def __eq__(self, other):
        raise ValueError("x")


def _expect(exc_type, fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn} did not raise {exc_type.__name__}")

    return call


def _operations():
    d = big_dict()
    twin = big_dict()
    note = d.note_msgs[0]
    notes = d.note_msgs
    tempo = d.tempo_msgs[0]
    metadata = d.metadata
    bad_metadata = {"a": BIG, "b": BIG, "c": 1}

    def fresh_add():
        m = MidiDict()
        m.add_note(1, 2, 3, 4, 5)
        m.add_tempo(500000, 0)
        m.add_instrument(1, 2, 3)
        m.metadata = metadata
        m.note_msgs = notes

    def conflict_read():
        m = MidiDict()
        try:
            m.add_note(Hook(lambda: m.note_msgs), 1, 2, 3, 4)
        except RuntimeError:
            pass

    def conflict_write():
        m = MidiDict()
        try:
            m.tick_to_ms(Hook(lambda: m.add_tempo(1, 2)))
        except RuntimeError:
            pass

    def compare_under_borrow():
        m = MidiDict()
        m.add_tempo(Hook(lambda: (m == twin, m != twin)), 0)

    def ne_with_raising_eq():
        try:
            d != RaisingEq()  # noqa: B015
        except ValueError:
            pass

    def set_note_fields():
        note.msg_type = BIG
        note.pitch = 61
        note.start = Index()
        note.tick = True

    return {
        # successful paths
        "read-lists": lambda: (d.note_msgs, d.tempo_msgs, d.instrument_msgs, d.pedal_msgs, d.meta_msgs),
        "read-metadata": lambda: d.metadata,
        "read-ticks_per_beat": lambda: d.ticks_per_beat,
        "get_msg_dict": d.get_msg_dict,
        "resolve_pedal": d.resolve_pedal,
        "remove_redundant_pedals": d.remove_redundant_pedals,
        "calculate_hash": d.calculate_hash,
        "hash": lambda: hash(d),
        "tick_to_ms": lambda: d.tick_to_ms(Index()),
        "tick_to_ms-keyword": lambda: d.tick_to_ms(tick=960),
        "compare": lambda: (d == twin, d != twin, d == 5, d != 5),
        "add-and-assign-on-new-dict": fresh_add,
        "note-fields": lambda: (note.msg_type, note.pitch, note.channel, tempo.data, tempo.msg_type),
        "set-note-fields": set_note_fields,
        "subscription": lambda: (note["msg_type"], note["pitch"], note["__class__"]),
        # failing paths
        "overflow-attribute": _expect(OverflowError, setattr, note, "pitch", 2**31),
        "overflow-argument": _expect(OverflowError, d.add_note, 1, 2, 3, 4, -(2**31) - 1),
        "bad-type-attribute": _expect(TypeError, setattr, note, "msg_type", 5),
        "bad-type-argument": _expect(TypeError, d.add_tempo, "x", 0),
        "rewrapped-type-error-with-cause": _expect(TypeError, setattr, tempo, "tick", RaisingIndex()),
        "str-for-list": _expect(TypeError, setattr, d, "note_msgs", "abc"),
        "wrong-item-late-in-list": _expect(TypeError, setattr, d, "note_msgs", notes + [tempo]),
        "non-sequence": _expect(TypeError, setattr, d, "tempo_msgs", 5),
        "bad-metadata-entry": _expect(TypeError, setattr, d, "metadata", bad_metadata),
        "non-dict-metadata": _expect(TypeError, setattr, d, "metadata", [("a", "b")]),
        "missing-argument": _expect(TypeError, d.add_note, 1, 2, 3, 4),
        "unexpected-keyword": _expect(TypeError, d.add_note, 1, 2, 3, 4, 5, x=1),
        "multiple-values": _expect(TypeError, d.add_tempo, 1, tempo=2),
        "too-many-arguments": _expect(TypeError, d.tick_to_ms, 1, 2),
        "midi-dict-constructor-arguments": _expect(TypeError, MidiDict, 1),
        "midi-dict-constructor-keyword": _expect(TypeError, MidiDict, x=BIG),
        "no-constructor": _expect(TypeError, NoteMessage),
        "no-constructor-with-arguments": _expect(TypeError, TempoMessage, BIG, x=1),
        "delete-attribute": _expect(AttributeError, delattr, d, "metadata"),
        "delete-message-attribute": _expect(AttributeError, delattr, note, "msg_type"),
        "key-error": _expect(KeyError, note.__getitem__, "data"),
        "key-error-long-key": _expect(KeyError, note.__getitem__, BIG),
        "key-type-error": _expect(TypeError, note.__getitem__, 0),
        "ordering": _expect(TypeError, lambda: d < twin),
        "borrow-conflict-read": conflict_read,
        "borrow-conflict-write": conflict_write,
        "compare-under-borrow": compare_under_borrow,
        "ne-propagates-error": ne_with_raising_eq,
    }


def _pipeline_operations():
    """File input/output, tokenizer, normalization and augmentation, with their failure paths."""
    folder = tempfile.mkdtemp(prefix="noteloom-leaks-")
    atexit.register(shutil.rmtree, folder, ignore_errors=True)  # the operations are made at collection
    path = os.path.join(folder, "piece.mid")
    garbage = os.path.join(folder, "garbage.mid")
    with open(garbage, "wb") as f:
        f.write(b"MThd" + BIG.encode())
    d = big_dict()
    d.to_midi().save(path)
    snapshot_file = d.to_midi()
    tok = AbsTokenizer()
    tokens = tok.tokenize(d)
    ids = tok.encode(tokens)
    families = {"piano": False, "bass": False}
    programs = {"piano": 0}

    class RaisingStr:
        def __str__(self):
            raise ValueError(BIG)

    def raising_velocity(v):
        raise ValueError(BIG)

    return {
        "from_midi": lambda: MidiDict.from_midi(path),
        "from_midi-missing": _expect(OSError, MidiDict.from_midi, path + BIG[:100]),
        "from_midi-garbage": _expect(OSError, MidiDict.from_midi, garbage),
        "from_midi-bad-path": _expect(TypeError, MidiDict.from_midi, RaisingStr()),
        "to_midi-save": lambda: d.to_midi().save(path),
        "save-failure": _expect(OSError, snapshot_file.save, folder + "/missing/x.mid"),
        "tokenizer": lambda: tok.detokenize(tok.decode(tok.encode(tok.tokenize(d)))),
        "tokenize-empty": _expect(RuntimeError, tok.tokenize, MidiDict()),
        "bad-token": _expect(TypeError, tok.encode, tokens + [("piano", 1.5, 2)]),
        "bad-ids": _expect(TypeError, tok.decode, ids + ["x"]),
        "normalize": lambda: normalize_midi_dict(d, families, programs, 10, 5000, 127, tok._quantize_velocity),
        "normalize-raising-callback": lambda: normalize_midi_dict(d, families, programs, 10, 5000, 127,
                                                                  raising_velocity),
        "normalize-bad-entry": _expect(TypeError, normalize_midi_dict, d, {"piano": 1}, programs, 10, 5000, 127, int),
        "augment": lambda: tok.apply_tempo_aug(tok.apply_velocity_aug(tok.apply_pitch_aug(tokens, 5, None), 2, None),
                                               0.2, True, None),
        "augment-panic": _expect(PanicException, tok.apply_tempo_aug, tokens, float("inf"), False, None),
    }


OPERATIONS = {**_operations(), **_pipeline_operations()}


# Operations that write a file each call: a tenth of the rounds still shows a leak of one block
# per call many times over the tolerance, and spares the disk 20,000 writes.
FILE_WRITES = {"to_midi-save"}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_no_leak(name):
    assert_no_leak(OPERATIONS[name], ROUNDS // 10 if name in FILE_WRITES else ROUNDS)


def test_no_leak_with_pedal_and_meta_messages(loaded_midi_dict):
    pedal = loaded_midi_dict.pedal_msgs[0]
    meta = loaded_midi_dict.meta_msgs[0]
    meta.data = BIG
    target = MidiDict()

    def roundtrip():
        target.pedal_msgs = [pedal, pedal]
        target.meta_msgs = [meta, meta]
        return target.pedal_msgs, target.meta_msgs, target.get_msg_dict()

    assert_no_leak(roundtrip)
