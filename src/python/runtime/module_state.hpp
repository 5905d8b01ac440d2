// What the binding keeps while the process lives, in one place. The module is made once per
// process (single-phase init, in the interpreter that first imports it), so its state is one
// object rather than per-module storage: the module itself, the interpreter that owns it, the
// class objects (each made from its PyType_Spec on first need), PanicException and the tokenizer's
// Python token objects.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace noteloom::py {

// The classes of the module, each with its slot in the state.
enum class ClassSlot : size_t {
  NoteMessage,
  TempoMessage,
  InstrumentMessage,
  PedalMessage,
  MetaMessage,
  MidiDict,
  MidiFile,
  Tokenizer,
  ArchiveData,  // the bytes of an archive chunk
  TokenIds,     // the IDs of one encoded file
  ConfiguredTokenizer,
  Count,
};

struct ModuleState {
  std::atomic<int64_t> owner_interpreter{-1};  // the interpreter that imported the module
  std::atomic<PyObject*> module{nullptr};      // kept alive for the life of the process
  std::array<std::atomic<PyTypeObject*>, static_cast<size_t>(ClassSlot::Count)> classes{};
  std::atomic<PyObject*> panic_exception{nullptr};
  std::atomic<void*> vocabulary{nullptr};  // the PyVocabulary of py_vocabulary.cpp
};

inline ModuleState& module_state() {
  static ModuleState state;
  return state;
}

}  // namespace noteloom::py
