// The _AbsTokenizer class. Instances are immutable; each is a handle to the process-wide tokenizer
// and the Python form of its vocabulary, so constructing one costs next to nothing after the first,
// and many threads can use one at once.
#pragma once

#include <span>
#include <vector>

#include "../core/tokenizer/abs_tokenizer.hpp"
#include "py_vocabulary.hpp"
#include "runtime/record_object.hpp"

namespace noteloom::py {

struct PyTokenizer {
  static constexpr char kClass[] = "_AbsTokenizer";
  const PyVocabulary* vocab = nullptr;

  const AbsTokenizer& tok() const { return vocab->tokenizer(); }
  // A new reference to the Python form of `t`.
  PyObject* token_to_python(const Token& t) const;
  // New lists of Python tokens.
  PyObject* tokens_to_python(std::span<const Token> tokens) const;
  PyObject* ids_to_python(std::span<const int32_t> ids) const;
};

template <>
TypeCell& type_cell<PyTokenizer>();

}  // namespace noteloom::py
