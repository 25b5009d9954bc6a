#include "storage/file_read_buffer.h"

#include <algorithm>
#include <cstring>

#include "storage/file_errors.h"

namespace {

constexpr std::int64_t kPieceBytes = 4096;

}  // namespace

ReadStatus FileReadBuffer::open(const std::string& name) {
  path = name;
  piece.clear();
  start = 0;
  const ReadStatus status = reader.open(path);
  moveTo(0);
  return status;
}

// The get area covers the piece while the read position lies within it, and
// is empty (null) while it lies outside.
std::int64_t FileReadBuffer::position() const {
  return eback() == nullptr ? outside : start + (gptr() - eback());
}

void FileReadBuffer::moveTo(std::int64_t at) {
  const auto held = static_cast<std::int64_t>(piece.size());
  if (at >= start && at - start <= held) {
    char* const first = piece.data();
    setg(first, first + (at - start), first + held);
  } else {
    setg(nullptr, nullptr, nullptr);
    outside = at;
  }
}

void FileReadBuffer::fill(std::int64_t at) {
  const bool read = reader.readAt(at, std::min(kPieceBytes, size() - at), piece);
  start = at;
  moveTo(at);
  if (!read) throw failedToOpen(path);
}

FileReadBuffer::int_type FileReadBuffer::underflow() {
  if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const std::int64_t at = position();
  if (at >= size()) return traits_type::eof();
  fill(at);
  return traits_type::to_int_type(*gptr());
}

std::streamsize FileReadBuffer::xsgetn(char* out, std::streamsize count) {
  const std::streamsize held = gptr() == nullptr ? 0 : egptr() - gptr();
  const std::streamsize kept = std::min(held, count);
  if (kept > 0) {
    std::memcpy(out, gptr(), static_cast<std::size_t>(kept));
    setg(eback(), gptr() + kept, egptr());
  }
  const std::int64_t at = position();
  const std::int64_t rest = std::min<std::int64_t>(count - kept, size() - at);
  if (rest <= 0) return kept;
  if (rest <= kPieceBytes) {
    fill(at);
    std::memcpy(out + kept, piece.data(), static_cast<std::size_t>(rest));
    setg(eback(), gptr() + rest, egptr());
  } else {
    if (!reader.readAt(at, rest, out + kept)) throw failedToOpen(path);
    moveTo(at + rest);
  }
  return kept + rest;
}

FileReadBuffer::pos_type FileReadBuffer::seekoff(off_type offset, std::ios_base::seekdir dir,
                                                 std::ios_base::openmode which) {
  std::int64_t base = 0;
  if (dir == std::ios_base::cur) base = position();
  if (dir == std::ios_base::end) base = size();
  return seekpos(pos_type(base + offset), which);
}

FileReadBuffer::pos_type FileReadBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
  const auto at = static_cast<std::int64_t>(off_type(position));
  if ((which & std::ios_base::in) == 0 || at < 0 || at > size()) return pos_type(off_type(-1));
  moveTo(at);
  return position;
}
