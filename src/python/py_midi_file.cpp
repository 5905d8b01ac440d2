#include "py_midi_file.hpp"

#include "../core/midi_writer.hpp"

namespace noteloom::py {
namespace {

constexpr const char* const kSaveParams[] = {"path"};
constexpr Signature kSave = required_params("MidiFile.save()", kSaveParams);

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[1];
    if (!match_args(kSave, args, nargs, kwnames, matched)) return nullptr;
    auto* o = as_record_object<MidiFileSnapshot>(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    std::string path;
    if (!path_from_python(matched[0], path)) return nullptr;
    const Status written = write_midi_file(o->rec.record, path);
    if (!written) {
      PyErr_Format(PyExc_OSError, "Failed to save MIDI file: %s", written.error().message.c_str());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef midi_file_methods[] = {
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save)), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot midi_file_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<MidiFileSnapshot>)},
    {Py_tp_methods, midi_file_methods},
    {0, nullptr},
};

PyType_Spec midi_file_spec = {"noteloom.korvi._korvi.MidiFile", static_cast<int>(sizeof(RecordObject<MidiFileSnapshot>)), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, midi_file_slots};

}  // namespace

template <> TypeCell& type_cell<MidiFileSnapshot>() { static TypeCell cell(&midi_file_spec); return cell; }

}  // namespace noteloom::py
