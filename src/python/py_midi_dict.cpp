#include "py_midi_dict.hpp"

#include "../core/model/midi_dict.hpp"
#include "../core/smf/midi_loader.hpp"
#include "py_midi_file.hpp"
#include "runtime/detached.hpp"

namespace noteloom::py {
namespace {

using MidiDictObject = RecordObject<MidiDictRecord>;

MidiDictObject* as_midi_dict(PyObject* self) { return as_record_object<MidiDictRecord>(self); }

constexpr auto kConstructor = constructor("MidiDict");

PyObject* midi_dict_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return call_constructor<kConstructor>(args, kwargs, [](const auto&) { return new_record_object(MidiDictRecord{}); });
}

// The add_* methods match their arguments, take the exclusive borrow, then convert in order.
constexpr auto kAddNote = method("MidiDict", "add_note", {"pitch", "start", "end", "velocity", "channel"});

PyObject* add_note(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<MidiDictRecord, Access::Exclusive, kAddNote>(
      self, args, nargs, kwnames, [](MidiDictRecord& rec, const auto& a) -> PyObject* {
        NoteMessage n;
        if (!a.convert_all(n.pitch, n.start, n.end, n.velocity, n.channel)) return nullptr;
        n.tick = n.start;
        rec.note_msgs.push_back(std::move(n));
        Py_RETURN_NONE;
      });
}

constexpr auto kAddInstrument = method("MidiDict", "add_instrument", {"program", "tick", "channel"});

PyObject* add_instrument(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<MidiDictRecord, Access::Exclusive, kAddInstrument>(
      self, args, nargs, kwnames, [](MidiDictRecord& rec, const auto& a) -> PyObject* {
        InstrumentMessage m;
        if (!a.convert_all(m.data, m.tick, m.channel)) return nullptr;
        rec.instrument_msgs.push_back(std::move(m));
        Py_RETURN_NONE;
      });
}

constexpr auto kAddTempo = method("MidiDict", "add_tempo", {"tempo", "tick"});

PyObject* add_tempo(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<MidiDictRecord, Access::Exclusive, kAddTempo>(self, args, nargs, kwnames,
                                                                   [](MidiDictRecord& rec, const auto& a) -> PyObject* {
                                                                     TempoMessage m;
                                                                     if (!a.convert_all(m.data, m.tick)) return nullptr;
                                                                     rec.tempo_msgs.push_back(std::move(m));
                                                                     Py_RETURN_NONE;
                                                                   });
}

constexpr auto kTickToMs = method("MidiDict", "tick_to_ms", {"tick"});

PyObject* tick_to_ms_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<MidiDictRecord, Access::Shared, kTickToMs>(
      self, args, nargs, kwnames, [](const MidiDictRecord& rec, const auto& a) -> PyObject* {
        int32_t tick = 0;
        if (!a.convert(0, tick)) return nullptr;
        return to_python(tick_to_ms(rec, tick));
      });
}

constexpr auto kCalculateHash = method("MidiDict", "calculate_hash");

PyObject* calculate_hash_method(PyObject* self, PyObject*) {
  return with_record<MidiDictRecord>(self, [](const MidiDictRecord& rec) { return to_python(calculate_hash(rec)); });
}

void set_item_or_panic(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned || PyDict_SetItemString(dict, key, owned.get()) < 0) panic("failed to fill the message dictionary");
}

constexpr auto kGetMsgDict = method("MidiDict", "get_msg_dict");

PyObject* get_msg_dict(PyObject* self, PyObject*) {
  return with_record<MidiDictRecord>(self, [](const MidiDictRecord& rec) -> PyObject* {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    set_item_or_panic(dict.get(), "note_msgs", to_python(rec.note_msgs));
    set_item_or_panic(dict.get(), "tempo_msgs", to_python(rec.tempo_msgs));
    set_item_or_panic(dict.get(), "instrument_msgs", to_python(rec.instrument_msgs));
    set_item_or_panic(dict.get(), "pedal_msgs", to_python(rec.pedal_msgs));
    set_item_or_panic(dict.get(), "meta_msgs", to_python(rec.meta_msgs));
    set_item_or_panic(dict.get(), "ticks_per_beat", to_python(rec.ticks_per_beat));
    set_item_or_panic(dict.get(), "metadata", to_python(rec.metadata));
    return dict.release();
  });
}

// Both return an unchanged copy: the Python object itself is never modified.
constexpr auto kResolvePedal = method("MidiDict", "resolve_pedal");
constexpr auto kRemoveRedundantPedals = method("MidiDict", "remove_redundant_pedals");

PyObject* copy_of_self(PyObject* self, PyObject*) {
  return with_record<MidiDictRecord>(self, [](const MidiDictRecord& rec) { return to_python(rec); });
}

