#include "py_vocabulary.hpp"

#include <atomic>

#include "convert.hpp"
#include "py_tokens.hpp"
#include "pyref.hpp"

namespace noteloom::py {
namespace {

std::atomic<PyVocabulary*> instance{nullptr};

// One str object per distinct text, shared by every token that carries it.
class TextObjects {
 public:
  PyObject* get(std::string_view text) {
    for (auto& [t, obj] : made_) {
      if (t == text) return obj.get();
    }
    PyRef obj = PyRef::steal(to_python(text));
    if (!obj) return nullptr;
    made_.emplace_back(text, std::move(obj));
    return made_.back().second.get();
  }

 private:
  std::vector<std::pair<std::string_view, PyRef>> made_;
};

PyObject* triple(PyObject* text, int32_t a, int32_t b) {
  PyRef first = PyRef::borrow(text);
  PyRef second = PyRef::steal(PyLong_FromLong(a));
  PyRef third = PyRef::steal(PyLong_FromLong(b));
  if (!first || !second || !third) return nullptr;
  return PyTuple_Pack(3, first.get(), second.get(), third.get());
}

}  // namespace

const PyVocabulary* PyVocabulary::get() {
  if (PyVocabulary* v = instance.load(std::memory_order_acquire)) return v;
  // Concurrent first uses may each build one; the first to publish wins.
  auto* built = new PyVocabulary(AbsTokenizer::shared());
  if (!built->build()) {
    delete built;
    return nullptr;
  }
  PyVocabulary* expected = nullptr;
  if (!instance.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    delete built;
    return expected;
  }
  return built;
}

PyVocabulary::~PyVocabulary() {
  for (PyObject* o : tokens_) Py_XDECREF(o);
  for (PyObject* o : ids_) Py_XDECREF(o);
}

bool PyVocabulary::build() {
  const auto& vocab = tok_.vocabulary();
  TextObjects texts;
  tokens_.reserve(vocab.size());
  ids_.reserve(vocab.size());
  for (size_t id = 0; id < vocab.size(); ++id) {
    const Token& t = vocab[id];
    PyObject* obj = nullptr;
    switch (t.kind) {
      case TokenKind::Special:
        obj = to_python(t.text);
        break;
      case TokenKind::Prefix:
      case TokenKind::Note: {
        PyObject* text = texts.get(t.text);
        obj = text ? triple(text, t.a, t.b) : nullptr;
        break;
      }
      case TokenKind::Onset:
      case TokenKind::Dur:
      case TokenKind::Drum: {
        const char* name = t.kind == TokenKind::Onset ? "onset" : t.kind == TokenKind::Dur ? "dur" : "drum";
        PyObject* text = texts.get(name);
        obj = text ? triple(text, t.a, 0) : nullptr;
        break;
      }
    }
    if (!obj) return false;
    tokens_.push_back(obj);
    PyObject* id_obj = PyLong_FromSize_t(id);
    if (!id_obj) return false;
    ids_.push_back(id_obj);
  }
  size_t slots = 1;
  while (slots < tokens_.size() * 2) slots <<= 1;
  by_object_.assign(slots, {nullptr, -1});
  for (size_t id = 0; id < tokens_.size(); ++id) {
    Token read;
    if (!token_from_python(nullptr, tokens_[id], read)) return false;
    if (tok_.find_id(read) != static_cast<int32_t>(id)) continue;
    size_t s = slot_of(tokens_[id], slots - 1);
    while (by_object_[s].first) s = (s + 1) & (slots - 1);
    by_object_[s] = {tokens_[id], static_cast<int32_t>(id)};
  }
  return true;
}

int32_t PyVocabulary::id_of_object(PyObject* obj) const {
  const size_t mask = by_object_.size() - 1;
  for (size_t s = slot_of(obj, mask);; s = (s + 1) & mask) {
    const auto& [key, id] = by_object_[s];
    if (key == obj) return id;
    if (!key) return -1;
  }
}

}  // namespace noteloom::py
