// Module entry: creates `_noteloom` once per process and publishes the classes in the sub-module
// "noteloom.korvi._korvi", which is also entered in sys.modules.
#include <Python.h>

#include <atomic>

#include "py_abs_tokenizer.hpp"
#include "py_archive.hpp"
#include "py_augment_ids.hpp"
#include "py_chunks.hpp"
#include "py_encode.hpp"
#include "py_messages.hpp"
#include "py_midi_dict.hpp"
#include "py_normalize.hpp"
#include "py_tokenizer.hpp"
#include "runtime/module_state.hpp"
#include "runtime/panic.hpp"
#include "runtime/pyref.hpp"

namespace noteloom::py {
namespace {

constexpr const char* kSubmoduleName = "noteloom.korvi._korvi";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_noteloom", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to module.__all__ (created when absent), then sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) panic("could not append to __all__");
  return PyObject_SetAttr(module, name, value) == 0;
}

// A built-in function for `def`, bound to `module`.
PyObject* new_function(PyObject* module, PyMethodDef& def) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCMethod_New(&def, module, name.get(), nullptr);
}

bool add_class(PyObject* module, TypeCell& cell) {
  PyTypeObject* type = cell.get();
  if (!type) return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  return name && add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

bool fill_module(PyObject* module) {
  PyRef sub = PyRef::steal(PyModule_New(kSubmoduleName));
  if (!sub) return false;
  for (TypeCell* cell : {&type_cell<MidiDictRecord>(), &type_cell<NoteMessage>(), &type_cell<TempoMessage>(),
                         &type_cell<InstrumentMessage>(), &type_cell<PedalMessage>(), &type_cell<MetaMessage>(),
                         &type_cell<PyTokenizer>()}) {
    if (!add_class(sub.get(), *cell)) return false;
  }
  PyRef function = PyRef::steal(new_function(sub.get(), normalize_method()));
  if (!function) return false;
  PyRef function_name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name || !add_to_module(sub.get(), function_name.get(), function.get())) return false;
  // The package's native helpers: the engine's native half and the message factory of unpickling
  // (outside __all__, like PanicException).
  auto add_helper = [module](PyMethodDef& def) {
    PyRef helper = PyRef::steal(new_function(module, def));
    return helper && PyModule_AddObjectRef(module, def.ml_name, helper.get()) == 0;
  };
  for (PyMethodDef& def : encode_stream_methods()) {
    if (!add_helper(def)) return false;
  }
  for (PyMethodDef& def : archive_methods()) {
    if (!add_helper(def)) return false;
  }
  if (!add_helper(new_message_method()) || !add_helper(augment_ids_method()) || !add_helper(plan_chunks_method()))
    return false;
  // The package's configurable tokenizer wraps this class (outside __all__ too).
  PyTypeObject* configured = type_cell<PyConfiguredTokenizer>().get();
  if (!configured || PyModule_AddObjectRef(module, "_Tokenizer", reinterpret_cast<PyObject*>(configured)) < 0)
    return false;
  // PanicException is reachable as an attribute (outside __all__) so callers can catch it by class.
  PyObject* panic_type = panic_exception_type();
  if (!panic_type || PyModule_AddObjectRef(module, "PanicException", panic_type) < 0) return false;
  PyRef sub_name = PyRef::steal(PyModule_GetNameObject(sub.get()));
  if (!sub_name || !add_to_module(module, sub_name.get(), sub.get())) return false;
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  if (!sys) return false;
  PyRef modules = PyRef::steal(PyObject_GetAttrString(sys.get(), "modules"));
  return modules && PyObject_SetItem(modules.get(), sub_name.get(), sub.get()) == 0;
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;
  int64_t expected = -1;
  ModuleState& state = module_state();  // the module is made once per process, in one interpreter
  if (!state.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_noteloom does not support sub-interpreters: it can only be imported once per process");
    return nullptr;
  }
  if (PyObject* existing = state.module.load(std::memory_order_acquire)) return Py_NewRef(existing);

  PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
  if (!fill_module(module.get())) return nullptr;
  PyObject* stored = nullptr;
  if (!state.module.compare_exchange_strong(stored, module.get(), std::memory_order_acq_rel)) {
    return Py_NewRef(stored);  // a concurrent import finished first
  }
  Py_INCREF(module.get());  // the state keeps the module alive for the life of the process
  return module.release();
}

}  // namespace
}  // namespace noteloom::py

PyMODINIT_FUNC PyInit__noteloom(void) {
  return noteloom::py::guard<PyObject*>(nullptr, [] { return noteloom::py::init_module(); });
}
