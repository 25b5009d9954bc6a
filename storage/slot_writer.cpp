// The write side of a table's files: row slots, rule records and deletion
// map bytes, written in place or gathered into the checkpoint's journal.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/bytes.h"
#include "storage/cell_encoding.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/journal.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

namespace {

std::runtime_error openFailure(const std::string& path) {
  return std::runtime_error("Failed to open file: " + path);
}

std::runtime_error writeFailure(const std::string& path) {
  return std::runtime_error("Failed to write file: " + path);
}

// `count` items of `stride` bytes; a product past the 64-bit range stays at
// its limit, which no file offset check lets through.
std::int64_t spanOf(std::int64_t count, std::int64_t stride) {
  std::int64_t span = 0;
  if (__builtin_mul_overflow(count, stride, &span)) return std::numeric_limits<std::int64_t>::max();
  return span;
}

// A rule without states reads as the cell's value, so it is stored as one.
bool storesRule(const Column& column, const Cell& cell) {
  return holdsRuleNumbers(column) && cell.rule && !cell.rule->states.empty();
}

bool anyRuleStored(const Table& table, const std::vector<const Row*>& rows) {
  for (const Row* row : rows) {
    const std::size_t cells = std::min(row->cells.size(), table.columns.size());
    for (std::size_t i = 0; i < cells; ++i) {
      if (storesRule(table.columns[i], row->cells[i])) return true;
    }
  }
  return false;
}

std::string ruleRecordBytes(std::int32_t rIdx, std::int32_t cIdx, const TempRule& rule,
                            int maxStates) {
  // A chain longer than the limit would spill into the next record.
  const auto stateCount =
      static_cast<std::int32_t>(std::min<std::size_t>(rule.states.size(), maxStates));
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(Storage::ruleRecordSize(maxStates)));
  appendInt32(bytes, rIdx);
  appendInt32(bytes, cIdx);
  bytes.push_back(rule.isCycle ? 1 : 0);
  appendInt64(bytes, rule.insTime);
  appendInt64(bytes, rule.preCalc);
  appendInt32(bytes, stateCount);
  for (std::int32_t j = 0; j < stateCount; ++j) {
    appendInt64(bytes, rule.states[j].duration);
    appendPadded(bytes, rule.states[j].value, kStateValueBytes);
  }
  bytes.resize(static_cast<std::size_t>(Storage::ruleRecordSize(maxStates)), '\0');
  return bytes;
}

// The record number a temporal cell at `position` of the data file names,
// when its flag byte says it has one.
std::optional<std::int32_t> namedRecord(std::string_view data, std::int64_t position) {
  if (position < 0 || position + 1 + kRecordNumberBytes > static_cast<std::int64_t>(data.size())) {
    return std::nullopt;
  }
  if (data[static_cast<std::size_t>(position)] != 1) return std::nullopt;
  return int32At(data.substr(static_cast<std::size_t>(position) + 1));
}

// Hands out the rule records of one write: a cell keeps the record its slot
// names when the rule file holds that record whole and readable and no other
// cell of the write has claimed it; every other cell gets a fresh record at
// the end, so no two cells ever name one record. A partial record at the end
// still counts, so that a fresh record never shares bytes with it.
class RecordAllocator {
 public:
  // `ruleFile` is the open rule file, or not open when there is none.
  RecordAllocator(FileReader& ruleFile, std::string path, int maxStates)
      : file(ruleFile),
        path(std::move(path)),
        size(Storage::ruleRecordSize(maxStates)),
        maxStates(maxStates) {
    existing = size > 0 ? (ruleFile.size() + size - 1) / size : 0;
    next = existing;
  }

  std::int64_t claim(std::optional<std::int32_t> named) {
    if (named && isReadable(*named) && claimed.insert(*named).second) return *named;
    return next++;
  }

  // Whether the write appends records, and the number of records after it.
  bool appends() const { return next > existing; }
  std::int64_t end() const { return next; }

 private:
  bool isReadable(std::int64_t record) {
    // Only a whole record is readable.
    if (record < 0 || record >= existing || (record + 1) * size > file.size()) return false;
    std::string count;
    // The file holds the bytes: a read that fails is no answer.
    if (!file.readAt(record * size + kStateCountOffset, 4, count)) throw openFailure(path);
    const std::int32_t states = int32At(count);
    return states > 0 && states <= maxStates;
  }

  FileReader& file;
  std::string path;
  std::int64_t size;
  int maxStates;
  std::int64_t existing = 0;
  std::int64_t next = 0;
  std::set<std::int64_t> claimed;
};

struct RuleRecord {
  std::int64_t number;
  std::string bytes;
};

// How one row slot is encoded: `recordFor` gives the record of the rule
// cell that starts `cellOffset` bytes into the slot.
struct SlotEncoding {
  const Table& table;
  std::int32_t rIdx;  // the row number stored, for information, in each rule record
  int maxStates;
  std::function<std::int64_t(std::int64_t cellOffset)> recordFor;
};

