#include "py_tokenizer.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../core/tokenizer/config.hpp"
#include "tokenizer_methods.hpp"

namespace noteloom::py {
namespace {

using Object = RecordObject<PyConfiguredTokenizer>;
using Methods = TokenizerMethods<PyConfiguredTokenizer>;

constexpr auto kConstructor =
    constructor("_Tokenizer", {"instrument_names", "instrument_programs", "time_step_ms", "abs_time_step_ms",
                               "max_dur_ms", "velocity_step", "drum_velocity", "composers", "forms", "genres"});

// The configuration of the arguments, or an error naming the field. The instruments come in any
// order; the vocabulary takes them in the fixed order of configured().
template <typename Args>
bool read_config(const Args& a, AbsTokenizerConfig& c) {
  std::vector<std::string> names;
  std::vector<int32_t> programs;
  if (!a.convert_from(0, names, programs, c.time_step_ms, c.abs_time_step_ms, c.max_dur_ms, c.velocity_step,
                      c.drum_velocity, c.composer_names, c.form_names, c.genre_names)) {
    return false;
  }
  if (names.size() != programs.size()) {
    PyErr_SetString(PyExc_ValueError, "instruments: as many programs as names are needed");
    return false;
  }
  std::vector<std::pair<std::string, int32_t>> instruments;
  for (size_t i = 0; i < names.size(); ++i) instruments.emplace_back(std::move(names[i]), programs[i]);
  c = configured(std::move(instruments), std::move(c));
  if (auto error = config_error(c)) {
    PyErr_SetString(PyExc_ValueError, error->c_str());
    return false;
  }
  return true;
}

PyObject* tokenizer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return call_constructor<kConstructor>(args, kwargs, [](const auto& a) -> PyObject* {
    AbsTokenizerConfig config;
    if (!read_config(a, config)) return nullptr;
    std::shared_ptr<const PyVocabulary> vocab = PyVocabulary::make(std::make_shared<AbsTokenizer>(std::move(config)));
    if (!vocab) return nullptr;
    PyConfiguredTokenizer rec;
    rec.vocab = vocab.get();
    rec.owned = std::move(vocab);
    return new_record_object(std::move(rec));
  });
}

constexpr auto kVocabulary = method("_Tokenizer", "vocabulary");
constexpr auto kInstruments = method("_Tokenizer", "instruments");

// Every token, in ID order.
PyObject* vocabulary(PyObject* self, PyObject*) {
  return with_record<PyConfiguredTokenizer>(self, [](const PyConfiguredTokenizer& t) -> PyObject* {
    std::vector<int32_t> ids(t.tok().vocab_size());
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int32_t>(i);
    return t.ids_to_python(ids);
  });
}

// The (family, program) pairs in vocabulary order.
PyObject* instruments(PyObject* self, PyObject*) {
  return with_record<PyConfiguredTokenizer>(self, [](const PyConfiguredTokenizer& t) -> PyObject* {
    const auto& programs = t.tok().config().instrument_programs;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(programs.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < programs.size(); ++i) {
      PyObject* pair = Py_BuildValue("(si)", programs[i].first.c_str(), programs[i].second);
      if (!pair) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyMethodDef* class_methods() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> all;
    for (PyMethodDef* m = Methods::methods(); m->ml_name; ++m) all.push_back(*m);
    all.push_back(method_def<kVocabulary, vocabulary>());
    all.push_back(method_def<kInstruments, instruments>());
    all.push_back({nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return table.data();
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<PyConfiguredTokenizer>)},
    {Py_tp_methods, nullptr},  // set from class_methods() before the type is made
    {0, nullptr},
};

PyType_Spec configured_class = class_spec<Object>("_noteloom._Tokenizer", slots);

}  // namespace

std::shared_ptr<const AbsTokenizer> configured_tokenizer(const char* name, PyObject* obj) {
  PyTypeObject* type = type_cell<PyConfiguredTokenizer>().get();
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    PyErr_Format(PyExc_TypeError, "%s must be a _Tokenizer, not %.200s", name, Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  // The record never changes after construction: reading it under the borrow and keeping its
  // tokenizer afterwards is safe.
  const PyVocabulary* vocab =
      with_record<PyConfiguredTokenizer>(obj, [](const PyConfiguredTokenizer& t) { return t.owned.get(); });
  return vocab ? vocab->owner() : nullptr;
}

template <>
TypeCell& type_cell<PyConfiguredTokenizer>() {
  static TypeCell cell = [] {
    slots[2].pfunc = class_methods();
    return TypeCell(ClassSlot::ConfiguredTokenizer, &configured_class);
  }();
  return cell;
}

}  // namespace noteloom::py
