// Tokens across the Python boundary: a `str` for a special token, a 3-tuple (str, int, int) for
// every other kind.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/tokenizer/token.hpp"
#include "py_vocabulary.hpp"
#include "runtime/pyref.hpp"

namespace noteloom::py {

inline constexpr const char* kBadToken = "Token must be either a string or a 3-tuple";

// False with TypeError kBadToken (the underlying error is dropped) when `obj` is not a token. The
// token's text points into `obj` (or the vocabulary): keep `obj` alive while the token is used.
// One of the vocabulary's own token objects is recognised by identity (`vocab` may be null).
bool token_from_python(const PyVocabulary* vocab, PyObject* obj, Token& out);
// A new Python object for `t` (the vocabulary's own objects are handed out by PyTokenizer).
PyObject* token_to_python(const Token& t);

// The items of a sequence argument (not a str), errors naming the parameter.
bool sequence_items(const char* name, PyObject* obj, std::vector<PyRef>& out);
// Converts every item; the first bad one raises kBadToken unchanged. The tokens point into the
// items: keep `items` alive while they are used.
bool tokens_from_items(const PyVocabulary& vocab, const std::vector<PyRef>& items, std::vector<Token>& out);

}  // namespace noteloom::py
