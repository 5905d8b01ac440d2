#include "py_augment_ids.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "../core/tokenizer/augment.hpp"
#include "py_tokenizer.hpp"
#include "runtime/args.hpp"
#include "runtime/detached.hpp"
#include "runtime/native_buffer.hpp"
#include "runtime/panic.hpp"

namespace noteloom::py {
namespace {

constexpr auto kAugmentIds =
    function("_augment_ids", {"ids", "max_pitch_aug", optional("pitch_aug"), "max_num_aug_steps", optional("aug_step"),
                              "max_tempo_aug", "mixup", optional("tempo_aug"), optional("seed"), optional("tokenizer")})
        .with_doc(
            "A bytearray of uint16 IDs: `ids` (a one-dimensional, C-contiguous buffer of native integers) "
            "after the pitch, velocity and tempo augmentations, read as IDs of `tokenizer` (a _Tokenizer; the "
            "built-in one when absent).");

template <typename Int>
Result<std::vector<uint16_t>> augment_as(const IntegerBuffer& ids, const IdAugmentation& how) {
  return augment_ids(ids.as<Int>(), how);
}

Result<std::vector<uint16_t>> augment(const IntegerBuffer& ids, const IdAugmentation& how) {
  switch (ids.itemsize()) {
    case 1:
      return ids.is_signed ? augment_as<int8_t>(ids, how) : augment_as<uint8_t>(ids, how);
    case 2:
      return ids.is_signed ? augment_as<int16_t>(ids, how) : augment_as<uint16_t>(ids, how);
    case 4:
      return ids.is_signed ? augment_as<int32_t>(ids, how) : augment_as<uint32_t>(ids, how);
    default:
      return ids.is_signed ? augment_as<int64_t>(ids, how) : augment_as<uint64_t>(ids, how);
  }
}

PyObject* augment_ids_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kAugmentIds>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    IntegerBuffer ids;
    IdAugmentation how;
    if (!a.convert_all(ids, how.max_pitch_aug, how.pitch_aug, how.max_num_aug_steps, how.aug_step, how.max_tempo_aug,
                       how.mixup, how.tempo_aug, how.seed)) {
      return nullptr;
    }
    std::shared_ptr<const AbsTokenizer> tokenizer;  // kept while the augmentation runs
    if (a[9] != nullptr && a[9] != Py_None) {
      if (!(tokenizer = configured_tokenizer(a.name(9), a[9]))) return nullptr;
      how.tokenizer = tokenizer.get();
    }
    Result<std::vector<uint16_t>> out = Error{""};
    {
      const Detached detached;
      out = augment(ids, how);
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
