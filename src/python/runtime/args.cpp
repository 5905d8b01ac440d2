#include "args.hpp"

#include <vector>

namespace noteloom::py {
namespace {

// "'a', 'b' and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += (i + 1 == names.size()) ? " and " : ", ";
    s += '\'';
    s += names[i];
    s += '\'';
  }
  return s;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.nrequired == sig.nparams) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.display_name, sig.nparams,
                 given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", sig.display_name,
                 sig.nrequired, sig.nparams, given, verb);
  }
  return false;
}

// Assigns one keyword argument; `name` is a str.
bool assign_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (size_t i = 0; i < sig.nparams; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display_name, sig.params[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display_name, name);
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.nrequired; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.display_name, missing.size(),
               missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
  return false;
}

}  // namespace

bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  for (size_t i = 0; i < sig.nparams; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > sig.nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!assign_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  for (size_t i = 0; i < sig.nparams; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > sig.nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs && !for_each_dict_item(kwargs, [&](PyObject* k, PyObject* v) { return assign_keyword(sig, k, v, out); })) {
    return false;
  }
  return check_required(sig, out);
}

}  // namespace noteloom::py
