#include "py_chunks.hpp"

#include <cstdint>
#include <span>

#include "../core/tokenizer/chunk_plan.hpp"
#include "runtime/args.hpp"
#include "runtime/detached.hpp"
#include "runtime/native_buffer.hpp"
#include "runtime/pyref.hpp"

namespace noteloom::py {
namespace {

constexpr auto kPlanChunks =
    function("_plan_chunks", {"tokens", "starts", "lengths", "group_start", "bos", "max_len"})
        .with_doc(
            "(sequence, start, end) of every piece and the prefix length of every sequence, as bytes of "
            "int64: `tokens` a buffer of uint16, `starts` and `lengths` of int64, `group_start` of uint8.");

PyObject* int64_bytes(const std::vector<int64_t>& v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                   static_cast<Py_ssize_t>(v.size() * sizeof(int64_t)));
}

PyObject* plan_chunks_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kPlanChunks>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    ItemBuffer<uint16_t> tokens;
    ItemBuffer<int64_t> starts, lengths;
    ItemBuffer<uint8_t> table;
    int32_t bos = 0, max_len = 0;
    if (!a.convert_all(tokens, starts, lengths, table, bos, max_len)) return nullptr;
    Result<ChunkPlan> plan = Error{};
    {
      const Detached detached;
      plan = plan_chunks(tokens.items, starts.items, lengths.items, table.items, static_cast<uint16_t>(bos), max_len);
    }
    if (!plan) {
      PyErr_SetString(PyExc_ValueError, plan.error().message.c_str());
      return nullptr;
    }
    const ChunkPlan& p = plan.value();
    PyRef sequence = PyRef::steal(int64_bytes(p.sequence)), start = PyRef::steal(int64_bytes(p.start));
    PyRef end = PyRef::steal(int64_bytes(p.end)), prefix = PyRef::steal(int64_bytes(p.prefix));
    if (!sequence || !start || !end || !prefix) return nullptr;
    return PyTuple_Pack(4, sequence.get(), start.get(), end.get(), prefix.get());
  });
}

PyMethodDef plan_chunks_def = method_def<kPlanChunks, plan_chunks_fn>();

}  // namespace

PyMethodDef& plan_chunks_method() { return plan_chunks_def; }

}  // namespace noteloom::py
