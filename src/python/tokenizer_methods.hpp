// The methods every tokenizer class offers (tokenize, detokenize, encode, decode, the augmentations,
// vocab_size, name, _quantize_velocity), declared once for each class: `Rec` is the class's record, a
// PyTokenizer, and `Rec::kClass` the class name its argument errors show.
#pragma once

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

#include "../core/tokenizer/augment.hpp"
#include "py_abs_tokenizer.hpp"
#include "py_tokens.hpp"
#include "runtime/critical_section.hpp"

namespace noteloom::py {

// IDs from a sequence of ints. An exact list or tuple of exact ints in the int32 range is read in
// one pass under the list's critical section; anything else takes the general conversion, which
// also raises the errors.
inline bool ids_from_python(const char* name, PyObject* obj, std::vector<int32_t>& out) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    bool plain = true;
    {
      const CriticalSection lock(obj);
      const Py_ssize_t n = Py_SIZE(obj);
      PyObject** items = PySequence_Fast_ITEMS(obj);
      out.resize(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n && plain; ++i) {
        int overflow = 0;
        const long v = PyLong_CheckExact(items[i]) ? PyLong_AsLongAndOverflow(items[i], &overflow) : 0;
        plain = PyLong_CheckExact(items[i]) && overflow == 0 && v >= INT32_MIN && v <= INT32_MAX;
        out[static_cast<size_t>(i)] = static_cast<int32_t>(v);
      }
    }
    if (plain) return true;
    out.clear();
  }
  return convert_arg(name, obj, out);
}

// The augmentations read the token sequence (argument 0), convert the other arguments in order,
// then the tokens. A failed random draw is an internal failure.
template <typename Args, typename... T>
bool augmentation_args(const PyTokenizer& t, const Args& a, std::vector<PyRef>& items, std::vector<Token>& tokens,
                       T&... values) {
  return sequence_items(a.name(0), a[0], items) && a.convert_from(1, values...) &&
         tokens_from_items(*t.vocab, items, tokens);
}

inline PyObject* augmented(const PyTokenizer& t, Result<std::vector<Token>> result) {
  if (!result) panic(result.error().message);
  return t.tokens_to_python(result.value());
}

