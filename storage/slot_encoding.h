#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "model/cell.h"
#include "model/table.h"
#include "storage/bytes.h"
#include "storage/cell_encoding.h"
#include "storage/file_format.h"
#include "storage/file_system.h"
#include "storage/table_layout.h"

// How a write of a table's files encodes row slots and hands out their rule
// records; the in-place writers (storage/slot_writer.cpp) and the
// checkpoint's journal (storage/table_journal.cpp) share it, so that both
// leave the same bytes.

// `count` items of `stride` bytes; a product past the 64-bit range stays at
// its limit, which no file offset check lets through.
std::int64_t spanOf(std::int64_t count, std::int64_t stride);

// Whether a cell stores a rule record: a rule without states reads as the
// cell's value, so it is stored as one.
inline bool storesRule(const CellSlot& slot, const Cell& cell) {
  return slot.ruleNumbers && cell.rule && !cell.rule->states.empty();
}

// Whether any cell of `row` does.
inline bool storesRules(const SlotLayout& layout, const Row& row) {
  const std::size_t cells = std::min(row.cells.size(), layout.cells.size());
  for (std::size_t i = 0; i < cells; ++i) {
    if (storesRule(layout.cells[i], row.cells[i])) return true;
  }
  return false;
}

// The bytes of one rule record: at most `maxStates` states, since a longer
// chain would spill into the next record.
std::string ruleRecordBytes(std::int32_t rIdx, std::int32_t cIdx, const TempRule& rule,
                            int maxStates);

// The record number a temporal cell at `position` of the data file bytes
// `data` names, when its flag byte says it has one.
inline std::optional<std::int32_t> namedRecord(std::string_view data, std::int64_t position) {
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
  // `ruleFile` is the open rule file at `path`, or not open when there is
  // none; it must outlive the allocator.
  RecordAllocator(FileReader& ruleFile, std::string path, int maxStates);

  // The record of a cell whose slot names `named`. Throws "Failed to open
  // file: <path>" when the rule file does not give up bytes it holds.
  std::int64_t claim(std::optional<std::int32_t> named);

  // Whether the write appends records, and the number of records after it.
  bool appends() const { return next > existing; }
  std::int64_t end() const { return next; }

 private:
  bool isReadable(std::int64_t record);

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
// records it names go to `rules`. Returns whether the slot shows a chain's
// current value (a chain in a column that keeps no rule records), which
// changes with the clock.
template <typename RecordFor>
bool encodeSlot(const SlotEncoding<RecordFor>& encoding, const Row& row, char* out,
                std::vector<RuleRecord>& rules) {
  static const Cell kNoCell;
  const std::vector<CellSlot>& cells = encoding.layout.cells;
  bool showsClock = false;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const CellSlot& slot = cells[i];
    const Cell& cell = i < row.cells.size() ? row.cells[i] : kNoCell;
    char* const at = out + slot.offset;
    if (storesRule(slot, cell)) {
      const std::int64_t record = encoding.recordFor(static_cast<std::int64_t>(slot.offset));
      rules.push_back({record, ruleRecordBytes(encoding.rIdx, static_cast<std::int32_t>(i),
                                               *cell.rule, encoding.maxStates)});
      at[0] = 1;
      putInt32(at + 1, static_cast<std::int32_t>(record));
      continue;
    }
    // Only a chain needs the clock to give its current value.
    const bool chain = cell.rule && !cell.rule->states.empty();
    showsClock = showsClock || chain;
    const std::string& text = chain ? cell.getVal() : cell.value;
    encodeCellValue(slot.temporal ? at + 1 : at, slot.kind, text, slot.width);
  }
  return showsClock;
}

// Opens the rule file when a write needs it to hand out records; a missing
// one stays closed and holds no records. Throws "Failed to open file:
// <path>" for one that exists but does not open.
void openRuleFile(FileReader& reader, const std::string& path);

// Throws "File offset out of range: <path>" unless the last record a write
// appends lies within the 32-bit offsets.
void requireRuleOffsets(const RecordAllocator& records, int maxStates, const std::string& path);
