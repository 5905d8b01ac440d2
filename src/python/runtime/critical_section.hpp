// A scoped critical section on one object: the object's lock on the free-threaded build, nothing
// on the GIL build (where the GIL serves). Scoped, so that an exception leaving the block (a failed
// allocation) cannot leave the object locked.
#pragma once

#include <Python.h>

namespace noteloom::py {

class CriticalSection {
 public:
  explicit CriticalSection([[maybe_unused]] PyObject* obj) {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&cs_, obj);
#endif
  }
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&cs_);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection cs_;
#endif
};

}  // namespace noteloom::py