template <typename Rec>
struct TokenizerMethods {
  // Every method reads the tokenizer under a shared borrow.
  template <const auto& D, typename Body>
  static PyObject* tokenizer_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  Body&& body) {
    return call_method<Rec, Access::Shared, D>(self, args, nargs, kwnames, std::forward<Body>(body));
  }

  static constexpr auto kTokenize =
      method(Rec::kClass, "tokenize", {"py_midi_dict", optional("remove_preceding_silence")});

  static PyObject* tokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<kTokenize>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      // The piece is read in place under a shared borrow, not copied.
      std::optional<Result<std::vector<Token>>> tokens;
      if (!read_record_from<MidiDictRecord>(a[0],
                                            [&](const MidiDictRecord& piece) { tokens = t.tok().tokenize(piece); })) {
        rewrap_argument_error(a.name(0));
        return nullptr;
      }
      std::optional<bool> remove_preceding_silence;  // accepted for compatibility; it does not change the result
      if (!a.convert(1, remove_preceding_silence)) return nullptr;
      if (!*tokens) {
        PyErr_Format(PyExc_RuntimeError, "Tokenization failed: %s", tokens->error().message.c_str());
        return nullptr;
      }
      return t.tokens_to_python(tokens->value());
    });
  }

  static constexpr auto kDetokenize = method(Rec::kClass, "detokenize", {"tokens"});

  static PyObject* detokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<kDetokenize>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      std::vector<PyRef> items;
      std::vector<Token> tokens;
      if (!sequence_items(a.name(0), a[0], items) || !tokens_from_items(*t.vocab, items, tokens)) return nullptr;
      return to_python(t.tok().detokenize(tokens));
    });
  }

  static constexpr auto kEncode = method(Rec::kClass, "encode", {"tokens"});

  static PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<kEncode>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      std::vector<PyRef> items;
      if (!sequence_items(a.name(0), a[0], items)) return nullptr;
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < items.size(); ++i) {
        int32_t id = t.vocab->id_of_object(items[i].get());
        if (id < 0) {
          Token token;
          if (!token_from_python(nullptr, items[i].get(), token)) return nullptr;  // identity already missed
          id = std::max(t.tok().find_id(token), 0);
        }
        PyObject* id_object = t.vocab->new_id(id);
        if (!id_object) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id_object);
      }
      return list.release();
    });
  }

  static constexpr auto kDecode = method(Rec::kClass, "decode", {"ids"});

  static PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<kDecode>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      std::vector<int32_t> ids;
      if (!ids_from_python(a.name(0), a[0], ids)) return nullptr;
      return t.ids_to_python(ids);
    });
  }

  static constexpr auto kQuantize = method(Rec::kClass, "_quantize_velocity", {"velocity"});

  static PyObject* quantize_velocity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<kQuantize>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      int32_t velocity = 0;
      if (!a.convert(0, velocity)) return nullptr;
      return to_python(t.tok().quantize_velocity(velocity));
    });
  }

  // apply_pitch_aug and apply_velocity_aug: (tokens, the largest amount, the amount or None).
  template <const auto& D, auto Augment>
  static PyObject* shift_augmentation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<D>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      std::vector<PyRef> items;
      std::vector<Token> tokens;
      int32_t max_amount = 0;
      std::optional<int32_t> amount;
      if (!augmentation_args(t, a, items, tokens, max_amount, amount)) return nullptr;
      return augmented(t, Augment(t.tok(), std::move(tokens), max_amount, amount));
    });
  }

  static constexpr auto kPitchAug = method(Rec::kClass, "apply_pitch_aug", {"tokens", "max_pitch_aug", "pitch_aug"});
  static constexpr auto kVelocityAug =
      method(Rec::kClass, "apply_velocity_aug", {"tokens", "max_num_aug_steps", "aug_step"});

  static constexpr auto kTempoAug =
      method(Rec::kClass, "apply_tempo_aug", {"tokens", "max_tempo_aug", "mixup", "tempo_aug"});

  static PyObject* apply_tempo_aug(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tokenizer_call<kTempoAug>(self, args, nargs, kwnames, [](const Rec& t, const auto& a) -> PyObject* {
      std::vector<PyRef> items;
      std::vector<Token> tokens;
      double max_tempo_aug = 0;
      bool mixup = false;
      std::optional<double> tempo_aug;
      if (!augmentation_args(t, a, items, tokens, max_tempo_aug, mixup, tempo_aug)) return nullptr;
      return augmented(t, noteloom::apply_tempo_aug(t.tok(), tokens, max_tempo_aug, mixup, tempo_aug));
    });
  }

  // Reads the tokenizer under a shared borrow.
  template <typename Body>
  static PyObject* read_tokenizer(PyObject* self, Body&& body) {
    return with_record<Rec>(self, [&](const Rec& t) { return body(t.tok()); });
  }

  static constexpr auto kVocabSize = method(Rec::kClass, "vocab_size");
  static constexpr auto kName = method(Rec::kClass, "name");

  static PyObject* vocab_size(PyObject* self, PyObject*) {
    return read_tokenizer(self, [](const AbsTokenizer& tok) { return PyLong_FromSize_t(tok.vocab_size()); });
  }

  static PyObject* name(PyObject* self, PyObject*) {
    return read_tokenizer(self, [](const AbsTokenizer& tok) { return to_python(tok.name()); });
  }

  static PyMethodDef* methods() {
    static PyMethodDef table[] = {
        method_def<kTokenize, tokenize>(),
        method_def<kDetokenize, detokenize>(),
        method_def<kEncode, encode>(),
        method_def<kDecode, decode>(),
        method_def<kVocabSize, vocab_size>(),
        method_def<kName, name>(),
        method_def<kQuantize, quantize_velocity>(),
        method_def<kPitchAug, shift_augmentation<kPitchAug, noteloom::apply_pitch_aug>>(),
        method_def<kVelocityAug, shift_augmentation<kVelocityAug, noteloom::apply_velocity_aug>>(),
        method_def<kTempoAug, apply_tempo_aug>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
  }
};

}  // namespace noteloom::py
