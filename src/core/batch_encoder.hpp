// Encodes a batch of MIDI files on a pool of threads. Each file's result lands in the slot of its
// input position, so results come back in input order whatever the threads' timing; a file that
// fails is a failed result in its slot and never stops the batch.
//
// A BatchJob runs on the process's worker pool (threads kept between batches), so the thread that started it stays free to wait in short
// slices and look for interrupts between them; cancel(), or a nonzero byte at `stop` (a flag the
// caller may set from any thread), makes the workers stop after the file each is on (the files not
// started get the error "cancelled").
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "encode_pipeline.hpp"

namespace noteloom {

class BatchJob {
 public:
  // Starts `threads` runs on the pool (at least one, at most one per file). When no thread can be
  // had, the batch runs on the caller in wait_for().
  BatchJob(const std::vector<std::string>& paths, const AbsTokenizer& tok, const PipelineOptions& options,
           unsigned threads, uint8_t* stop = nullptr);
  ~BatchJob();  // cancels and joins
  BatchJob(const BatchJob&) = delete;
  BatchJob& operator=(const BatchJob&) = delete;

  // True once every file has its result; waits at most `timeout` for that.
  bool wait_for(std::chrono::milliseconds timeout);
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  // The results, in input order; call after wait_for() returned true.
  std::vector<Result<EncodedPiece>> take_results() { return std::move(results_); }

 private:
  void work() noexcept;
  bool stopping() const noexcept;

  const std::vector<std::string>& paths_;
  const AbsTokenizer& tok_;
  const PipelineOptions options_;
  std::vector<Result<EncodedPiece>> results_;
  std::atomic<size_t> next_{0};
  std::atomic<bool> cancelled_{false};
  uint8_t* const stop_;
  std::mutex mutex_;
  std::condition_variable finished_;
  size_t running_ = 0;  // runs on the pool not yet finished, under mutex_
  bool on_pool_ = false;
};

// The whole batch on `threads` workers, waiting for it without interruption.
std::vector<Result<EncodedPiece>> encode_batch(const std::vector<std::string>& paths, const AbsTokenizer& tok,
                                               const PipelineOptions& options, unsigned threads);

}  // namespace noteloom
