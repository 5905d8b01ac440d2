// Result<T>: a value or an error message. The engine reports failures as values; only the binding
// layer turns them into Python exceptions.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "skip_kind.hpp"

namespace noteloom {

struct Error {
  std::string message;
  SkipKind kind = SkipKind::None;  // for inputs the engine skips: what they are counted by
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// For operations that return nothing on success.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace noteloom
