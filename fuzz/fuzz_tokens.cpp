// Fuzzes the token side. The input bytes spell a token sequence (special, prefix, note, drum,
// onset and duration tokens, their values mostly from the edges of their ranges) and the
// parameters of the three augmentations. Invariants: nothing crashes; every ID encode gives is in
// the vocabulary, for the input and each augmentation's output; decoding the IDs and encoding again
// gives the same IDs; the piece detokenize makes can be written and loaded again; and augment_ids
// on the input's IDs gives what the three augmentations give on the decoded tokens (each read back
// from its text form, as callers hold them), encoded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/smf/midi_loader.hpp"
#include "core/smf/midi_writer.hpp"
#include "core/tokenizer/abs_tokenizer.hpp"
#include "core/tokenizer/augment.hpp"

using namespace noteloom;

namespace {

// Reads the input a byte at a time; past its end every read is 0.
class Bytes {
 public:
  explicit Bytes(std::span<const uint8_t> data) : data_(data) {}
  bool empty() const { return pos_ >= data_.size(); }
  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  template <typename T, size_t N>
  T pick(const T (&options)[N]) {
    return options[byte() % N];
  }
  // Mostly a value from `edges`, sometimes any 16-bit value around them.
  int32_t value(std::span<const int32_t> edges) {
    const uint8_t b = byte();
    if (b < 224) return edges[b % edges.size()];
    return static_cast<int32_t>(static_cast<int16_t>(byte() | (byte() << 8)));
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// The tokenizer's own texts (as the tokens tokenize makes view them), equal texts elsewhere (as a
// caller's strings are) and texts of no token.
const std::string_view kSpecials[] = {kBosTok, kEosTok, kPadTok, kUnkTok, kDimTok, kTimeTok,
                                      "<S>",   "<E>",   "<T>",   "<X>",   ""};
constexpr std::string_view kPrefixes[] = {"prefix:instrument:piano", "prefix:instrument:guitar",
                                          "prefix:instrument:drum",  "prefix:instrument:bass",
                                          "prefix:composer:Orlane",  "prefix:genre:jazz",
                                          "prefix:form:fugue",       "prefix:x:y",
                                          "prefix:instrument:",      "::"};
constexpr std::string_view kInstruments[] = {"piano", "guitar", "drum", "bass", "", "Piano"};
constexpr int32_t kPitches[] = {0, 1, 60, 126, 127, 128, -1, 35, 81, 82, 34};
constexpr int32_t kVelocities[] = {0, 4, 8, 60, 120, 124, 125, 127, 128, -4, 3};
constexpr int32_t kTimes[] = {0, 10, 20, 4980, 4990, 4995, 5000, 5010, 5, -10, 15, 9990};

std::vector<Token> read_tokens(Bytes& in) {
  std::vector<Token> tokens;
  tokens.reserve(256);
  for (int n = 0; n < 256 && !in.empty(); ++n) {
    switch (in.byte() % 8) {
      case 0:
        tokens.push_back(Token::special(in.pick(kSpecials)));
        break;
      case 1:
        tokens.push_back(Token::prefix(in.pick(kPrefixes)));
        break;
      case 2:
      case 3:
        tokens.push_back(Token::note(in.pick(kInstruments), in.value(kPitches), in.value(kVelocities)));
        break;
      case 4:
        tokens.push_back(Token::drum(in.value(kPitches)));
        break;
      case 5:
      case 6:
        tokens.push_back(Token::onset(in.value(kTimes)));
        break;
      default:
        tokens.push_back(Token::dur(in.value(kTimes)));
        break;
    }
  }
  return tokens;
}

void check_ids(const AbsTokenizer& tok, std::span<const Token> tokens, bool round_trip) {
  const std::vector<int32_t> ids = tok.encode(tokens);
  for (int32_t id : ids) {
    if (id < 0 || static_cast<size_t>(id) >= tok.vocab_size()) __builtin_trap();
  }
  if (round_trip && tok.encode(tok.decode(ids)) != ids) __builtin_trap();
}

void check_piece(const AbsTokenizer& tok, std::span<const Token> tokens) {
  const MidiDictRecord piece = tok.detokenize(tokens);
  auto bytes = encode_midi_dict(piece);
  if (!bytes) __builtin_trap();
  if (!load_midi_bytes(bytes.value())) __builtin_trap();
}

// Every sequence's IDs are checked to be in range. The ID round trip and the written piece are
// checked for the sequences whose structure differs: the input, and the output of the tempo step
// (new time tokens); the pitch step's "<U>" tokens go through the piece check too.
void check(const AbsTokenizer& tok, std::span<const Token> tokens, bool round_trip, bool piece) {
  check_ids(tok, tokens, round_trip);
  if (piece) check_piece(tok, tokens);
}

// The three augmentations with fixed amounts on IDs, and through tokens: the same IDs.
void check_augment_ids(const AbsTokenizer& tok, std::span<const Token> tokens, int32_t pitch, int32_t step,
                       double tempo) {
  const std::vector<int32_t> ids = tok.encode(tokens);
  std::vector<Token> read;
  for (const Token& t : tok.decode(ids)) {
    const TokenText form = text_of(t);
    read.push_back(t.kind == TokenKind::Special ? t : token_from_text(form.text, form.first, form.second));
  }
  auto pitched = apply_pitch_aug(tok, std::move(read), 0, pitch);
  auto louder = apply_velocity_aug(tok, std::move(pitched.value()), 0, step);
  auto faster = apply_tempo_aug(tok, louder.value(), 0.0, false, tempo);
  const std::vector<int32_t> expected = tok.encode(faster.value());
  IdAugmentation how;
  how.pitch_aug = pitch, how.aug_step = step, how.tempo_aug = tempo;
  auto got = augment_ids(std::span<const int32_t>(ids), how);
  if (!got || !std::equal(got.value().begin(), got.value().end(), expected.begin(), expected.end())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const AbsTokenizer& tok = AbsTokenizer::shared();
  Bytes in({data, size});
  // The parameters first, so that the mutator moves them as often as the tokens.
  const int32_t max_pitch = in.byte() % 16 - 4;
  const int32_t pitch = static_cast<int8_t>(in.byte());
  const int32_t max_steps = in.byte() % 8 - 2;
  const int32_t step = static_cast<int8_t>(in.byte()) % 40;
  const double max_tempo = (in.byte() % 12) / 10.0;
  const double tempo = 0.05 + (in.byte() % 64) / 16.0;
  const uint8_t flags = in.byte();
  const std::vector<Token> tokens = read_tokens(in);
  check(tok, tokens, true, true);

  auto pitched = apply_pitch_aug(tok, tokens, max_pitch, flags & 1 ? std::optional(pitch) : std::nullopt);
  if (!pitched) __builtin_trap();
  check(tok, pitched.value(), false, true);
  auto louder = apply_velocity_aug(tok, tokens, max_steps, flags & 2 ? std::optional(step) : std::nullopt);
  if (!louder) __builtin_trap();
  check(tok, louder.value(), false, false);
  auto faster =
      apply_tempo_aug(tok, tokens, max_tempo, (flags & 4) != 0, flags & 8 ? std::optional(tempo) : std::nullopt);
  if (!faster) __builtin_trap();
  check(tok, faster.value(), true, true);
  check_augment_ids(tok, tokens, pitch, step, tempo);
  return 0;
}
