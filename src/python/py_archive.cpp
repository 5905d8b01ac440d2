#include "py_archive.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../core/archive/archive_reader.hpp"
#include "runtime/args.hpp"
#include "runtime/capsule_arg.hpp"
#include "runtime/detached.hpp"
#include "runtime/native_buffer.hpp"
#include "runtime/panic.hpp"
#include "runtime/pyref.hpp"

namespace noteloom::py {
namespace {

constexpr auto kOpen = function("_archive_open", {"path", "pack", "max_entries", "max_bytes"})
                           .with_doc(
                               "A reader of the tar or zip archive at `path`, reading chunks of at most "
                               "`max_entries` entries and `max_bytes` bytes ahead on a thread of its own; "
                               "OSError when it cannot be opened or is no such archive. With `pack`, zip "
                               "members are handed on packed, for the encoding threads to inflate.");
constexpr auto kRead = function("_archive_read", {"reader"})
                           .with_doc(
                               "The next entries, (names, reasons, kinds, data, offsets, packing), or None at "
                               "the end: a reason and its kind (an index into _skip_kinds()) per entry (None "
                               "and 0 for a member read), the members read end to end "
                               "in data, member k at data[offsets[k]:offsets[k+1]] (offsets: int64), and "
                               "packing: None, or a 16-byte record per member for the encoder to unpack it.");
constexpr auto kKind = function("_archive_kind", {"first"})
                           .with_doc("'tar', 'compressed tar', 'zip' or None: what a file's first bytes announce.");

// A reader and the process it belongs to: a child made by fork inherits the object but not the
// thread that reads ahead. One Python thread takes chunks at a time.
struct ReaderBox {
  static constexpr const char* kCapsuleName = "noteloom.ArchiveReader";
  static constexpr const char* kWhat = "an archive reader";
  static constexpr const char* kForked = "an archive reader opened before fork() cannot be used in the child";
  std::mutex lock;
  std::unique_ptr<ReadAhead> reader;
  pid_t owner = getpid();
};

void close_reader(PyObject* capsule) {
  auto* box = static_cast<ReaderBox*>(PyCapsule_GetPointer(capsule, ReaderBox::kCapsuleName));
  if (box == nullptr) return;
  if (box->owner != getpid()) return;  // in a forked child there is no thread to stop: leave it
  const Detached detached;             // the thread ends after the chunk it is on; it needs no Python
  delete box;
}

using BytesObject = VectorObject<uint8_t>;
PyType_Spec bytes_spec = class_spec<BytesObject>("_noteloom.ArchiveData", BytesObject::slots);
TypeCell bytes_type(ClassSlot::ArchiveData, &bytes_spec);

// A name as stored, decoded as file names are (surrogate escapes for bytes that are not UTF-8).
PyObject* name_to_python(const std::string& name) {
  return PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kOpen>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    std::string path;
    bool pack = false;
    int32_t max_entries = 0, max_bytes = 0;  // chunks stay far below 2 GiB
    if (!path_from_python(a[0], path) || !a.convert_from(1, pack, max_entries, max_bytes)) return nullptr;
    Result<std::unique_ptr<ArchiveReader>> opened = Error{};
    {
      const Detached detached;
      opened = open_archive(path, pack);
    }
    if (!opened) {
      PyErr_SetString(PyExc_OSError, opened.error().message.c_str());
      return nullptr;
    }
    auto box = std::make_unique<ReaderBox>();
    box->reader = std::make_unique<ReadAhead>(std::move(opened).value(), static_cast<size_t>(std::max(max_entries, 1)),
                                              static_cast<size_t>(std::max(max_bytes, 0)));
    PyObject* capsule = PyCapsule_New(box.get(), ReaderBox::kCapsuleName, close_reader);
    if (capsule != nullptr) box.release();
    return capsule;
  });
}

PyObject* read_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kRead>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    CapsuleArg<ReaderBox> reader;
    if (!a.convert(0, reader)) return nullptr;
    ReaderBox* box = reader.box;
    // The thread state stays detached while the reader works, but for a look at pending signals
    // every few milliseconds, so Ctrl-C stops a run promptly even within a long member.
    ArchiveChunk chunk;
    ReadAhead::Taken taken;
    for (;;) {
      {
        const Detached detached;
        const std::lock_guard guard(box->lock);
        taken = box->reader->take(chunk, std::chrono::milliseconds(20));
      }
      if (taken != ReadAhead::Taken::NotYet) break;
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
    if (taken == ReadAhead::Taken::End) Py_RETURN_NONE;
    PyRef names = PyRef::steal(list_to_python(chunk.names, name_to_python));
    PyRef reasons = PyRef::steal(list_to_python(chunk.reasons, [](const std::string& r) -> PyObject* {
      return r.empty() ? Py_NewRef(Py_None) : to_python(r);
    }));
    PyRef kinds = PyRef::steal(
        list_to_python(chunk.kinds, [](SkipKind k) -> PyObject* { return PyLong_FromLong(static_cast<long>(k)); }));
    PyRef data = PyRef::steal(BytesObject::make(bytes_type, std::move(chunk.data)));
    PyRef offsets = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.offsets.data()),
                                                           static_cast<Py_ssize_t>(chunk.offsets.size() * 8)));
    PyRef packing = chunk.packed ? PyRef::steal(PyBytes_FromStringAndSize(
                                       reinterpret_cast<const char*>(chunk.packing.data()),
                                       static_cast<Py_ssize_t>(chunk.packing.size() * sizeof(MemberPacking))))
                                 : PyRef::borrow(Py_None);
    if (!names || !reasons || !kinds || !data || !offsets || !packing) return nullptr;
    return PyTuple_Pack(6, names.get(), reasons.get(), kinds.get(), data.get(), offsets.get(), packing.get());
  });
}

PyObject* kind_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kKind>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    HeldBuffer first;
    if (!first.hold(a[0])) return nullptr;
    switch (archive_kind({first.data(), first.size()})) {
      case ArchiveKind::Tar:
        return PyUnicode_FromString("tar");
      case ArchiveKind::CompressedTar:
        return PyUnicode_FromString("compressed tar");
      case ArchiveKind::Zip:
        return PyUnicode_FromString("zip");
      case ArchiveKind::NotArchive:
        break;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef archive_defs[] = {
    method_def<kOpen, open_fn>(),
    method_def<kRead, read_fn>(),
    method_def<kKind, kind_fn>(),
};

}  // namespace

std::span<PyMethodDef> archive_methods() { return archive_defs; }

}  // namespace noteloom::py
