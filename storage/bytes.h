#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "storage/file_errors.h"

// Packed little-endian fields of the byte files, built in and read from
// memory buffers. Integers are encoded byte by byte so that a file reads the
// same on every host.

inline void appendInt32(std::string& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(bits >> shift));
}

inline void appendInt64(std::string& out, std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>(bits >> shift));
}

// Writes the 4 bytes of `value` at `at`.
inline void putInt32(char* at, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(bits >> (8 * i));
}

// The integer in the first 4 (8) bytes of `bytes`; the caller makes sure
// they are there.
inline std::int32_t int32At(std::string_view bytes) {
  // One load: a loader reads one of these per number it meets.
  std::uint32_t bits = 0;
  std::memcpy(&bits, bytes.data(), 4);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
  return static_cast<std::int32_t>(bits);
}

inline std::int64_t int64At(std::string_view bytes) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(bytes[i]);
  return static_cast<std::int64_t>(bits);
}

// Appends at most `width` bytes of `text`, then zero bytes up to `width`.
inline void appendPadded(std::string& out, std::string_view text, std::size_t width) {
  out.append(text.substr(0, width));
  out.append(width - std::min(text.size(), width), '\0');
}

// Appends the whole of `text`, then zero bytes up to `width` when it is
// shorter (a longer text moves every later field).
inline void appendWithPadding(std::string& out, std::string_view text, std::size_t width) {
  out.append(text);
  if (text.size() < width) out.append(width - text.size(), '\0');
}

// The text of a fixed-width field: its bytes up to the first zero byte, or
// all of them.
inline std::string_view textOf(std::string_view field) { return field.substr(0, field.find('\0')); }

// The text of the field of `length` bytes at `offset` of `bytes`, of as much
// of it as `bytes` holds; empty for a field outside them.
inline std::string_view fieldAt(std::string_view bytes, std::int64_t offset, std::int64_t length) {
  if (offset < 0 || length <= 0 || offset >= static_cast<std::int64_t>(bytes.size())) return {};
  return textOf(bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
}

// Offsets in table data files and temporal-rule files are signed 32-bit:
// a write of `length` bytes at `offset` fits when its every byte does.
inline bool fitsFileOffsets(std::int64_t offset, std::int64_t length) {
  constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
  return offset >= 0 && length >= 0 && offset <= limit && length <= limit - offset + 1;
}

// Throws "File offset out of range: <path>" unless fitsFileOffsets holds, so
// that a file never gets a record that the format cannot address.
inline void requireFileOffsets(std::int64_t offset, std::int64_t length, const std::string& path) {
  if (!fitsFileOffsets(offset, length)) throw fileOffsetOutOfRange(path);
}
