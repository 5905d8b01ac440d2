// Fatal internal errors. Binding code throws `Panic` for states that ordinary use cannot reach;
// every entry point from the interpreter runs inside `guard`, which turns a panic into
// PanicException (a BaseException, so `except Exception` does not swallow it).
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace noteloom::py {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void panic(std::string message);

// The PanicException class, created once per process. Null with an error set on failure.
PyObject* panic_exception_type();

// Sets PanicException(message) as the pending error; aborts the process if even that fails.
void raise_panic(const char* message) noexcept;

// If the pending error is a PanicException (raised by a Python callback we invoked), re-throw it
// as a Panic so it unwinds to the boundary instead of being handled as an ordinary error.
void resume_if_panic();

template <typename R, typename F>
R guard(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const Panic& p) {
    raise_panic(p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a container asked to outgrow its maximum size
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return on_error;
}

}  // namespace noteloom::py
