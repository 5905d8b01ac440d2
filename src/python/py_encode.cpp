#include "py_encode.hpp"

#include "py_tokenizer.hpp"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../core/base/file_io.hpp"
#include "../core/engine/batch_encoder.hpp"
#include "runtime/args.hpp"
#include "runtime/capsule_arg.hpp"
#include "runtime/detached.hpp"
#include "runtime/native_buffer.hpp"
#include "runtime/panic.hpp"
#include "runtime/pyref.hpp"
#include "runtime/record_object.hpp"

namespace noteloom::py {
namespace {

constexpr auto kOpen =
    function("_encode_stream", {"threads", "normalize", "oov", "max_tokens", "stop", optional("tokenizer")})
        .with_doc(
            "A stream of batches encoded on `threads` native threads, with a _Tokenizer's vocabulary or the "
            "built-in one.");
constexpr auto kSubmit =
    function("_stream_submit", {"stream", "items"})
        .with_doc(
            "Queues a batch: each item a path, or a pair (data, offsets) of file images in memory: image k is "
            "data[offsets[k]:offsets[k+1]], offsets a buffer of int64. The buffers are held until the batch's "
            "results are taken.");
constexpr auto kNext = function("_stream_next", {"stream"})
                           .with_doc(
                               "(seconds, ids, hashes, counts, reasons, kinds) of the oldest queued batch: "
                               "the time its files took, then one list per field, in input order (kinds: "
                               "indices into _skip_kinds(), 0 for a file encoded), but counts: bytes of "
                               "uint32, per file its oov tokens, notes and kept notes.");
constexpr auto kKinds = function("_skip_kinds").with_doc("The names of the kinds of skip reasons, by code.");
constexpr auto kDefaults = function("_engine_defaults")
                               .with_doc("{'oov_rules': the names of the oov rules, 'max_tokens': the default bound}.");
constexpr auto kCheck = function("_check_engine_options", {"threads", "normalize", "oov", "max_tokens"})
                            .with_doc("None, or ValueError saying which option is out of its domain.");

// A writable buffer whose first byte, once set, stops the batch (or None): a flag another Python
// thread can raise while this one waits with its thread state detached.
class StopFlag {
 public:
  ~StopFlag() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }
  friend bool from_python(PyObject* obj, StopFlag& out) {
    if (obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &out.view_, PyBUF_WRITABLE) < 0) return false;
    if (out.view_.len < 1) {
      PyBuffer_Release(&out.view_);
      PyErr_SetString(PyExc_TypeError, "a writable buffer of at least one byte is needed");
      return false;
    }
    return true;
  }
  uint8_t* byte() { return view_.obj != nullptr ? static_cast<uint8_t*>(view_.buf) : nullptr; }

 private:
  Py_buffer view_{};
};

// A stream with the stop flag it reads (the flag's buffer stays held while the stream lives) and
// the process it belongs to: a child made by fork inherits the object but not the stream's runs.
struct StreamBox {
  static constexpr const char* kCapsuleName = "noteloom.EncodeStream";
  static constexpr const char* kWhat = "an encoding stream";
  static constexpr const char* kForked = "an encoding stream started before fork() cannot be used in the child";
  StopFlag stop;
  std::shared_ptr<const AbsTokenizer> tokenizer;  // a configured one, kept while the stream runs
  std::unique_ptr<EncodeStream> stream;
  std::mutex held_lock;                      // free-threaded callers may submit on one thread and collect on another
  std::deque<std::vector<HeldBuffer>> held;  // per queued batch, the buffers its images are in
  pid_t owner = getpid();
};

void close_stream(PyObject* capsule) {
  auto* box = static_cast<StreamBox*>(PyCapsule_GetPointer(capsule, StreamBox::kCapsuleName));
  if (box == nullptr) return;
  if (box->owner != getpid()) {
    // In a forked child the runs this stream waits for do not exist: leave it (and its buffer).
    static_cast<void>(box->stream.release());
    return;
  }
  {
    const Detached detached;  // the runs end after the file each is on; they need no Python
    box->stream.reset();
  }
  delete box;
}

