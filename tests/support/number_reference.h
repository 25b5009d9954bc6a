#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "model/number.h"

// Numbers read straight from their definitions, for the references that
// tests hold the engine's own readings against.

// Wide enough for every digit run the tests' texts hold.
__extension__ typedef __int128 WideInteger;

// The leading integer of a text at whatever size it has: white space, one
// sign, then the run of decimal digits. Exact for runs of up to 37 digits.
inline std::optional<WideInteger> wideInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
  WideInteger value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

// The leading number of a text as the order of a "float" column reads it:
// the single-precision value where toFloat reads one, else the number itself
// in the widest floating type.
inline std::optional<long double> wideFloat(const std::string& text) {
  if (const std::optional<float> single = toFloat(text)) return *single;
  const char* const start = text.c_str();
  char* end = nullptr;
  const long double value = std::strtold(start, &end);
  if (end == start) return std::nullopt;
  return value;
}

// The order of the key texts of an "int" or "ApexInt" index: texts with a
// leading integer by its value, before every text without one, and those by
// their bytes.
inline bool intKeyLess(std::string_view a, std::string_view b) {
  const std::optional<WideInteger> x = wideInteger(a);
  const std::optional<WideInteger> y = wideInteger(b);
  if (x && y) return *x < *y;
  if (x || y) return x.has_value();
  return a < b;
}
