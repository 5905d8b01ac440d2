// Tokens across the Python boundary: a `str` for a special token, a 3-tuple (str, int, int) for
// every other kind.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/token.hpp"

namespace noteloom::py {

inline constexpr const char* kBadToken = "Token must be either a string or a 3-tuple";

// False with TypeError kBadToken (the underlying error is dropped) when `obj` is not a token.
bool token_from_python(PyObject* obj, Token& out);
PyObject* token_to_python(const Token& t);

// A sequence (not a str) of tokens. Errors about the sequence itself name the parameter; a bad
// element raises kBadToken unchanged.
bool tokens_from_python(const char* name, PyObject* obj, std::vector<Token>& out);
PyObject* tokens_to_python(const std::vector<Token>& tokens);

}  // namespace noteloom::py
