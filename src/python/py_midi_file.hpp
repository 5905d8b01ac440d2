// MidiFile: a snapshot of a MidiDict taken by `to_midi()`, whose one operation is `save(path)`.
// Its class is created on first use and is not a module attribute.
#pragma once

#include "../core/model/midi_dict.hpp"
#include "runtime/record_object.hpp"

namespace noteloom::py {

struct MidiFileSnapshot {
  MidiDictRecord record;
};

template <>
TypeCell& type_cell<MidiFileSnapshot>();

}  // namespace noteloom::py
