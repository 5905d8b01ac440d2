// Augmentation of token sequences of the absolute tokenizer: transposition, velocity shifts, and
// tempo changes with optional shuffling of simultaneous events.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "abs_tokenizer.hpp"
#include "random.hpp"
#include "result.hpp"
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

}  // namespace noteloom
