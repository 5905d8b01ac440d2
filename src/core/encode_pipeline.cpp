#include "encode_pipeline.hpp"

#include <string_view>
#include <unordered_map>

#include "midi_loader.hpp"
#include "normalize.hpp"

namespace noteloom {
namespace {

constexpr const char* kLoadFailed = "Failed to load MIDI file: ";

NormalizeOptions normalize_options(const AbsTokenizer& tok) {
  const auto& c = tok.config();
  NormalizeOptions o;
  o.ignore_instruments = c.ignore_instruments;
  o.instrument_programs = {c.instrument_programs.begin(), c.instrument_programs.end()};
  o.time_step_ms = c.time_step_ms;
  o.max_duration_ms = c.max_dur_ms;  // the largest value of the duration grid
  o.drum_velocity = c.drum_velocity;
  return o;
}

// IDs of `tokens` under `rule`, appended to `out`; returns the number outside the vocabulary.
uint32_t encode_tokens(const std::vector<Token>& tokens, const AbsTokenizer& tok, OovRule rule,
                       std::vector<uint16_t>& out) {
  uint32_t oov = 0;
  out.reserve(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    const int32_t id = tok.find_id(t);
    if (id >= 0) {
      out.push_back(static_cast<uint16_t>(id));
      continue;
    }
    ++oov;
    switch (rule) {
      case OovRule::Zero:
        out.push_back(0);
        break;
      case OovRule::Unk:
        out.push_back(static_cast<uint16_t>(tok.unk_id()));
        break;
      case OovRule::Drop:
        // A note group is (note, onset, dur), a drum group (drum, onset): leave out the rest too.
        if ((t.kind == TokenKind::Note || t.kind == TokenKind::Drum) && i + 1 < tokens.size() &&
            tokens[i + 1].kind == TokenKind::Onset) {
          ++i;
          if (t.kind == TokenKind::Note && i + 1 < tokens.size() && tokens[i + 1].kind == TokenKind::Dur) ++i;
        }
        break;
    }
  }
  return oov;
}

}  // namespace

Result<EncodedPiece> encode_piece(const MidiDictRecord& piece, const AbsTokenizer& tok, const PipelineOptions& options) {
  EncodedPiece out;
  out.hash = calculate_hash(piece);
  Result<std::vector<Token>> tokens = Error{};
  if (options.normalize) {
    const MidiDictRecord normalized = normalize_midi_dict(
        piece, normalize_options(tok), [&tok](int32_t v) -> std::optional<int32_t> { return tok.quantize_velocity(v); });
    tokens = tok.tokenize(normalized);
  } else {
    tokens = tok.tokenize(piece);
  }
  if (!tokens) return tokens.error();
  out.oov = encode_tokens(tokens.value(), tok, options.oov, out.ids);
  if (out.ids.size() > options.max_tokens) {
    return Error{"Too many tokens: " + std::to_string(out.ids.size()) + " (limit " + std::to_string(options.max_tokens) +
                 ")"};
  }
  return out;
}

Result<EncodedPiece> encode_midi_bytes(std::span<const uint8_t> bytes, const AbsTokenizer& tok,
                                       const PipelineOptions& options) {
  auto piece = load_midi_bytes(bytes);
  if (!piece) return Error{kLoadFailed + piece.error().message};
  return encode_piece(piece.value(), tok, options);
}

Result<EncodedPiece> encode_midi_file(const std::string& path, const AbsTokenizer& tok, const PipelineOptions& options) {
  auto piece = load_midi_file(path, LoadedPath::Omitted);
  if (!piece) return Error{kLoadFailed + piece.error().message};
  return encode_piece(piece.value(), tok, options);
}

}  // namespace noteloom
