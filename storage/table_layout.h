#pragma once

#include <cstdint>
#include <limits>

#include "model/table.h"
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

// The bytes of a cell's value, without the temporal flag byte.
inline int valueWidth(const Column& column) {
  if (column.type == "string") {
    return isUsableStringWidth(column.size) ? column.size : kDefaultStringWidth;
  }
  const auto found = Storage::typeSizes.find(column.type);
  return found == Storage::typeSizes.end() ? 0 : found->second;
}

inline bool isTemporal(const Column& column) { return column.maxStates > 0; }

// A temporal column too narrow for a rule's record number keeps every value
// plain: nothing may be written or read outside the cell's own width.
inline bool holdsRuleNumbers(const Column& column) {
  return isTemporal(column) && valueWidth(column) >= kRecordNumberBytes;
}
