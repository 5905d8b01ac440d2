#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "core/base/rounding.hpp"
#include "core/model/midi_dict.hpp"
#include "core/model/normalize.hpp"
#include "core/model/tempo_map.hpp"

using namespace noteloom;

namespace {

TempoMessage tempo(int32_t data, int32_t tick) {
  TempoMessage m;
  m.data = data;
  m.tick = tick;
  return m;
}

// Draws from the raw engine output only, so the cases are the same with every standard library.
struct Draw {
  std::mt19937_64 rng{20240611};
  uint64_t bits() { return rng(); }
  int64_t in(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(bits() % static_cast<uint64_t>(hi - lo + 1)); }
  int32_t any_i32() { return static_cast<int32_t>(static_cast<uint32_t>(bits())); }
  template <class T>
  T pick(std::initializer_list<T> options) {
    return options.begin()[in(0, static_cast<int64_t>(options.size()) - 1)];
  }
};

int32_t random_tick(Draw& d, int style) {
  switch (style) {
    case 0:
      return static_cast<int32_t>(d.in(0, 5000));
    case 1:
      return static_cast<int32_t>(d.in(0, 8));  // many duplicates
    case 2:
      return static_cast<int32_t>(d.in(-3000, 3000));
    default:
      return d.pick<int32_t>({INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX, d.any_i32()});
  }
}

std::vector<TempoMessage> random_tempos(Draw& d) {
  const int style = static_cast<int>(d.in(0, 3));
  const size_t n = static_cast<size_t>(d.pick<int64_t>({0, 1, 2, 3, d.in(4, 12), d.in(13, 60)}));
  std::vector<TempoMessage> tempos(n);
  const bool one_apart = d.in(0, 5) == 0;
  const int32_t base = static_cast<int32_t>(d.in(-5, 5));
  for (size_t i = 0; i < n; ++i) {
    tempos[i].tick = one_apart ? base + static_cast<int32_t>(i) : random_tick(d, style);
    tempos[i].data = d.pick<int32_t>(
        {500000, 0, -1, 1, -500000, INT32_MAX, INT32_MIN, static_cast<int32_t>(d.in(1, 2000000)), d.any_i32()});
  }
  if (d.in(0, 2) == 0) {
    std::sort(tempos.begin(), tempos.end(), [](const auto& a, const auto& b) { return a.tick < b.tick; });
  }
  return tempos;
}

int32_t random_query(Draw& d, const std::vector<TempoMessage>& tempos) {
  if (!tempos.empty() && d.in(0, 1) == 0) {
    const int64_t t = tempos[static_cast<size_t>(d.in(0, static_cast<int64_t>(tempos.size()) - 1))].tick + d.in(-2, 2);
    return static_cast<int32_t>(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX));
  }
  return d.pick<int32_t>({0, INT32_MIN, INT32_MAX, -1, 1, static_cast<int32_t>(d.in(-6000, 6000)), d.any_i32()});
}

}  // namespace

TEST(TempoMap, MatchesElapsedMsOnRandomTempoLists) {
  Draw d;
  size_t compared = 0;
  for (int list = 0; list < 3000; ++list) {
    const auto tempos = random_tempos(d);
    const int32_t tpb = d.pick<int32_t>({0, -1, 1, 480, 32767, static_cast<int32_t>(d.in(-100, 1000)), d.any_i32()});
    const TempoMap map(tempos, tpb);
    TempoMap::Hint hint;  // carried from query to query, in no particular order
    for (int q = 0; q < 100; ++q) {
      const int32_t from = random_query(d, tempos);
      const int32_t to = d.in(0, 9) == 0 ? from : random_query(d, tempos);
      ASSERT_EQ(map.ms_at(to), elapsed_ms(tempos, tpb, 0, to)) << "list " << list << " to " << to;
      ASSERT_EQ(map.elapsed(from, to), elapsed_ms(tempos, tpb, from, to))
          << "list " << list << " " << from << ".." << to;
      ASSERT_EQ(map.elapsed(to, from), elapsed_ms(tempos, tpb, to, from))
          << "list " << list << " " << to << ".." << from;
      ASSERT_EQ(map.ms_at(to, &hint), elapsed_ms(tempos, tpb, 0, to)) << "list " << list << " to " << to;
      ASSERT_EQ(map.elapsed(from, to, &hint), elapsed_ms(tempos, tpb, from, to))
          << "list " << list << " " << from << ".." << to;
      compared += 5;
    }
  }
  EXPECT_EQ(compared, 1500000u);
}

