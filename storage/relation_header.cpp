#include "storage/relation_header.h"

#include <algorithm>
#include <cstdint>

#include "storage/bytes.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"

std::optional<RelationNames> readRelationNames(const std::string& path) {
  constexpr std::int64_t kHeaderBytes = 4 * kNameFieldBytes;
  FileReader file;
  if (file.open(path) != ReadStatus::Done) return std::nullopt;
  std::string header;
  // Only the header: the records of a large child table are never needed.
  if (!file.readAt(0, std::min(file.size(), kHeaderBytes), header)) return std::nullopt;
  const auto name = [&header](int index) {
    return std::string(fieldAt(header, index * kNameFieldBytes, kNameFieldBytes));
  };
  return RelationNames{name(0), name(1), name(2), name(3)};
}

bool namesItsOwnFile(const RelationNames& names, const std::string& path) {
  return relationFilePath(names.foreignTable, names.foreignKey, names.primaryTable,
                          names.primaryKey) == path;
}
