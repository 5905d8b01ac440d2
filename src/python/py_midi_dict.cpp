#include "py_midi_dict.hpp"

#include "../core/midi_dict.hpp"
#include "../core/midi_loader.hpp"
#include "detached.hpp"
#include "py_midi_file.hpp"

namespace noteloom::py {
namespace {

using MidiDictObject = RecordObject<MidiDictRecord>;

MidiDictObject* as_midi_dict(PyObject* self) { return as_record_object<MidiDictRecord>(self); }

constexpr Signature kConstructor = no_params("MidiDict()");

PyObject* midi_dict_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[1];
    if (!match_args(kConstructor, args, kwargs, matched)) return nullptr;
    return new_record_object(MidiDictRecord{});
  });
}

// Runs `body(record)` under a shared borrow of the MidiDict.
template <typename Body>
PyObject* with_shared(PyObject* self, Body&& body) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* o = as_midi_dict(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    return body(o->rec);
  });
}

// Matches the arguments, takes the exclusive borrow, then lets `body` convert them in order.
template <size_t N, typename Body>
PyObject* with_exclusive_args(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, Body&& body) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[N];
    if (!match_args(sig, args, nargs, kwnames, matched)) return nullptr;
    auto* o = as_midi_dict(self);
    ExclusiveBorrow borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    return body(o->rec, matched);
  });
}

// Converts matched[i] into *outs[i] in parameter order; stops at the first failure.
template <size_t N, typename... T>
bool convert_all(const char* const (&names)[N], PyObject* const* matched, T&... outs) {
  size_t i = 0;
  auto next = [&](auto& out) {
    const size_t k = i++;
    return convert_arg(names[k], matched[k], out);
  };
  return (next(outs) && ...);
}

constexpr const char* const kAddNoteParams[] = {"pitch", "start", "end", "velocity", "channel"};
constexpr Signature kAddNote = required_params("MidiDict.add_note()", kAddNoteParams);

PyObject* add_note(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_args<5>(self, kAddNote, args, nargs, kwnames, [](MidiDictRecord& rec, PyObject** a) -> PyObject* {
    NoteMessage n;
    if (!convert_all(kAddNoteParams, a, n.pitch, n.start, n.end, n.velocity, n.channel)) return nullptr;
    n.tick = n.start;
    rec.note_msgs.push_back(std::move(n));
    Py_RETURN_NONE;
  });
}

constexpr const char* const kAddInstrumentParams[] = {"program", "tick", "channel"};
constexpr Signature kAddInstrument = required_params("MidiDict.add_instrument()", kAddInstrumentParams);

PyObject* add_instrument(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_args<3>(self, kAddInstrument, args, nargs, kwnames, [](MidiDictRecord& rec, PyObject** a) -> PyObject* {
    InstrumentMessage m;
    if (!convert_all(kAddInstrumentParams, a, m.data, m.tick, m.channel)) return nullptr;
    rec.instrument_msgs.push_back(std::move(m));
    Py_RETURN_NONE;
  });
}

constexpr const char* const kAddTempoParams[] = {"tempo", "tick"};
constexpr Signature kAddTempo = required_params("MidiDict.add_tempo()", kAddTempoParams);

PyObject* add_tempo(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_args<2>(self, kAddTempo, args, nargs, kwnames, [](MidiDictRecord& rec, PyObject** a) -> PyObject* {
    TempoMessage m;
    if (!convert_all(kAddTempoParams, a, m.data, m.tick)) return nullptr;
    rec.tempo_msgs.push_back(std::move(m));
    Py_RETURN_NONE;
  });
}

constexpr const char* const kTickToMsParams[] = {"tick"};
constexpr Signature kTickToMs = required_params("MidiDict.tick_to_ms()", kTickToMsParams);

PyObject* tick_to_ms_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[1];
    if (!match_args(kTickToMs, args, nargs, kwnames, matched)) return nullptr;
    auto* o = as_midi_dict(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    int32_t tick = 0;
    if (!convert_arg("tick", matched[0], tick)) return nullptr;
    return to_python(tick_to_ms(o->rec, tick));
  });
}

PyObject* calculate_hash_method(PyObject* self, PyObject*) {
  return with_shared(self, [](const MidiDictRecord& rec) { return to_python(calculate_hash(rec)); });
}

void set_item_or_panic(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned || PyDict_SetItemString(dict, key, owned.get()) < 0) panic("failed to fill the message dictionary");
}

PyObject* get_msg_dict(PyObject* self, PyObject*) {
  return with_shared(self, [](const MidiDictRecord& rec) -> PyObject* {
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
PyObject* copy_of_self(PyObject* self, PyObject*) {
  return with_shared(self, [](const MidiDictRecord& rec) { return to_python(rec); });
}

Py_hash_t midi_dict_hash(PyObject* self) {
  return guard<Py_hash_t>(-1, [&]() -> Py_hash_t {
    auto* o = as_midi_dict(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return -1;
    const auto h = static_cast<Py_hash_t>(calculate_hash(o->rec));
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

constexpr const char* const kFromMidiParams[] = {"mid_path"};
constexpr Signature kFromMidi = required_params("MidiDict.from_midi()", kFromMidiParams);

PyObject* from_midi(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[1];
    if (!match_args(kFromMidi, args, nargs, kwnames, matched)) return nullptr;
    std::string path;
    if (!path_from_python(matched[0], path)) return nullptr;
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
PyObject* to_midi(PyObject* self, PyObject*) {
  return with_shared(self, [](const MidiDictRecord& rec) { return new_record_object(MidiFileSnapshot{rec}); });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef midi_dict_methods[] = {
    {"add_note", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_note)), kFastcall,
     "add_note($self, pitch, start, end, velocity, channel)\n--\n\n"},
    {"add_instrument", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_instrument)), kFastcall,
     "add_instrument($self, program, tick, channel)\n--\n\n"},
    {"add_tempo", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_tempo)), kFastcall,
     "add_tempo($self, tempo, tick)\n--\n\n"},
    {"calculate_hash", calculate_hash_method, METH_NOARGS, "calculate_hash($self)\n--\n\n"},
    {"resolve_pedal", copy_of_self, METH_NOARGS, "resolve_pedal($self)\n--\n\n"},
    {"remove_redundant_pedals", copy_of_self, METH_NOARGS, "remove_redundant_pedals($self)\n--\n\n"},
    {"from_midi", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_midi)), kFastcall | METH_CLASS,
     "from_midi($cls, mid_path)\n--\n\n"},
    {"to_midi", to_midi, METH_NOARGS, "to_midi($self)\n--\n\n"},
    {"tick_to_ms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tick_to_ms_method)), kFastcall,
     "tick_to_ms($self, tick)\n--\n\n"},
    {"get_msg_dict", get_msg_dict, METH_NOARGS, "get_msg_dict($self)\n--\n\n"},
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

PyType_Spec midi_dict_spec = {"noteloom.korvi._korvi.MidiDict", static_cast<int>(sizeof(MidiDictObject)), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, midi_dict_slots};

}  // namespace

template <> TypeCell& type_cell<MidiDictRecord>() { static TypeCell cell(&midi_dict_spec); return cell; }

bool from_python(PyObject* obj, MidiDictRecord& out) { return copy_record_from(obj, out); }

PyObject* to_python(MidiDictRecord record) {
  record.clear_meta_ticks();
  return new_record_object(std::move(record));
}

}  // namespace noteloom::py
