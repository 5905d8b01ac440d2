#include "py_tokens.hpp"

#include <string_view>

#include "convert.hpp"

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

// "a:b:c" -> three pieces; false when the text has another number of ':'-separated pieces.
bool split_prefix(std::string_view s, Token& out) {
  const size_t first = s.find(':');
  if (first == std::string_view::npos) return false;
  const size_t second = s.find(':', first + 1);
  if (second == std::string_view::npos || s.find(':', second + 1) != std::string_view::npos) return false;
  out = Token::prefix(std::string(s.substr(0, first)), std::string(s.substr(first + 1, second - first - 1)),
                      std::string(s.substr(second + 1)));
  return true;
}

}  // namespace

bool token_from_python(PyObject* obj, Token& out) {
  Py_ssize_t len = 0;
  if (PyUnicode_Check(obj)) {
    if (const char* utf8 = utf8_or_null(obj, &len)) {
      out = Token::special(std::string(utf8, static_cast<size_t>(len)));
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
  const std::string_view s(utf8, static_cast<size_t>(len));
  if (!s.empty() && s.front() == '<') {
    out = Token::special(std::string(s));
  } else if (s == "onset") {
    out = Token::onset(a);
  } else if (s == "dur") {
    out = Token::dur(a);
  } else if (s == "drum") {
    out = Token::drum(a);
  } else if (s.find("prefix:") != std::string_view::npos) {
    if (!split_prefix(s, out)) out = Token::special(std::string(s));
  } else {
    out = Token::note(std::string(s), a, b);
  }
  return true;
}

PyObject* token_to_python(const Token& t) {
  switch (t.kind) {
    case TokenKind::Special:
      return to_python(t.text);
    case TokenKind::Prefix: {
      std::string joined;
      joined.reserve(t.text.size() + t.text2.size() + t.text3.size() + 2);
      joined.append(t.text).append(":").append(t.text2).append(":").append(t.text3);
      return Py_BuildValue("(s#ii)", joined.data(), static_cast<Py_ssize_t>(joined.size()), 0, 0);
    }
    case TokenKind::Note:
      return Py_BuildValue("(s#ii)", t.text.data(), static_cast<Py_ssize_t>(t.text.size()), t.a, t.b);
    case TokenKind::Onset:
      return Py_BuildValue("(sii)", "onset", t.a, 0);
    case TokenKind::Dur:
      return Py_BuildValue("(sii)", "dur", t.a, 0);
    case TokenKind::Drum:
      return Py_BuildValue("(sii)", "drum", t.a, 0);
  }
  panic("invalid token kind");
}

bool sequence_items(const char* name, PyObject* obj, std::vector<PyRef>& out) {
  if (!sequence_from_python(obj, out, [](PyObject* item, PyRef& ref) {
        ref = PyRef::borrow(item);
        return true;
      })) {
    rewrap_argument_error(name);
    return false;
  }
  return true;
}

bool tokens_from_items(const std::vector<PyRef>& items, std::vector<Token>& out) {
  out.clear();
  out.reserve(items.size());
  for (const PyRef& item : items) {
    Token t;
    if (!token_from_python(item.get(), t)) return false;
    out.push_back(std::move(t));
  }
  return true;
}

bool tokens_from_python(const char* name, PyObject* obj, std::vector<Token>& out) {
  std::vector<PyRef> items;
  return sequence_items(name, obj, items) && tokens_from_items(items, out);
}


}  // namespace noteloom::py
