// UTF-8 validation and lossy decoding (invalid sequences become U+FFFD).
#pragma once

#include <string>
#include <string_view>

namespace noteloom {

bool is_valid_utf8(std::string_view bytes);

// Copies `bytes`, replacing each maximal invalid subsequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace noteloom
