// Where to cut token sequences into pieces for causal-LM training.
//
// A piece holds at most max_len IDs. It is cut only before a group start (a note or drum token,
// "<T>", "<D>" or "<E>": `group_start[id]` is nonzero for those IDs), never inside a note's group,
// and is filled as far as max_len allows. A sequence's prefix is its IDs up to and including its
// first "<S>" (none when it has no "<S>"); its first piece starts with them, and every later piece
// is read with them in front, so it counts them against max_len. Concatenating a sequence's pieces
// without the repeated prefixes gives the sequence back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../base/result.hpp"

namespace noteloom {

struct ChunkPlan {
  // Per piece: its sequence (counted from the first given), and the span of `tokens` it takes
  // after the prefix (the first piece of a sequence starts at the sequence's start, prefix included).
  std::vector<int64_t> sequence, start, end;
  // Per sequence: the length of its prefix.
  std::vector<int64_t> prefix;
};

// Sequence s is tokens[starts[s], starts[s] + lengths[s]). Fails, naming the sequence, when its
// prefix and one group do not fit in max_len, or when a span lies outside `tokens`.
Result<ChunkPlan> plan_chunks(std::span<const uint16_t> tokens, std::span<const int64_t> starts,
                              std::span<const int64_t> lengths, std::span<const uint8_t> group_start, uint16_t bos,
                              int64_t max_len);

}  // namespace noteloom
