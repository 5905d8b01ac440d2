#include "batch_encoder.hpp"

#include <algorithm>
#include <new>

#include "worker_pool.hpp"

namespace noteloom {

BatchJob::BatchJob(const std::vector<std::string>& paths, const AbsTokenizer& tok, const PipelineOptions& options,
                   unsigned threads, uint8_t* stop)
    : paths_(paths),
      tok_(tok),
      options_(options),
      results_(paths.size(), Result<EncodedPiece>(Error{})),
      stop_(stop) {
  const size_t wanted = std::min<size_t>(std::max(threads, 1u), std::max<size_t>(paths.size(), 1));
  running_ = wanted;
  on_pool_ = WorkerPool::shared().run(wanted, [this]() noexcept {
    work();
    std::lock_guard lock(mutex_);
    if (--running_ == 0) finished_.notify_all();
  });
  if (!on_pool_) running_ = 0;  // no thread to be had: wait_for() runs the batch on the caller
}

BatchJob::~BatchJob() {
  cancel();
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [this] { return running_ == 0; });  // the runs refer to this job
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
  if (!on_pool_) {
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
