// Conversions between Python values and engine values. Every `from_python` overload returns
// false with a Python exception set on failure; `to_python` overloads return a new reference or
// null with an exception set.
//
// What each engine type takes, and what it raises otherwise ('T' is the type of the value given):
//   int32_t          int or __index__: the interpreter's TypeError; outside 32 bits OverflowError
//                    "Python int too large to convert to C long"
//   double           float, or anything with __float__ / __index__: the interpreter's TypeError
//   bool             True, False, numpy.bool: TypeError "'T' object cannot be converted to 'PyBool'"
//   std::string      str: TypeError "'T' object cannot be converted to 'PyString'"
//   Metadata         dict of str to str: "... to 'PyDict'", then the item's error
//   std::vector<X>   any sequence but str: TypeError "Can't extract `str` to `Vec`" for a str,
//                    "... to 'Sequence'" for a non-sequence, then the first bad item's error
//   records          an instance of the class: "... to 'MidiDict'" (or the message class's name)
//   paths            str, or anything whose __str__ gives one (pathlib.Path): TypeError "Path must
//                    be a string or pathlib.Path" when __str__ raises (not re-wrapped)
//   tokens           str or (str, int, int): TypeError "Token must be either a string or a
//                    3-tuple" (py_tokens.hpp), the underlying error dropped
// An argument's TypeError is re-raised as "argument 'NAME': <text>", cause kept (args.hpp); other
// exception types pass unchanged. The other errors of the module, each raised where it arises:
//   OSError "Failed to load MIDI file: <reason>", "Failed to save MIDI file: <reason>"
//   RuntimeError "Tokenization failed: <reason>"; "Already borrowed" / "Already mutably
//   borrowed" (borrow.hpp); TypeError "No constructor defined for <class>"; KeyError
//   "Key '<key>' not found"; PanicException for internal failures (panic.hpp).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../../core/model/midi_dict.hpp"
#include "critical_section.hpp"
#include "panic.hpp"
#include "pyref.hpp"

namespace noteloom::py {

// TypeError "'<type of obj>' object cannot be converted to '<target>'".
void raise_type_mismatch(PyObject* obj, const char* target);

// Replaces a pending TypeError by TypeError("argument '<name>': <text>") that keeps the original's
// cause. Other exception types are left as they are.
void rewrap_argument_error(const char* name);

// Signed 32-bit integers through the C `long` conversion; values outside 32 bits overflow.
bool from_python(PyObject* obj, int32_t& out);
// Unsigned 64-bit integers (a seed, say); negative values and values past 64 bits overflow.
bool from_python(PyObject* obj, uint64_t& out);
// An exact float directly; anything else through the interpreter's float conversion.
bool from_python(PyObject* obj, double& out);
// True/False, or numpy's bool scalars (through their __bool__).
bool from_python(PyObject* obj, bool& out);
// `str` (or subclass) to UTF-8.
bool from_python(PyObject* obj, std::string& out);
bool from_python(PyObject* obj, SharedText& out);
// `dict` (or subclass) of `str` to `str`, read under the dict's critical section.
bool from_python(PyObject* obj, Metadata& out);

// File paths: a `str` as it is, any other object through its `__str__`. Encoded with the file
// system encoding (surrogateescape), so names that are not valid UTF-8 still open. Failures are
// not re-wrapped with the argument name: a raising `__str__` gives TypeError
// "Path must be a string or pathlib.Path".
bool path_from_python(PyObject* obj, std::string& out);

// Records of the data model: an instance of the record's class, copied under a shared borrow of
// the instance, and back as a new instance holding a copy.
bool from_python(PyObject* obj, NoteMessage& out);
bool from_python(PyObject* obj, TempoMessage& out);
bool from_python(PyObject* obj, InstrumentMessage& out);
bool from_python(PyObject* obj, PedalMessage& out);
bool from_python(PyObject* obj, MetaMessage& out);
bool from_python(PyObject* obj, MidiDictRecord& out);
PyObject* to_python(const NoteMessage& m);
PyObject* to_python(const TempoMessage& m);
PyObject* to_python(const InstrumentMessage& m);
PyObject* to_python(const PedalMessage& m);
PyObject* to_python(const MetaMessage& m);
PyObject* to_python(MidiDictRecord record);

// Any sequence except `str`, item by item.
template <typename T, typename ItemFn>
bool sequence_from_python(PyObject* obj, std::vector<T>& out, ItemFn&& convert_item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_type_mismatch(obj, "Sequence");
    return false;
  }
  // The length of a list, tuple or range is true: all of it is reserved, and one that cannot fit is
  // a MemoryError at once. Any other object's length is only a hint (it may claim any length): it
  // sizes the first allocation up to a bound, and the vector grows as items actually arrive.
  constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 16;
  const Py_ssize_t hint = PySequence_Size(obj);
  const bool honest = PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyRange_Check(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<size_t>(honest ? hint : std::min(hint, kMaxReserve)));
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    T value;
    if (!convert_item(item.get(), value)) return false;
    out.push_back(std::move(value));
  }
  return !PyErr_Occurred();
}

// Visits every (key, value) of a dict. Each step reads one entry inside the dict's critical
// section (free-threaded builds; the GIL serves on others), so a concurrent writer cannot corrupt
// the walk; the visitor runs outside it. A size
// change or extra entries during the walk are fatal (Panic).
template <typename Visit>
bool for_each_dict_item(PyObject* dict, Visit&& visit) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t remaining = size;
  Py_ssize_t pos = 0;
  for (;;) {
    PyRef key, value;
    const char* fault = nullptr;
    bool more = false;
    {
      const CriticalSection lock(dict);
      if (PyDict_Size(dict) != size) {
        fault = "dictionary changed size during iteration";
      } else {
        PyObject *k = nullptr, *v = nullptr;
        more = PyDict_Next(dict, &pos, &k, &v) != 0;
        if (more) {
          if (remaining == 0) {
            fault = "dictionary keys changed during iteration";
          } else {
            --remaining;
            key = PyRef::borrow(k);
            value = PyRef::borrow(v);
          }
        }
      }
    }
    if (fault) panic(fault);
    if (!more) return true;
    if (!visit(key.get(), value.get())) return false;
  }
}

PyObject* to_python(int32_t v);
PyObject* to_python(uint64_t v);
PyObject* to_python(const std::string& s);
PyObject* to_python(std::string_view s);
PyObject* to_python(const SharedText& s);
PyObject* to_python(const Metadata& m);

// A new list holding make_item(x) for each element of a vector or span, in order (make_item may
// take the elements of a non-const container by reference, to move from them).
template <typename Items, typename MakeItem>
PyObject* list_to_python(Items&& items, MakeItem&& make_item) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = make_item(items[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list.release();
}

template <typename T>
bool from_python(PyObject* obj, std::vector<T>& out) {
  return sequence_from_python(obj, out, [](PyObject* item, T& value) { return from_python(item, value); });
}

template <typename T>
PyObject* to_python(const std::vector<T>& items) {
  return list_to_python(items, [](const T& item) { return to_python(item); });
}

}  // namespace noteloom::py