// Images data[offsets[k]:offsets[k+1]] of a tuple (data, offsets) or (data, offsets, packing),
// appended to `inputs`; the buffers go to `held`. `packing` holds a 16-byte MemberPacking record
// per image, as the archive reader gives them.
bool images_from_python(PyObject* tuple, std::vector<EncodeInput>& inputs, std::vector<HeldBuffer>& held) {
  HeldBuffer data, offsets, packing;
  if (!data.hold(PyTuple_GET_ITEM(tuple, 0)) ||
      !offsets.hold(PyTuple_GET_ITEM(tuple, 1), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
    return false;
  }
  if (PyTuple_GET_SIZE(tuple) == 3 && !packing.hold(PyTuple_GET_ITEM(tuple, 2))) return false;
  const char* f = offsets.view().format != nullptr ? offsets.view().format : "B";
  if (*f == '<' || *f == '=' || *f == '@') ++f;
  if (offsets.view().itemsize != 8 || (f[0] != 'q' && f[0] != 'l') || f[1] != '\0' || offsets.size() < 8) {
    PyErr_SetString(PyExc_TypeError, "offsets must be a non-empty buffer of int64");
    return false;
  }
  const auto* at = reinterpret_cast<const int64_t*>(offsets.data());
  const size_t count = offsets.size() / 8 - 1;
  if (packing.data() != nullptr && packing.size() != count * sizeof(MemberPacking)) {
    PyErr_SetString(PyExc_TypeError, "one packing record per image is needed");
    return false;
  }
  for (size_t k = 0; k < count; ++k) {
    if (at[k] < 0 || at[k + 1] < at[k] || static_cast<uint64_t>(at[k + 1]) > data.size()) {
      PyErr_SetString(PyExc_TypeError, "offsets must increase within the data");
      return false;
    }
    MemberPacking how;
    if (packing.data() != nullptr) {
      std::memcpy(&how, packing.data() + k * sizeof how, sizeof how);
      if (how.packing > Packing::ZipDeflate || how.size > kMaxFileBytes) {
        PyErr_SetString(PyExc_TypeError, "a packing record of no known kind or size");
        return false;
      }
    }
    inputs.emplace_back(std::span<const uint8_t>(data.data() + at[k], static_cast<size_t>(at[k + 1] - at[k])), how);
  }
  held.push_back(std::move(data));
  held.push_back(std::move(offsets));
  held.push_back(std::move(packing));
  return true;
}

// A batch's items, as an argument: paths (converted as from_midi converts its path) and tuples of
// images, with the buffers the images are in.
struct BatchItems {
  std::vector<EncodeInput> inputs;
  std::vector<HeldBuffer> held;
};

bool from_python(PyObject* obj, BatchItems& out) {
  std::vector<EncodeInput>& inputs = out.inputs;
  std::vector<HeldBuffer>& held = out.held;
  PyRef items = PyRef::steal(PySequence_Fast(obj, "a sequence is needed"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  inputs.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (PyTuple_Check(item) && (PyTuple_GET_SIZE(item) == 2 || PyTuple_GET_SIZE(item) == 3)) {
      if (!images_from_python(item, inputs, held)) return false;
      continue;
    }
    std::string path;
    if (!path_from_python(item, path)) return false;
    inputs.emplace_back(std::move(path));
  }
  return true;
}

// A file's IDs as a Python object that exposes them through the buffer protocol (writable bytes of
// native uint16), holding the vector the run produced: np.frombuffer wraps it without a copy, and the
// thread that collects results does not touch the IDs at all.
using IdsObject = VectorObject<uint16_t>;
PyType_Spec ids_spec = class_spec<IdsObject>("_noteloom.TokenIds", IdsObject::slots);
TypeCell ids_type(ClassSlot::TokenIds, &ids_spec);

PyObject* ids_to_python(std::vector<uint16_t>&& ids) { return IdsObject::make(ids_type, std::move(ids)); }

// A batch's results as four lists, one item per file (columns rather than a tuple per file: fewer
// objects for the caller's thread, which builds the final results while the runs work on):
// ids as TokenIds or None, hash or None, reason or None; and the counts as bytes of uint32, three
// per file: tokens outside the vocabulary, notes as loaded, notes kept.
PyObject* results_to_python(double seconds, std::vector<Result<EncodedPiece>>& results) {
  PyRef ids = PyRef::steal(list_to_python(results, [](Result<EncodedPiece>& r) -> PyObject* {
    return r ? ids_to_python(std::move(r.value().ids)) : Py_NewRef(Py_None);
  }));
  PyRef hashes = PyRef::steal(list_to_python(results, [](const Result<EncodedPiece>& r) -> PyObject* {
    return r ? PyLong_FromUnsignedLongLong(r.value().hash) : Py_NewRef(Py_None);
  }));
  std::vector<uint32_t> count_items;  // oov, notes, kept notes of each file
  count_items.reserve(results.size() * 3);
  for (const Result<EncodedPiece>& r : results) {
    count_items.insert(count_items.end(),
                       {r ? r.value().oov : 0, r ? r.value().notes : 0, r ? r.value().kept_notes : 0});
  }
  PyRef counts =
      PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(count_items.data()),
                                             static_cast<Py_ssize_t>(count_items.size() * sizeof(uint32_t))));
  PyRef reasons = PyRef::steal(list_to_python(results, [](const Result<EncodedPiece>& r) -> PyObject* {
    return r ? Py_NewRef(Py_None) : to_python(r.error().message);
  }));
  PyRef kinds = PyRef::steal(list_to_python(results, [](const Result<EncodedPiece>& r) -> PyObject* {
    // every failure of a run has a kind; one without would be counted as internal
    const SkipKind kind = r ? SkipKind::None : r.error().kind == SkipKind::None ? SkipKind::Internal : r.error().kind;
    return PyLong_FromLong(static_cast<long>(kind));
  }));
  if (!ids || !hashes || !counts || !reasons || !kinds) return nullptr;
  return Py_BuildValue("(dOOOOO)", seconds, ids.get(), hashes.get(), counts.get(), reasons.get(), kinds.get());
}

