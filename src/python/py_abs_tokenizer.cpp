#include "py_abs_tokenizer.hpp"

#include "../core/augment.hpp"

#include <algorithm>
#include <climits>
#include <optional>

#include "critical_section.hpp"
#include "py_tokens.hpp"

namespace noteloom::py {
namespace {

using TokenizerObject = RecordObject<PyTokenizer>;

constexpr Signature kConstructor = no_params("_AbsTokenizer()");

PyObject* tokenizer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[1];
    if (!match_args(kConstructor, args, kwargs, matched)) return nullptr;
    const PyVocabulary* vocab = PyVocabulary::get();
    if (!vocab) return nullptr;
    return new_record_object(PyTokenizer{vocab});
  });
}

// Matches the arguments, takes a shared borrow of the tokenizer and runs `body`.
template <size_t N, typename Body>
PyObject* with_tokenizer(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Body&& body) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* matched[N > 0 ? N : 1];
    if (!match_args(sig, args, nargs, kwnames, matched)) return nullptr;
    auto* o = as_record_object<PyTokenizer>(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    return body(static_cast<const PyTokenizer&>(o->rec), matched);
  });
}

template <typename Body>
PyObject* read_tokenizer(PyObject* self, Body&& body) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* o = as_record_object<PyTokenizer>(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return nullptr;
    return body(o->rec.tok());
  });
}

constexpr const char* const kTokenizeParams[] = {"py_midi_dict", "remove_preceding_silence"};
constexpr Signature kTokenize{"_AbsTokenizer.tokenize()", kTokenizeParams, 2, 1};

PyObject* tokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<2>(self, kTokenize, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    // The piece is read in place under a shared borrow, not copied.
    std::optional<Result<std::vector<Token>>> tokens;
    if (!read_record_from<MidiDictRecord>(a[0], [&](const MidiDictRecord& piece) { tokens = t.tok().tokenize(piece); })) {
      rewrap_argument_error("py_midi_dict");
      return nullptr;
    }
    bool remove_preceding_silence = false;  // accepted for compatibility; it does not change the result
    if (a[1] && a[1] != Py_None && !convert_arg("remove_preceding_silence", a[1], remove_preceding_silence)) {
      return nullptr;
    }
    if (!*tokens) {
      PyErr_Format(PyExc_RuntimeError, "Tokenization failed: %s", tokens->error().message.c_str());
      return nullptr;
    }
    return t.tokens_to_python(tokens->value());
  });
}

constexpr const char* const kTokensParams[] = {"tokens"};
constexpr Signature kDetokenize = required_params("_AbsTokenizer.detokenize()", kTokensParams);
constexpr Signature kEncode = required_params("_AbsTokenizer.encode()", kTokensParams);

PyObject* detokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<1>(self, kDetokenize, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    std::vector<PyRef> items;
    std::vector<Token> tokens;
    if (!sequence_items("tokens", a[0], items) || !tokens_from_items(*t.vocab, items, tokens)) return nullptr;
    return to_python(t.tok().detokenize(tokens));
  });
}

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<1>(self, kEncode, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    std::vector<PyRef> items;
    if (!sequence_items("tokens", a[0], items)) return nullptr;
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

constexpr const char* const kDecodeParams[] = {"ids"};
constexpr Signature kDecode = required_params("_AbsTokenizer.decode()", kDecodeParams);

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<1>(self, kDecode, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    std::vector<int32_t> ids;
    if (!ids_from_python("ids", a[0], ids)) return nullptr;
    return t.ids_to_python(ids);
  });
}

constexpr const char* const kQuantizeParams[] = {"velocity"};
constexpr Signature kQuantize = required_params("_AbsTokenizer._quantize_velocity()", kQuantizeParams);

PyObject* quantize_velocity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<1>(self, kQuantize, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    int32_t velocity = 0;
    if (!convert_arg("velocity", a[0], velocity)) return nullptr;
    return to_python(t.tok().quantize_velocity(velocity));
  });
}

// A failed random draw is an internal failure.
PyObject* augmented(const PyTokenizer& t, Result<std::vector<Token>> result) {
  if (!result) panic(result.error().message);
  return t.tokens_to_python(result.value());
}

constexpr const char* const kPitchAugParams[] = {"tokens", "max_pitch_aug", "pitch_aug"};
constexpr Signature kPitchAug = required_params("_AbsTokenizer.apply_pitch_aug()", kPitchAugParams);

PyObject* apply_pitch_aug(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<3>(self, kPitchAug, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    std::vector<PyRef> items;
    int32_t max_pitch_aug = 0;
    std::optional<int32_t> pitch_aug;
    std::vector<Token> tokens;
    if (!sequence_items("tokens", a[0], items) || !convert_arg("max_pitch_aug", a[1], max_pitch_aug) ||
        !convert_optional_arg("pitch_aug", a[2], pitch_aug) || !tokens_from_items(*t.vocab, items, tokens)) {
      return nullptr;
    }
    return augmented(t, noteloom::apply_pitch_aug(t.tok(), std::move(tokens), max_pitch_aug, pitch_aug));
  });
}

