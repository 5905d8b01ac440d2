#include "py_midi_file.hpp"

#include "../core/smf/midi_writer.hpp"

namespace noteloom::py {
namespace {

constexpr auto kSave = method("MidiFile", "save", {"path"});

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<MidiFileSnapshot, Access::Shared, kSave>(
      self, args, nargs, kwnames, [](const MidiFileSnapshot& file, const auto& a) -> PyObject* {
        std::string path;
        if (!path_from_python(a[0], path)) return nullptr;
        const Status written = write_midi_file(file.record, path);
        if (!written) {
          PyErr_Format(PyExc_OSError, "Failed to save MIDI file: %s", written.error().message.c_str());
          return nullptr;
        }
        Py_RETURN_NONE;
      });
}

PyMethodDef midi_file_methods[] = {
    method_def<kSave, save>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot midi_file_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<MidiFileSnapshot>)},
    {Py_tp_methods, midi_file_methods},
    {0, nullptr},
};

PyType_Spec midi_file_spec =
    class_spec<RecordObject<MidiFileSnapshot>>("noteloom.korvi._korvi.MidiFile", midi_file_slots);

}  // namespace

template <>
TypeCell& type_cell<MidiFileSnapshot>() {
  static TypeCell cell(ClassSlot::MidiFile, &midi_file_spec);
  return cell;
}

}  // namespace noteloom::py
