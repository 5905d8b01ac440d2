// Encodes batches of MIDI files (paths, or file images in memory) on a pool of threads. Each
// file's result lands in the slot of its input position, so results come back in input order whatever the threads'
// timing; a file that fails is a failed result in its slot and never stops the batch.
//
// An EncodeStream takes batches one after another and works on them with at most `threads` runs
// of the process's worker pool (threads kept between batches). A run that finds the oldest batch
// fully taken goes straight on to the next one queued, so with a batch queued behind the one in
// flight the threads never wait while the caller collects results and queues more. The caller
// waits in short slices and can look for interrupts between them; cancel(), or a nonzero byte at
// `stop` (a flag the caller may set from any thread), makes the runs stop after the file each is
// on (the files not started get the error "cancelled").
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "../archive/archive_reader.hpp"
#include "encode_pipeline.hpp"

namespace noteloom {

// One input: a file to read, or a file image in memory that the caller keeps alive (and
// unchanged) until next() has returned its batch, possibly an archive member still packed
// (archive_reader.hpp: unpacked, and checked, by the run that encodes it).
struct EncodeInput {
  EncodeInput(std::string file) : path(std::move(file)) {}             // NOLINT: a path is an input
  EncodeInput(std::span<const uint8_t> image, MemberPacking how = {})  // NOLINT
      : bytes(image), packing(how), in_memory(true) {}
  std::string path;
  std::span<const uint8_t> bytes;
  MemberPacking packing;
  bool in_memory = false;
};

class EncodeStream {
 public:
  EncodeStream(const AbsTokenizer& tok, const PipelineOptions& options, unsigned threads, uint8_t* stop = nullptr);
  ~EncodeStream();  // cancels and waits for the runs
  EncodeStream(const EncodeStream&) = delete;
  EncodeStream& operator=(const EncodeStream&) = delete;

  // Queues a batch behind the ones queued before.
  void submit(std::vector<EncodeInput> inputs);
  // Batches submitted and not yet taken by next().
  size_t queued() const;
  // Waits at most `timeout` for the oldest queued batch to have every result; when it has, moves
  // them into `out` (in input order), sets `seconds` to the time from its first file taken to its
  // last result, drops the batch and returns true. With nothing queued, true and no results. When
  // the pool has no thread to give, the batch runs here, on the caller.
  bool next(std::chrono::milliseconds timeout, std::vector<Result<EncodedPiece>>& out, double& seconds);
  void cancel() noexcept;

 private:
  struct Batch {
    std::vector<EncodeInput> inputs;
    std::vector<Result<EncodedPiece>> results;
    size_t taken = 0;  // files handed to a run
    size_t done = 0;   // results stored
    std::chrono::steady_clock::time_point started, finished;
  };
  void run() noexcept;  // one run: files from the oldest batch with files left, until none is
  bool stopping() const noexcept;

  const AbsTokenizer& tok_;
  const PipelineOptions options_;
  const unsigned threads_;
  uint8_t* const stop_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;             // a result stored or a run ended
  std::deque<std::unique_ptr<Batch>> batches_;  // oldest first; a run holds a batch only while it is queued
  unsigned runs_ = 0;                           // runs started and not ended
  bool cancelled_ = false;
  bool inline_ = false;  // the pool had no thread: next() runs the files
};

}  // namespace noteloom
