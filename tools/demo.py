"""Builds a small MidiDict, reads it back and prints its timing and content hash."""

from noteloom import MidiDict

d = MidiDict()
d.add_tempo(500000, 0)
d.add_tempo(1000000, 960)
d.add_instrument(0, 0, 0)
for i, pitch in enumerate([60, 64, 67, 72]):
    d.add_note(pitch, i * 480, i * 480 + 400, 90, 0)

print(f"ticks_per_beat={d.ticks_per_beat} notes={len(d.note_msgs)} tempos={len(d.tempo_msgs)}")
for note in d.note_msgs:
    print(f"  note pitch={note.pitch} start={note.start} ({d.tick_to_ms(note.start)} ms) "
          f"end={note.end} ({d.tick_to_ms(note.end)} ms) velocity={note.velocity}")
print(f"tick_to_ms(1920) = {d.tick_to_ms(1920)}")
print(f"calculate_hash() = {d.calculate_hash():#018x}")
