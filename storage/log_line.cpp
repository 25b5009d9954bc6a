#include "storage/log_line.h"

#include <charconv>
#include <string>

#include "storage/storage.h"

std::string logLine(std::string_view command, std::int64_t time,
                    std::optional<std::int64_t> webhookOffset) {
  std::string line;
  line.reserve(command.size() + 48);
  for (const char c : command) line.push_back(c == '\n' ? ' ' : c);
  line += kTimeMarker;
  line += std::to_string(time);
  if (webhookOffset) {
    line.push_back(' ');
    line += std::to_string(*webhookOffset);
  }
  line.push_back('\n');
  return line;
}

namespace {

bool isDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

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
