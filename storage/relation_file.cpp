#include <cstdint>
#include <string>
#include <string_view>

#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/staged_file.h"
#include "storage/storage.h"

namespace {

bool fitsNameField(std::string_view name) { return name.size() <= kMaxNameBytes; }

// Names that can only come from a damaged file would put the relation file
// outside the working directory or shift the header fields the loader reads
// at fixed offsets.
bool isStorableLink(const Table& foreign, const Table& parent, const std::string& foreignKeyCol) {
  const std::string_view names[] = {foreign.name, parent.name, foreignKeyCol, parent.primaryKey};
  for (const std::string_view name : names) {
    if (!fitsNameField(name)) return false;
  }
  return isSafeTableName(foreign.name) && isSafeTableName(parent.name) &&
         isSafeColumnName(foreignKeyCol) && isSafeColumnName(parent.primaryKey);
}

std::int64_t columnPosition(const Table& table, const std::string& columnName) {
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].name == columnName) return static_cast<std::int64_t>(i);
  }
  return -1;
}

// One record per live foreign row: its position counted from 1, and the
// position of the parent row its key names now, or -1.
std::string snapshotRecords(const Table& foreign, const Table& parent, std::size_t keyColumn) {
  std::string records;
  std::int32_t number = 0;
  for (const Row& row : foreign.rows) {
    ++number;
    if (row.deleted) continue;
    std::int32_t parentPosition = -1;
    if (keyColumn < row.cells.size()) {
      const auto found = parent.pkMap.find(row.cells[keyColumn].getVal());
      if (found != parent.pkMap.end()) parentPosition = found->second;
    }
    appendInt32(records, number);
    appendInt32(records, parentPosition);
  }
  return records;
}

}  // namespace

void Storage::linkTables(Table& foreign, Table& parent, const std::string& foreignKeyCol) {
  if (!isStorableLink(foreign, parent, foreignKeyCol)) return;
  std::string bytes;
  const std::string_view header[] = {foreign.name, parent.name, foreignKeyCol, parent.primaryKey};
  for (const std::string_view name : header) appendWithPadding(bytes, name, kNameFieldBytes);
  const std::int64_t keyColumn = columnPosition(foreign, foreignKeyCol);
  if (keyColumn >= 0)
    bytes += snapshotRecords(foreign, parent, static_cast<std::size_t>(keyColumn));
  // Replaced whole, so that a reader meets the old file or the new one.
  const std::string path =
      relationFilePath(foreign.name, foreignKeyCol, parent.name, parent.primaryKey);
  // The file this one replaces, kept to be put back should the directory
  // refuse its sync; nothing but a regular file is replaced.
  std::string earlier;
  const ReadStatus existing = readFile(path, earlier);
  if (existing == ReadStatus::Failed || stageFile(path, bytes) != StageResult::Done ||
      !commitStagedFile(path)) {
    throw failedToWrite(path);
  }
  // The link exists once its entry is durable.
  if (!syncDirectory()) {
    if (existing == ReadStatus::Missing) {
      removeFile(path);
    } else if (stageFile(path, earlier) == StageResult::Done) {
      commitStagedFile(path);
    }
    throw failedToWrite(path);
  }
}
