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
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/journal.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

namespace {

// `count` items of `stride` bytes; a product past the 64-bit range stays at
// its limit, which no file offset check lets through.
std::int64_t spanOf(std::int64_t count, std::int64_t stride) {
  std::int64_t span = 0;
  if (__builtin_mul_overflow(count, stride, &span)) return std::numeric_limits<std::int64_t>::max();
  return span;
}

// A rule without states reads as the cell's value, so it is stored as one.
bool storesRule(const CellSlot& slot, const Cell& cell) {
  return slot.ruleNumbers && cell.rule && !cell.rule->states.empty();
}

bool storesRules(const SlotLayout& layout, const Row& row) {
  const std::size_t cells = std::min(row.cells.size(), layout.cells.size());
  for (std::size_t i = 0; i < cells; ++i) {
    if (storesRule(layout.cells[i], row.cells[i])) return true;
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

// The data file's bytes under the slots a checkpoint encodes, read a window
// at a time as the positions ascend, so that the record numbers the slots
// name are found without the file lying in memory whole.
class SlotFileWindow {
 public:
  // Opens `path`; throws "Failed to open file: <path>" unless it is read.
  void open(const std::string& path) {
    if (reader.open(path) != ReadStatus::Done) throw failedToOpen(path);
    this->path = path;
  }

  // As namedRecord over the whole file; none while nothing is open.
  std::optional<std::int32_t> namedRecord(std::int64_t position) {
    constexpr std::int64_t kCell = 1 + kRecordNumberBytes;
    if (path.empty() || position < 0 || position + kCell > reader.size()) return std::nullopt;
    if (position < start || position + kCell > start + static_cast<std::int64_t>(bytes.size())) {
      start = position;
      const std::int64_t length = std::min(kWindow, reader.size() - position);
      if (!reader.readAt(start, length, bytes)) throw failedToOpen(path);
    }
    return ::namedRecord(bytes, position - start);
  }

 private:
  static constexpr std::int64_t kWindow = 256 * 1024;

  FileReader reader;
  std::string path;  // empty while nothing is open
  std::int64_t start = 0;
  std::string bytes;
};

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
    if (!file.readAt(record * size + kStateCountOffset, 4, count)) throw failedToOpen(path);
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

// How one row slot is encoded: `recordFor(cellOffset)` gives the record of
// the rule cell that starts `cellOffset` bytes into the slot.
template <typename RecordFor>
struct SlotEncoding {
  const SlotLayout& layout;
  std::int32_t rIdx;  // the row number stored, for information, in each rule record
  int maxStates;
  RecordFor recordFor;
};

// Writes `row`'s slot into the layout.size zero bytes at `out`; the rule
// records it names go to `rules`.
template <typename RecordFor>
void encodeSlot(const SlotEncoding<RecordFor>& encoding, const Row& row, char* out,
                std::vector<RuleRecord>& rules) {
  static const Cell kNoCell;
  const std::vector<CellSlot>& cells = encoding.layout.cells;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const CellSlot& slot = cells[i];
    const Cell& cell = i < row.cells.size() ? row.cells[i] : kNoCell;
    char* const at = out + slot.offset;
    if (!slot.temporal) {
      encodeCellValue(at, slot.kind, cell.getVal(), slot.width);
    } else if (storesRule(slot, cell)) {
      const std::int64_t record = encoding.recordFor(static_cast<std::int64_t>(slot.offset));
      rules.push_back({record, ruleRecordBytes(encoding.rIdx, static_cast<std::int32_t>(i),
                                               *cell.rule, encoding.maxStates)});
      at[0] = 1;
      putInt32(at + 1, static_cast<std::int32_t>(record));
    } else {
      encodeCellValue(at + 1, slot.kind, cell.getVal(), slot.width);
    }
  }
}

// Opens the rule file when a write needs it to hand out records; a missing
// one stays closed and holds no records.
void openRuleFile(FileReader& reader, const std::string& path) {
  if (reader.open(path) == ReadStatus::Failed) throw failedToOpen(path);
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
    throw failedToOpen(path);
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

namespace {

// A chain in a column that keeps no rule record is stored as its current
// value, which changes with the clock.
bool showsClockValue(const SlotLayout& layout, const Row& row) {
  const std::size_t cells = std::min(row.cells.size(), layout.cells.size());
  for (std::size_t i = 0; i < cells; ++i) {
    const Cell& cell = row.cells[i];
    if (cell.rule && !cell.rule->states.empty() && !layout.cells[i].ruleNumbers) return true;
  }
  return false;
}

// The rows a checkpoint that writes only what changed writes, in position
// order: the marked ones, the ones that show the clock and every row past
// the slots the files hold.
std::vector<std::int64_t> changedPositions(const Table& table) {
  const auto rowCount = static_cast<std::int64_t>(table.rows.size());
  std::vector<std::int64_t> positions;
  const ChangedRows& changes = table.changes;
  const std::int64_t marked = std::min<std::int64_t>(rowCount, changes.storedRows);
  const std::int64_t scanned = std::min<std::int64_t>(marked, changes.rows.size());
  for (std::int64_t k = 0; k < scanned; ++k) {
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

// Consecutive positions from `first`: one journal write per run into the
// deletion map and one into the data file.
struct Run {
  std::int64_t first = 0;
  std::int64_t count = 0;
};

std::vector<Run> runsOf(const std::vector<std::int64_t>& positions) {
  std::vector<Run> runs;
  for (const std::int64_t k : positions) {
    if (runs.empty() || runs.back().first + runs.back().count != k) runs.push_back({k, 0});
    ++runs.back().count;
  }
  return runs;
}

// Encodes the slots of a checkpoint's rows.
class SlotEncoder {
 public:
  SlotEncoder(const Table& table, const SlotLayout& layout, std::int64_t header,
              SlotFileWindow& data, RecordAllocator& records, int maxStates)
      : table(table),
        layout(layout),
        header(header),
        data(data),
        records(records),
        maxStates(maxStates) {}

  // The slots of a run, in one buffer of exactly their size, and its
  // deletion map bytes into `map` (run.count bytes), in the same pass.
  std::string slots(const Run& run, std::string& map) {
    std::string bytes(static_cast<std::size_t>(run.count) * layout.size, '\0');
    map.assign(static_cast<std::size_t>(run.count), kLiveRowByte);
    for (std::int64_t i = 0; i < run.count; ++i) {
      const Row& row =
          encode(run.first + i, bytes.data() + static_cast<std::size_t>(i) * layout.size);
      if (row.deleted) map[static_cast<std::size_t>(i)] = kDeletedRowByte;
    }
    return bytes;
  }

  std::vector<RuleRecord> rules;
  std::vector<std::int32_t> clockRows;

 private:
  const Row& encode(std::int64_t k, char* out) {
    const std::int64_t position = header + k * static_cast<std::int64_t>(layout.size);
    const auto recordFor = [&](std::int64_t cellOffset) {
      return records.claim(data.namedRecord(position + cellOffset));
    };
    const Row& row = table.rows[static_cast<std::size_t>(k)];
    encodeSlot(SlotEncoding<decltype(recordFor)>{layout, static_cast<std::int32_t>(k), maxStates,
                                                 recordFor},
               row, out, rules);
    if (showsClockValue(layout, row)) clockRows.push_back(static_cast<std::int32_t>(k));
    return row;
  }

  const Table& table;
  const SlotLayout& layout;
  std::int64_t header;
  SlotFileWindow& data;
  RecordAllocator& records;
  int maxStates;
};

}  // namespace

std::vector<std::int32_t> Storage::journalTable(const Table& table, Journal& journal) {
  const std::string dataPath = dataFilePath(table.name);
  const std::int64_t header = headerSize(table.columns.size());
  const SlotLayout layout = slotLayoutOf(table.columns);
  const auto size = static_cast<std::int64_t>(layout.size);
  const std::optional<std::int64_t> length = fileSize(dataPath);
  // A table without rows is written only to cut away whole slots its data
  // file still holds (rows a rollback removed). A table without columns has
  // no slots, so a file whose header names none never counts.
  const bool holdsSlots = length && size > 0 && *length - header >= size;
  if (table.rows.empty() && !holdsSlots) return {};
  // A missing data file is not created: it would have no header.
  if (!length) throw failedToOpen(dataPath);
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
    if (!mapLength && entryKind(mapPath) != EntryKind::None) throw failedToOpen(mapPath);
    whole = mapLength != changes.storedRows;
  }
  const std::vector<std::int64_t> positions =
      whole ? std::vector<std::int64_t>{} : changedPositions(table);
  bool rulesStored = false;
  if (layout.ruleNumbers) {
    const auto stores = [&](std::int64_t k) {
      return storesRules(layout, table.rows[static_cast<std::size_t>(k)]);
    };
    for (std::int64_t k = 0; whole && !rulesStored && k < rowCount; ++k) rulesStored = stores(k);
    for (std::size_t i = 0; !rulesStored && i < positions.size(); ++i) {
      rulesStored = stores(positions[i]);
    }
  }
  const std::string rulePath = ruleFilePath(table.name);
  SlotFileWindow data;
  FileReader ruleFile;
  if (rulesStored) {
    requireWritableOrMissing(rulePath);
    data.open(dataPath);
    openRuleFile(ruleFile, rulePath);
  }

  const int maxStates = largestMaxStates(table.columns);
  RecordAllocator records(ruleFile, rulePath, maxStates);
  SlotEncoder encoder(table, layout, header, data, records, maxStates);
  // The whole map is written even for a table without rows, as it always was.
  const std::vector<Run> runs = whole ? std::vector<Run>{{0, rowCount}} : runsOf(positions);
  // The slots go straight into the journal; should a rule record then be
  // refused, the table's changes are taken out again.
  const std::size_t before = journal.changes.size();
  try {
    journal.changes.reserve(before + 2 * runs.size() + 2);
    // The map's writes come first; their bytes are filled in as the slots
    // are encoded, so that each row is visited once.
    for (const Run& run : runs) journal.write(mapPath, run.first, "");
    journal.cut(mapPath, rowCount);
    for (std::size_t r = 0; r < runs.size(); ++r) {
      // Reserved above, so no write moves the changes this refers to.
      std::string& map = journal.changes[before + r].bytes;
      journal.write(dataPath, header + runs[r].first * size, encoder.slots(runs[r], map));
    }
    journal.cut(dataPath, header + rowCount * size);
    requireRuleOffsets(records, maxStates, rulePath);
  } catch (...) {
    journal.changes.resize(before);
    throw;
  }
  const std::int64_t recordSize = ruleRecordSize(maxStates);
  journal.changes.reserve(journal.changes.size() + encoder.rules.size());
  for (RuleRecord& rule : encoder.rules) {
    journal.write(rulePath, rule.number * recordSize, std::move(rule.bytes));
  }
  return std::move(encoder.clockRows);
}

void Storage::checkLogCanBeEmptied() { requireWritableOrMissing(std::string(kLogFileName)); }
