#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One line of the write-ahead log: the command text with each line feed
// turned into a blank, the time marker " #TIME# ", the time of the append in
// decimal seconds and a line feed. The line of a command that may queue
// webhook tasks also carries, between its time and its line feed, a blank and
// the decimal offset in the webhook file where its first record goes (the
// file's length in whole records at the append):
//
//   INSERT INTO c s = 'x' --> 'y' @ 60 s #TIME# 1700000000 170
//
// The dispatcher reads a line up to the number behind its first marker and
// ignores the rest, so the field changes nothing of what a line runs.
// The line replaces the content of `line`, whose capacity a caller may keep
// from one line to the next.
void writeLogLine(std::string& line, std::string_view command, std::int64_t time,
                  std::optional<std::int64_t> webhookOffset);

// Turns each line feed of `text` into a blank, as a log line writes it.
void blankLineFeeds(std::string& text);

// Where the first time marker of `text` starts; npos when it has none.
std::size_t findTimeMarker(std::string_view text);

// The webhook offset a line (without its line feed) carries: the digits
// after the one blank that follows the number behind the line's last time
// marker, which is the one the append wrote. None when the line ends
// anywhere else, or the offset does not fit 64 bits.
std::optional<std::int64_t> webhookOffsetOf(std::string_view line);
