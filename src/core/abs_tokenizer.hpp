// The absolute tokenizer: notes become (instrument, pitch, velocity), onset and duration tokens in
// absolute milliseconds, with a time token "<T>" for every passing segment of abs_time_step_ms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.hpp"
#include "instruments.hpp"
#include "midi_dict.hpp"
#include "result.hpp"
#include "token.hpp"
#include "tokenizer.hpp"

namespace noteloom {

inline constexpr const char* kEmptyNoteMessages = "Empty note messages after filtering";

class AbsTokenizer {
 public:
  AbsTokenizer();

  const AbsTokenizerConfig& config() const { return config_; }
  const std::string& name() const { return name_; }
  const std::vector<std::string>& instruments_wd() const { return instruments_wd_; }
  const TokenizerCore& core() const { return core_; }
  size_t vocab_size() const { return core_.vocab().size(); }
  int32_t quantize_velocity(int32_t v) const { return core_.quantize_velocity(v); }

  // Fails only with kEmptyNoteMessages when no note is left after instrument filtering.
  Result<std::vector<Token>> tokenize(MidiDictRecord piece) const;
  // Never fails: malformed or unknown tokens are skipped.
  MidiDictRecord detokenize(const std::vector<Token>& tokens) const;

  // ID of a token, or nothing when it is not in the vocabulary. Note, drum, onset and duration
  // tokens are located by arithmetic on the block layout, without hashing.
  std::optional<int32_t> id_of(const Token& t) const;
  // ID of the unknown token "<U>".
  int32_t unk_id() const { return unk_id_; }

  // Tokens outside the vocabulary encode as 0. (Decoding is a plain index into the vocabulary,
  // with unk_id() for IDs outside it.)
  std::vector<int32_t> encode(const std::vector<Token>& tokens) const;

 private:
  AbsTokenizerConfig config_;
  std::string name_ = "abs";
  std::vector<int32_t> onset_grid_;
  std::vector<int32_t> dur_grid_;
  std::vector<std::string> instruments_nd_;
  std::vector<std::string> instruments_wd_;
  IgnoreMap ignore_map_;
  TokenizerCore core_;
  int32_t unk_id_ = 0;

  // First IDs of the regular blocks; `valid` only when every entry of those blocks sits where the
  // arithmetic says (checked at construction), otherwise lookups fall back to the hash map.
  struct BlockLayout {
    bool valid = false;
    int32_t note = 0, drum = 0, dur = 0, onset = 0;
  } layout_;
  void compute_layout();
};

}  // namespace noteloom
