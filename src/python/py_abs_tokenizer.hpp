// The _AbsTokenizer class. Instances are immutable after construction; every method takes a
// shared borrow only, so many threads can use one tokenizer at once.
#pragma once

#include "../core/abs_tokenizer.hpp"
#include <vector>

#include "pyref.hpp"
#include "record_object.hpp"

namespace noteloom::py {

// The tokenizer together with the Python form of every vocabulary entry, built once at
// construction. Tokens are immutable Python values (str and tuple), so tokenize, decode and the
// augmentations hand out new references to these instead of building objects per token.
struct PyTokenizer {
  AbsTokenizer tok;
  std::vector<PyRef> py_vocab;  // index = token ID

  // A new reference to the Python form of `t`.
  PyObject* token_to_python(const Token& t) const;
  // New lists of Python tokens.
  PyObject* tokens_to_python(const std::vector<Token>& tokens) const;
  PyObject* ids_to_python(const std::vector<int32_t>& ids) const;
};

template <> TypeCell& type_cell<PyTokenizer>();

}  // namespace noteloom::py
