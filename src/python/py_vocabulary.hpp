// The Python form of a tokenizer's vocabulary: the built-in tokenizer's is shared by every
// _AbsTokenizer of the process, a configured tokenizer's by the objects made from its configuration.
// Tokens are immutable Python values (str and tuple), so tokenize, decode and the augmentations
// hand out new references to one object per vocabulary entry instead of building one per token,
// and encode recognises those objects by identity before it looks at their contents. The objects
// are made on first use, so that the first tokenizer is ready at once.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "../core/tokenizer/abs_tokenizer.hpp"

namespace noteloom::py {

class PyVocabulary {
 public:
  // The process-wide instance; null with a Python exception set when building it failed.
  static const PyVocabulary* get();
  // The vocabulary of a configured tokenizer, which it keeps alive; null with a Python exception
  // set when building it failed. Its objects are freed with it.
  static std::shared_ptr<const PyVocabulary> make(std::shared_ptr<const AbsTokenizer> tok);

  const AbsTokenizer& tokenizer() const { return tok_; }
  // The configured tokenizer this vocabulary keeps alive (null for the built-in one).
  std::shared_ptr<const AbsTokenizer> owner() const { return owned_; }
  // New references: the token object of an ID (IDs outside the vocabulary give "<U>"), and the int
  // object of an ID of the vocabulary. Null with an exception set when making one fails.
  PyObject* new_token(int32_t id) const {
    id = tok_.decoded_id(id);
    if (PyObject* obj = tokens_[static_cast<size_t>(id)].load(std::memory_order_acquire)) return Py_NewRef(obj);
    return first_token(id);
  }
  PyObject* new_id(int32_t id) const {
    if (PyObject* obj = ids_[static_cast<size_t>(id)].load(std::memory_order_acquire)) return Py_NewRef(obj);
    return first_id(id);
  }
  // The ID of `obj` when it is one of the token objects above, else -1. Objects whose contents
  // read back as another token (a note of the instrument "drum" reads as a drum token) are never
  // recognised, so identity never gives another answer than the contents.
  int32_t id_of_object(PyObject* obj) const;

  PyVocabulary(const PyVocabulary&) = delete;
  PyVocabulary& operator=(const PyVocabulary&) = delete;
  ~PyVocabulary();

 private:
  PyVocabulary(const AbsTokenizer& tok, bool immortal_objects);
  bool build();
  PyObject* make_token(int32_t id) const;
  // The slow paths of new_token and new_id: make the object and publish it.
  PyObject* first_token(int32_t id) const;
  PyObject* first_id(int32_t id) const;
  PyObject* text_object(std::string_view text) const;
  void remember(PyObject* obj, int32_t id) const;
  // Publishes `made` in `cell` unless another thread was first; a new reference to the winner.
  static PyObject* publish(std::atomic<PyObject*>& cell, PyObject* made);

  std::shared_ptr<const AbsTokenizer> owned_;  // a configured tokenizer's; null for the built-in one
  const AbsTokenizer& tok_;
  const bool immortal_;  // the objects live as long as the process
  const size_t size_;
  std::unique_ptr<std::atomic<PyObject*>[]> tokens_;           // owned; index = ID; null until first use
  std::unique_ptr<std::atomic<PyObject*>[]> ids_;              // owned; index = ID; null until first use
  std::vector<bool> recognisable_;                             // index = ID: may id_of_object find it?
  std::vector<std::pair<std::string_view, PyObject*>> texts_;  // owned; one str per token text
  // Open addressing from token object to ID: each slot packs (address << 16 | ID), 0 when empty.
  std::unique_ptr<std::atomic<uint64_t>[]> by_object_;
  size_t mask_ = 0;
};

}  // namespace noteloom::py
