// _noteloom._encode_batch: the native half of noteloom.encode_files.
#pragma once

#include <Python.h>

namespace noteloom::py {

// The function's definition, for the module to bind.
PyMethodDef& encode_batch_method();

}  // namespace noteloom::py
