#include "batch_encoder.hpp"

#include <algorithm>
#include <new>

namespace noteloom {

BatchJob::BatchJob(const std::vector<std::string>& paths, const AbsTokenizer& tok, const PipelineOptions& options,
                   unsigned threads, uint8_t* stop)
    : paths_(paths),
      tok_(tok),
      options_(options),
      results_(paths.size(), Result<EncodedPiece>(Error{})),
      stop_(stop) {
  const size_t wanted = std::min<size_t>(std::max(threads, 1u), std::max<size_t>(paths.size(), 1));
  try {
    pool_.reserve(wanted);
    for (size_t t = 0; t < wanted; ++t) {
      {
        std::lock_guard lock(mutex_);
        ++running_;
      }
      try {
        pool_.emplace_back([this] {
          work();
          std::lock_guard lock(mutex_);
          if (--running_ == 0) finished_.notify_all();
        });
      } catch (...) {
        std::lock_guard lock(mutex_);
        --running_;
        throw;
      }
    }
  } catch (...) {
    // No more threads to be had: the ones running finish the batch (or the caller, if none runs).
  }
}

BatchJob::~BatchJob() {
  cancel();
  for (auto& t : pool_) t.join();
}

void BatchJob::work() noexcept {
  // Nothing may leave a worker: one file's failure is that file's result.
  for (size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < paths_.size();) {
    if (stopping()) {
      results_[i] = Error{"cancelled"};
      continue;
    }
    try {
      results_[i] = encode_midi_file(paths_[i], tok_, options_);
    } catch (const std::bad_alloc&) {
      results_[i] = Error{"out of memory"};
    } catch (...) {
      results_[i] = Error{"internal error"};
    }
  }
}

bool BatchJob::stopping() const noexcept {
  return cancelled_.load(std::memory_order_relaxed) ||
         (stop_ != nullptr && std::atomic_ref<uint8_t>(*stop_).load(std::memory_order_relaxed) != 0);
}

bool BatchJob::wait_for(std::chrono::milliseconds timeout) {
  if (pool_.empty()) {
    work();
    return true;
  }
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

std::vector<Result<EncodedPiece>> encode_batch(const std::vector<std::string>& paths, const AbsTokenizer& tok,
                                               const PipelineOptions& options, unsigned threads) {
  BatchJob job(paths, tok, options, threads);
  while (!job.wait_for(std::chrono::seconds(1))) {
  }
  return job.take_results();
}

}  // namespace noteloom
