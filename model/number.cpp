#include "model/number.h"

#include <locale.h>  // newlocale and strtof_l (_create_locale and _strtof_l on Windows)

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

template <typename Int>
std::optional<Int> toInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
  // Accumulate towards the sign's side so the most negative value fits.
  constexpr Int lowest = std::numeric_limits<Int>::min();
  constexpr Int highest = std::numeric_limits<Int>::max();
  Int value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const Int digit = text[i] - '0';
    if (negative) {
      if (value < (lowest + digit) / 10) return std::nullopt;
      value = value * 10 - digit;
    } else {
      if (value > (highest - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
    }
  }
  return value;
}

}  // namespace

std::optional<std::int32_t> toInt32(std::string_view text) { return toInteger<std::int32_t>(text); }

std::optional<std::int64_t> toInt64(std::string_view text) { return toInteger<std::int64_t>(text); }

namespace {

// Numbers are read with the "C" locale's decimal point whatever locale the
// host program has chosen, so "2.5" means the same in every process.
float strtofClassic(const char* text, char** end) {
#if defined(_WIN32)
  static const _locale_t classic = _create_locale(LC_NUMERIC, "C");
  return _strtof_l(text, end, classic);
#else
  static const locale_t classic = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return strtof_l(text, end, classic);
#endif
}

}  // namespace

std::optional<float> toFloat(std::string_view text) {
  const std::string copy(text);  // the conversion needs a terminated text
  char* end = nullptr;
  errno = 0;
  const float value = strtofClassic(copy.c_str(), &end);
  if (end == copy.c_str() || errno == ERANGE) return std::nullopt;
  return value;
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