TEST(TempoMap, EmptyListUsesTheDefaultTempo) {
  for (int32_t tpb : {0, -1, 1, 480, 960, 32767}) {
    const TempoMap map({}, tpb);
    for (int32_t from : {INT32_MIN, -2000000000, -1, 0, 1, 480, INT32_MAX}) {
      for (int32_t to : {INT32_MIN, -1, 0, 1, 480, 2000000000, INT32_MAX}) {
        EXPECT_EQ(map.elapsed(from, to), elapsed_ms({}, tpb, from, to));
        EXPECT_EQ(map.ms_at(to), elapsed_ms({}, tpb, 0, to));
      }
    }
  }
  EXPECT_EQ(TempoMap({}, 960).elapsed(-2000000000, 2000000000), 2083333333);
}

TEST(TempoMap, RecordsOneTickApart) {
  std::vector<TempoMessage> tempos;
  for (int32_t t = 0; t < 300; ++t) tempos.push_back(tempo(400000 + 997 * t, t));
  for (int32_t tpb : {1, 3, 480}) {
    const TempoMap map(tempos, tpb);
    TempoMap::Hint sweep;  // queries in ascending order, as tokenize makes them
    for (int32_t from = -2; from <= 302; ++from) {
      ASSERT_EQ(map.ms_at(from), elapsed_ms(tempos, tpb, 0, from)) << from;
      ASSERT_EQ(map.ms_at(from, &sweep), elapsed_ms(tempos, tpb, 0, from)) << from;
      for (int32_t to = -2; to <= 302; ++to) {
        ASSERT_EQ(map.elapsed(from, to), elapsed_ms(tempos, tpb, from, to)) << from << ".." << to;
        ASSERT_EQ(map.elapsed(from, to, &sweep), elapsed_ms(tempos, tpb, from, to)) << from << ".." << to;
      }
    }
  }
}

TEST(TempoMap, ManyTemposAndManyQueries) {
  // 200,000 records and 200,000 notes: walking the list per query would take minutes.
  constexpr int32_t kCount = 200000;
  std::vector<TempoMessage> tempos;
  for (int32_t i = 0; i < kCount; ++i) tempos.push_back(tempo(300000 + (i * 7919) % 700000, 3 * i));
  const TempoMap map(tempos, 480);
  int64_t total = 0;
  int32_t last = 0;
  for (int32_t i = 0; i < kCount; ++i) {
    const int32_t start = 3 * i + i % 4;
    const int32_t s = map.ms_at(start);
    const int32_t dur = map.elapsed(start, start + 1 + i % 50);
    ASSERT_GE(s, last);  // positive tempos: time only moves forward
    last = s;
    total += dur;
    if (i % 4999 == 0) {
      ASSERT_EQ(s, elapsed_ms(tempos, 480, 0, start));
      ASSERT_EQ(dur, elapsed_ms(tempos, 480, start, start + 1 + i % 50));
    }
  }
  EXPECT_GT(total, 0);
  EXPECT_EQ(map.ms_at(INT32_MAX), elapsed_ms(tempos, 480, 0, INT32_MAX));
}

TEST(NoteTimes, RememberedTimesEqualTheQuantizedElapsedTime) {
  // Many more distinct ticks than the table holds, each asked for several times, so entries are
  // replaced and hit; every answer must be the one computed afresh.
  Draw d;
  for (int list = 0; list < 200; ++list) {
    const auto tempos = random_tempos(d);
    const int32_t tpb = d.pick<int32_t>({1, 480, 32767, static_cast<int32_t>(d.in(-100, 1000))});
    const int32_t step = d.pick<int32_t>({10, 1, 3, 1000, -7, 0, INT32_MAX});
    const TempoMap map(tempos, tpb);
    detail::NoteTimes times(map, step);
    for (int q = 0; q < 3000; ++q) {
      const int32_t tick = d.in(0, 3) == 0 ? random_query(d, tempos) : static_cast<int32_t>(d.in(0, 2000)) * 13;
      const double quotient = static_cast<double>(elapsed_ms(tempos, tpb, 0, tick)) / static_cast<double>(step);
      const auto expected =
          static_cast<int32_t>(static_cast<uint32_t>(round_to_i32(quotient)) * static_cast<uint32_t>(step));
      ASSERT_EQ(q % 2 ? times.start(tick) : times.end(tick), expected) << "list " << list << " tick " << tick;
    }
  }
}