// The bytes of `row`'s slot; the rule records it names go to `rules`.
std::string encodeSlot(const SlotEncoding& encoding, const Row& row,
                       std::vector<RuleRecord>& rules) {
  static const Cell kNoCell;
  std::string bytes;
  const std::vector<Column>& columns = encoding.table.columns;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& column = columns[i];
    const Cell& cell = i < row.cells.size() ? row.cells[i] : kNoCell;
    const int width = valueWidth(column);
    if (!isTemporal(column)) {
      appendCellValue(bytes, column.type, cell.getVal(), width);
    } else if (storesRule(column, cell)) {
      const std::int64_t record = encoding.recordFor(static_cast<std::int64_t>(bytes.size()));
      rules.push_back({record, ruleRecordBytes(encoding.rIdx, static_cast<std::int32_t>(i),
                                               *cell.rule, encoding.maxStates)});
      bytes.push_back(1);
      appendInt32(bytes, static_cast<std::int32_t>(record));
      bytes.append(static_cast<std::size_t>(width - kRecordNumberBytes), '\0');
    } else {
      bytes.push_back(0);
      appendCellValue(bytes, column.type, cell.getVal(), width);
    }
  }
  return bytes;
}

// Opens the rule file when a write needs it to hand out records; a missing
// one stays closed and holds no records.
void openRuleFile(FileReader& reader, const std::string& path) {
  if (reader.open(path) == ReadStatus::Failed) throw openFailure(path);
}

// The last record a write appends must lie within the 32-bit offsets.
void requireRuleOffsets(const RecordAllocator& records, int maxStates, const std::string& path) {
  if (records.appends()) {
    requireFileOffsets(0, spanOf(records.end(), Storage::ruleRecordSize(maxStates)), path);
  }
}

// Throws "Failed to open file: <path>" unless the entry is missing or a
// regular file that opens for writing. Nothing is created or changed.
void requireWritableOrMissing(const std::string& path) {
  const EntryKind kind = entryKind(path);
  if (kind == EntryKind::None) return;
  FileWriter writer;
  if (kind == EntryKind::Other || !writer.open(path, FileWriter::Mode::Update) || !writer.close()) {
    throw openFailure(path);
  }
}

}  // namespace

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
  FileReader ruleFile;
  if (anyRuleStored(table, {&row})) openRuleFile(ruleFile, rulePath);
  RecordAllocator records(ruleFile, rulePath, maxStates);
  std::vector<RuleRecord> rules;
  const SlotEncoding encoding{
      table, rIdx, maxStates, [&](std::int64_t cellOffset) {
        return records.claim(append ? std::nullopt : namedRecord(data, position + cellOffset));
      }};
  const std::string slot = encodeSlot(encoding, row, rules);
  requireRuleOffsets(records, maxStates, rulePath);

  if (append) {
    const std::string mapPath = deletionMapPath(table.name);
    if (entryKind(mapPath) == EntryKind::File &&
        !appendToFile(mapPath, std::string(1, '\0'), nullptr)) {
      throw writeFailure(mapPath);
    }
  }
  const std::int64_t recordSize = ruleRecordSize(maxStates);
  for (const RuleRecord& rule : rules) {
    if (!writeFileAt(rulePath, rule.number * recordSize, rule.bytes, true)) {
      throw writeFailure(rulePath);
    }
  }
  if (!writeFileAt(path, position, slot, false)) throw writeFailure(path);
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
  if (!length) throw openFailure(path);
  const std::int64_t records = (*length + size - 1) / size;
  const std::int64_t record = recordNumber >= 0 && recordNumber < records ? recordNumber : records;
  requireFileOffsets(record * size, size, path);
  if (!writeFileAt(path, record * size, ruleRecordBytes(rIdx, cIdx, *rule, maxStates), true)) {
    throw writeFailure(path);
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
  if (!map.close() || !written) throw writeFailure(path);
}

