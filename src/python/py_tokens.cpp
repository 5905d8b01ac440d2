#include "py_tokens.hpp"

#include <string_view>

#include "runtime/convert.hpp"
#include "runtime/critical_section.hpp"

namespace noteloom::py {
namespace {

bool fail_bad_token() {
  PyErr_SetString(PyExc_TypeError, kBadToken);
  return false;
}

// UTF-8 of a str; null (with no error pending) when it holds a lone surrogate.
const char* utf8_or_null(PyObject* s, Py_ssize_t* len) {
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, len);
  if (!utf8) {
    resume_if_panic();
    PyErr_Clear();
  }
  return utf8;
}

}  // namespace

bool token_from_python(const PyVocabulary* vocab, PyObject* obj, Token& out) {
  if (const int32_t id = vocab ? vocab->id_of_object(obj) : -1; id >= 0) {
    out = vocab->tokenizer().vocabulary()[static_cast<size_t>(id)];
    return true;
  }
  Py_ssize_t len = 0;
  if (PyUnicode_Check(obj)) {
    if (const char* utf8 = utf8_or_null(obj, &len)) {
      out = Token::special(std::string_view(utf8, static_cast<size_t>(len)));
      return true;
    }
    return fail_bad_token();  // a lone surrogate: treated as a non-string
  }
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) return fail_bad_token();
  PyObject* first = PyTuple_GET_ITEM(obj, 0);
  if (!PyUnicode_Check(first)) return fail_bad_token();
  const char* utf8 = utf8_or_null(first, &len);
  if (!utf8) return fail_bad_token();
  int32_t a = 0, b = 0;
  if (!from_python(PyTuple_GET_ITEM(obj, 1), a) || !from_python(PyTuple_GET_ITEM(obj, 2), b)) {
    resume_if_panic();
    PyErr_Clear();
    return fail_bad_token();
  }
  out = token_from_text(std::string_view(utf8, static_cast<size_t>(len)), a, b);
  return true;
}

PyObject* token_to_python(const Token& t) {
  if (t.kind == TokenKind::Special) return to_python(t.text);
  const TokenText form = text_of(t);
  return Py_BuildValue("(s#ii)", form.text.data(), static_cast<Py_ssize_t>(form.text.size()), form.first, form.second);
}

bool sequence_items(const char* name, PyObject* obj, std::vector<PyRef>& out) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // Exact lists and tuples iterate as their items: take them all at once (a list under its
    // critical section, so that a concurrent writer cannot tear the copy).
    out.clear();
    const CriticalSection lock(obj);
    const Py_ssize_t n = Py_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(PyRef::borrow(items[i]));
    return true;
  }
  if (!sequence_from_python(obj, out, [](PyObject* item, PyRef& ref) {
        ref = PyRef::borrow(item);
        return true;
      })) {
    rewrap_argument_error(name);
    return false;
  }
  return true;
}

bool tokens_from_items(const PyVocabulary& vocab, const std::vector<PyRef>& items, std::vector<Token>& out) {
  out.clear();
  out.reserve(items.size());
  for (const PyRef& item : items) {
    Token t;
    if (!token_from_python(&vocab, item.get(), t)) return false;
    out.push_back(t);
  }
  return true;
}

}  // namespace noteloom::py
