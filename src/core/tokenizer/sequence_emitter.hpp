// The layout of a sequence, written once for both of its forms: tokens (AbsTokenizer::tokenize)
// and IDs (the encoding engine's one pass over a piece, which never builds the tokens).
//
//   instrument prefixes (the families in use, sorted by name, then "drum" when the drums play)
//   "<S>"
//   body: per note in start order, a "<T>" for every segment boundary (a multiple of
//         abs_time_step_ms) passed since the previous note, then the note's group:
//         (instrument, pitch, velocity) onset duration, or (drum, pitch) onset on the drum channel;
//         onset = the nearest onset value to the time within the segment, duration = the nearest
//         duration value to the note's length, 0 becoming one time step; velocity quantized
//   "<D>" inserted where dim_token_position puts it
//   "<E>"
//
// A Sink writes one form. It provides:
//   void prefix(std::string_view family);   an instrument prefix, "drum" for the drums
//   void bos(); void time(); void eos();
//   void note(int32_t channel, int32_t pitch, int32_t velocity, int32_t onset, int32_t dur);
//   void drum(int32_t pitch, int32_t onset);
//   size_t size() const; bool is_onset(size_t i) const; bool is_dur(size_t i) const;
//   void insert_dim(size_t i);
// Timing gives a note's times in ms: int32_t start(const Note&), and int32_t length(const Note&)
// asked right after start, for pitched notes only; `Timing::on_step` says whether they are
// multiples of the time step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "../model/instruments.hpp"
#include "abs_tokenizer.hpp"
#include "tokenizer.hpp"

namespace noteloom {

template <typename Families, typename Sink>
void emit_prefix(const Families& sorted_families, bool has_drums, Sink& sink) {
  for (const std::string_view family : sorted_families) sink.prefix(family);
  if (has_drums) sink.prefix("drum");
  sink.bos();
}

// `notes` in start order: notes or pointers to notes with pitch, velocity and channel.
template <typename Notes, typename Timing, typename Sink>
void emit_body(const AbsTokenizer& tok, const Notes& notes, Timing& timing, Sink& sink) {
  const Divisor& segment = tok.segment();
  int32_t prev_segment = 0;
  for (const auto& item : notes) {
    const auto& n = [&]() -> const auto& {
      if constexpr (std::is_pointer_v<std::remove_cvref_t<decltype(item)>>) {
        return *item;
      } else {
        return item;
      }
    }
    ();
    const int32_t start = timing.start(n);
    const int32_t start_segment = segment.quot(start);
    for (int32_t k = start_segment - prev_segment; k > 0; --k) sink.time();
    const int32_t onset = tok.onset_value(start - start_segment * segment.value(), Timing::on_step);
    if (n.channel == kDrumChannel) {
      sink.drum(n.pitch, onset);
    } else {
      sink.note(n.channel, n.pitch, tok.quantize_velocity(n.velocity), onset,
                tok.dur_value(timing.length(n), Timing::on_step));
    }
    prev_segment = start_segment;
  }
}

template <typename Sink>
void emit_end(size_t body_start, Sink& sink) {
  const auto dim = dim_token_position(
      sink.size() - body_start, [&](size_t i) { return sink.is_onset(body_start + i); },
      [&](size_t i) { return sink.is_dur(body_start + i); });
  if (dim) sink.insert_dim(body_start + *dim);
  sink.eos();
}

// The whole sequence after any prefixes the caller wrote first.
template <typename Families, typename Notes, typename Timing, typename Sink>
void emit_sequence(const AbsTokenizer& tok, const Families& sorted_families, bool has_drums, const Notes& notes,
                   Timing& timing, Sink& sink) {
  emit_prefix(sorted_families, has_drums, sink);
  const size_t body_start = sink.size();
  emit_body(tok, notes, timing, sink);
  emit_end(body_start, sink);
}

}  // namespace noteloom
