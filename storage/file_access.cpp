#include "storage/file_access.h"

#include <algorithm>

std::fstream openForUpdate(const std::string& path, bool create) {
  constexpr auto mode = std::ios::in | std::ios::out | std::ios::binary;
  std::fstream file(path, mode);
  if (file.is_open() || !create) return file;
  // Append mode creates a missing file empty but never truncates one that
  // exists and merely refused to open for reading and writing.
  std::ofstream(path, std::ios::binary | std::ios::app);
  file.open(path, mode);
  return file;
}

std::int64_t streamLength(std::istream& in) {
  in.clear();
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  in.clear();
  return end > 0 ? static_cast<std::int64_t>(end) : 0;
}

void writeZeros(std::ostream& out, std::int64_t count) {
  static constexpr char kZeros[4096] = {};
  while (count > 0) {
    const auto chunk = std::min<std::int64_t>(count, sizeof kZeros);
    out.write(kZeros, static_cast<std::streamsize>(chunk));
    count -= chunk;
  }
}
