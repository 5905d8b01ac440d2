#include "batch_encoder.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>

namespace noteloom {

std::vector<Result<EncodedPiece>> encode_batch(const std::vector<std::string>& paths, const AbsTokenizer& tok,
                                               const PipelineOptions& options, unsigned threads) {
  std::vector<Result<EncodedPiece>> results(paths.size(), Result<EncodedPiece>(Error{}));
  std::atomic<size_t> next{0};
  // Nothing may leave a worker: one file's failure is that file's result.
  auto work = [&]() noexcept {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < paths.size();) {
      try {
        results[i] = encode_midi_file(paths[i], tok, options);
      } catch (const std::bad_alloc&) {
        results[i] = Error{"out of memory"};
      } catch (...) {
        results[i] = Error{"internal error"};
      }
    }
  };
  const size_t helpers = std::min<size_t>(std::max(threads, 1u), std::max<size_t>(paths.size(), 1)) - 1;
  std::vector<std::thread> pool;
  try {
    pool.reserve(helpers);
    for (size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  } catch (...) {
    // No more threads to be had: the ones running (and this one) finish the batch.
  }
  work();
  for (auto& t : pool) t.join();
  return results;
}

}  // namespace noteloom
