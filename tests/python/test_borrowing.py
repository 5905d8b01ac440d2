"""Borrow conflicts reached from Python code that runs while a call holds a borrow.

An argument's __index__ runs while the call converts its arguments: add_* hold the exclusive
borrow of the MidiDict at that point, tick_to_ms a shared one, and attribute writes convert
before they borrow at all.
"""

import pytest

from support import Hook, build_midi_dict, message_fields, snapshot

MUTABLY_BORROWED = "Already mutably borrowed"
BORROWED = "Already borrowed"


def base():
    return build_midi_dict(notes=[(60, 0, 480, 90, 0)], tempos=[(500000, 0)], metadata={"k": "v"})


# --- inside add_*: the MidiDict is exclusively borrowed ---------------------------------------

SHARED_OPERATIONS = {
    "read-note_msgs": lambda d: d.note_msgs,
    "read-ticks_per_beat": lambda d: d.ticks_per_beat,
    "read-metadata": lambda d: d.metadata,
    "tick_to_ms": lambda d: d.tick_to_ms(10),
    "get_msg_dict": lambda d: d.get_msg_dict(),
    "calculate_hash": lambda d: d.calculate_hash(),
    "hash": lambda d: hash(d),
    "resolve_pedal": lambda d: d.resolve_pedal(),
    "remove_redundant_pedals": lambda d: d.remove_redundant_pedals(),
}

EXCLUSIVE_OPERATIONS = {
    "add_tempo": lambda d: d.add_tempo(1, 2),
    "add_note": lambda d: d.add_note(1, 2, 3, 4, 5),
    "add_instrument": lambda d: d.add_instrument(1, 2, 3),
    "write-ticks_per_beat": lambda d: setattr(d, "ticks_per_beat", 5),
    "write-note_msgs": lambda d: setattr(d, "note_msgs", []),
    "write-metadata": lambda d: setattr(d, "metadata", {}),
}


@pytest.mark.parametrize("name", list(SHARED_OPERATIONS))
def test_reads_inside_add_note_fail_as_mutably_borrowed(name):
    d = base()
    before = snapshot(d)
    hook = Hook(lambda: SHARED_OPERATIONS[name](d))
    with pytest.raises(RuntimeError) as exc:
        d.add_note(hook, 0, 1, 2, 3)
    assert str(exc.value) == MUTABLY_BORROWED
    assert exc.value is hook.error  # raised inside, passed out unchanged
    assert snapshot(d) == before  # nothing appended
    d.add_note(1, 2, 3, 4, 5)  # the borrow was released
    assert len(d.note_msgs) == 2


@pytest.mark.parametrize("name", list(EXCLUSIVE_OPERATIONS))
@pytest.mark.parametrize("outer", ["add_note", "add_tempo", "add_instrument"])
def test_writes_inside_add_methods_fail_as_borrowed(name, outer):
    d = base()
    before = snapshot(d)
    hook = Hook(lambda: EXCLUSIVE_OPERATIONS[name](d))
    args = {"add_note": (0, hook, 1, 2, 3), "add_tempo": (1, hook), "add_instrument": (1, 2, hook)}[outer]
    with pytest.raises(RuntimeError) as exc:
        getattr(d, outer)(*args)
    assert str(exc.value) == BORROWED
    assert exc.value is hook.error
    assert snapshot(d) == before


def test_conflict_in_a_later_argument_appends_nothing():
    d = base()
    before = snapshot(d)
    with pytest.raises(RuntimeError, match=MUTABLY_BORROWED):
        d.add_note(1, 2, 3, 4, Hook(lambda: d.note_msgs))
    assert snapshot(d) == before


def test_other_objects_are_free_inside_add_note():
    d, other = base(), base()
    hook = Hook(lambda: (other.note_msgs, other.tick_to_ms(480), other.add_tempo(7, 8)))
    d.add_note(hook, 0, 1, 2, 3)
    assert hook.error is None
    assert hook.result[1] == 500
    assert message_fields(other.tempo_msgs[-1]) == ("tempo", 7, 8)
    assert len(d.note_msgs) == 2


