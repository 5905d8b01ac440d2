"""Objects shared between threads.

The stress tests need truly parallel threads (a free-threaded interpreter run with PYTHON_GIL=0).
The cross-thread borrow tests hold a borrow in one thread on purpose and also run with a GIL.
"""

import random
import sys
import threading
import time

import pytest

from noteloom import MidiDict
from support import Hook, build_midi_dict, message_fields

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
PANIC_TEXTS = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}

needs_parallel_threads = pytest.mark.skipif(
    getattr(sys, "_is_gil_enabled", lambda: True)(),
    reason="needs a free-threaded interpreter with the GIL disabled (PYTHON_GIL=0)",
)


def blocking_hook(value):
    """A Hook whose __index__ signals `held`, then waits for `release` before converting."""
    held, release = threading.Event(), threading.Event()

    def hold():
        held.set()
        assert release.wait(10), "the other thread never finished"

    hook = Hook(hold, value)
    hook.held, hook.release = held, release
    return hook


def run_in_thread(fn):
    out = {}

    def target():
        try:
            out["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - reported to the main thread
            out["error"] = e

    t = threading.Thread(target=target)
    t.start()
    return t, out


def attempt(fn):
    try:
        return ("ok", fn())
    except RuntimeError as e:
        return ("RuntimeError", str(e))


# --- a borrow held by another thread ---------------------------------------------------------


def test_exclusive_borrow_held_by_another_thread():
    d = build_midi_dict(notes=[(60, 0, 480, 90, 0)])
    twin = build_midi_dict(notes=[(60, 0, 480, 90, 0)])
    hook = blocking_hook(5)
    t, out = run_in_thread(lambda: d.add_note(hook, 1, 2, 3, 4))
    assert hook.held.wait(10)
    try:
        seen = {
            "read": attempt(lambda: d.note_msgs),
            "hash": attempt(lambda: hash(d)),
            "tick_to_ms": attempt(lambda: d.tick_to_ms(1)),
            "add_tempo": attempt(lambda: d.add_tempo(1, 2)),
            "write": attempt(lambda: setattr(d, "ticks_per_beat", 1)),
            "eq": attempt(lambda: d == twin),
            "ne": attempt(lambda: d != twin),
        }
    finally:
        hook.release.set()
        t.join(10)
    assert "error" not in out, out.get("error")
    assert seen == {
        "read": ("RuntimeError", "Already mutably borrowed"),
        "hash": ("RuntimeError", "Already mutably borrowed"),
        "tick_to_ms": ("RuntimeError", "Already mutably borrowed"),
        "add_tempo": ("RuntimeError", "Already borrowed"),
        "write": ("RuntimeError", "Already borrowed"),
        "eq": ("ok", False),
        "ne": ("ok", True),
    }
    assert [message_fields(n) for n in d.note_msgs] == [("note", 60, 0, 480, 90, 0, 0), ("note", 5, 1, 2, 3, 1, 4)]
    assert d.ticks_per_beat == 480 and d.tempo_msgs == []


def test_shared_borrow_held_by_another_thread():
    d = build_midi_dict(notes=[(60, 0, 480, 90, 0)])
    hook = blocking_hook(960)
    t, out = run_in_thread(lambda: d.tick_to_ms(hook))
    assert hook.held.wait(10)
    try:
        seen = {
            "add_note": attempt(lambda: d.add_note(1, 2, 3, 4, 5)),
            "write": attempt(lambda: setattr(d, "note_msgs", [])),
            "read": attempt(lambda: len(d.note_msgs)),
            "hash": attempt(lambda: hash(d) == hash(d)),
            "eq": attempt(lambda: d == d.resolve_pedal()),
        }
    finally:
        hook.release.set()
        t.join(10)
    assert out == {"result": 1000}
    assert seen == {
        "add_note": ("RuntimeError", "Already borrowed"),
        "write": ("RuntimeError", "Already borrowed"),
        "read": ("ok", 1),
        "hash": ("ok", True),
        "eq": ("ok", True),
    }
    assert len(d.note_msgs) == 1


# --- stress ----------------------------------------------------------------------------------

THREADS = 8
SECONDS = 3.0
MAX_NOTES_PER_THREAD = 400


@needs_parallel_threads
def test_shared_objects_under_parallel_threads():
    adder = MidiDict()  # only ever appended to; never any tempo, so 960 ticks are 1000 ms
    lists = MidiDict()  # whole fields replaced with one of two known values
    source = build_midi_dict(instruments=[(i, i, i % 16) for i in range(5)])
    instruments_a = source.instrument_msgs
    instruments_b = source.instrument_msgs[:2]
    fields_a = [message_fields(m) for m in instruments_a]
    fields_b = [message_fields(m) for m in instruments_b]
    meta_a, meta_b = {"k": "a"}, {"x": "1", "y": "2"}
    note_src = build_midi_dict(notes=[(60, 0, 480, 90, 0)])
    shared_note = note_src.note_msgs[0]
    written_pitches = {60} | set(range(1000, 1000 + THREADS))

    barrier = threading.Barrier(THREADS)
    failures = []
    added = [[] for _ in range(THREADS)]  # (thread, k) of every add_note that succeeded
    snapshots = [[] for _ in range(THREADS)]
    conflicts = [0] * THREADS

    def check(cond, what):
        if not cond:
            failures.append(what)

    def worker(tid):
        rng = random.Random(tid)
        barrier.wait()
        deadline = time.monotonic() + SECONDS
        k = 0
        while time.monotonic() < deadline and not failures:
            op = rng.randrange(12)
            try:
                if op == 0 and k < MAX_NOTES_PER_THREAD:
                    adder.add_note(tid, k, k + 1, 64, tid % 16)
                    added[tid].append((tid, k))
                    k += 1
                elif op == 1:
                    notes = adder.note_msgs
                    if len(snapshots[tid]) < 40:
                        snapshots[tid].append([(n.pitch, n.start) for n in notes])
                elif op == 2:
                    check(adder.tick_to_ms(960) == 1000, "tick_to_ms changed")
                elif op == 3:
                    out = adder.get_msg_dict()
                    check(list(out)[:2] == ["note_msgs", "tempo_msgs"] and out["tempo_msgs"] == [], "get_msg_dict")
                elif op == 4:
                    copy = adder.resolve_pedal()
                    h = copy.calculate_hash()
                    check(hash(copy) == (h - 2**64 if h >= 2**63 else h), "hash of copy")
                    check(copy == copy.remove_redundant_pedals(), "copy equality")
                elif op == 5:
                    hash(adder)
                    check(adder != 5, "!= int")
                    adder == lists  # noqa: B015 - may be True or False, must not fail otherwise
                elif op == 6:
                    lists.instrument_msgs = instruments_a if rng.random() < 0.5 else instruments_b
                    lists.metadata = meta_a if rng.random() < 0.5 else meta_b
                    lists.ticks_per_beat = 96 if rng.random() < 0.5 else 480
                elif op == 7:
                    got = [message_fields(m) for m in lists.instrument_msgs]
                    check(got in (fields_a, fields_b, []), f"torn instrument list {got}")
                    check(lists.metadata in (meta_a, meta_b, {}), "torn metadata")
                    check(lists.tick_to_ms(960) in (1000, 5000), "tick_to_ms of lists")
                elif op == 8:
                    shared_note.pitch = 1000 + tid
                    shared_note.msg_type = "note"
                elif op == 9:
                    check(shared_note.pitch in written_pitches, "note pitch")
                    check(shared_note["pitch"] in written_pitches, "note subscription")
                    check(shared_note["msg_type"] == "note", "note msg_type")
                elif op == 10:
                    # Take a shared borrow of the note while copying it into a container.
                    note_src.note_msgs = [shared_note, shared_note]
                else:
                    check(len(note_src.note_msgs) in (1, 2), "note_src length")
            except RuntimeError as e:
                if str(e) in BORROW_ERRORS:
                    conflicts[tid] += 1
                else:
                    failures.append(f"RuntimeError {e!r}")
            except BaseException as e:  # noqa: BLE001
                failures.append(f"{type(e).__name__}: {e!r} (op {op})")

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert failures == []

    final = [(n.pitch, n.start) for n in adder.note_msgs]
    assert len(final) == sum(len(a) for a in added)
    for tid in range(THREADS):
        # Each thread's notes appear in the order it added them.
        assert [x for x in final if x[0] == tid] == added[tid]
        for snap in snapshots[tid]:
            assert snap == final[: len(snap)]
    assert [message_fields(m) for m in lists.instrument_msgs] in (fields_a, fields_b, [])
    assert shared_note.pitch in written_pitches
    assert adder.tick_to_ms(960) == 1000


@needs_parallel_threads
def test_metadata_from_a_dict_another_thread_changes():
    source = {f"k{i}": "v" for i in range(20)}
    d = MidiDict()
    stop = threading.Event()
    barrier = threading.Barrier(THREADS)
    failures = []
    outcomes = {"ok": 0, "TypeError": 0, "RuntimeError": 0, "PanicException": 0}
    lock = threading.Lock()

    def mutator():
        rng = random.Random(0)
        barrier.wait()
        while not stop.is_set():
            key = f"k{rng.randrange(60)}"
            if rng.random() < 0.5:
                source[key] = "v"
            else:
                source.pop(key, None)

    def assigner():
        barrier.wait()
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            try:
                d.metadata = source
                kind = "ok"
            except TypeError:
                kind = "TypeError"
            except RuntimeError as e:
                kind = "RuntimeError"
                if str(e) not in BORROW_ERRORS and "dictionary" not in str(e):
                    failures.append(repr(e))
            except BaseException as e:  # noqa: BLE001
                if type(e).__name__ == "PanicException" and str(e) in PANIC_TEXTS:
                    kind = "PanicException"
                else:
                    failures.append(f"{type(e).__name__}: {e!r}")
                    continue
            with lock:
                outcomes[kind] += 1
            try:
                md = d.metadata
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(repr(e))
                continue
            if not all(k.startswith("k") and v == "v" for k, v in md.items()):
                failures.append(f"bad metadata {md!r}")

    threads = [threading.Thread(target=mutator)] + [threading.Thread(target=assigner) for _ in range(THREADS - 1)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join(30)
    stop.set()
    threads[0].join(30)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    assert sum(outcomes.values()) > 0
    # The object is still whole and usable.
    d.metadata = {"a": "b"}
    assert d.metadata == {"a": "b"}
