// The in-place writers of a table's files: row slots, rule records and
// deletion map bytes, each written where it lies.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/slot_encoding.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

void Storage::insertRow(const Table& table, const Row& row, int offset,
                        std::ios_base::seekdir dir) {
  const std::string path = dataFilePath(table.name);
  std::string data;
  if (table.columns.empty() || readFile(path, data) != ReadStatus::Done) return;
  const bool append = dir == std::ios_base::end;
  const std::int64_t position = (append ? static_cast<std::int64_t>(data.size()) : 0) + offset;
  const std::int64_t size = rowSize(table.columns);
  requireFileOffsets(position, size, path);

  std::int32_t rIdx = static_cast<std::int32_t>(table.rows.size());
  if (!append && size > 0) {
    rIdx = static_cast<std::int32_t>((position - headerSize(table.columns.size())) / size);
  }
  const int maxStates = largestMaxStates(table.columns);
  const std::string rulePath = ruleFilePath(table.name);
  const SlotLayout layout = slotLayoutOf(table.columns);
  FileReader ruleFile;
  if (storesRules(layout, row)) openRuleFile(ruleFile, rulePath);
  RecordAllocator records(ruleFile, rulePath, maxStates);
  std::vector<RuleRecord> rules;
  const auto recordFor = [&](std::int64_t cellOffset) {
    return records.claim(append ? std::nullopt : namedRecord(data, position + cellOffset));
  };
  std::string slot(layout.size, '\0');
  encodeSlot(SlotEncoding<decltype(recordFor)>{layout, rIdx, maxStates, recordFor}, row,
             slot.data(), rules);
  requireRuleOffsets(records, maxStates, rulePath);

  if (append) {
    const std::string mapPath = deletionMapPath(table.name);
    if (entryKind(mapPath) == EntryKind::File &&
        !appendToFile(mapPath, std::string(1, '\0'), nullptr)) {
      throw failedToWrite(mapPath);
    }
  }
  const std::int64_t recordSize = ruleRecordSize(maxStates);
  for (const RuleRecord& rule : rules) {
    if (!writeFileAt(rulePath, rule.number * recordSize, rule.bytes, true)) {
      throw failedToWrite(rulePath);
    }
  }
  if (!writeFileAt(path, position, slot, false)) throw failedToWrite(path);
}

void Storage::update(const Table& table, const std::vector<Row*>& rows) {
  const std::int64_t header = headerSize(table.columns.size());
  const std::int64_t size = rowSize(table.columns);
  const Row* first = table.rows.data();
  const Row* last = first + table.rows.size();
  for (const Row* row : rows) {
    // Only rows of this table have a slot in its file.
    if (std::less<const Row*>{}(row, first) || !std::less<const Row*>{}(row, last)) continue;
    const std::int64_t position = header + (row - first) * size;
    requireFileOffsets(position, size, dataFilePath(table.name));
    insertRow(table, *row, static_cast<int>(position), std::ios_base::beg);
  }
}

int Storage::writeTempRule(const std::string& tableName, int rIdx, int cIdx, const TempRule* rule,
                           int maxStates, int recordNumber) {
  if (rule == nullptr || maxStates <= 0) return -1;
  const std::string path = ruleFilePath(tableName);
  const std::int64_t size = ruleRecordSize(maxStates);
  requireFileOffsets(0, size, path);  // before the file is created
  const EntryKind kind = entryKind(path);
  const std::optional<std::int64_t> length =
      kind == EntryKind::None ? std::optional<std::int64_t>(0) : fileSize(path);
  if (!length) throw failedToOpen(path);
  const std::int64_t records = (*length + size - 1) / size;
  const std::int64_t record = recordNumber >= 0 && recordNumber < records ? recordNumber : records;
  requireFileOffsets(record * size, size, path);
  if (!writeFileAt(path, record * size, ruleRecordBytes(rIdx, cIdx, *rule, maxStates), true)) {
    throw failedToWrite(path);
  }
  return static_cast<int>(record);
}

void Storage::deleteAt(const std::string& tableName, int slot) { deleteBatch(tableName, {slot}); }

void Storage::deleteBatch(const std::string& tableName, const std::vector<int>& slots) {
  if (slots.empty()) return;
  const std::string path = deletionMapPath(tableName);
  if (entryKind(path) != EntryKind::File) return;
  FileWriter map;
  bool written = map.open(path, FileWriter::Mode::Update);
  for (const int slot : slots) {
    if (written && slot >= 0) written = map.writeAt(slot, std::string(1, '\1'));
  }
  if (!map.close() || !written) throw failedToWrite(path);
}
