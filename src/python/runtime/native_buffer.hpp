// Buffers between native code and Python without copies: vectors made in native code exposed
// through the buffer protocol (as bytes: np.frombuffer gives them their dtype), and buffers of
// Python objects held by native code until it is done with them.
#pragma once

#include <Python.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "record_object.hpp"

namespace noteloom::py {

// A Python object owning a vector; views of it stay valid while they hold the object (the vector
// is never resized).
template <typename T>
struct VectorObject {
  PyObject_HEAD std::vector<T> items;

  static int getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto& items = reinterpret_cast<VectorObject*>(self)->items;
    return PyBuffer_FillInfo(view, self, items.data(), static_cast<Py_ssize_t>(items.size() * sizeof(T)), 0, flags);
  }
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<VectorObject*>(self)->items.~vector();
    type->tp_free(self);
    Py_DECREF(type);
  }
  static inline PyType_Slot slots[] = {
      {Py_bf_getbuffer, reinterpret_cast<void*>(getbuffer)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {0, nullptr},
  };

  // A new object of the class in `cell` taking `items`.
  static PyObject* make(TypeCell& cell, std::vector<T>&& items) {
    PyTypeObject* type = cell.require();
    auto* o = reinterpret_cast<VectorObject*>(type->tp_alloc(type, 0));
    if (o == nullptr) return nullptr;
    new (&o->items) std::vector<T>(std::move(items));
    return reinterpret_cast<PyObject*>(o);
  }
};

// A Python object's buffer, held (and the object kept alive) until this is destroyed, which must
// happen with the thread state attached.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(HeldBuffer&& other) noexcept : view_(std::exchange(other.view_, Py_buffer{})) {}
  HeldBuffer& operator=(HeldBuffer&& other) noexcept {
    if (this != &other) {
      release();
      view_ = std::exchange(other.view_, Py_buffer{});
    }
    return *this;
  }
  ~HeldBuffer() { release(); }
  // A C-contiguous buffer of `obj`; false with the error set.
  bool hold(PyObject* obj, int flags = PyBUF_C_CONTIGUOUS) {
    release();
    return PyObject_GetBuffer(obj, &view_, flags) == 0;
  }
  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }
  const Py_buffer& view() const { return view_; }

 private:
  void release() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }
  Py_buffer view_{};
};

// Arguments that are buffers, converted through the argument path (which names the argument in
// the TypeError): one-dimensional C-contiguous buffers of native integers.

// Of any integer type: `itemsize` 1, 2, 4 or 8, signed or not.
struct IntegerBuffer {
  HeldBuffer held;
  bool is_signed = false;
  template <typename Int>
  std::span<const Int> as() const {
    return {reinterpret_cast<const Int*>(held.data()), held.size() / sizeof(Int)};
  }
  size_t itemsize() const { return static_cast<size_t>(held.view().itemsize); }
};

inline bool from_python(PyObject* obj, IntegerBuffer& out) {
  if (!out.held.hold(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  const Py_buffer& view = out.held.view();
  const char* f = view.format != nullptr ? view.format : "B";
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  const bool integers = f[0] != '\0' && f[1] == '\0' && std::strchr("bBhHiIlLqQnN", f[0]) != nullptr;
  if (view.ndim != 1 || !integers ||
      (view.itemsize != 1 && view.itemsize != 2 && view.itemsize != 4 && view.itemsize != 8)) {
    out.held = HeldBuffer();
    PyErr_SetString(PyExc_TypeError, "a one-dimensional buffer of native integers of 1, 2, 4 or 8 bytes is needed");
    return false;
  }
  out.is_signed = std::islower(static_cast<unsigned char>(f[0])) != 0;
  return true;
}

// Of items of exactly T's size (the caller passes the type it means).
template <typename T>
struct ItemBuffer {
  HeldBuffer held;
  std::span<const T> items;
};

template <typename T>
bool from_python(PyObject* obj, ItemBuffer<T>& out) {
  if (!out.held.hold(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  if (out.held.view().itemsize != sizeof(T) || out.held.view().ndim != 1) {
    out.held = HeldBuffer();
    PyErr_Format(PyExc_TypeError, "a one-dimensional buffer of %d-byte items is needed", static_cast<int>(sizeof(T)));
    return false;
  }
  out.items = {reinterpret_cast<const T*>(out.held.data()), out.held.size() / sizeof(T)};
  return true;
}

}  // namespace noteloom::py
