// SharedText: an immutable string held by handle, for the free-text type tag of message records.
//
// Almost every record carries one of a few fixed tags ("note", "tempo", ...), while Python code may
// set any text. The handle is one word: a fixed tag points at static storage and costs nothing to
// copy; any other text lives in one reference-counted heap block shared by all copies. Records stay
// small and cheap to move and sort, and a loaded file allocates no strings for its tags.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace noteloom {

class SharedText {
 public:
  // The fixed tags; any text equal to one of them is stored as that tag.
  enum class Fixed : uint8_t { Empty, Note, Tempo, Instrument, Pedal, Text, Copyright };

  constexpr SharedText() noexcept : bits_(tagged(Fixed::Empty)) {}
  constexpr SharedText(Fixed tag) noexcept : bits_(tagged(tag)) {}             // NOLINT: implicit by design
  SharedText(std::string_view text) : bits_(make(text)) {}                     // NOLINT
  SharedText(const char* text) : SharedText(std::string_view(text)) {}         // NOLINT
  SharedText(const std::string& text) : SharedText(std::string_view(text)) {}  // NOLINT

  SharedText(const SharedText& o) noexcept : bits_(o.bits_) { retain(); }
  SharedText(SharedText&& o) noexcept : bits_(o.bits_) { o.bits_ = tagged(Fixed::Empty); }
  SharedText& operator=(const SharedText& o) noexcept {
    SharedText copy(o);
    std::swap(bits_, copy.bits_);
    return *this;
  }
  SharedText& operator=(SharedText&& o) noexcept {
    std::swap(bits_, o.bits_);
    return *this;
  }
  ~SharedText() { release(); }

  std::string_view view() const noexcept {
    if (bits_ & 1) return kFixedTexts[bits_ >> 1];
    const Block* b = block();
    return {b->data(), b->size};
  }
  operator std::string_view() const noexcept { return view(); }  // NOLINT
  // Whether the text is `tag`'s (a text equal to a fixed tag is always stored as that tag).
  bool is_fixed(Fixed tag) const noexcept { return bits_ == tagged(tag); }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
    return a.bits_ == b.bits_ || a.view() == b.view();
  }
  friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator==(const SharedText& a, const char* b) noexcept { return a.view() == b; }

 private:
  static constexpr std::string_view kFixedTexts[] = {"", "note", "tempo", "instrument", "pedal", "text", "copyright"};

  struct Block {
    std::atomic<size_t> refs;
    size_t size;
    char* data() { return reinterpret_cast<char*>(this + 1); }
    const char* data() const { return reinterpret_cast<const char*>(this + 1); }
  };

  static constexpr uintptr_t tagged(Fixed tag) { return (uintptr_t{static_cast<uint8_t>(tag)} << 1) | 1; }

  static uintptr_t make(std::string_view text) {
    for (size_t i = 0; i < std::size(kFixedTexts); ++i) {
      if (kFixedTexts[i] == text) return tagged(static_cast<Fixed>(i));
    }
    void* raw = ::operator new(sizeof(Block) + text.size());
    Block* b = new (raw) Block{{1}, text.size()};
    if (!text.empty()) std::memcpy(b->data(), text.data(), text.size());
    return reinterpret_cast<uintptr_t>(b);
  }

  // bits_ is a tagged word: a Block's address, or inline bytes when its low bit is set.
  Block* block() const noexcept { return reinterpret_cast<Block*>(bits_); }  // NOLINT(performance-no-int-to-ptr)
  void retain() noexcept {
    if (!(bits_ & 1)) block()->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (bits_ & 1) return;
    Block* b = block();
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      b->~Block();
      ::operator delete(b);
    }
  }

  uintptr_t bits_;  // low bit set: index of a fixed tag; clear: pointer to a Block
};

}  // namespace noteloom
