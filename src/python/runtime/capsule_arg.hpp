// Arguments that are capsules of one kind (a native object handed to Python and back), converted
// through the argument path: a TypeError "not <what>" names the argument; a capsule made before
// fork() is a RuntimeError, since the threads it holds are not in this process.
#pragma once

#include <Python.h>
#include <unistd.h>

namespace noteloom::py {

// Box: the capsule's object, with `owner` (the pid that made it) and the constants kCapsuleName,
// kWhat ("an encoding stream") and kForked (the RuntimeError's text).
template <typename Box>
struct CapsuleArg {
  Box* box = nullptr;
};

template <typename Box>
bool from_python(PyObject* obj, CapsuleArg<Box>& out) {
  out.box = PyCapsule_IsValid(obj, Box::kCapsuleName) ? static_cast<Box*>(PyCapsule_GetPointer(obj, Box::kCapsuleName))
                                                      : nullptr;
  if (out.box == nullptr) {
    PyErr_Format(PyExc_TypeError, "not %s", Box::kWhat);
    return false;
  }
  if (out.box->owner != getpid()) {
    PyErr_SetString(PyExc_RuntimeError, Box::kForked);
    out.box = nullptr;
    return false;
  }
  return true;
}

}  // namespace noteloom::py
