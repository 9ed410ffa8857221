// Internal errors and message formatting.
//
// Errors a caller can cause are values (ModelError, SimError, validation results). A broken
// internal invariant throws InternalError from `ensure`/`fail`; the Python layer turns it into its
// internal-error exception. Every message that prints a number goes through `format`, which writes
// reals in the shortest decimal that reads back to the same value, in fixed notation.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace tolvane {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

// Shortest round-trip decimal of a real, fixed notation, no exponent, whole numbers without a
// fraction; NaN, inf, -inf and -0 spelled as such. The float overload rounds to the float value.
std::string format_number(float value);
std::string format_number(double value);
std::string format_number(std::int64_t value);
std::string format_number(std::uint64_t value);

namespace detail {
template <class T>
std::string to_text(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_floating_point_v<T>) {
    return format_number(value);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return format_number(static_cast<std::int64_t>(value));
  } else if constexpr (std::is_integral_v<T>) {
    return format_number(static_cast<std::uint64_t>(value));
  } else {
    return std::string(std::string_view(value));
  }
}

std::string substitute(std::string_view pattern, const std::string* args, std::size_t count);
}  // namespace detail

// Replaces each "{}" of `pattern`, in order, by the next argument.
template <class... A>
std::string format(std::string_view pattern, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    return std::string(pattern);
  } else {
    const std::string texts[] = {detail::to_text(args)...};
    return detail::substitute(pattern, texts, sizeof...(A));
  }
}

template <class... A>
[[noreturn]] void fail(std::string_view pattern, const A&... args) {
  throw InternalError(format(pattern, args...));
}

// The one assertion helper: the message is only formatted when the invariant is broken.
template <class... A>
inline void ensure(bool holds, std::string_view pattern, const A&... args) {
  if (!holds) [[unlikely]] {
    fail(pattern, args...);
  }
}

// Bounds-checked element access for the "index outside" invariants.
template <class Container>
decltype(auto) checked_at(Container& items, std::size_t index) {
  ensure(index < items.size(), "index {} is outside a list of {} entries", index, items.size());
  return items[index];
}

}  // namespace tolvane
