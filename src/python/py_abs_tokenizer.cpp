#include "py_abs_tokenizer.hpp"

#include "../core/tokenizer/augment.hpp"

#include <algorithm>
#include <climits>
#include <optional>

#include "py_tokens.hpp"
#include "runtime/critical_section.hpp"

namespace noteloom::py {
namespace {

using TokenizerObject = RecordObject<PyTokenizer>;

constexpr auto kConstructor = constructor("_AbsTokenizer");

PyObject* tokenizer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return call_constructor<kConstructor>(args, kwargs, [](const auto&) -> PyObject* {
    const PyVocabulary* vocab = PyVocabulary::get();
    if (!vocab) return nullptr;
    return new_record_object(PyTokenizer{vocab});
  });
}

// Every method reads the tokenizer under a shared borrow.
template <const auto& D, typename Body>
PyObject* tokenizer_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return call_method<PyTokenizer, Access::Shared, D>(self, args, nargs, kwnames, std::forward<Body>(body));
}

constexpr auto kTokenize = method("_AbsTokenizer", "tokenize", {"py_midi_dict", optional("remove_preceding_silence")});

PyObject* tokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<kTokenize>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
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

constexpr auto kDetokenize = method("_AbsTokenizer", "detokenize", {"tokens"});

PyObject* detokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<kDetokenize>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
    std::vector<PyRef> items;
    std::vector<Token> tokens;
    if (!sequence_items(a.name(0), a[0], items) || !tokens_from_items(*t.vocab, items, tokens)) return nullptr;
    return to_python(t.tok().detokenize(tokens));
  });
}

constexpr auto kEncode = method("_AbsTokenizer", "encode", {"tokens"});

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<kEncode>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
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

// IDs from a sequence of ints. An exact list or tuple of exact ints in the int32 range is read in
// one pass under the list's critical section; anything else takes the general conversion, which
// also raises the errors.
bool ids_from_python(const char* name, PyObject* obj, std::vector<int32_t>& out) {
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

constexpr auto kDecode = method("_AbsTokenizer", "decode", {"ids"});

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<kDecode>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
    std::vector<int32_t> ids;
    if (!ids_from_python(a.name(0), a[0], ids)) return nullptr;
    return t.ids_to_python(ids);
  });
}

constexpr auto kQuantize = method("_AbsTokenizer", "_quantize_velocity", {"velocity"});

PyObject* quantize_velocity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<kQuantize>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
    int32_t velocity = 0;
    if (!a.convert(0, velocity)) return nullptr;
    return to_python(t.tok().quantize_velocity(velocity));
  });
}

// The augmentations read the token sequence (argument 0), convert the other arguments in order,
// then the tokens. A failed random draw is an internal failure.
template <typename Args, typename... T>
bool augmentation_args(const PyTokenizer& t, const Args& a, std::vector<PyRef>& items, std::vector<Token>& tokens,
                       T&... values) {
  return sequence_items(a.name(0), a[0], items) && a.convert_from(1, values...) &&
         tokens_from_items(*t.vocab, items, tokens);
}

PyObject* augmented(const PyTokenizer& t, Result<std::vector<Token>> result) {
  if (!result) panic(result.error().message);
  return t.tokens_to_python(result.value());
}

// apply_pitch_aug and apply_velocity_aug: (tokens, the largest amount, the amount or None).
template <const auto& D, auto Augment>
PyObject* shift_augmentation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<D>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
    std::vector<PyRef> items;
    std::vector<Token> tokens;
    int32_t max_amount = 0;
    std::optional<int32_t> amount;
    if (!augmentation_args(t, a, items, tokens, max_amount, amount)) return nullptr;
    return augmented(t, Augment(t.tok(), std::move(tokens), max_amount, amount));
  });
}

constexpr auto kPitchAug = method("_AbsTokenizer", "apply_pitch_aug", {"tokens", "max_pitch_aug", "pitch_aug"});
constexpr auto kVelocityAug =
    method("_AbsTokenizer", "apply_velocity_aug", {"tokens", "max_num_aug_steps", "aug_step"});

constexpr auto kTempoAug =
    method("_AbsTokenizer", "apply_tempo_aug", {"tokens", "max_tempo_aug", "mixup", "tempo_aug"});