constexpr const char* const kVelocityAugParams[] = {"tokens", "max_num_aug_steps", "aug_step"};
constexpr Signature kVelocityAug = required_params("_AbsTokenizer.apply_velocity_aug()", kVelocityAugParams);

PyObject* apply_velocity_aug(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<3>(self, kVelocityAug, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    std::vector<PyRef> items;
    int32_t max_steps = 0;
    std::optional<int32_t> aug_step;
    std::vector<Token> tokens;
    if (!sequence_items("tokens", a[0], items) || !convert_arg("max_num_aug_steps", a[1], max_steps) ||
        !convert_optional_arg("aug_step", a[2], aug_step) || !tokens_from_items(*t.vocab, items, tokens)) {
      return nullptr;
    }
    return augmented(t, noteloom::apply_velocity_aug(t.tok(), std::move(tokens), max_steps, aug_step));
  });
}

constexpr const char* const kTempoAugParams[] = {"tokens", "max_tempo_aug", "mixup", "tempo_aug"};
constexpr Signature kTempoAug = required_params("_AbsTokenizer.apply_tempo_aug()", kTempoAugParams);

PyObject* apply_tempo_aug(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tokenizer<4>(self, kTempoAug, args, nargs, kwnames, [](const PyTokenizer& t, PyObject** a) -> PyObject* {
    std::vector<PyRef> items;
    double max_tempo_aug = 0;
    bool mixup = false;
    std::optional<double> tempo_aug;
    std::vector<Token> tokens;
    if (!sequence_items("tokens", a[0], items) || !convert_arg("max_tempo_aug", a[1], max_tempo_aug) ||
        !convert_arg("mixup", a[2], mixup) || !convert_optional_arg("tempo_aug", a[3], tempo_aug) ||
        !tokens_from_items(*t.vocab, items, tokens)) {
      return nullptr;
    }
    return augmented(t, noteloom::apply_tempo_aug(t.tok(), tokens, max_tempo_aug, mixup, tempo_aug));
  });
}

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
    {"time_step_ms", make_getter([](const AbsTokenizer& t) { return to_python(t.config().time_step_ms); }), nullptr, nullptr, nullptr},
    {"abs_time_step_ms", make_getter([](const AbsTokenizer& t) { return to_python(t.config().abs_time_step_ms); }), nullptr, nullptr, nullptr},
    {"max_dur_ms", make_getter([](const AbsTokenizer& t) { return to_python(t.config().max_dur_ms); }), nullptr, nullptr, nullptr},
    {"velocity_step", make_getter([](const AbsTokenizer& t) { return to_python(t.config().velocity_step); }), nullptr, nullptr, nullptr},
    {"max_velocity", make_getter([](const AbsTokenizer& t) { return to_python(t.core().max_velocity()); }), nullptr, nullptr, nullptr},
    {"instruments_nd", make_getter([](const AbsTokenizer& t) { return instruments_nd(t); }), nullptr, nullptr, nullptr},
    {"unk_tok", make_getter([](const AbsTokenizer&) { return PyUnicode_FromString(kUnkTok); }), nullptr, nullptr, nullptr},
    {},
};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <auto Fn>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

PyMethodDef tokenizer_methods[] = {
    {"tokenize", fastcall<tokenize>(), kFastcall, "tokenize($self, py_midi_dict, remove_preceding_silence=None)\n--\n\n"},
    {"detokenize", fastcall<detokenize>(), kFastcall, "detokenize($self, tokens)\n--\n\n"},
    {"encode", fastcall<encode>(), kFastcall, "encode($self, tokens)\n--\n\n"},
    {"decode", fastcall<decode>(), kFastcall, "decode($self, ids)\n--\n\n"},
    {"vocab_size", vocab_size, METH_NOARGS, "vocab_size($self)\n--\n\n"},
    {"name", name, METH_NOARGS, "name($self)\n--\n\n"},
    {"_quantize_velocity", fastcall<quantize_velocity>(), kFastcall, "_quantize_velocity($self, velocity)\n--\n\n"},
    {"apply_pitch_aug", fastcall<apply_pitch_aug>(), kFastcall,
     "apply_pitch_aug($self, tokens, max_pitch_aug, pitch_aug)\n--\n\n"},
    {"apply_velocity_aug", fastcall<apply_velocity_aug>(), kFastcall,
     "apply_velocity_aug($self, tokens, max_num_aug_steps, aug_step)\n--\n\n"},
    {"apply_tempo_aug", fastcall<apply_tempo_aug>(), kFastcall,
     "apply_tempo_aug($self, tokens, max_tempo_aug, mixup, tempo_aug)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tokenizer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<PyTokenizer>)},
    {Py_tp_methods, tokenizer_methods},
    {Py_tp_getset, tokenizer_getset},
    {0, nullptr},
};

PyType_Spec tokenizer_spec = {"noteloom.korvi._korvi._AbsTokenizer", static_cast<int>(sizeof(TokenizerObject)), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tokenizer_slots};

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

template <> TypeCell& type_cell<PyTokenizer>() { static TypeCell cell(&tokenizer_spec); return cell; }

}  // namespace noteloom::py
