// _noteloom._augment_ids: the native half of noteloom.augment_ids, the three augmentations on an
// array of token IDs with the thread state detached.
#pragma once

#include <Python.h>

namespace noteloom::py {

PyMethodDef& augment_ids_method();

}  // namespace noteloom::py
