#include "panic.hpp"

#include <atomic>

#include "module_state.hpp"
#include "pyref.hpp"

namespace noteloom::py {

void panic(std::string message) { throw Panic(std::move(message)); }

PyObject* panic_exception_type() {
  std::atomic<PyObject*>& cell = module_state().panic_exception;
  if (PyObject* t = cell.load(std::memory_order_acquire)) return t;
  PyObject* created =
      PyErr_NewExceptionWithDoc("_noteloom.PanicException",
                                "A fatal internal error of noteloom. Derives from BaseException so that ordinary\n"
                                "`except Exception` handlers do not swallow it.",
                                PyExc_BaseException, nullptr);
  if (!created) return nullptr;
  PyObject* expected = nullptr;
  if (!cell.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);  // another thread won the race
    return expected;
  }
  return created;
}

void raise_panic(const char* message) noexcept {
  try {
    PyObject* type = panic_exception_type();
    if (!type) Py_FatalError("uncaught panic at ffi boundary");
    PyErr_SetString(type, message ? message : "noteloom panicked without a message");
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

void resume_if_panic() {
  PyObject* type = panic_exception_type();
  if (!type || !PyErr_ExceptionMatches(type)) return;
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!utf8) PyErr_Clear();
  panic(utf8 ? utf8 : "");
}

}  // namespace noteloom::py
