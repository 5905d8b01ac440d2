// The module function normalize_midi_dict.
#pragma once

#include <Python.h>

namespace noteloom::py {

// A new built-in function object bound to `module`.
PyObject* new_normalize_function(PyObject* module);

}  // namespace noteloom::py
