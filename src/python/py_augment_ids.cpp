#include "py_augment_ids.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../core/tokenizer/augment.hpp"
#include "runtime/args.hpp"
#include "runtime/detached.hpp"
#include "runtime/panic.hpp"

namespace noteloom::py {
namespace {

constexpr auto kAugmentIds =
    function("_augment_ids", {"ids", "max_pitch_aug", optional("pitch_aug"), "max_num_aug_steps", optional("aug_step"),
                              "max_tempo_aug", "mixup", optional("tempo_aug"), optional("seed")})
        .with_doc(
            "A bytearray of uint16 IDs: `ids` (a one-dimensional, C-contiguous buffer of native integers) "
            "after the pitch, velocity and tempo augmentations.");

// A held buffer of IDs, released on leaving.
class IdBuffer {
 public:
  ~IdBuffer() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }
  bool from_python(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    const char* f = view_.format != nullptr ? view_.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (view_.ndim != 1 || f[0] == '\0' || f[1] != '\0' || !std::strchr("bBhHiIlLqQnN", f[0])) {
      PyErr_SetString(PyExc_TypeError, "argument 'ids': a one-dimensional buffer of native integers is needed");
      return false;
    }
    signed_ = std::islower(static_cast<unsigned char>(f[0])) != 0;
    return true;
  }
  template <typename Int>
  std::span<const Int> as() const {
    return {static_cast<const Int*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(Int)};
  }
  Result<std::vector<uint16_t>> augment(const IdAugmentation& how) const {
    switch (view_.itemsize) {
      case 1:
        return signed_ ? augment_ids(as<int8_t>(), how) : augment_ids(as<uint8_t>(), how);
      case 2:
        return signed_ ? augment_ids(as<int16_t>(), how) : augment_ids(as<uint16_t>(), how);
      case 4:
        return signed_ ? augment_ids(as<int32_t>(), how) : augment_ids(as<uint32_t>(), how);
      default:
        return signed_ ? augment_ids(as<int64_t>(), how) : augment_ids(as<uint64_t>(), how);
    }
  }
  Py_ssize_t itemsize() const { return view_.itemsize; }

 private:
  Py_buffer view_{};
  bool signed_ = false;
};

PyObject* augment_ids_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kAugmentIds>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    IdBuffer ids;
    IdAugmentation how;
    if (!ids.from_python(a[0]) ||
        !a.convert_from(1, how.max_pitch_aug, how.pitch_aug, how.max_num_aug_steps, how.aug_step, how.max_tempo_aug,
                        how.mixup, how.tempo_aug, how.seed)) {
      return nullptr;
    }
    if (ids.itemsize() != 1 && ids.itemsize() != 2 && ids.itemsize() != 4 && ids.itemsize() != 8) {
      PyErr_SetString(PyExc_TypeError, "argument 'ids': integers of 1, 2, 4 or 8 bytes are needed");
      return nullptr;
    }
    Result<std::vector<uint16_t>> out = Error{""};
    {
      const Detached detached;
      out = ids.augment(how);
    }
    if (!out) panic(out.error().message);
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(out.value().data()),
                                         static_cast<Py_ssize_t>(out.value().size() * sizeof(uint16_t)));
  });
}

PyMethodDef augment_ids_def = method_def<kAugmentIds, augment_ids_fn>();

}  // namespace

PyMethodDef& augment_ids_method() { return augment_ids_def; }

}  // namespace noteloom::py
