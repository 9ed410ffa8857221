// Message formatting for internal errors and for the errors a caller can cause.
#include "error.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tolvane {

namespace {

// The shortest round-trip digits come from the scientific form; they are then written out in
// fixed notation (1e30f is "1000000000000000000000000000000", not its exact binary value).
template <class Real>
std::string shortest_fixed(Real value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (result.ec != std::errc()) throw InternalError("a number could not be formatted");
  const std::string_view text(buffer, result.ptr);

  const std::size_t e = text.find('e');
  std::string out;
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c == '-') {
      out += c;
    } else if (c != '.') {
      digits += c;
    }
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);

  const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    out += digits + std::string(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  return out;
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
