// The _Tokenizer class: a tokenizer of any configuration the core accepts, with the methods of
// _AbsTokenizer. Each object owns its tokenizer and the Python form of its vocabulary (shared by the
// objects it hands to the engine); the package's Tokenizer wraps it.
#pragma once

#include <memory>

#include "py_abs_tokenizer.hpp"

namespace noteloom::py {

struct PyConfiguredTokenizer : PyTokenizer {
  static constexpr char kClass[] = "_Tokenizer";
  std::shared_ptr<const PyVocabulary> owned;  // what `vocab` points to
};

template <>
TypeCell& type_cell<PyConfiguredTokenizer>();

// The tokenizer of `obj`, a _Tokenizer, for native work that may outlive the object; null with a
// TypeError naming `name` for anything else.
std::shared_ptr<const AbsTokenizer> configured_tokenizer(const char* name, PyObject* obj);

}  // namespace noteloom::py
