// The checkpoint's journal of a table's files: every row slot, deletion map
// byte and rule record it writes, gathered without writing anything.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/journal.h"
#include "storage/slot_encoding.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

namespace {

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
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(run.count) * layout.size);
    map.assign(static_cast<std::size_t>(run.count), kLiveRowByte);
    for (std::int64_t i = 0; i < run.count; ++i) {
      // Zeroed a slot at a time, just before it is encoded, while the
      // slot before it is still in the cache.
      bytes.append(layout.size, '\0');
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
    if (encodeSlot(SlotEncoding<decltype(recordFor)>{layout, static_cast<std::int32_t>(k),
                                                     maxStates, recordFor},
                   row, out, rules)) {
      clockRows.push_back(static_cast<std::int32_t>(k));
    }
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
  // The files hold exactly these rows already: cutting them to the lengths
  // they have would change nothing but their times.
  if (!whole && positions.empty() && rowCount == changes.storedRows) return {};
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
