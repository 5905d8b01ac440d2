// Tokens across the Python boundary: a `str` for a special token, a 3-tuple (str, int, int) for
// every other kind.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/token.hpp"
#include "pyref.hpp"

namespace noteloom::py {

inline constexpr const char* kBadToken = "Token must be either a string or a 3-tuple";

// False with TypeError kBadToken (the underlying error is dropped) when `obj` is not a token.
bool token_from_python(PyObject* obj, Token& out);
PyObject* token_to_python(const Token& t);

// The items of a sequence argument (not a str), errors naming the parameter.
bool sequence_items(const char* name, PyObject* obj, std::vector<PyRef>& out);
// Converts every item; the first bad one raises kBadToken unchanged.
bool tokens_from_items(const std::vector<PyRef>& items, std::vector<Token>& out);
// Both steps at once.
bool tokens_from_python(const char* name, PyObject* obj, std::vector<Token>& out);

}  // namespace noteloom::py
