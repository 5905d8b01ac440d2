#include "instruments.hpp"

#include <algorithm>
#include <array>
#include <bitset>

namespace noteloom {
namespace {

constexpr std::array<std::string_view, 16> kFamilies = {
    "piano", "chromatic", "organ",      "guitar",    "bass",         "strings", "ensemble",   "brass",
    "reed",  "pipe",      "synth_lead", "synth_pad", "synth_effect", "ethnic",  "percussive", "sfx"};

template <typename Vec, typename Pred>
void erase_where(Vec& v, Pred pred) {
  v.erase(std::remove_if(v.begin(), v.end(), pred), v.end());
}

}  // namespace

std::optional<std::string_view> program_family(int32_t program) {
  const auto p = static_cast<uint32_t>(program);  // negative programs are out of range too
  if (p >= 128) return std::nullopt;
  return kFamilies[p / 8];
}

std::unordered_set<int32_t> ignored_channels(const MidiDictRecord& record, const IgnoreMap& ignore) {
  std::unordered_set<int32_t> channels;
  std::bitset<128> ignored_programs;
  for (size_t family = 0; family < kFamilies.size(); ++family) {
    auto it = ignore.find(std::string(kFamilies[family]));
    if (it == ignore.end() || !it->second) continue;
    for (size_t p = family * 8; p < family * 8 + 8; ++p) ignored_programs.set(p);
  }
  if (ignored_programs.none()) return channels;
  for (const auto& m : record.instrument_msgs) {
    const auto p = static_cast<uint32_t>(m.data);
    if (p < 128 && ignored_programs.test(p)) channels.insert(m.channel);
  }
  channels.erase(kDrumChannel);
  return channels;
}

void remove_instruments(MidiDictRecord& record, const IgnoreMap& ignore) {
  const auto channels = ignored_channels(record, ignore);
  if (channels.empty()) return;
  auto on_removed = [&](const auto& m) { return channels.count(m.channel) != 0; };
  erase_where(record.note_msgs, on_removed);
  erase_where(record.instrument_msgs, on_removed);
  erase_where(record.pedal_msgs, on_removed);
}

}  // namespace noteloom
