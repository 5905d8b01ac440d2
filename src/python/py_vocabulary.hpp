// The Python form of the tokenizer's vocabulary, built once per process and shared by every
// _AbsTokenizer. Tokens are immutable Python values (str and tuple), so tokenize, decode and the
// augmentations hand out new references to these objects instead of building one per token, and
// encode recognises them by identity before it looks at their contents.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "../core/abs_tokenizer.hpp"

namespace noteloom::py {

class PyVocabulary {
 public:
  // The process-wide instance; null with a Python exception set when building it failed.
  static const PyVocabulary* get();

  const AbsTokenizer& tokenizer() const { return tok_; }
  // Borrowed references: the token object of an ID (IDs outside the vocabulary give "<U>"), and
  // the int object of an ID of the vocabulary.
  PyObject* token(int32_t id) const {
    const bool known = id >= 0 && static_cast<size_t>(id) < tokens_.size();
    return tokens_[known ? static_cast<size_t>(id) : static_cast<size_t>(tok_.unk_id())];
  }
  PyObject* id_object(int32_t id) const { return ids_[static_cast<size_t>(id)]; }
  // The ID of `obj` when it is one of the token objects above, else -1. Objects whose contents
  // read back as another token (a note of the instrument "drum" reads as a drum token) are left
  // out, so that identity never gives another answer than the contents.
  int32_t id_of_object(PyObject* obj) const;

  PyVocabulary(const PyVocabulary&) = delete;
  PyVocabulary& operator=(const PyVocabulary&) = delete;
  ~PyVocabulary();

 private:
  explicit PyVocabulary(const AbsTokenizer& tok) : tok_(tok) {}
  bool build();
  static size_t slot_of(PyObject* obj, size_t mask) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(obj) >> 4) * 0x9E3779B97F4A7C15ull >> 20) & mask;
  }

  const AbsTokenizer& tok_;
  std::vector<PyObject*> tokens_;  // owned; index = ID
  std::vector<PyObject*> ids_;     // owned; index = ID
  // Open addressing from token object to ID; empty slots hold null.
  std::vector<std::pair<PyObject*, int32_t>> by_object_;
};

}  // namespace noteloom::py