Py_hash_t midi_dict_hash(PyObject* self) {
  return with_record<MidiDictRecord>(self, [](const MidiDictRecord& rec) -> Py_hash_t {
    const auto h = static_cast<Py_hash_t>(calculate_hash(rec));
    return h == -1 ? -2 : h;
  });
}

PyObject* midi_dict_richcompare(PyObject* self, PyObject* other, int op) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    switch (op) {
      case Py_EQ: {
        PyTypeObject* type = type_cell<MidiDictRecord>().require();
        if (!PyObject_TypeCheck(self, type) || !PyObject_TypeCheck(other, type)) Py_RETURN_NOTIMPLEMENTED;
        auto* a = as_midi_dict(self);
        auto* b = as_midi_dict(other);
        SharedBorrow borrow_a(a->borrow, /*quiet=*/true);
        if (!borrow_a.ok()) Py_RETURN_NOTIMPLEMENTED;
        SharedBorrow borrow_b(b->borrow, /*quiet=*/true);
        if (!borrow_b.ok()) Py_RETURN_NOTIMPLEMENTED;
        return PyBool_FromLong(a->rec == b->rec);
      }
      case Py_NE: {
        PyRef eq = PyRef::steal(PyObject_RichCompare(self, other, Py_EQ));
        if (!eq) return nullptr;
        const int truth = PyObject_IsTrue(eq.get());
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
      }
      case Py_LT:
      case Py_LE:
      case Py_GT:
      case Py_GE:
        Py_RETURN_NOTIMPLEMENTED;
      default:
        panic("invalid compareop");
    }
  });
}

constexpr auto kFromMidi = class_method("MidiDict", "from_midi", {"mid_path"});

PyObject* from_midi(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kFromMidi>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    std::string path;
    if (!path_from_python(a[0], path)) return nullptr;
    auto loaded = [&] {
      const Detached detached;  // reading may block (a pipe), and needs no Python
      return load_midi_file(path);
    }();
    if (!loaded) {
      PyErr_Format(PyExc_OSError, "Failed to load MIDI file: %s", loaded.error().message.c_str());
      return nullptr;
    }
    return to_python(std::move(loaded).value());
  });
}

// The snapshot is a copy: later changes to the MidiDict do not reach it.
constexpr auto kToMidi = method("MidiDict", "to_midi");

PyObject* to_midi(PyObject* self, PyObject*) {
  return with_record<MidiDictRecord>(
      self, [](const MidiDictRecord& rec) { return new_record_object(MidiFileSnapshot{rec}); });
}

PyMethodDef midi_dict_methods[] = {
    method_def<kAddNote, add_note>(),
    method_def<kAddInstrument, add_instrument>(),
    method_def<kAddTempo, add_tempo>(),
    method_def<kCalculateHash, calculate_hash_method>(),
    method_def<kResolvePedal, copy_of_self>(),
    method_def<kRemoveRedundantPedals, copy_of_self>(),
    method_def<kFromMidi, from_midi>(),
    method_def<kToMidi, to_midi>(),
    method_def<kTickToMs, tick_to_ms_method>(),
    method_def<kGetMsgDict, get_msg_dict>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef midi_dict_getset[] = {
    field<MidiDictRecord, &MidiDictRecord::ticks_per_beat>("ticks_per_beat"),
    field<MidiDictRecord, &MidiDictRecord::note_msgs>("note_msgs"),
    field<MidiDictRecord, &MidiDictRecord::tempo_msgs>("tempo_msgs"),
    field<MidiDictRecord, &MidiDictRecord::instrument_msgs>("instrument_msgs"),
    field<MidiDictRecord, &MidiDictRecord::pedal_msgs>("pedal_msgs"),
    field<MidiDictRecord, &MidiDictRecord::meta_msgs>("meta_msgs"),
    field<MidiDictRecord, &MidiDictRecord::metadata>("metadata"),
    {},
};

PyType_Slot midi_dict_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(midi_dict_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<MidiDictRecord>)},
    {Py_tp_methods, midi_dict_methods},
    {Py_tp_getset, midi_dict_getset},
    {Py_tp_hash, reinterpret_cast<void*>(midi_dict_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(midi_dict_richcompare)},
    {0, nullptr},
};

PyType_Spec midi_dict_spec = class_spec<MidiDictObject>("noteloom.korvi._korvi.MidiDict", midi_dict_slots);

}  // namespace

template <>
TypeCell& type_cell<MidiDictRecord>() {
  static TypeCell cell(ClassSlot::MidiDict, &midi_dict_spec);
  return cell;
}

bool from_python(PyObject* obj, MidiDictRecord& out) { return copy_record_from(obj, out); }

// The Python form of a piece has no meta ticks (a MetaMessage shows its type and text only): they
// are zeroed whenever a record becomes a Python object, so pieces that differ only there compare
// equal and write their meta events at tick 0.
PyObject* to_python(MidiDictRecord record) {
  for (auto& m : record.meta_msgs) m.tick = 0;
  return new_record_object(std::move(record));
}

}  // namespace noteloom::py
