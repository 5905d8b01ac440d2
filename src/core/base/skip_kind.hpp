// Why an input is skipped, as a value beside the message: the message names one file's detail
// (which byte, which error), the kind is what a run's skipped inputs are counted by. The names are
// the ones summaries show; Python's noteloom.corpus.SkipKind holds the same names and adds the
// kinds its own layer gives (duplicates, null Parquet values, sources that are not what their
// names say).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace noteloom {

enum class SkipKind : uint8_t {
  None,           // not skipped
  LoadFailed,     // "Failed to load MIDI file: ...": unreadable, or no Standard MIDI File
  TooLarge,       // "Failed to load MIDI file: file larger than 256 MiB"
  NoNotes,        // the tokenizer's "Empty note messages after filtering"
  TooManyTokens,  // "Too many tokens: N (limit M)"
  Damaged,        // "damaged archive: ..."
  NotRegular,     // "not a regular file: ..." (an archive's link, device or FIFO)
  Encrypted,      // "encrypted zip member"
  Unsupported,    // "zip member compressed with method N ..."
  Cancelled,      // "cancelled": the run stopped before the file
  Internal,       // "out of memory", "internal error"
};

inline constexpr std::array<std::string_view, 11> kSkipKindNames = {
    "none",
    "load failed",
    "too large",
    "no notes",
    "too many tokens",
    "damaged archive",
    "not a regular file",
    "encrypted",
    "compression not read",
    "cancelled",
    "internal error",
};

inline std::string_view skip_kind_name(SkipKind kind) { return kSkipKindNames[static_cast<size_t>(kind)]; }

}  // namespace noteloom
