// Every Python-callable is declared once (`Decl`): its class, name and parameters. From that one
// declaration come the argument matcher's signature, the `__text_signature__` docstring, the size
// of the argument array and the parameter names that conversion errors quote ("argument 'NAME':").
//
//   constexpr auto kAddTempo = method("MidiDict", "add_tempo", {"tempo", "tick"});
//   Args<kAddTempo> a;  if (!a.match(args, nargs, kwnames) || !a.convert_all(m.data, m.tick)) ...
//   method_def<kAddTempo, add_tempo>()  // the PyMethodDef, METH_FASTCALL | METH_KEYWORDS
//
// Matching follows the interpreter's own errors ("takes 2 positional arguments but 3 were given",
// "missing 1 required positional argument: 'tick'", "got an unexpected keyword argument").
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "convert.hpp"

namespace noteloom::py {

struct Param {
  constexpr Param(const char* n, bool opt = false) : name(n), optional(opt) {}  // NOLINT: implicit from a name
  const char* name;
  bool optional;  // defaults to None; optional parameters come last
};

constexpr Param optional(const char* name) { return {name, true}; }

enum class Receiver { None, Instance, Class };

template <size_t N>
struct Decl {
  const char* owner;  // the class, or null for a module function
  const char* name;   // null for a constructor, shown as "Owner()"
  Receiver receiver;
  std::array<Param, N> params;
  const char* doc = "";  // text after the signature line

  constexpr Decl with_doc(const char* text) const {
    Decl d = *this;
    d.doc = text;
    return d;
  }
};

// An instance method, a class method, a module function and a constructor.
template <size_t N>
consteval Decl<N> method(const char* owner, const char* name, const Param (&params)[N]) {
  return {owner, name, Receiver::Instance, std::to_array(params)};
}
consteval Decl<0> method(const char* owner, const char* name) { return {owner, name, Receiver::Instance, {}}; }
template <size_t N>
consteval Decl<N> class_method(const char* owner, const char* name, const Param (&params)[N]) {
  return {owner, name, Receiver::Class, std::to_array(params)};
}
template <size_t N>
consteval Decl<N> function(const char* name, const Param (&params)[N]) {
  return {nullptr, name, Receiver::None, std::to_array(params)};
}
consteval Decl<0> function(const char* name) { return {nullptr, name, Receiver::None, {}}; }
consteval Decl<0> constructor(const char* owner) { return {owner, nullptr, Receiver::None, {}}; }
template <size_t N>
consteval Decl<N> constructor(const char* owner, const Param (&params)[N]) {
  return {owner, nullptr, Receiver::None, std::to_array(params)};
}

// What the matcher needs of a declaration.
struct Signature {
  const char* display_name;   // e.g. "MidiDict.add_note()"
  const char* const* params;  // parameter names in order
  size_t nparams;
  size_t nrequired;  // leading parameters without default
};

// Vectorcall form. Fills `out[0..nparams)` with borrowed references, null for absent optional
// parameters. Returns false with TypeError set on a mismatch.
bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
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
bool convert_arg(const char* name, PyObject* obj, std::optional<T>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  T value;
  if (!convert_arg(name, obj, value)) return false;
  out = std::move(value);
  return true;
}

namespace detail {

// Texts built at compile time from a declaration.
class TextBuilder {
 public:
  constexpr explicit TextBuilder(char* out) : out_(out) {}
  constexpr TextBuilder& operator<<(const char* s) {
    while (*s) put(*s++);
    return *this;
  }
  constexpr size_t size() const { return size_; }

