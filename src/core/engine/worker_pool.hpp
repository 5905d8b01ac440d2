// Threads kept from one batch to the next, so that each keeps its per-thread buffers (the loader's
// read buffer and note tables, the pipeline's scratch) instead of building them again per batch.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace noteloom {

class WorkerPool {
 public:
  // The process's pool, made on first use. A child made by fork() starts a new one: the parent's
  // threads do not exist there.
  static WorkerPool& shared();

  // Queues `copies` runs of `task` and makes sure there are threads to take them. Returns false
  // (queueing nothing) when no thread exists or can be started; the caller then does the work.
  bool run(size_t copies, const std::function<void()>& task);

 private:
  WorkerPool() = default;
  void serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  size_t threads_ = 0;
  size_t idle_ = 0;
};

}  // namespace noteloom