// The options of arguments 0..3 (threads, normalize, oov, max_tokens), checked by the engine's one
// rule; nothing with the error set.
template <typename Args>
std::optional<PipelineOptions> options_from_python(const Args& a) {
  int32_t threads = 1, max_tokens = 0;
  bool normalize = true;
  std::string oov;
  if (!a.convert_all(threads, normalize, oov, max_tokens)) return std::nullopt;
  Result<PipelineOptions> options = pipeline_options(threads, normalize, oov, max_tokens);
  if (!options) {
    PyErr_SetString(PyExc_ValueError, options.error().message.c_str());
    return std::nullopt;
  }
  return options.value();
}

PyObject* check_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kCheck>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    if (!options_from_python(a)) return nullptr;
    Py_RETURN_NONE;
  });
}

// A tuple of the names, in order.
PyObject* names_to_python(std::span<const std::string_view> names) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return nullptr;
  for (size_t k = 0; k < names.size(); ++k) {
    PyObject* name = PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), name);
  }
  return tuple.release();
}

PyObject* defaults_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kDefaults>(args, nargs, kwnames, [](const auto&) -> PyObject* {
    PyRef rules = PyRef::steal(names_to_python(kOovRuleNames));
    if (!rules) return nullptr;
    return Py_BuildValue("{sOsn}", "oov_rules", rules.get(), "max_tokens", static_cast<Py_ssize_t>(kDefaultMaxTokens));
  });
}

PyObject* open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kOpen>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    auto box = std::make_unique<StreamBox>();
    int32_t threads = 1;
    auto options = options_from_python(a);
    if (!options || !a.convert(0, threads) || !a.convert(4, box->stop)) return nullptr;
    if (a[5] != nullptr && a[5] != Py_None && !(box->tokenizer = configured_tokenizer(a.name(5), a[5]))) return nullptr;
    box->stream = std::make_unique<EncodeStream>(box->tokenizer ? *box->tokenizer : AbsTokenizer::shared(), *options,
                                                 static_cast<unsigned>(threads), box->stop.byte());
    PyObject* capsule = PyCapsule_New(box.get(), StreamBox::kCapsuleName, close_stream);
    if (capsule != nullptr) box.release();
    return capsule;
  });
}

PyObject* submit_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kSubmit>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    CapsuleArg<StreamBox> stream;
    BatchItems items;
    if (!a.convert_all(stream, items)) return nullptr;
    StreamBox* box = stream.box;
    const std::lock_guard guard(box->held_lock);  // the buffers and their batch are queued together
    box->held.push_back(std::move(items.held));
    box->stream->submit(std::move(items.inputs));
    Py_RETURN_NONE;
  });
}

PyObject* next_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kNext>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    CapsuleArg<StreamBox> arg;
    if (!a.convert(0, arg)) return nullptr;
    StreamBox* box = arg.box;
    EncodeStream* stream = box->stream.get();
    // The runs need no Python: the thread state stays detached while they work, except for a look
    // at pending signals every few milliseconds, so Ctrl-C stops the stream promptly.
    std::vector<Result<EncodedPiece>> results;
    double seconds = 0.0;
    for (;;) {
      {
        const Detached detached;
        if (stream->next(std::chrono::milliseconds(20), results, seconds)) break;
      }
      if (PyErr_CheckSignals() < 0) {
        const Detached detached;
        stream->cancel();
        return nullptr;
      }
    }
    std::vector<HeldBuffer> done;  // released after the lock: a release may run Python code
    {
      const std::lock_guard guard(box->held_lock);
      if (stream->queued() < box->held.size()) {  // a batch came back: its images are done
        done = std::move(box->held.front());
        box->held.pop_front();
      }
    }
    return results_to_python(seconds, results);
  });
}

PyObject* kinds_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kKinds>(args, nargs, kwnames,
                               [](const auto&) -> PyObject* { return names_to_python(kSkipKindNames); });
}

PyMethodDef stream_defs[] = {
    method_def<kKinds, kinds_fn>(), method_def<kDefaults, defaults_fn>(), method_def<kCheck, check_fn>(),
    method_def<kOpen, open_fn>(),   method_def<kSubmit, submit_fn>(),     method_def<kNext, next_fn>(),
};

}  // namespace

std::span<PyMethodDef> encode_stream_methods() { return stream_defs; }

}  // namespace noteloom::py
