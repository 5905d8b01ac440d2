// Random generators for augmentation: xoshiro256**. The per-thread one is seeded from the
// operating system's entropy source on first use in each thread and re-seeded in a child after
// fork(), so that forked data-loader workers do not all draw the same sequence; a seeded one
// gives the same draws for the same seed, for runs that must repeat.
#pragma once

#include <cstdint>

#include "result.hpp"

namespace noteloom {

class Rng {
 public:
  // The calling thread's generator. Fails only if the OS entropy source cannot be read.
  static Result<Rng*> for_this_thread();
  // A generator of its own whose state follows from `seed` (through SplitMix64).
  static Rng seeded(uint64_t seed);

  uint64_t next_u64();
  // Uniform over the closed range [low, high]; requires low <= high. Unbiased (Lemire's method).
  uint64_t uniform_u64(uint64_t low, uint64_t high);
  int32_t uniform_i32(int32_t low, int32_t high);
  // Uniform over the closed interval [low, high]; fails when the width is not finite.
  Result<double> uniform_closed(double low, double high);

 private:
  Status reseed();
  uint64_t s_[4] = {0, 0, 0, 0};
  uint64_t fork_generation_ = ~uint64_t{0};
};

}  // namespace noteloom
