// The module function normalize_midi_dict.
#pragma once

#include <Python.h>

namespace noteloom::py {

// The function's definition, for the module to bind.
PyMethodDef& normalize_method();

}  // namespace noteloom::py
