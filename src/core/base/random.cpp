#include "random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

namespace noteloom {
namespace {

// Bumped in the child after every fork(); each thread's generator re-seeds when it sees a new value.
std::atomic<uint64_t> fork_generation{0};

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

void register_fork_handler() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, on_fork_child); });
}

bool fill_from_os(void* buf, size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    const ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Result<Rng*> Rng::for_this_thread() {
  thread_local Rng rng;
  register_fork_handler();
  const uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (rng.fork_generation_ != generation) {
    if (Status s = rng.reseed(); !s) return s.error();
    rng.fork_generation_ = generation;
  }
  return &rng;
}

Rng Rng::seeded(uint64_t seed) {
  Rng rng;
  for (uint64_t& word : rng.s_) {  // SplitMix64: never the all-zero state
    seed += 0x9E3779B97F4A7C15ull;
    uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    word = z ^ (z >> 31);
  }
  return rng;
}

Status Rng::reseed() {
  do {
    if (!fill_from_os(s_, sizeof s_)) {
      return Error{std::string("could not seed the random generator: ") + std::strerror(errno)};
    }
  } while ((s_[0] | s_[1] | s_[2] | s_[3]) == 0);  // the all-zero state is a fixed point
  return ok_status();
}

uint64_t Rng::next_u64() {
  const uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
  const uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = std::rotl(s_[3], 45);
  return result;
}

uint64_t Rng::uniform_u64(uint64_t low, uint64_t high) {
  const uint64_t range = high - low + 1;  // 0 means the full 2^64 range
  if (range == 0) return next_u64();
  // Lemire: multiply into 128 bits, reject the few low products that would bias the result.
  unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * range;
  uint64_t l = static_cast<uint64_t>(m);
  if (l < range) {
    const uint64_t threshold = (0 - range) % range;
    while (l < threshold) {
      m = static_cast<unsigned __int128>(next_u64()) * range;
      l = static_cast<uint64_t>(m);
    }
  }
  return low + static_cast<uint64_t>(m >> 64);
}

int32_t Rng::uniform_i32(int32_t low, int32_t high) {
  const uint64_t span = static_cast<uint64_t>(int64_t{high} - int64_t{low});
  return static_cast<int32_t>(int64_t{low} + static_cast<int64_t>(uniform_u64(0, span)));
}

Result<double> Rng::uniform_closed(double low, double high) {
  const double width = high - low;
  if (!std::isfinite(low) || !std::isfinite(high) || !std::isfinite(width) || width < 0) {
    return Error{"Uniform::new_inclusive called with a range whose width is not finite"};
  }
  // 53 random bits over 2^53 - 1 steps covers [0, 1] with both ends included.
  const double u = static_cast<double>(next_u64() >> 11) / 9007199254740991.0;
  const double x = low + width * u;
  return x > high ? high : x;
}

}  // namespace noteloom
