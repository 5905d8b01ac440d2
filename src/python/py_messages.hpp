// The five message classes: NoteMessage, TempoMessage, InstrumentMessage, PedalMessage and
// MetaMessage. Instances come only from MidiDict reads; they have no Python constructor.
#pragma once

#include "../core/model/messages.hpp"
#include "runtime/record_object.hpp"

namespace noteloom::py {

template <>
TypeCell& type_cell<NoteMessage>();
template <>
TypeCell& type_cell<TempoMessage>();
template <>
TypeCell& type_cell<InstrumentMessage>();
template <>
TypeCell& type_cell<PedalMessage>();
template <>
TypeCell& type_cell<MetaMessage>();

// _new_message(cls), a module function of _noteloom.
PyMethodDef& new_message_method();

}  // namespace noteloom::py
