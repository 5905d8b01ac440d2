// The MidiDict class: a Python-owned MidiDictRecord whose meta ticks are always 0.
#pragma once

#include "../core/model/midi_dict.hpp"
#include "runtime/record_object.hpp"

namespace noteloom::py {

template <>
TypeCell& type_cell<MidiDictRecord>();

}  // namespace noteloom::py
