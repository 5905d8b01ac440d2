#include "py_normalize.hpp"

#include "../core/model/normalize.hpp"
#include "py_midi_dict.hpp"
#include "runtime/args.hpp"
#include "runtime/panic.hpp"

namespace noteloom::py {
namespace {

constexpr auto kNormalize =
    function("normalize_midi_dict", {"midi_dict", "ignore_instruments", "instrument_programs", "time_step_ms",
                                     "max_duration_ms", "drum_velocity", "quantize_velocity_fn"});

// Requires a dict (or subclass) for argument `name`.
bool check_dict(const char* name, PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  raise_type_mismatch(obj, "PyDict");
  rewrap_argument_error(name);
  return false;
}

// Calls the velocity mapping for each kept note. Failures of the call or of the conversion of its
// result keep the note's velocity; they do not reach the caller. Only an interrupt (a
// BaseException that is not an Exception, such as KeyboardInterrupt) stops the mapping: it is
// kept pending and raised once normalization returns.
class VelocityCallback {
 public:
  explicit VelocityCallback(PyObject* fn) : fn_(fn) {}

  std::optional<int32_t> operator()(int32_t velocity) {
    if (interrupt_) return std::nullopt;
    PyRef arg = PyRef::steal(PyLong_FromLong(velocity));
    PyRef result = arg ? PyRef::steal(PyObject_CallOneArg(fn_, arg.get())) : PyRef();
    int32_t mapped = 0;
    if (result && from_python(result.get(), mapped)) return mapped;
    resume_if_panic();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
      interrupt_ = PyRef::steal(PyErr_GetRaisedException());
      return std::nullopt;
    }
    PyErr_Clear();
    return std::nullopt;
  }

  // True (with the exception restored) when the mapping was interrupted.
  bool restore_interrupt() {
    if (!interrupt_) return false;
    PyErr_SetRaisedException(interrupt_.release());
    return true;
  }

 private:
  PyObject* fn_;
  PyRef interrupt_;
};

PyObject* normalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kNormalize>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    MidiDictRecord piece;
    NormalizeOptions options;
    if (!a.convert(0, piece) || !check_dict(a.name(1), a[1]) || !check_dict(a.name(2), a[2]) ||
        !a.convert_from(3, options.time_step_ms, options.max_duration_ms, options.drum_velocity)) {
      return nullptr;
    }
    // Entries are converted after all arguments, without the argument-name prefix.
    if (!for_each_dict_item(a[1], [&](PyObject* k, PyObject* v) {
          std::string name;
          bool ignored = false;
          if (!from_python(k, name) || !from_python(v, ignored)) return false;
          options.ignore_instruments.emplace_back(std::move(name), ignored);
          return true;
        })) {
      return nullptr;
    }
    if (!for_each_dict_item(a[2], [&](PyObject* k, PyObject* v) {
          std::string name;
          int32_t program = 0;
          if (!from_python(k, name) || !from_python(v, program)) return false;
          options.instrument_programs.insert_or_assign(std::move(name), program);
          return true;
        })) {
      return nullptr;
    }
    VelocityCallback callback(a[6]);
    MidiDictRecord out = normalize_midi_dict(piece, options, callback);
    if (callback.restore_interrupt()) return nullptr;
    return to_python(std::move(out));
  });
}

PyMethodDef normalize_def = method_def<kNormalize, normalize>();

}  // namespace

PyMethodDef& normalize_method() { return normalize_def; }

}  // namespace noteloom::py
