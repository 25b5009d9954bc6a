#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "model/table.h"
#include "storage/cell_encoding.h"
#include "storage/file_format.h"
#include "storage/storage.h"

// The byte layout of a table's files that their readers and writers share:
// the header's fixed-width fields, the cells of a row slot and the records
// of the temporal-rule file.

inline constexpr int kNameField = kNameFieldBytes;
inline constexpr int kDefaultStringWidth = 60;
// Where a rule record keeps its state count.
inline constexpr std::int64_t kStateCountOffset = 25;

// A "string" width the slots can use. Anything else (zero, negative, or so
// large that the flag byte no longer fits an int) holds the default width,
// the same when the slots are written and when they are read.
inline bool isUsableStringWidth(std::int32_t size) {
  return size > 0 && size < std::numeric_limits<std::int32_t>::max();
}

// The bytes of a value of each kind; a "string" column's own width is its
// Column::size, and this default only where that is unusable.
constexpr int valueWidthOf(ValueKind kind) {
  switch (kind) {
    case ValueKind::kInteger:
    case ValueKind::kFloat:
      return 4;
    case ValueKind::kBool:
      return 1;
    case ValueKind::kString:
      return kDefaultStringWidth;
    case ValueKind::kOther:
      break;
  }
  return 0;
}

// The bytes of a cell's value, without the temporal flag byte. Asked for
// every cell written or read, so it goes by the kind, not by a look-up.
inline int valueWidth(const Column& column) {
  const ValueKind kind = valueKindOf(column.type);
  if (kind == ValueKind::kString && isUsableStringWidth(column.size)) return column.size;
  return valueWidthOf(kind);
}

inline bool isTemporal(const Column& column) { return column.maxStates > 0; }

// A temporal column too narrow for a rule's record number keeps every value
// plain: nothing may be written or read outside the cell's own width.
inline bool holdsRuleNumbers(const Column& column) {
  return isTemporal(column) && valueWidth(column) >= kRecordNumberBytes;
}

// One column's cell within a row slot, worked out once per table rather
// than once per cell.
struct CellSlot {
  ValueKind kind = ValueKind::kOther;
  std::size_t offset = 0;  // from the start of the slot, the flag byte included
  std::size_t width = 0;   // of the value, without the flag byte
  bool temporal = false;
  bool ruleNumbers = false;  // holdsRuleNumbers
};

struct SlotLayout {
  std::vector<CellSlot> cells;  // in column order
  std::size_t size = 0;         // Storage::rowSize
  bool ruleNumbers = false;     // whether any cell can name a rule record
};

inline SlotLayout slotLayoutOf(const std::vector<Column>& columns) {
  SlotLayout layout;
  layout.cells.reserve(columns.size());
  for (const Column& column : columns) {
    CellSlot cell;
    cell.kind = valueKindOf(column.type);
    cell.offset = layout.size;
    cell.width = static_cast<std::size_t>(valueWidth(column));
    cell.temporal = isTemporal(column);
    cell.ruleNumbers = holdsRuleNumbers(column);
    layout.size += cell.width + (cell.temporal ? 1 : 0);
    layout.ruleNumbers = layout.ruleNumbers || cell.ruleNumbers;
    layout.cells.push_back(cell);
  }
  return layout;
}
