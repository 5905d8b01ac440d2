// _noteloom._encode_batch: the native half of noteloom.encode_files.
#pragma once

#include <Python.h>

namespace noteloom::py {

// A new function object bound to `module`.
PyObject* new_encode_batch_function(PyObject* module);

}  // namespace noteloom::py
