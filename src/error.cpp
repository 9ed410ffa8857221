// Message formatting for internal errors and for the errors a caller can cause.
#include "error.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tolvane {

namespace {

template <class Real>
std::string shortest_fixed(Real value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The largest double needs 309 digits before the point; the shortest form never has more
  // digits after it than the smallest subnormal's position (1074 for double).
  char buffer[1500];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (result.ec != std::errc()) throw InternalError("a number could not be formatted");
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string format_number(float value) {
  return shortest_fixed(value);
}
std::string format_number(double value) {
  return shortest_fixed(value);
}
std::string format_number(std::int64_t value) {
  return std::to_string(value);
}
std::string format_number(std::uint64_t value) {
  return std::to_string(value);
}

namespace detail {

std::string substitute(std::string_view pattern, const std::string* args, std::size_t count) {
  std::string out;
  out.reserve(pattern.size() + 16 * count);
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && next < count) {
      out += args[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace detail
}  // namespace tolvane
