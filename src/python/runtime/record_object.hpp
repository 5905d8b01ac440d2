// Python objects that hold one engine record by value next to a borrow flag, the lazily created
// type objects of their classes, and the generic attribute accessors.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "borrow.hpp"
#include "convert.hpp"
#include "module_state.hpp"
#include "panic.hpp"

namespace noteloom::py {

template <typename Rec>
struct RecordObject {
  PyObject_HEAD BorrowFlag borrow;
  Rec rec;
};

template <typename Rec>
RecordObject<Rec>* as_record_object(PyObject* self) {
  return reinterpret_cast<RecordObject<Rec>*>(self);
}

// A class of the module: its PyType_Spec, and its slot in the module state, where the type object built
// by PyType_FromSpec on first need is kept. Concurrent first uses may each build one; the first to
// publish wins and the others are dropped.
class TypeCell {
 public:
  constexpr TypeCell(ClassSlot slot, PyType_Spec* spec) : slot_(slot), spec_(spec) {}

  // Null with the interpreter's error set when creation fails (used during module init).
  PyTypeObject* get() {
    std::atomic<PyTypeObject*>& type_ = module_state().classes[static_cast<size_t>(slot_)];
    if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
    auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_));
    if (!created) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!type_.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
      Py_DECREF(created);
      return expected;
    }
    return created;
  }

  // After module init a missing type object is a fatal internal error.
  PyTypeObject* require() {
    if (PyTypeObject* t = get()) return t;
    PyErr_Print();
    const char* dot = std::strrchr(spec_->name, '.');
    panic(std::string("failed to create type object for ") + (dot ? dot + 1 : spec_->name));
  }

 private:
  ClassSlot slot_;
  PyType_Spec* spec_;
};

// Each Python-facing record type names its class's cell.
template <typename Rec>
TypeCell& type_cell();

template <typename Rec>
PyObject* new_record_object(Rec rec) {
  PyTypeObject* type = type_cell<Rec>().require();
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* o = as_record_object<Rec>(self);
  new (&o->borrow) BorrowFlag();
  new (&o->rec) Rec(std::move(rec));
  return self;
}

template <typename Rec>
void record_object_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* o = as_record_object<Rec>(self);
  o->rec.~Rec();
  o->borrow.~BorrowFlag();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_free));
  if (!free_fn) Py_FatalError("PyBaseObject_Type should have tp_free");
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// What PyType_FromSpec needs to make a class whose instances are `Object`s (not subclassable).
template <typename Object>
constexpr PyType_Spec class_spec(const char* name, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(Object)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

enum class Access { Shared, Exclusive };

template <Access A>
using BorrowOf = std::conditional_t<A == Access::Shared, SharedBorrow, ExclusiveBorrow>;

// The failure value of a slot function returning R: null, or -1.
template <typename R>
constexpr R error_value() {
  if constexpr (std::is_pointer_v<R>)
    return nullptr;
  else
    return R(-1);
}

// Runs `body(record)` under a borrow of the record of `self` (shared: a const record), inside the
// panic guard. A refused borrow gives the error value of the body's result type.
template <typename Rec, Access A = Access::Shared, typename Body>
auto with_record(PyObject* self, Body&& body) {
  using Ref = std::conditional_t<A == Access::Shared, const Rec&, Rec&>;
  using R = std::invoke_result_t<Body, Ref>;
  return guard<R>(error_value<R>(), [&]() -> R {
    auto* o = as_record_object<Rec>(self);
    BorrowOf<A> borrow(o->borrow);
    if (!borrow.ok()) return error_value<R>();
    return body(static_cast<Ref>(o->rec));
  });
}

// A method call on the record of `self`: matches the arguments of D, takes the borrow, then runs
// `body(record, args)`, which converts the arguments it needs.
template <typename Rec, Access A, const auto& D, typename Body>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  using Ref = std::conditional_t<A == Access::Shared, const Rec&, Rec&>;
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Args<D> a;
    if (!a.match(args, nargs, kwnames)) return nullptr;
    auto* o = as_record_object<Rec>(self);
    BorrowOf<A> borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    return body(static_cast<Ref>(o->rec), std::as_const(a));
  });
}

// tp_new of the classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Runs `read(record)` on the record of an instance of `Rec`'s class (or a subclass) under a shared
// borrow. False with an exception set when `obj` is no such instance or is mutably borrowed.
template <typename Rec, typename Read>
bool read_record_from(PyObject* obj, Read&& read) {
  PyTypeObject* type = type_cell<Rec>().require();
  if (!PyObject_TypeCheck(obj, type)) {
    const char* name = type->tp_name;
    const char* dot = std::strrchr(name, '.');
    raise_type_mismatch(obj, dot ? dot + 1 : name);
    return false;
  }
  auto* o = as_record_object<Rec>(obj);
  SharedBorrow borrow(o->borrow);
  if (!borrow.ok()) return false;
  read(static_cast<const Rec&>(o->rec));
  return true;
}

// Copies the record of an instance of `Rec`'s class (or a subclass) under a shared borrow.
template <typename Rec>
bool copy_record_from(PyObject* obj, Rec& out) {
  return read_record_from<Rec>(obj, [&out](const Rec& rec) { out = rec; });
}

// Generic read/write attribute for field `Field` of the record held by instances of `Rec`.
// Reads take a shared borrow; writes convert first, then take an exclusive borrow.
template <typename Rec, auto Field>
PyObject* get_field(PyObject* self, void*) {
  return with_record<Rec>(self, [](const Rec& rec) { return to_python(rec.*Field); });
}

template <typename Rec, auto Field>
int set_field(PyObject* self, PyObject* value, void* closure) {
  return guard<int>(-1, [&]() -> int {
    if (!value) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    std::remove_cvref_t<decltype(std::declval<Rec&>().*Field)> converted;
    if (!convert_arg(static_cast<const char*>(closure), value, converted)) return -1;
    return with_record<Rec, Access::Exclusive>(self, [&](Rec& rec) {
      rec.*Field = std::move(converted);
      return 0;
    });
  });
}

template <typename Rec, auto Field>
constexpr PyGetSetDef field(const char* name) {
  return {name, get_field<Rec, Field>, set_field<Rec, Field>, nullptr, const_cast<char*>(name)};
}

}  // namespace noteloom::py