PyObject* apply_tempo_aug(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tokenizer_call<kTempoAug>(self, args, nargs, kwnames, [](const PyTokenizer& t, const auto& a) -> PyObject* {
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
PyObject* read_tokenizer(PyObject* self, Body&& body) {
  return with_record<PyTokenizer>(self, [&](const PyTokenizer& t) { return body(t.tok()); });
}

constexpr auto kVocabSize = method("_AbsTokenizer", "vocab_size");
constexpr auto kName = method("_AbsTokenizer", "name");

PyObject* vocab_size(PyObject* self, PyObject*) {
  return read_tokenizer(self, [](const AbsTokenizer& tok) { return PyLong_FromSize_t(tok.vocab_size()); });
}

PyObject* name(PyObject* self, PyObject*) {
  return read_tokenizer(self, [](const AbsTokenizer& tok) { return to_python(tok.name()); });
}

// Read-only attributes.
template <typename Read>
getter make_getter(Read) {
  return [](PyObject* self, void*) -> PyObject* { return read_tokenizer(self, Read{}); };
}

PyObject* config_dict(const AbsTokenizer& tok) {
  const auto& c = tok.config();
  PyRef ignore = PyRef::steal(PyDict_New());
  PyRef programs = PyRef::steal(PyDict_New());
  PyRef dict = PyRef::steal(PyDict_New());
  if (!ignore || !programs || !dict) return nullptr;
  for (const auto& [name, flag] : c.ignore_instruments) {
    if (PyDict_SetItemString(ignore.get(), name.c_str(), flag ? Py_True : Py_False) < 0) return nullptr;
  }
  for (const auto& [name, program] : c.instrument_programs) {
    PyRef value = PyRef::steal(to_python(program));
    if (!value || PyDict_SetItemString(programs.get(), name.c_str(), value.get()) < 0) return nullptr;
  }
  PyRef drum_velocity = PyRef::steal(to_python(c.drum_velocity));
  if (!drum_velocity || PyDict_SetItemString(dict.get(), "ignore_instruments", ignore.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "instrument_programs", programs.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "drum_velocity", drum_velocity.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

PyObject* instruments_nd(const AbsTokenizer& tok) {
  std::vector<std::string> names;
  for (const auto& [name, program] : tok.config().instrument_programs) names.push_back(name);
  return to_python(names);
}

PyGetSetDef tokenizer_getset[] = {
    {"config", make_getter([](const AbsTokenizer& t) { return config_dict(t); }), nullptr, nullptr, nullptr},
    {"time_step_ms", make_getter([](const AbsTokenizer& t) { return to_python(t.config().time_step_ms); }), nullptr,
     nullptr, nullptr},
    {"abs_time_step_ms", make_getter([](const AbsTokenizer& t) { return to_python(t.config().abs_time_step_ms); }),
     nullptr, nullptr, nullptr},
    {"max_dur_ms", make_getter([](const AbsTokenizer& t) { return to_python(t.config().max_dur_ms); }), nullptr,
     nullptr, nullptr},
    {"velocity_step", make_getter([](const AbsTokenizer& t) { return to_python(t.config().velocity_step); }), nullptr,
     nullptr, nullptr},
    {"max_velocity", make_getter([](const AbsTokenizer& t) { return to_python(t.core().max_velocity()); }), nullptr,
     nullptr, nullptr},
    {"instruments_nd", make_getter([](const AbsTokenizer& t) { return instruments_nd(t); }), nullptr, nullptr, nullptr},
    {"unk_tok", make_getter([](const AbsTokenizer&) { return PyUnicode_FromString(kUnkTok); }), nullptr, nullptr,
     nullptr},
    {},
};

PyMethodDef tokenizer_methods[] = {
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

PyType_Slot tokenizer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<PyTokenizer>)},
    {Py_tp_methods, tokenizer_methods},
    {Py_tp_getset, tokenizer_getset},
    {0, nullptr},
};

PyType_Spec tokenizer_spec = class_spec<TokenizerObject>("noteloom.korvi._korvi._AbsTokenizer", tokenizer_slots);

}  // namespace

PyObject* PyTokenizer::token_to_python(const Token& t) const {
  if (const int32_t id = tok().find_id(t); id >= 0) return vocab->new_token(id);
  return py::token_to_python(t);
}

PyObject* PyTokenizer::tokens_to_python(std::span<const Token> tokens) const {
  return list_to_python(tokens, [this](const Token& t) { return token_to_python(t); });
}

PyObject* PyTokenizer::ids_to_python(std::span<const int32_t> ids) const {
  return list_to_python(ids, [this](int32_t id) { return vocab->new_token(id); });
}

template <>
TypeCell& type_cell<PyTokenizer>() {
  static TypeCell cell(ClassSlot::Tokenizer, &tokenizer_spec);
  return cell;
}

}  // namespace noteloom::py
