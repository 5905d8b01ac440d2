// The calling thread's Python state, detached for the life of a scope: for native work that needs
// no Python objects (file reads, batch waits), so other threads run meanwhile, and so a blocking
// read cannot hold up the Python thread that would feed it (a pipe written from Python).
#pragma once

#include <Python.h>

namespace noteloom::py {

class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(state_); }  // also when an exception leaves the scope
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace noteloom::py
