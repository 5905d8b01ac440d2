#include "pedal.hpp"

#include <algorithm>

namespace noteloom {

PedalIntervalMap pedal_intervals(const MidiDictRecord& record) {
  std::vector<const PedalMessage*> pedals;
  pedals.reserve(record.pedal_msgs.size());
  for (const auto& p : record.pedal_msgs) pedals.push_back(&p);
  std::stable_sort(pedals.begin(), pedals.end(),
                   [](const PedalMessage* a, const PedalMessage* b) { return a->tick < b->tick; });

  PedalIntervalMap result;
  for (const auto& note : record.note_msgs) result.try_emplace(note.channel);

  std::unordered_map<int32_t, int32_t> down_since;  // channel -> tick the pedal went down
  for (const PedalMessage* p : pedals) {
    if (p->data == 1) {
      down_since.try_emplace(p->channel, p->tick);  // a repeated "down" keeps the first tick
    } else if (p->data == 0) {
      auto open = down_since.find(p->channel);
      if (open == down_since.end()) continue;
      result[p->channel].emplace_back(open->second, p->tick);
      down_since.erase(open);
    }
  }

  if (!record.note_msgs.empty()) {
    const int32_t last_end = record.note_msgs.back().end;
    for (const auto& [channel, down] : down_since) result[channel].emplace_back(down, last_end);
  }
  return result;
}

}  // namespace noteloom