namespace {

// A chain in a column that keeps no rule record is stored as its current
// value, which changes with the clock.
bool showsClockValue(const Table& table, const Row& row) {
  const std::size_t cells = std::min(row.cells.size(), table.columns.size());
  for (std::size_t i = 0; i < cells; ++i) {
    const Cell& cell = row.cells[i];
    if (cell.rule && !cell.rule->states.empty() && !holdsRuleNumbers(table.columns[i])) return true;
  }
  return false;
}

// The rows a checkpoint of `table` writes, in position order: every row when
// `whole`, otherwise the marked ones, the ones that show the clock and every
// row past the slots the files hold.
std::vector<std::int64_t> rowsToWrite(const Table& table, bool whole) {
  const auto rowCount = static_cast<std::int64_t>(table.rows.size());
  std::vector<std::int64_t> positions;
  if (whole) {
    positions.resize(static_cast<std::size_t>(rowCount));
    for (std::int64_t k = 0; k < rowCount; ++k) positions[static_cast<std::size_t>(k)] = k;
    return positions;
  }
  const ChangedRows& changes = table.changes;
  const std::int64_t marked = std::min<std::int64_t>(rowCount, changes.storedRows);
  for (std::int64_t k = 0; k < marked && static_cast<std::size_t>(k) < changes.rows.size(); ++k) {
    if (changes.rows[static_cast<std::size_t>(k)]) positions.push_back(k);
  }
  for (const std::int32_t k : changes.clockRows) {
    if (k < marked) positions.push_back(k);
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  for (std::int64_t k = std::max<std::int64_t>(0, changes.storedRows); k < rowCount; ++k) {
    positions.push_back(k);
  }
  return positions;
}

// Bytes for consecutive positions from `first`: one journal write per run.
struct Run {
  std::int64_t first = 0;
  std::string slots;
  std::string map;
};

}  // namespace

std::vector<std::int32_t> Storage::journalTable(const Table& table, Journal& journal) {
  const std::string dataPath = dataFilePath(table.name);
  const std::int64_t header = headerSize(table.columns.size());
  const std::int64_t size = rowSize(table.columns);
  const std::optional<std::int64_t> length = fileSize(dataPath);
  // A table without rows is written only to cut away whole slots its data
  // file still holds (rows a rollback removed). A table without columns has
  // no slots, so a file whose header names none never counts.
  const bool holdsSlots = length && size > 0 && *length - header >= size;
  if (table.rows.empty() && !holdsSlots) return {};
  // A missing data file is not created: it would have no header.
  if (!length) throw openFailure(dataPath);
  requireWritableOrMissing(dataPath);
  const std::string mapPath = deletionMapPath(table.name);
  requireWritableOrMissing(mapPath);
  const auto rowCount = static_cast<std::int64_t>(table.rows.size());
  requireFileOffsets(header, spanOf(rowCount, size), dataPath);

  // Only files that hold exactly the slots the last checkpoint left can
  // take just the changed rows; anything else is written whole.
  const ChangedRows& changes = table.changes;
  bool whole = changes.all || *length != header + changes.storedRows * size;
  if (!whole) {
    const std::optional<std::int64_t> mapLength = fileSize(mapPath);
    // A map that exists but cannot be measured cannot be written either.
    if (!mapLength && entryKind(mapPath) != EntryKind::None) throw openFailure(mapPath);
    whole = mapLength != changes.storedRows;
  }
  const std::vector<std::int64_t> positions = rowsToWrite(table, whole);
  std::vector<const Row*> rows;
  rows.reserve(positions.size());
  for (const std::int64_t k : positions) rows.push_back(&table.rows[static_cast<std::size_t>(k)]);
  const bool rulesStored = anyRuleStored(table, rows);
  const std::string rulePath = ruleFilePath(table.name);
  std::string data;
  FileReader ruleFile;
  if (rulesStored) {
    requireWritableOrMissing(rulePath);
    if (readFile(dataPath, data) != ReadStatus::Done) throw openFailure(dataPath);
    openRuleFile(ruleFile, rulePath);
  }

  const int maxStates = largestMaxStates(table.columns);
  RecordAllocator records(ruleFile, rulePath, maxStates);
  std::vector<RuleRecord> rules;
  std::vector<Run> runs;
  std::vector<std::int32_t> clockRows;
  if (whole) runs.reserve(1);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const std::int64_t k = positions[i];
    if (runs.empty() ||
        runs.back().first + static_cast<std::int64_t>(runs.back().map.size()) != k) {
      runs.push_back({k, {}, {}});
      if (whole) {
        runs.back().slots.reserve(static_cast<std::size_t>(spanOf(rowCount, size)));
        runs.back().map.reserve(table.rows.size());
      }
    }
    const std::int64_t position = header + k * size;
    const SlotEncoding encoding{table, static_cast<std::int32_t>(k), maxStates,
                                [&](std::int64_t cellOffset) {
                                  return records.claim(namedRecord(data, position + cellOffset));
                                }};
    const Row& row = *rows[i];
    runs.back().slots += encodeSlot(encoding, row, rules);
    runs.back().map.push_back(row.deleted ? 1 : 0);
    if (showsClockValue(table, row)) clockRows.push_back(static_cast<std::int32_t>(k));
  }
  requireRuleOffsets(records, maxStates, rulePath);

  // The whole map is written even for a table without rows, as it always was.
  if (whole && runs.empty()) runs.push_back({0, {}, {}});
  for (Run& run : runs) journal.write(mapPath, run.first, std::move(run.map));
  journal.cut(mapPath, rowCount);
  for (Run& run : runs) journal.write(dataPath, header + run.first * size, std::move(run.slots));
  journal.cut(dataPath, header + rowCount * size);
  const std::int64_t recordSize = ruleRecordSize(maxStates);
  for (RuleRecord& rule : rules) {
    journal.write(rulePath, rule.number * recordSize, std::move(rule.bytes));
  }
  return clockRows;
}

void Storage::checkLogCanBeEmptied() { requireWritableOrMissing(std::string(kLogFileName)); }
