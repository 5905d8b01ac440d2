// One MIDI file to token IDs without Python objects: load, normalize with the tokenizer's own
// settings (or not, in raw mode), tokenize, encode.
//
// Normalization uses the tokenizer's ignore_instruments, instrument_programs and drum velocity, its
// time step (10 ms), the largest duration of its grid (5000 ms) as the maximum duration, and its
// velocity quantization; the IDs then equal encode(tokenize(normalize_midi_dict(piece, ...))) with
// those arguments, and in raw mode encode(tokenize(piece)), under OovRule::Zero.
//
// Tokens outside the vocabulary (notes of families it does not hold, drums outside its pitches,
// their prefixes) follow an OovRule:
//   Drop  the note or drum group is left out whole (with its onset and duration), a prefix alone;
//   Unk   the token becomes "<U>";
//   Zero  the token becomes ID 0, as encode() does (which is "<S>": for compatibility only).
// `oov` counts the tokens outside the vocabulary under every rule.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../base/result.hpp"
#include "../model/midi_dict.hpp"
#include "../tokenizer/abs_tokenizer.hpp"

namespace noteloom {

enum class OovRule : uint8_t { Drop, Unk, Zero };
// The rules' names, by code: what callers (the package's `oov=`, the command line's --oov) say.
inline constexpr std::array<std::string_view, 3> kOovRuleNames = {"drop", "unk", "zero"};
inline constexpr size_t kDefaultMaxTokens = size_t{1} << 20;

struct PipelineOptions {
  bool normalize = true;
  OovRule oov = OovRule::Drop;
  size_t max_tokens = kDefaultMaxTokens;  // a longer sequence fails the file
};

// The engine's options from the values callers give, and the one place they are checked:
// "threads must be at least 1", "oov must be one of drop, unk, zero, not 'X'", "max_tokens must
// not be negative".
Result<PipelineOptions> pipeline_options(int64_t threads, bool normalize, std::string_view oov, int64_t max_tokens);

struct EncodedPiece {
  std::vector<uint16_t> ids;
  uint64_t hash = 0;        // calculate_hash of the piece as loaded, before normalization
  uint32_t oov = 0;         // tokens outside the vocabulary
  uint32_t notes = 0;       // notes of the piece as loaded (drums included)
  uint32_t kept_notes = 0;  // note and drum groups in `ids` (one "<U>" or 0 in their place is not one)
};

// Errors, with their SkipKind: "Failed to load MIDI file: ..." (reading or parsing; an image in
// memory larger than kMaxFileBytes fails as a file that large does), the tokenizer's "Empty note
// messages after filtering", "Too many tokens: ... (limit ...)".
Result<EncodedPiece> encode_piece(const MidiDictRecord& piece, const AbsTokenizer& tok, const PipelineOptions& options);
Result<EncodedPiece> encode_midi_bytes(std::span<const uint8_t> bytes, const AbsTokenizer& tok,
                                       const PipelineOptions& options);
Result<EncodedPiece> encode_midi_file(const std::string& path, const AbsTokenizer& tok, const PipelineOptions& options);

}  // namespace noteloom
