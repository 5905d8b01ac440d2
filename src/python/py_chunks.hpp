// _noteloom._plan_chunks: the native half of TokenDataset.chunks, where each piece of each
// sequence starts and ends, found with the thread state detached.
#pragma once

#include <Python.h>

namespace noteloom::py {

PyMethodDef& plan_chunks_method();

}  // namespace noteloom::py
