#include "chunk_plan.hpp"

#include <string>

namespace noteloom {
namespace {

// The pieces of one sequence, tokens[begin, end), appended to `plan`.
Status plan_sequence(std::span<const uint16_t> tokens, int64_t begin, int64_t end, std::span<const uint8_t> group_start,
                     uint16_t bos, int64_t max_len, int64_t s, ChunkPlan& plan) {
  int64_t prefix = 0;
  for (int64_t i = begin; i < end; ++i) {
    if (tokens[i] == bos) {
      prefix = i + 1 - begin;
      break;
    }
  }
  plan.prefix.push_back(prefix);
  auto cuttable = [&](int64_t i) { return tokens[i] < group_start.size() && group_start[tokens[i]] != 0; };
  int64_t at = begin;             // where the next piece's own IDs start
  int64_t body = begin + prefix;  // a piece must hold IDs past here
  int64_t room = max_len;         // the first piece carries its prefix as its own IDs
  while (at < end) {
    int64_t stop = end;
    if (end - at > room) {
      stop = at + room;
      while (stop > body && !cuttable(stop)) --stop;
      if (stop <= body) {
        return Error{"sequence " + std::to_string(s) + ": its prefix of " + std::to_string(prefix) +
                     " IDs and its next group do not fit in max_len " + std::to_string(max_len)};
      }
    }
    plan.sequence.push_back(s);
    plan.start.push_back(at);
    plan.end.push_back(stop);
    at = body = stop;
    room = max_len - prefix;
  }
  return ok_status();
}

}  // namespace

Result<ChunkPlan> plan_chunks(std::span<const uint16_t> tokens, std::span<const int64_t> starts,
                              std::span<const int64_t> lengths, std::span<const uint8_t> group_start, uint16_t bos,
                              int64_t max_len) {
  if (starts.size() != lengths.size()) return Error{"starts and lengths differ in length"};
  if (max_len < 1) return Error{"max_len must be at least 1, not " + std::to_string(max_len)};
  ChunkPlan plan;
  plan.prefix.reserve(starts.size());
  const auto size = static_cast<int64_t>(tokens.size());
  for (size_t s = 0; s < starts.size(); ++s) {
    const int64_t begin = starts[s], length = lengths[s];
    if (begin < 0 || length < 0 || begin > size || length > size - begin) {
      return Error{"sequence " + std::to_string(s) + " lies outside the tokens"};
    }
    Status done =
        plan_sequence(tokens, begin, begin + length, group_start, bos, max_len, static_cast<int64_t>(s), plan);
    if (!done) return done.error();
  }
  return plan;
}

}  // namespace noteloom
