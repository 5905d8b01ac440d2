// Whole-file reads and writes with the operating system's error texts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace noteloom {

// Reads the whole file with one read call (more only if the kernel returns short reads).
Result<std::vector<uint8_t>> read_file(const std::string& path);

// Creates or truncates `path` and writes all of `bytes`.
Status write_file(const std::string& path, std::span<const uint8_t> bytes);

// Absolute path with symbolic links resolved, or an error.
Result<std::string> canonical_path(const std::string& path);

// "No such file or directory (os error 2)"
std::string os_error_text(int err);

}  // namespace noteloom
