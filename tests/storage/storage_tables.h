#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/cell.h"
#include "model/table.h"
#include "storage/storage.h"
#include "support/table_builders.h"

// Byte strings and writes that the storage tests compare. In a namespace of
// their own: other suites' helpers of the same names link into the same test
// program.
namespace storage_tables {

inline std::int64_t headerBytes(const Table& table) {
  return 15 + 60 * static_cast<std::int64_t>(table.columns.size());
}

inline std::int64_t rowBytes(const Table& table) {
  std::int64_t size = 0;
  for (const Column& column : table.columns) size += Storage::getColumnBinSize(column);
  return size;
}

// What a checkpoint does to one table: the deletion map, then every slot in
// place.
inline void writeAllRows(const Table& table) {
  std::string map;
  for (const Row& row : table.rows) map.push_back(row.deleted ? 1 : 0);
  std::ofstream(table.name + ".del", std::ios::binary | std::ios::trunc) << map;
  std::int64_t offset = headerBytes(table);
  for (const Row& row : table.rows) {
    Storage::insertRow(table, row, static_cast<int>(offset), std::ios_base::beg);
    offset += rowBytes(table);
  }
}

// Raw bytes given as numbers, for byte-exact expectations.
inline std::string bytesOf(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

// A text in a zero-padded field of `width` bytes.
inline std::string field(const std::string& text, std::size_t width = 15) {
  return text + std::string(width - text.size(), '\0');
}

// Little-endian integers, spelled out independently of the storage code.
inline std::string le32(std::int64_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  return bytesOf({static_cast<int>(bits & 0xFF), static_cast<int>((bits >> 8) & 0xFF),
                  static_cast<int>((bits >> 16) & 0xFF), static_cast<int>(bits >> 24)});
}

inline std::string le64(std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  return le32(static_cast<std::int64_t>(bits & 0xFFFFFFFF)) +
         le32(static_cast<std::int64_t>(bits >> 32));
}

}  // namespace storage_tables
