#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "engine/database.h"
#include "storage/bytes.h"
#include "storage/file_access.h"
#include "storage/storage.h"

namespace {

// `count` items of `stride` bytes; a product past the 64-bit range stays at
// its limit, which no file offset check lets through.
std::int64_t spanOf(std::int64_t count, std::int64_t stride) {
  std::int64_t span = 0;
  if (__builtin_mul_overflow(count, stride, &span)) return std::numeric_limits<std::int64_t>::max();
  return span;
}

std::int64_t fileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) return 0;
  return static_cast<std::int64_t>(
      std::min<std::uintmax_t>(size, std::numeric_limits<std::int64_t>::max()));
}

// Whether a data file of `size` bytes holds a whole row slot past its header.
// A table without columns has no slots, so a file whose header names none
// (one the engine cannot read) never counts.
bool holdsSlots(std::int64_t size, std::int64_t headerSize, std::int64_t rowSize) {
  return rowSize > 0 && size - headerSize >= rowSize;
}

std::runtime_error openFailure(const std::string& path) {
  return std::runtime_error("Failed to open file: " + path);
}

// One table the checkpoint rewrites, with the layout of its data file.
struct TableWrite {
  const Table* table;
  std::int64_t headerSize;
  std::int64_t rowSize;
};

// The rule records the table's rows may append: every temporal cell that has
// a rule could get a new one. An existing rule file that cannot be opened
// would make storage keep only the chains' current values.
void checkRuleFile(const Table& table) {
  const int maxStates = Storage::largestMaxStates(table.columns);
  if (maxStates <= 0) return;
  std::int64_t rules = 0;
  for (const Row& row : table.rows) {
    const std::size_t cells = std::min(row.cells.size(), table.columns.size());
    for (std::size_t i = 0; i < cells; ++i) {
      if (table.columns[i].maxStates > 0 && row.cells[i].rule) ++rules;
    }
  }
  if (rules == 0) return;
  const std::string path = table.name + ".tmp";
  std::error_code ignored;
  if (std::filesystem::exists(path, ignored) && !openForUpdate(path, false).is_open()) {
    throw openFailure(path);
  }
  const std::int64_t recordSize = Storage::ruleRecordSize(maxStates);
  // A partial record at the end counts: new records go after it.
  const std::int64_t existing = (fileSize(path) + recordSize - 1) / recordSize;
  requireFileOffsets(0, spanOf(existing + rules, recordSize), path);
}

// Every table to write, each checked so that nothing is written unless all
// of it can be. A table without rows is written only to cut away whole slots
// its data file still holds (rows a rollback removed).
std::vector<TableWrite> planCheckpoint(const std::map<std::string, Table>& tables) {
  std::vector<TableWrite> plan;
  for (const auto& [name, table] : tables) {
    const std::int64_t headerSize = Storage::headerSize(table.columns.size());
    const std::int64_t rowSize = Storage::rowSize(table.columns);
    const std::string dataPath = table.name + ".bin";
    if (table.rows.empty() && !holdsSlots(fileSize(dataPath), headerSize, rowSize)) continue;
    if (!openForUpdate(dataPath, false).is_open()) throw openFailure(dataPath);
    // A missing deletion map is simply written anew.
    const std::string mapPath = table.name + ".del";
    std::error_code ignored;
    if (std::filesystem::exists(mapPath, ignored) && !openForUpdate(mapPath, false).is_open()) {
      throw openFailure(mapPath);
    }
    requireFileOffsets(headerSize, spanOf(static_cast<std::int64_t>(table.rows.size()), rowSize),
                       dataPath);
    checkRuleFile(table);
    plan.push_back({&table, headerSize, rowSize});
  }
  return plan;
}

// One byte per row, 1 for a tombstone.
void writeDeletionMap(const Table& table) {
  std::ofstream map(table.name + ".del", std::ios::out | std::ios::binary | std::ios::trunc);
  for (const Row& row : table.rows) map.put(row.deleted ? '\1' : '\0');
}

void writeTable(const TableWrite& write) {
  const Table& table = *write.table;
  writeDeletionMap(table);
  std::int64_t offset = write.headerSize;
  for (const Row& row : table.rows) {
    Storage::insertRow(table, row, static_cast<int>(offset), std::ios_base::beg);
    offset += write.rowSize;
  }
  // Slots past the rows in memory belong to rows that no longer exist.
  std::error_code ignored;
  std::filesystem::resize_file(table.name + ".bin", static_cast<std::uintmax_t>(offset), ignored);
}

}  // namespace

void Database::validateCheckpoint() const { planCheckpoint(tables); }

void Database::runCheckpoint() {
  for (const TableWrite& write : planCheckpoint(tables)) writeTable(write);
  Storage::clearWAL();
  if (inTransaction) checkpointedInTransaction = true;
}

void Database::checkpoint() {
  const std::unique_lock lock(rwLock);
  runCheckpoint();
}
