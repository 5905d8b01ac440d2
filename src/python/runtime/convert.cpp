#include "convert.hpp"

#include <climits>
#include <cstring>
#include <string_view>

namespace noteloom::py {

namespace {

// A name interned once per process (interned strings live as long as the interpreter).
PyObject* interned(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (!name) panic(std::string("could not intern ") + text);
  return name;
}

}  // namespace

void raise_type_mismatch(PyObject* obj, const char* target) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

void rewrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef err = PyRef::steal(PyErr_GetRaisedException());
  if (!Py_IS_TYPE(err.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(err.release());  // subclasses pass unchanged
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(err.get()));
  if (!text) return;
  PyRef wrapped = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!wrapped) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, wrapped.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(err.get()));  // steals the cause
  PyErr_SetRaisedException(replacement.release());
}

bool from_python(PyObject* obj, int32_t& out) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}

bool from_python(PyObject* obj, uint64_t& out) {
  if (!PyLong_Check(obj)) {
    raise_type_mismatch(obj, "int");
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<uint64_t>(v);
  return true;
}

bool from_python(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool from_python(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  const bool numpy_bool =
      module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0);
  if (!numpy_bool) {
    raise_type_mismatch(obj, "PyBool");
    return false;
  }
  static PyObject* const method = interned("__bool__");
  PyRef result = PyRef::steal(PyObject_CallMethodNoArgs(obj, method));
  if (!result) return false;
  if (!PyBool_Check(result.get())) {
    raise_type_mismatch(result.get(), "PyBool");
    return false;
  }
  out = result.get() == Py_True;
  return true;
}

namespace {

// The UTF-8 of a `str`, valid while the object lives.
bool utf8_of(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_type_mismatch(obj, "PyString");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!utf8) return false;  // lone surrogates cannot be encoded
  out = {utf8, static_cast<size_t>(len)};
  return true;
}

}  // namespace

bool from_python(PyObject* obj, std::string& out) {
  std::string_view text;
  if (!utf8_of(obj, text)) return false;
  out.assign(text);
  return true;
}

bool from_python(PyObject* obj, SharedText& out) {
  std::string_view text;
  if (!utf8_of(obj, text)) return false;
  out = SharedText(text);
  return true;
}

bool from_python(PyObject* obj, Metadata& out) {
  if (!PyDict_Check(obj)) {
    raise_type_mismatch(obj, "PyDict");
    return false;
  }
  out.clear();
  out.reserve(static_cast<size_t>(PyDict_Size(obj)));
  return for_each_dict_item(obj, [&](PyObject* key, PyObject* value) {
    std::string k, v;
    if (!from_python(key, k) || !from_python(value, v)) return false;
    out.insert_or_assign(std::move(k), std::move(v));
    return true;
  });
}

bool path_from_python(PyObject* obj, std::string& out) {
  PyRef text;
  if (PyUnicode_Check(obj)) {
    text = PyRef::borrow(obj);
  } else {
    static PyObject* const method = interned("__str__");
    text = PyRef::steal(PyObject_CallMethodNoArgs(obj, method));
    if (!text) {
      resume_if_panic();
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "Path must be a string or pathlib.Path");
      return false;
    }
    if (!PyUnicode_Check(text.get())) {
      raise_type_mismatch(text.get(), "PyString");
      return false;
    }
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(text.get()));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

PyObject* to_python(int32_t v) { return PyLong_FromLong(v); }
PyObject* to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_python(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
PyObject* to_python(const SharedText& s) { return to_python(s.view()); }

PyObject* to_python(const Metadata& m) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [k, v] : m) {
    PyRef key = PyRef::steal(to_python(k));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(to_python(v));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace noteloom::py
