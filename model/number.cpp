#include "model/number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

namespace {

// A number's text as the C library reads its start: leading white space
// taken off, then one sign.
struct SignedText {
  std::string_view rest;  // what follows the sign
  bool negative = false;
};

SignedText takeSign(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  return {text.substr(i), negative};
}

template <typename Int>
std::optional<Int> toInteger(std::string_view whole) {
  const SignedText sign = takeSign(whole);
  const std::string_view text = sign.rest;
  const bool negative = sign.negative;
  const auto isDigit = [text](std::size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
  };
  if (!isDigit(0)) return std::nullopt;
  // The magnitude, unsigned, so that the most negative value fits; the
  // overflow checks cost no division per digit.
  using Magnitude = std::make_unsigned_t<Int>;
  // A run of fewer digits than the largest value has cannot overflow.
  constexpr std::size_t kSafeDigits = std::numeric_limits<Int>::digits10;
  Magnitude value = 0;
  std::size_t end = 0;
  for (; end < kSafeDigits && isDigit(end); ++end) {
    value = value * 10 + static_cast<Magnitude>(text[end] - '0');
  }
  if (!isDigit(end)) return static_cast<Int>(negative ? Magnitude{0} - value : value);
  const Magnitude limit =
      static_cast<Magnitude>(std::numeric_limits<Int>::max()) + (negative ? 1 : 0);
  value = 0;
  for (std::size_t at = 0; isDigit(at); ++at) {
    const auto digit = static_cast<Magnitude>(text[at] - '0');
    if (__builtin_mul_overflow(value, Magnitude{10}, &value) ||
        __builtin_add_overflow(value, digit, &value) || value > limit) {
      return std::nullopt;
    }
  }
  return static_cast<Int>(negative ? Magnitude{0} - value : value);
}

}  // namespace

std::optional<std::int32_t> toInt32(std::string_view text) { return toInteger<std::int32_t>(text); }

std::optional<std::int64_t> toInt64(std::string_view text) { return toInteger<std::int64_t>(text); }

namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "0x" or "0X" followed by a hexadecimal digit or a point and one.
bool hasHexPrefix(std::string_view text) {
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  const std::size_t digit = text[2] == '.' ? 3 : 2;
  return digit < text.size() && isHexDigit(text[digit]);
}

}  // namespace

// std::from_chars reads the number the C library's "C" locale reads, whatever
// locale the host program has chosen, on every platform; what it leaves out
// of the C library's form (leading white space, a plus sign, the "0x" of a
// hexadecimal number) is taken off here.
std::optional<float> toFloat(std::string_view text) {
  const auto [number, negative] = takeSign(text);
  // from_chars would take a second sign.
  if (number.empty() || number[0] == '-') return std::nullopt;
  const char* const end = number.data() + number.size();
  float value = 0;
  std::from_chars_result read{number.data(), std::errc::invalid_argument};
  if (hasHexPrefix(number)) {
    read = std::from_chars(number.data() + 2, end, value, std::chars_format::hex);
  }
  // A bare "0x" is the number 0 followed by other text.
  if (read.ec == std::errc::invalid_argument) read = std::from_chars(number.data(), end, value);
  if (read.ec != std::errc() || std::fpclassify(value) == FP_SUBNORMAL) return std::nullopt;
  return negative ? -value : value;
}

std::string formatFloat(float value) {
  // The largest float has 39 digits before the point; to_chars knows no
  // locale and is exact, as the C library's fixed notation is.
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                          std::chars_format::fixed, 6);
  return error == std::errc() ? std::string(text, end) : std::string();
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}
