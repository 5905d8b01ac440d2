#include "py_vocabulary.hpp"

#include <cstdint>

#include "py_tokens.hpp"
#include "runtime/convert.hpp"
#include "runtime/module_state.hpp"
#include "runtime/pyref.hpp"

namespace noteloom::py {
namespace {

size_t slot_of(const PyObject* obj, size_t mask) {
  return static_cast<size_t>((reinterpret_cast<uintptr_t>(obj) >> 4) * 0x9E3779B97F4A7C15ull >> 32) & mask;
}

// A (text, a, b) tuple. It holds only a str and ints, so it can never be part of a reference
// cycle: the collector need not track it.
PyObject* triple(PyObject* text, int32_t a, int32_t b) {
  PyRef first = PyRef::borrow(text);
  PyRef second = PyRef::steal(PyLong_FromLong(a));
  PyRef third = PyRef::steal(PyLong_FromLong(b));
  if (!first || !second || !third) return nullptr;
  PyObject* tuple = PyTuple_Pack(3, first.get(), second.get(), third.get());
  if (tuple) PyObject_GC_UnTrack(tuple);
  return tuple;
}

// On the free-threaded build, every thread that takes a reference to an object another thread
// made updates the object's one shared counter, so threads handing out the same token objects
// would fight over a few cache lines. The vocabulary's objects live as long as the process anyway:
// they are made immortal before anyone else sees them, which stops reference counting on them. (A
// count past 32 bits, set by the thread that owns the object, is how the interpreter marks one.)
PyObject* immortal(PyObject* obj) {
#ifdef Py_GIL_DISABLED
  if (obj) Py_SET_REFCNT(obj, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#endif
  return obj;
}

}  // namespace

const PyVocabulary* PyVocabulary::get() {
  std::atomic<void*>& instance = module_state().vocabulary;
  if (auto* v = static_cast<PyVocabulary*>(instance.load(std::memory_order_acquire))) return v;
  // Concurrent first uses may each build one; the first to publish wins.
  auto* built = new PyVocabulary(AbsTokenizer::shared(), true);
  if (!built->build()) {
    delete built;
    return nullptr;
  }
  void* expected = nullptr;
  if (!instance.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    delete built;
    return static_cast<PyVocabulary*>(expected);
  }
  return built;
}

std::shared_ptr<const PyVocabulary> PyVocabulary::make(std::shared_ptr<const AbsTokenizer> tok) {
  std::shared_ptr<PyVocabulary> made(new PyVocabulary(*tok, false));
  made->owned_ = std::move(tok);
  if (!made->build()) return nullptr;
  return made;
}

PyVocabulary::PyVocabulary(const AbsTokenizer& tok, bool immortal_objects)
    : tok_(tok),
      immortal_(immortal_objects),
      size_(tok.vocab_size()),
      tokens_(new std::atomic<PyObject*>[size_]),
      ids_(new std::atomic<PyObject*>[size_]) {
  for (size_t i = 0; i < size_; ++i) {
    tokens_[i].store(nullptr, std::memory_order_relaxed);
    ids_[i].store(nullptr, std::memory_order_relaxed);
  }
  size_t slots = 1;
  while (slots < size_ * 2) slots <<= 1;
  by_object_.reset(new std::atomic<uint64_t>[slots]);
  for (size_t i = 0; i < slots; ++i) by_object_[i].store(0, std::memory_order_relaxed);
  mask_ = slots - 1;
}

PyVocabulary::~PyVocabulary() {
  for (size_t i = 0; i < size_; ++i) {
    Py_XDECREF(tokens_[i].load(std::memory_order_relaxed));
    Py_XDECREF(ids_[i].load(std::memory_order_relaxed));
  }
  for (auto& [text, obj] : texts_) Py_DECREF(obj);
}

bool PyVocabulary::build() {
  const auto& vocab = tok_.vocabulary();
  // One str per distinct text, made now so that later uses only read the list.
  auto add_text = [this](std::string_view text) {
    if (!texts_.empty() && texts_.back().first.data() == text.data() && texts_.back().first == text) return true;
    for (const auto& [t, obj] : texts_) {
      if (t == text) return true;
    }
    PyObject* obj = to_python(text);
    if (!obj) return false;
    texts_.emplace_back(text, obj);
    return true;
  };
  for (const char* name : {"onset", "dur", "drum"}) {
    if (!add_text(name)) return false;
  }
  // Whether a note object reads back as itself depends on its instrument name alone: the first
  // note of each instrument is read as the sample. Every other kind always reads back.
  recognisable_.assign(size_, true);
  std::string_view sampled;
  bool sampled_reads_back = false;
  for (size_t id = 0; id < size_; ++id) {
    const Token& t = vocab[id];
    if (t.kind == TokenKind::Special || t.kind == TokenKind::Onset || t.kind == TokenKind::Dur ||
        t.kind == TokenKind::Drum) {
      continue;
    }
    if (!add_text(t.text)) return false;
    if (t.kind != TokenKind::Note) continue;
    if (t.text.data() != sampled.data() || t.text.size() != sampled.size()) {
      PyRef sample = PyRef::steal(make_token(static_cast<int32_t>(id)));
      Token read;
      if (!sample || !token_from_python(nullptr, sample.get(), read)) return false;
      sampled = t.text;
      sampled_reads_back = tok_.find_id(read) == static_cast<int32_t>(id);
    }
    recognisable_[id] = sampled_reads_back;
  }
  return true;
}

PyObject* PyVocabulary::text_object(std::string_view text) const {
  for (const auto& [t, obj] : texts_) {
    if (t == text) return obj;
  }
  return nullptr;  // every token text was made by build()
}

PyObject* PyVocabulary::make_token(int32_t id) const {
  const Token& t = tok_.vocabulary()[static_cast<size_t>(id)];
  if (t.kind == TokenKind::Special) return to_python(t.text);
  const TokenText form = text_of(t);
  return triple(text_object(form.text), form.first, form.second);
}

PyObject* PyVocabulary::publish(std::atomic<PyObject*>& cell, PyObject* made) {
  PyObject* expected = nullptr;
  if (cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return Py_NewRef(made);
  Py_DECREF(made);  // an immortal loser of a first-use race stays behind: one object, once
  return Py_NewRef(expected);
}

PyObject* PyVocabulary::first_token(int32_t id) const {
  PyObject* made = make_token(id);
  if (immortal_) made = immortal(made);
  if (!made) return nullptr;
  PyObject* winner = publish(tokens_[static_cast<size_t>(id)], made);
  if (winner == made && recognisable_[static_cast<size_t>(id)]) remember(made, id);
  return winner;
}

PyObject* PyVocabulary::first_id(int32_t id) const {
  PyObject* made = PyLong_FromLong(id);
  if (immortal_) made = immortal(made);
  return made ? publish(ids_[static_cast<size_t>(id)], made) : nullptr;
}

// Each slot packs an address of at most 48 bits and an ID of 16. Every token object is remembered once, by the thread
// that published it. Until then a lookup misses and the caller reads the object's contents, which gives the same
// answer.
void PyVocabulary::remember(PyObject* obj, int32_t id) const {
  if ((reinterpret_cast<uintptr_t>(obj) >> 48) != 0 || id > 0xFFFF) return;  // does not pack: never found
  const uint64_t packed = (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj)) << 16) | static_cast<uint16_t>(id);
  for (size_t s = slot_of(obj, mask_);; s = (s + 1) & mask_) {
    uint64_t expected = 0;
    if (by_object_[s].compare_exchange_strong(expected, packed, std::memory_order_acq_rel)) return;
  }
}

int32_t PyVocabulary::id_of_object(PyObject* obj) const {
  if ((reinterpret_cast<uintptr_t>(obj) >> 48) != 0) return -1;  // never remembered: see remember()
  const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj)) << 16;
  for (size_t s = slot_of(obj, mask_);; s = (s + 1) & mask_) {
    const uint64_t packed = by_object_[s].load(std::memory_order_acquire);
    if (packed == 0) return -1;
    if ((packed & ~uint64_t{0xFFFF}) == key) return static_cast<int32_t>(packed & 0xFFFF);
  }
}

}  // namespace noteloom::py
