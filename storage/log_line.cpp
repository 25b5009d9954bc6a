#include "storage/log_line.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/storage.h"

namespace {

// "00" to "99", so that the digits go down two at a time.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes `value` in decimal, as std::to_string does, ending just before
// `end`; returns where the digits start.
char* decimalBefore(char* end, std::int64_t value) {
  // Unsigned, so that the most negative value has a magnitude too.
  std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                      : static_cast<std::uint64_t>(value);
  char* at = end;
  for (; magnitude >= 100; magnitude /= 100) {
    const std::size_t pair = 2 * static_cast<std::size_t>(magnitude % 100);
    *--at = kDigitPairs[pair + 1];
    *--at = kDigitPairs[pair];
  }
  if (magnitude >= 10) {
    const std::size_t pair = 2 * static_cast<std::size_t>(magnitude);
    *--at = kDigitPairs[pair + 1];
    *--at = kDigitPairs[pair];
  } else {
    *--at = static_cast<char>('0' + magnitude);
  }
  if (value < 0) *--at = '-';
  return at;
}

bool isDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

void writeLogLine(std::string& line, std::string_view command, std::int64_t time,
                  std::optional<std::int64_t> webhookOffset) {
  line.assign(command);
  blankLineFeeds(line);
  // The trailer is put together on the stack and appended in one piece:
  // the marker, two numbers of at most 20 characters, a blank and the feed.
  char trailer[kTimeMarker.size() + 2 * 20 + 2];
  char* const end = trailer + sizeof trailer;
  char* at = end;
  *--at = '\n';
  if (webhookOffset) {
    at = decimalBefore(at, *webhookOffset);
    *--at = ' ';
  }
  at = decimalBefore(at, time);
  at -= kTimeMarker.size();
  kTimeMarker.copy(at, kTimeMarker.size());
  line.append(at, static_cast<std::size_t>(end - at));
}

void blankLineFeeds(std::string& text) {
  for (std::size_t feed = text.find('\n'); feed != std::string::npos;
       feed = text.find('\n', feed + 1)) {
    text[feed] = ' ';
  }
}

// Found by its '#', which few commands hold, where a search for the whole
// marker would stop at every blank.
std::size_t findTimeMarker(std::string_view text) {
  constexpr std::size_t kHash = 1;
  static_assert(kTimeMarker[kHash] == '#');
  for (std::size_t hash = text.find('#', kHash); hash != std::string_view::npos;
       hash = text.find('#', hash + 1)) {
    if (text.substr(hash - kHash).starts_with(kTimeMarker)) return hash - kHash;
  }
  return std::string_view::npos;
}

std::optional<std::int64_t> webhookOffsetOf(std::string_view line) {
  const std::size_t marker = line.rfind(kTimeMarker);
  if (marker == std::string_view::npos) return std::nullopt;
  const std::string_view trailer = line.substr(marker + kTimeMarker.size());
  const std::size_t blank = trailer.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  const std::string_view time = trailer.substr(0, blank);
  const std::string_view offset = trailer.substr(blank + 1);
  // The time may carry a sign only when negative, as std::to_string writes it.
  const std::string_view timeDigits = time.starts_with('-') ? time.substr(1) : time;
  if (!isDigits(timeDigits) || !isDigits(offset)) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(offset.data(), offset.data() + offset.size(), value);
  if (error != std::errc() || end != offset.data() + offset.size()) return std::nullopt;
  return value;
}