def test_comparison_with_an_exclusively_borrowed_dict_falls_back_to_identity():
    d = base()
    twin = base()
    seen = {}

    def compare():
        seen["d == twin"] = d == twin
        seen["twin == d"] = twin == d
        seen["d != twin"] = d != twin
        seen["d == d"] = d == d
        seen["d != d"] = d != d
        seen["d.__eq__(twin)"] = d.__eq__(twin)
        seen["twin.__eq__(d)"] = twin.__eq__(d)

    d.add_note(Hook(compare, value=1), 0, 480, 90, 0)
    assert seen == {
        "d == twin": False,
        "twin == d": False,
        "d != twin": True,
        "d == d": True,
        "d != d": False,
        "d.__eq__(twin)": NotImplemented,
        "twin.__eq__(d)": NotImplemented,
    }
    # Outside the borrow the two compare by content again (d now has one more note).
    assert d != twin
    twin.add_note(1, 0, 480, 90, 0)
    assert d == twin


# --- inside tick_to_ms: the MidiDict is borrowed shared ---------------------------------------


@pytest.mark.parametrize("name", list(EXCLUSIVE_OPERATIONS))
def test_writes_inside_tick_to_ms_fail_as_borrowed(name):
    d = base()
    before = snapshot(d)
    hook = Hook(lambda: EXCLUSIVE_OPERATIONS[name](d), value=960)
    with pytest.raises(RuntimeError) as exc:
        d.tick_to_ms(hook)
    assert str(exc.value) == BORROWED
    assert exc.value is hook.error
    assert snapshot(d) == before
    d.add_tempo(1, 2)  # released afterwards
    assert len(d.tempo_msgs) == 2


@pytest.mark.parametrize("name", list(SHARED_OPERATIONS))
def test_reads_inside_tick_to_ms_succeed(name):
    d = base()
    hook = Hook(lambda: SHARED_OPERATIONS[name](d), value=960)
    assert d.tick_to_ms(hook) == 1000
    assert hook.error is None


def test_comparison_inside_tick_to_ms_compares_content():
    d, twin = base(), base()
    hook = Hook(lambda: (d == twin, d != twin), value=0)
    d.tick_to_ms(hook)
    assert hook.result == (True, False)


# --- attribute writes convert before they borrow ----------------------------------------------


def test_message_write_reads_the_same_message_while_converting():
    d = base()
    m = d.note_msgs[0]
    hook = Hook(lambda: (m.pitch, m["velocity"], m.tick), value=72)
    m.pitch = hook
    assert hook.error is None
    assert hook.result == (60, 90, 0)
    assert m.pitch == 72


def test_message_write_inside_conversion_is_overwritten_by_the_outer_write():
    d = base()
    m = d.note_msgs[0]

    def inner():
        m.pitch = 10
        m.velocity = 11
        return m.pitch

    hook = Hook(inner, value=72)
    m.pitch = hook
    assert hook.result == 10
    assert (m.pitch, m.velocity) == (72, 11)


def test_midi_dict_write_may_use_the_dict_while_converting():
    d = base()
    hook = Hook(lambda: (d.ticks_per_beat, d.tick_to_ms(480), d.add_tempo(1, 2)), value=96)
    d.ticks_per_beat = hook
    assert hook.error is None
    assert hook.result[:2] == (480, 500)
    assert d.ticks_per_beat == 96
    assert len(d.tempo_msgs) == 2


def test_list_write_may_change_the_dict_while_iterating():
    d = base()
    src = build_midi_dict(notes=[(70, 0, 1, 2, 3), (71, 0, 1, 2, 3)])
    notes = src.note_msgs

    class Seq:
        def __len__(self):
            return len(notes)

        def __getitem__(self, i):
            if i == 0:
                d.add_note(1, 1, 1, 1, 1)  # allowed: the write has not borrowed yet
                d.note_msgs  # noqa: B018
            return notes[i]

    d.note_msgs = Seq()
    assert [n.pitch for n in d.note_msgs] == [70, 71]


def test_metadata_write_with_text_keys():
    d = base()
    value = {"title": "x", "composer": "y", "": "empty"}
    d.metadata = value
    assert d.metadata == value
    assert value == {"title": "x", "composer": "y", "": "empty"}  # the argument is not changed
