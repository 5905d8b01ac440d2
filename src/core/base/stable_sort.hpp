// Stable sort by a 32-bit integer key, linear in the number of elements.
//
// Records arrive grouped by track, each group already in key order, so most inputs are sorted and
// cost one scan. A few records are sorted by insertion; the rest go through an LSD radix sort over the key's four
// bytes, which skips every byte all keys share (for the tick ranges of real files, two passes). The result equals
// std::stable_sort by the key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace noteloom {

// `scratch` is working storage; passing the same vector again saves an allocation.
template <typename T, typename Key>
void stable_sort_by_key(std::vector<T>& v, Key key, std::vector<T>& scratch) {
  const size_t n = v.size();
  size_t i = 1;
  while (i < n && !(key(v[i]) < key(v[i - 1]))) ++i;
  if (i >= n) return;
  if (n <= 32) {  // a few records: insertion from the first out of order, cheaper than the counts
    for (; i < n; ++i) {
      T x = std::move(v[i]);
      const auto k = key(x);
      size_t j = i;
      for (; j > 0 && k < key(v[j - 1]); --j) v[j] = std::move(v[j - 1]);
      v[j] = std::move(x);
    }
    return;
  }

  auto digits = [&key](const T& x) { return static_cast<uint32_t>(key(x)) ^ 0x80000000u; };  // order as unsigned
  std::array<std::array<size_t, 256>, 4> counts{};
  for (const T& x : v) {
    const uint32_t d = digits(x);
    for (int b = 0; b < 4; ++b) ++counts[b][(d >> (8 * b)) & 0xFF];
  }
  const uint32_t first = digits(v[0]);
  scratch.resize(n);
  std::vector<T>* src = &v;
  std::vector<T>* dst = &scratch;
  for (int b = 0; b < 4; ++b) {
    auto& count = counts[b];
    if (count[(first >> (8 * b)) & 0xFF] == n) continue;  // every key has this byte
    size_t offset = 0;
    for (size_t& c : count) offset += std::exchange(c, offset);
    for (T& x : *src) (*dst)[count[(digits(x) >> (8 * b)) & 0xFF]++] = std::move(x);
    std::swap(src, dst);
  }
  if (src != &v) v.swap(scratch);
}

template <typename T, typename Key>
void stable_sort_by_key(std::vector<T>& v, Key key) {
  std::vector<T> scratch;
  stable_sort_by_key(v, key, scratch);
}

// Stable sort by the `tick` member.
template <typename T>
void stable_sort_by_tick(std::vector<T>& v) {
  stable_sort_by_key(v, [](const T& x) { return x.tick; });
}

}  // namespace noteloom
