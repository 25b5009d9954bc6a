#include "model/number.h"

#include <algorithm>
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
  // A stored number, the text read most often, starts with its first digit.
  const bool plain = !whole.empty() && whole.front() >= '0' && whole.front() <= '9';
  const SignedText sign = plain ? SignedText{whole, false} : takeSign(whole);
  const std::string_view text = sign.rest;
  const bool negative = sign.negative;
  const auto isDigit = [text](std::size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
  };
  // The magnitude, unsigned, so that the most negative value fits; the
  // overflow checks cost no division per digit.
  using Magnitude = std::make_unsigned_t<Int>;
  // A run of fewer digits than the largest value has cannot overflow.
  constexpr std::size_t kSafeDigits = std::numeric_limits<Int>::digits10;
  const std::size_t shortRun = std::min(text.size(), kSafeDigits);
  Magnitude value = 0;
  std::size_t end = 0;
  for (; end < shortRun; ++end) {
    const auto digit = static_cast<Magnitude>(static_cast<unsigned char>(text[end]) - '0');
    if (digit > 9) break;
    value = value * 10 + digit;
  }
  if (end == 0) return std::nullopt;
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

std::optional<std::int32_t> toInt32(std::string_view text) {
  // Most texts read here are stored numbers: a minus sign at most, then
  // nine digits at most and nothing else, which cannot overflow.
  const char* at = text.data();
  const char* const end = at + text.size();
  const bool negative = at != end && *at == '-';
  if (negative) ++at;
  if (at != end && end - at <= 9) {
    std::uint32_t value = 0;
    for (; at != end; ++at) {
      const auto digit = static_cast<std::uint32_t>(static_cast<unsigned char>(*at) - '0');
      if (digit > 9) break;
      value = value * 10 + digit;
    }
    if (at == end) return static_cast<std::int32_t>(negative ? 0U - value : value);
  }
  return toInteger<std::int32_t>(text);
}

std::optional<std::int64_t> toInt64(std::string_view text) { return toInteger<std::int64_t>(text); }

namespace {

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// A leading integer at any size: its sign and its digits, leading zeros
// taken off (so zero has no digits and no sign).
struct IntegerDigits {
  bool negative = false;
  std::string_view digits;
};

std::optional<IntegerDigits> leadingInteger(std::string_view text) {
  const SignedText sign = takeSign(text);
  std::size_t end = 0;
  while (end < sign.rest.size() && isDecimalDigit(sign.rest[end])) ++end;
  if (end == 0) return std::nullopt;
  std::string_view digits = sign.rest.substr(0, end);
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string_view::npos ? std::string_view() : digits.substr(first);
  return IntegerDigits{sign.negative && !digits.empty(), digits};
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "0x" or "0X" followed by a hexadecimal digit or a point and one.
bool hasHexPrefix(std::string_view text) {
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  const std::size_t digit = text[2] == '.' ? 3 : 2;
  return digit < text.size() && isHexDigit(text[digit]);
}

// std::from_chars reads the number the C library's "C" locale reads, whatever
// locale the host program has chosen, on every platform; what it leaves out
// of the C library's form (leading white space, a plus sign, the "0x" of a
// hexadecimal number) is taken off here. `number` is the text after its sign.
template <typename Float>
std::from_chars_result readFloating(std::string_view number, Float& value) {
  // from_chars would take a second sign.
  if (number.empty() || number[0] == '-') return {number.data(), std::errc::invalid_argument};
  const char* const end = number.data() + number.size();
  std::from_chars_result read{number.data(), std::errc::invalid_argument};
  if (hasHexPrefix(number)) {
    read = std::from_chars(number.data() + 2, end, value, std::chars_format::hex);
  }
  // A bare "0x" is the number 0 followed by other text.
  if (read.ec == std::errc::invalid_argument) read = std::from_chars(number.data(), end, value);
  return read;
}

// Whether `number` (the text after its sign), which from_chars found out of
// range, lies beyond the largest value rather than too close to zero: the
// place of its first significant digit, moved by its exponent, decides. Only
// magnitudes hundreds of places from 1 are out of range, so the exact limit
// plays no part.
bool beyondLargest(std::string_view number) {
  const bool hex = hasHexPrefix(number);
  if (hex) number.remove_prefix(2);
  const auto isDigitAt = [&](std::size_t at) {
    return at < number.size() && (hex ? isHexDigit(number[at]) : isDecimalDigit(number[at]));
  };
  const std::int64_t placesPerDigit = hex ? 4 : 1;  // a hexadecimal exponent counts bits
  constexpr std::int64_t kFarEnough = 1'000'000'000'000;
  std::int64_t place = 0;  // of the first significant digit
  bool significant = false;
  std::size_t at = 0;
  for (; isDigitAt(at); ++at) {
    significant = significant || number[at] != '0';
    if (significant && place < kFarEnough) place += placesPerDigit;
  }
  if (at < number.size() && number[at] == '.') {
    for (++at; isDigitAt(at); ++at) {
      significant = significant || number[at] != '0';
      if (!significant && place > -kFarEnough) place -= placesPerDigit;
    }
  }
  // An exponent counts only with a digit, as from_chars reads it.
  if (at < number.size() && (number[at] | 0x20) == (hex ? 'p' : 'e')) {
    std::size_t digit = at + 1;
    const bool negative = digit < number.size() && number[digit] == '-';
    if (digit < number.size() && (number[digit] == '+' || negative)) ++digit;
    std::int64_t exponent = 0;
    for (; digit < number.size() && isDecimalDigit(number[digit]); ++digit) {
      if (exponent < kFarEnough) exponent = exponent * 10 + (number[digit] - '0');
    }
    place += negative ? -exponent : exponent;
  }
  return place > 0;
}

}  // namespace

std::optional<float> toFloat(std::string_view text) {
  const auto [number, negative] = takeSign(text);
  float value = 0;
  const std::from_chars_result read = readFloating(number, value);
  if (read.ec != std::errc() || std::fpclassify(value) == FP_SUBNORMAL) return std::nullopt;
  return negative ? -value : value;
}

std::partial_ordering compareIntegers(std::string_view a, std::string_view b) {
  const std::optional<IntegerDigits> x = leadingInteger(a);
  const std::optional<IntegerDigits> y = leadingInteger(b);
  if (!x || !y) return std::partial_ordering::unordered;
  if (x->negative != y->negative) {
    return x->negative ? std::partial_ordering::less : std::partial_ordering::greater;
  }
  std::strong_ordering magnitude = x->digits.size() <=> y->digits.size();
  if (magnitude == 0) magnitude = x->digits.compare(y->digits) <=> 0;
  return x->negative ? 0 <=> magnitude : magnitude;
}

std::optional<double> toComparedFloat(std::string_view text) {
  if (const std::optional<float> single = toFloat(text)) return *single;
  const auto [number, negative] = takeSign(text);
  double value = 0;
  const std::from_chars_result read = readFloating(number, value);
  if (read.ec == std::errc::result_out_of_range) {
    value = beyondLargest(number) ? std::numeric_limits<double>::max()
                                  : std::numeric_limits<double>::denorm_min();
  } else if (read.ec != std::errc()) {
    return std::nullopt;
  }
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
