// _noteloom._archive_open and _archive_read: the native half of the archive sources of
// noteloom.sources. A reader is a capsule; each read takes a chunk of entries with the thread state
// detached, so that the engine's threads encode the chunk before while it reads.
#pragma once

#include <Python.h>

#include <span>

namespace noteloom::py {

std::span<PyMethodDef> archive_methods();

}  // namespace noteloom::py
