#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Text-to-number conversions shared by comparison, the key index, results and
// the table files. Each reads a leading number the way the C library does and
// ignores the rest of the text; none throws. An empty result means the text
// has no leading number or the number lies outside the type's range.

// Leading white space, an optional sign, then the run of decimal digits.
std::optional<std::int32_t> toInt32(std::string_view text);
std::optional<std::int64_t> toInt64(std::string_view text);

// The longest leading decimal or hexadecimal floating-point number, infinity
// or NaN, read with the decimal point whatever the locale. A value that
// overflows single precision or falls below its smallest normal value is
// refused.
std::optional<float> toFloat(std::string_view text);

// The order of the leading integers of two texts, read as toInt32 reads
// them but at whatever size they have, so that a number beyond every
// fixed-width type still compares by its sign and magnitude. Unordered when
// either text has no leading integer.
std::partial_ordering compareIntegers(std::string_view a, std::string_view b);

// The leading number of a text as ordered comparisons read a "float": the
// single-precision value toFloat gives, or, for a number single precision
// cannot hold, its double value, so that it still compares by what it is.
// A number beyond double's range reads as the largest double of its sign,
// one too close to zero for a double as the smallest double of its sign:
// either still lies rightly against every single-precision number. None
// when the text has no leading number.
std::optional<double> toComparedFloat(std::string_view text);

// Six decimals in fixed notation with the "C" locale's decimal point,
// whatever locale the host program has chosen: the text of a float read
// back from a table data file.
std::string formatFloat(float value);

// 64-bit sums that stop at the type's limits instead of overflowing: times
// and durations may come from damaged files.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
std::int64_t saturatingSub(std::int64_t a, std::int64_t b);

// White space as the C library's "C" locale classifies it.
constexpr bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
