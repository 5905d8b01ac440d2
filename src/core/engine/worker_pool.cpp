#include "worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <thread>

namespace noteloom {
namespace {

std::atomic<WorkerPool*> g_pool{nullptr};

// In a forked child the pool's threads are gone and its lock may be held by one of them: the
// child leaves that pool alone (it is never freed) and makes its own on first use.
void forget_pool_in_child() { g_pool.store(nullptr, std::memory_order_relaxed); }

}  // namespace

WorkerPool& WorkerPool::shared() {
  if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
  auto* fresh = new WorkerPool();  // lives as long as the process: its threads never end
  WorkerPool* expected = nullptr;
  if (g_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *expected;
}

bool WorkerPool::run(size_t copies, const std::function<void()>& task) {
  std::lock_guard lock(mutex_);
  const size_t before = tasks_.size();
  try {
    for (size_t i = 0; i < copies; ++i) tasks_.push_back(task);
    while (idle_ < tasks_.size()) {  // a thread for every queued run
      std::thread([this] { serve(); }).detach();
      ++threads_;
      ++idle_;
    }
  } catch (...) {
    // Out of memory or threads: the threads there are take the queued runs, if there are any.
  }
  if (threads_ == 0) {
    tasks_.resize(before);
    return false;
  }
  wake_.notify_all();
  return true;
}

void WorkerPool::serve() {  // counted as idle from its start
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !tasks_.empty(); });
    --idle_;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();  // tasks catch everything themselves
    lock.lock();
    ++idle_;
  }
}

}  // namespace noteloom
