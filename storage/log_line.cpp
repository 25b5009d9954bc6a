#include "storage/log_line.h"

#include <charconv>
#include <string>

#include "storage/storage.h"

namespace {

void appendDecimal(std::string& out, std::int64_t value) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, written.ptr);
}

bool isDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string logLine(std::string_view command, std::int64_t time,
                    std::optional<std::int64_t> webhookOffset) {
  std::string line;
  line.reserve(command.size() + 48);
  line.assign(command);
  blankLineFeeds(line);
  line += kTimeMarker;
  appendDecimal(line, time);
  if (webhookOffset) {
    line.push_back(' ');
    appendDecimal(line, *webhookOffset);
  }
  line.push_back('\n');
  return line;
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
