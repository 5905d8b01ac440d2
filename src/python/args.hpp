// Matching of positional and keyword arguments to parameter names, with interpreter-style
// errors, and conversion of each matched argument with the "argument 'NAME': " re-wrapping.
#pragma once

#include <Python.h>

#include <cstddef>

#include "convert.hpp"

namespace noteloom::py {

struct Signature {
  const char* display_name;        // e.g. "MidiDict.add_note()"
  const char* const* params;       // parameter names in order
  size_t nparams;
  size_t nrequired;                // leading parameters without default
};

// A signature whose parameters are all required.
template <size_t N>
constexpr Signature required_params(const char* display_name, const char* const (&params)[N]) {
  return {display_name, params, N, N};
}

// A signature without parameters (constructors that take no arguments).
constexpr Signature no_params(const char* display_name) { return {display_name, nullptr, 0, 0}; }

// Vectorcall form. Fills `out[0..nparams)` with borrowed references, null for absent optional
// parameters. Returns false with TypeError set on a mismatch.
bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                PyObject** out);

// tp_new / tp_init form (argument tuple and keyword dict).
bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Converts one matched argument, re-wrapping a TypeError with the parameter name.
template <typename T>
bool convert_arg(const char* name, PyObject* obj, T& out) {
  if (from_python(obj, out)) return true;
  rewrap_argument_error(name);
  return false;
}

template <typename T>
bool convert_optional_arg(const char* name, PyObject* obj, std::optional<T>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  T value;
  if (!convert_arg(name, obj, value)) return false;
  out = value;
  return true;
}

}  // namespace noteloom::py
