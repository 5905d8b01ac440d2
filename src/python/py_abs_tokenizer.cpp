#include "py_abs_tokenizer.hpp"

#include "tokenizer_methods.hpp"

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

using Methods = TokenizerMethods<PyTokenizer>;

// Read-only attributes.
template <typename Read>
getter make_getter(Read) {
  return [](PyObject* self, void*) -> PyObject* { return Methods::read_tokenizer(self, Read{}); };
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

PyType_Slot tokenizer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<PyTokenizer>)},
    {Py_tp_methods, Methods::methods()},
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
