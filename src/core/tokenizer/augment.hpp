// Augmentation of token sequences of the absolute tokenizer: transposition, velocity shifts, and
// tempo changes with optional shuffling of simultaneous events.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../base/random.hpp"
#include "../base/result.hpp"
#include "abs_tokenizer.hpp"
#include "token.hpp"

namespace noteloom {

// Shifts every note token's pitch by `pitch_aug`, or by a uniform draw from
// [-max_pitch_aug, max_pitch_aug] when it is absent (0 when the maximum is <= 0). Notes leaving
// 0..127 become the unknown token.
Result<std::vector<Token>> apply_pitch_aug(const AbsTokenizer& tok, std::vector<Token> tokens, int32_t max_pitch_aug,
                                           std::optional<int32_t> pitch_aug);

// Shifts every note token's velocity by `aug_step` velocity steps (or a uniform draw from
// [-max_num_aug_steps, max_num_aug_steps]), then clamps to [velocity_step, max_velocity].
Result<std::vector<Token>> apply_velocity_aug(const AbsTokenizer& tok, std::vector<Token> tokens,
                                              int32_t max_num_aug_steps, std::optional<int32_t> aug_step);

// Scales every event time and duration by `tempo_aug` (or a factor drawn from
// [1 - max_tempo_aug, 1 + max_tempo_aug]), re-quantizes, regenerates time tokens and, with
// `mixup`, shuffles events that start at the same moment. Unrecognised tokens are dropped.
// Fails only when a random draw fails (no entropy, or an interval whose width is not finite).
Result<std::vector<Token>> apply_tempo_aug(const AbsTokenizer& tok, const std::vector<Token>& tokens,
                                           double max_tempo_aug, bool mixup, std::optional<double> tempo_aug);

// The three augmentations in turn (pitch, velocity, tempo) on token IDs, with no token objects: the
// result is, ID for ID, what encoding the three functions above applied to the decoded IDs gives,
// each ID read as the text form of its token reads back (so a note of the instrument "drum" is a
// drum hit, and an ID outside the vocabulary is "<U>"). Random amounts come from the same per-thread
// generator, drawn in the same order. Fails only when a random draw fails.
struct IdAugmentation {
  int32_t max_pitch_aug = 0;
  std::optional<int32_t> pitch_aug;
  int32_t max_num_aug_steps = 0;
  std::optional<int32_t> aug_step;
  double max_tempo_aug = 0.0;
  bool mixup = false;
  std::optional<double> tempo_aug;
  std::optional<uint64_t> seed;             // draws from a generator of this seed instead of the thread's
  const AbsTokenizer* tokenizer = nullptr;  // whose IDs these are; null: the built-in tokenizer's
};

// One overload per integer type an ID array may come in.
Result<std::vector<uint16_t>> augment_ids(std::span<const uint8_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const int8_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const uint16_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const int16_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const uint32_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const int32_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const uint64_t> ids, const IdAugmentation& how);
Result<std::vector<uint16_t>> augment_ids(std::span<const int64_t> ids, const IdAugmentation& how);

}  // namespace noteloom