 private:
  constexpr void put(char c) {
    if (out_) out_[size_] = c;
    ++size_;
  }
  char* out_;
  size_t size_ = 0;
};

// "Owner.name()", "Owner()" or "name()".
template <size_t N>
constexpr size_t write_display_name(const Decl<N>& d, char* out) {
  TextBuilder b(out);
  if (d.owner) b << d.owner;
  if (d.owner && d.name) b << ".";
  if (d.name) b << d.name;
  b << "()";
  return b.size();
}

// "name($self, a, b=None)\n--\n\n" then the doc text.
template <size_t N>
constexpr size_t write_doc(const Decl<N>& d, char* out) {
  TextBuilder b(out);
  b << (d.name ? d.name : "") << "(";
  const char* sep = "";
  if (d.receiver == Receiver::Instance) b << "$self", sep = ", ";
  if (d.receiver == Receiver::Class) b << "$cls", sep = ", ";
  for (const Param& p : d.params) {
    b << sep << p.name << (p.optional ? "=None" : "");
    sep = ", ";
  }
  b << ")\n--\n\n" << d.doc;
  return b.size();
}

template <size_t Size, typename Write>
consteval std::array<char, Size + 1> text(Write write) {
  std::array<char, Size + 1> out{};
  write(out.data());
  return out;
}

}  // namespace detail

// The compiled form of declaration D.
template <const auto& D>
struct Declared {
  static constexpr size_t size = D.params.size();
  static constexpr auto display_name =
      detail::text<detail::write_display_name(D, nullptr)>([](char* out) { detail::write_display_name(D, out); });
  static constexpr auto doc = detail::text<detail::write_doc(D, nullptr)>([](char* out) { detail::write_doc(D, out); });
  static constexpr auto names = [] {
    std::array<const char*, size> n{};
    for (size_t i = 0; i < size; ++i) n[i] = D.params[i].name;
    return n;
  }();
  static constexpr size_t required = [] {
    size_t r = 0;
    while (r < size && !D.params[r].optional) ++r;
    return r;
  }();
  static constexpr Signature signature{display_name.data(), names.data(), size, required};
};

// The matched arguments of a call to D, and their conversion under the parameters' names.
template <const auto& D>
class Args {
  using Info = Declared<D>;

 public:
  bool match(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return match_args(Info::signature, args, nargsf, kwnames, a_.data());
  }
  bool match(PyObject* args, PyObject* kwargs) { return match_args(Info::signature, args, kwargs, a_.data()); }

  // The argument for parameter I: borrowed, null when an optional one is absent.
  PyObject* operator[](size_t i) const { return a_[i]; }
  static constexpr const char* name(size_t i) { return D.params[i].name; }

  // Converts argument i into `out`.
  template <typename T>
  bool convert(size_t i, T& out) const {
    if (i >= Info::size) panic("no such parameter");
    return convert_arg(D.params[i].name, a_[i], out);
  }
  // Converts arguments first, first+1, ... into `outs`, in order, up to the first failure.
  template <typename... T>
  bool convert_from(size_t first, T&... outs) const {
    return (convert(first++, outs) && ...);
  }
  template <typename... T>
  bool convert_all(T&... outs) const {
    return convert_from(0, outs...);
  }

 private:
  std::array<PyObject*, (Info::size > 0 ? Info::size : 1)> a_{};
};

// A call of a module function or class method: matches the arguments of D inside the panic guard,
// then runs `body(args)`.
template <const auto& D, typename Body>
PyObject* call_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Args<D> a;
    if (!a.match(args, nargs, kwnames)) return nullptr;
    return body(std::as_const(a));
  });
}

// tp_new of a class whose constructor is D: matches the arguments, then runs `body(args)`.
template <const auto& D, typename Body>
PyObject* call_constructor(PyObject* args, PyObject* kwargs, Body&& body) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Args<D> a;
    if (!a.match(args, kwargs)) return nullptr;
    return body(std::as_const(a));
  });
}

// The interpreter's calling conventions for D: keyword-capable vectorcall, or no arguments at all.
template <const auto& D>
constexpr int call_flags() {
  int flags = D.params.empty() && D.receiver == Receiver::Instance ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS;
  if (D.receiver == Receiver::Class) flags |= METH_CLASS;
  return flags;
}

// A method table entry for D implemented by Fn (of the form the flags above call).
template <const auto& D, auto Fn>
PyMethodDef method_def() {
  return {D.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)), call_flags<D>(),
          Declared<D>::doc.data()};
}

}  // namespace noteloom::py
