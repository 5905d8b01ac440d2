#include "batch_encoder.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "worker_pool.hpp"

namespace noteloom {
namespace {

Result<EncodedPiece> encode_input(const EncodeInput& input, const AbsTokenizer& tok, const PipelineOptions& options) {
  if (!input.in_memory) return encode_midi_file(input.path, tok, options);
  if (input.packing.packing == Packing::Plain) return encode_midi_bytes(input.bytes, tok, options);
  // Held by pointer, as the pipeline's scratch is: the run's storage for unpacked members.
  static thread_local std::unique_ptr<std::vector<uint8_t>> unpacked = std::make_unique<std::vector<uint8_t>>();
  Status s = unpack_member(input.bytes, input.packing, *unpacked);
  Result<EncodedPiece> result = s ? encode_midi_bytes(*unpacked, tok, options) : Result<EncodedPiece>(s.error());
  if (unpacked->capacity() > (size_t{16} << 20)) *unpacked = {};  // a rare large member keeps nothing
  return result;
}

}  // namespace

EncodeStream::EncodeStream(const AbsTokenizer& tok, const PipelineOptions& options, unsigned threads, uint8_t* stop)
    : tok_(tok), options_(options), threads_(std::max(threads, 1u)), stop_(stop) {}

EncodeStream::~EncodeStream() {
  cancel();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return runs_ == 0; });  // the runs refer to this stream
}

void EncodeStream::cancel() noexcept {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
}

bool EncodeStream::stopping() const noexcept {
  return stop_ != nullptr && std::atomic_ref<uint8_t>(*stop_).load(std::memory_order_relaxed) != 0;
}

void EncodeStream::submit(std::vector<EncodeInput> inputs) {
  auto batch = std::make_unique<Batch>();
  batch->results.assign(inputs.size(), Result<EncodedPiece>(Error{}));
  batch->inputs = std::move(inputs);
  std::lock_guard lock(mutex_);
  size_t untaken = 0;
  for (const auto& b : batches_) untaken += b->inputs.size() - b->taken;
  untaken += batch->inputs.size();
  batches_.push_back(std::move(batch));
  if (inline_) return;
  // One run per file at most: a small batch does not wake threads that would find nothing.
  const size_t wanted = std::min<size_t>(threads_, untaken);
  if (runs_ >= wanted) return;
  const size_t start = wanted - runs_;
  if (WorkerPool::shared().run(start, [this]() noexcept { run(); })) {
    runs_ += static_cast<unsigned>(start);
  } else if (runs_ == 0) {
    inline_ = true;
  }
}

size_t EncodeStream::queued() const {
  std::lock_guard lock(mutex_);
  return batches_.size();
}

void EncodeStream::run() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto open =
        std::find_if(batches_.begin(), batches_.end(), [](const auto& b) { return b->taken < b->inputs.size(); });
    if (open == batches_.end()) break;
    Batch& batch = **open;  // stays queued until its last result is stored
    const size_t i = batch.taken++;
    if (i == 0) batch.started = std::chrono::steady_clock::now();
    const bool skip = cancelled_ || stopping();
    lock.unlock();
    // Nothing may leave a run: one file's failure is that file's result.
    Result<EncodedPiece> result = Error{"cancelled", SkipKind::Cancelled};
    if (!skip) {
      try {
        result = encode_input(batch.inputs[i], tok_, options_);
      } catch (const std::bad_alloc&) {
        result = Error{"out of memory", SkipKind::Internal};
      } catch (...) {
        result = Error{"internal error", SkipKind::Internal};
      }
    }
    lock.lock();
    batch.results[i] = std::move(result);
    if (++batch.done == batch.inputs.size()) {
      batch.finished = std::chrono::steady_clock::now();
      changed_.notify_all();
    }
  }
  if (!inline_) --runs_;
  changed_.notify_all();
}

bool EncodeStream::next(std::chrono::milliseconds timeout, std::vector<Result<EncodedPiece>>& out, double& seconds) {
  std::unique_lock lock(mutex_);
  seconds = 0.0;
  if (batches_.empty()) {
    out.clear();
    return true;
  }
  if (inline_) {
    lock.unlock();
    run();
    lock.lock();
  }
  const auto complete = [this] { return batches_.front()->done == batches_.front()->inputs.size(); };
  if (!changed_.wait_for(lock, timeout, complete)) return false;
  const Batch& done = *batches_.front();
  if (!done.inputs.empty()) seconds = std::chrono::duration<double>(done.finished - done.started).count();
  out = std::move(batches_.front()->results);
  batches_.pop_front();
  return true;
}

}  // namespace noteloom
