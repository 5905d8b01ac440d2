#include "pedal.hpp"

#include "../base/stable_sort.hpp"

namespace noteloom {

PedalIntervalMap pedal_intervals(std::span<const PedalMessage* const> pedals, std::optional<int32_t> last_end) {
  std::vector<const PedalMessage*> by_tick(pedals.begin(), pedals.end());
  stable_sort_by_key(by_tick, [](const PedalMessage* p) { return p->tick; });

  PedalIntervalMap result;
  std::unordered_map<int32_t, int32_t> down_since;  // channel -> tick the pedal went down
  for (const PedalMessage* p : by_tick) {
    if (p->data == 1) {
      down_since.try_emplace(p->channel, p->tick);  // a repeated "down" keeps the first tick
    } else if (p->data == 0) {
      auto open = down_since.find(p->channel);
      if (open == down_since.end()) continue;
      result[p->channel].emplace_back(open->second, p->tick);
      down_since.erase(open);
    }
  }
  if (last_end) {
    for (const auto& [channel, down] : down_since) result[channel].emplace_back(down, *last_end);
  }
  return result;
}

PedalIntervalMap pedal_intervals(const MidiDictRecord& record) {
  std::vector<const PedalMessage*> pedals;
  pedals.reserve(record.pedal_msgs.size());
  for (const auto& p : record.pedal_msgs) pedals.push_back(&p);
  std::optional<int32_t> last_end;
  if (!record.note_msgs.empty()) last_end = record.note_msgs.back().end;
  PedalIntervalMap result = pedal_intervals(pedals, last_end);
  for (const auto& note : record.note_msgs) result.try_emplace(note.channel);
  return result;
}

}  // namespace noteloom
