#include "engine/write_checks.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "model/column_type.h"
#include "model/stored_form.h"
#include "storage/bytes.h"
#include "storage/cell_encoding.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/storage.h"

namespace {

// `a` times `b`, or none past the 64-bit range.
std::optional<std::int64_t> product(std::int64_t a, std::int64_t b) {
  std::int64_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
  return result;
}

// Puts `text` in its stored form for a column of type `type`. A text that
// already is its stored form is left as it is, without the conversion and
// the copy: every "string" value and the integers as commands mostly write
// them.
void toStoredText(std::string& text, std::string_view type) {
  switch (valueKindOf(type)) {
    case ValueKind::kString:
    case ValueKind::kOther:
      return;
    case ValueKind::kInteger:
      if (isPlainInt32(text)) return;
      break;
    case ValueKind::kFloat:
    case ValueKind::kBool:
      break;
  }
  text = storedForm(type, text);
}

}  // namespace

const Column* findColumn(const Table& table, const std::string& name) {
  const auto found = std::find_if(table.columns.begin(), table.columns.end(),
                                  [&](const Column& column) { return column.name == name; });
  return found == table.columns.end() ? nullptr : &*found;
}

void toStoredForm(Cell& cell, const std::string& type) {
  toStoredText(cell.value, type);
  if (!cell.rule) return;
  for (TempState& state : cell.rule->states) toStoredText(state.value, type);
}

void requireStorableValue(const Cell& cell, const Column& column) {
  const auto tooLong = [&](const std::string& text, std::int64_t width) {
    return static_cast<std::int64_t>(text.size()) > width;
  };
  bool fits = true;
  bool reserved = false;
  if (cell.rule && !cell.rule->states.empty()) {
    for (const TempState& state : cell.rule->states) {
      fits = fits && !tooLong(state.value, kStateValueBytes);
    }
  } else if (valueKindOf(column.type) == ValueKind::kString) {
    fits = !tooLong(cell.getVal(), column.size);
    // The declaration keeps every width positive.
    reserved = readsAsMissingValue(cell.getVal(), static_cast<std::size_t>(column.size));
  }
  if (!fits) throw std::runtime_error("Value too long for column: " + column.name);
  if (reserved) {
    throw std::runtime_error("Value reserved for a missing value in column: " + column.name);
  }
}

void requireRowSlot(const Table& table, std::int64_t position) {
  const std::int64_t rowSize = Storage::rowSize(table.columns);
  const std::optional<std::int64_t> offset = product(position, rowSize);
  // The file name is only put together for the message: this runs per insert.
  if (!offset || !fitsFileOffsets(Storage::headerSize(table.columns.size()) + *offset, rowSize)) {
    throw fileOffsetOutOfRange(dataFilePath(table.name));
  }
}

void requireRuleRecords(const Table& table, std::int64_t rowCount) {
  const auto temporal = std::count_if(table.columns.begin(), table.columns.end(),
                                      [](const Column& column) { return column.maxStates > 0; });
  const std::int64_t recordSize = Storage::ruleRecordSize(Storage::largestMaxStates(table.columns));
  const std::optional<std::int64_t> records = product(rowCount, temporal);
  const std::optional<std::int64_t> bytes = records ? product(*records, recordSize) : std::nullopt;
  const std::string path = ruleFilePath(table.name);
  if (!bytes) throw fileOffsetOutOfRange(path);
  requireFileOffsets(0, *bytes, path);
}
