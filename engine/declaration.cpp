#include "engine/declaration.h"

#include <cstdint>
#include <set>
#include <stdexcept>

#include "model/column_type.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/storage.h"

namespace {

// Bounds that keep every row slot and rule record a reasonable size: a
// checkpoint writes one slot per row and one record of room for the longest
// chain per temporal cell.
constexpr std::int32_t kMaxStringWidth = 1048576;
constexpr std::int32_t kMaxStateLimit = 4096;

std::string tooLong(const std::string& name) { return "Name longer than 15 bytes: " + name; }

}  // namespace

std::optional<std::string> tableNameFault(const std::string& name) {
  if (!isSafeTableName(name)) return "Forbidden table name";
  if (name.size() > kMaxNameBytes) return tooLong(name);
  return std::nullopt;
}

void checkDeclaration(const std::string& name, const std::vector<Column>& columns) {
  if (const std::optional<std::string> fault = tableNameFault(name)) {
    throw std::runtime_error(*fault);
  }
  std::set<std::string> names;
  for (const Column& column : columns) {
    if (!isSafeColumnName(column.name)) throw std::runtime_error("Forbidden column name");
    if (column.name.size() > kMaxNameBytes) throw std::runtime_error(tooLong(column.name));
    // Values, maps and conditions find a column by its name.
    if (!names.insert(column.name).second) {
      throw std::runtime_error("Duplicate column name: " + column.name);
    }
    if (valueKindOf(column.type) == ValueKind::kString &&
        (column.size <= 0 || column.size > kMaxStringWidth)) {
      throw std::runtime_error("Invalid string width: " + column.name);
    }
    // An identity key whose states could collide would make the key set-up
    // at start refuse the table.
    if (column.maxStates > kMaxStateLimit ||
        (isIdentityType(column.type) && column.maxStates > 0)) {
      throw std::runtime_error("Invalid state limit: " + column.name);
    }
    // A column with a state limit takes its value width plus the flag byte.
    if (column.maxStates > 0 && Storage::getColumnBinSize(column) - 1 < kRecordNumberBytes) {
      throw std::runtime_error("Column too narrow for state chains: " + column.name);
    }
  }
  int identityColumns = 0;
  for (const Column& column : columns) {
    if (isIdentityType(column.type) && ++identityColumns > 1) {
      throw std::runtime_error("A table can only have one ApexInt column");
    }
  }
}
