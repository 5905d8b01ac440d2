// _noteloom._encode_stream, _stream_submit and _stream_next: the native half of
// noteloom.encode_files. A stream is a capsule; batches queued on it are encoded in order on its
// threads, and the next batch starts while the caller collects the results of the one before.
#pragma once

#include <Python.h>

#include <span>

namespace noteloom::py {

// The functions' definitions, for the module to bind.
std::span<PyMethodDef> encode_stream_methods();

}  // namespace noteloom::py
