#include "py_encode.hpp"

#include <chrono>
#include <iterator>
#include <string>
#include <vector>

#include "../core/batch_encoder.hpp"
#include "args.hpp"
#include "panic.hpp"

namespace noteloom::py {
namespace {

constexpr const char* const kParams[] = {"paths", "threads", "normalize", "oov", "max_tokens", "stop"};
constexpr Signature kEncodeBatch = required_params("_encode_batch()", kParams);

// A writable buffer whose first byte, once set, stops the batch (or None): a flag another Python
// thread can raise while this one waits with its thread state detached.
class StopFlag {
 public:
  ~StopFlag() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }
  bool from_python(PyObject* obj) {
    if (obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE) < 0) return false;
    if (view_.len < 1) {
      PyErr_SetString(PyExc_ValueError, "argument 'stop': an empty buffer");
      return false;
    }
    return true;
  }
  uint8_t* byte() { return view_.obj != nullptr ? static_cast<uint8_t*>(view_.buf) : nullptr; }

 private:
  Py_buffer view_{};
};

// File names, each converted as from_midi converts its path.
bool paths_from_python(PyObject* obj, std::vector<std::string>& out) {
  if (sequence_from_python(obj, out, [](PyObject* item, std::string& path) { return path_from_python(item, path); })) {
    return true;
  }
  rewrap_argument_error(kParams[0]);
  return false;
}

// (ids as native-endian uint16 bytes or None, hash, oov count, reason or None)
PyObject* result_to_python(const Result<EncodedPiece>& result) {
  if (!result) return Py_BuildValue("(OiiN)", Py_None, 0, 0, to_python(result.error().message));
  const EncodedPiece& piece = result.value();
  PyRef ids = PyRef::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(piece.ids.data()),
                                                         static_cast<Py_ssize_t>(piece.ids.size() * sizeof(uint16_t))));
  PyRef hash = PyRef::steal(PyLong_FromUnsignedLongLong(piece.hash));
  PyRef oov = PyRef::steal(PyLong_FromUnsignedLong(piece.oov));
  if (!ids || !hash || !oov) return nullptr;
  return PyTuple_Pack(4, ids.get(), hash.get(), oov.get(), Py_None);
}

PyObject* encode_batch_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[std::size(kParams)];
    if (!match_args(kEncodeBatch, args, nargs, kwnames, a)) return nullptr;
    std::vector<std::string> paths;
    StopFlag stop;
    int32_t threads = 1, oov = 0, max_tokens = 0;
    bool normalize = true;
    if (!paths_from_python(a[0], paths) || !convert_arg(kParams[1], a[1], threads) ||
        !convert_arg(kParams[2], a[2], normalize) || !convert_arg(kParams[3], a[3], oov) ||
        !convert_arg(kParams[4], a[4], max_tokens) || !stop.from_python(a[5])) {
      return nullptr;
    }
    if (threads < 1 || oov < 0 || oov > 2 || max_tokens < 0) {
      PyErr_SetString(PyExc_ValueError, "threads must be at least 1, oov 0..2 and max_tokens not negative");
      return nullptr;
    }
    PipelineOptions options;
    options.normalize = normalize;
    options.oov = static_cast<OovRule>(oov);
    options.max_tokens = static_cast<size_t>(max_tokens);
    BatchJob job(paths, AbsTokenizer::shared(), options, static_cast<unsigned>(threads), stop.byte());
    // The workers need no Python: the thread state stays detached while they run, except for a
    // look at pending signals every few milliseconds, so Ctrl-C stops the batch promptly.
    bool interrupted = false;
    PyThreadState* state = PyEval_SaveThread();
    while (!job.wait_for(std::chrono::milliseconds(20))) {
      PyEval_RestoreThread(state);
      interrupted = PyErr_CheckSignals() < 0;
      state = PyEval_SaveThread();
      if (interrupted) {
        job.cancel();
        while (!job.wait_for(std::chrono::milliseconds(1000))) {
        }
        break;
      }
    }
    PyEval_RestoreThread(state);
    if (interrupted) return nullptr;
    std::vector<Result<EncodedPiece>> results = job.take_results();
    return list_to_python(results, [](const Result<EncodedPiece>& r) { return result_to_python(r); });
  });
}

PyMethodDef encode_batch_def = {
    "_encode_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_batch_fn)),
    METH_FASTCALL | METH_KEYWORDS, "_encode_batch(paths, threads, normalize, oov, max_tokens, stop)\n--\n\n"};

}  // namespace

PyMethodDef& encode_batch_method() { return encode_batch_def; }

}  // namespace noteloom::py
