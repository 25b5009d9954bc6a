#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "model/column_type.h"
#include "model/number.h"
#include "storage/bytes.h"
#include "storage/cell_encoding.h"
#include "storage/file_access.h"
#include "storage/file_names.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

const std::map<std::string, int> Storage::typeSizes{
    {"int", 4}, {"string", 60}, {"ApexInt", 4}, {"float", 4}, {"bool", 1}};

namespace {

std::string dataFilePath(const std::string& name) {
  return name.find(".bin") != std::string::npos ? name : name + ".bin";
}

void writeHeader(std::ostream& out, const Table& table) {
  writeWithPadding(out, table.name, kNameField);
  for (const Column& column : table.columns) writeWithPadding(out, column.type, kNameField);
  for (const Column& column : table.columns) writeWithPadding(out, column.name, kNameField);
  for (const Column& column : table.columns) {
    writeWithPadding(out, std::to_string(column.maxStates), kNameField);
  }
  for (const Column& column : table.columns) {
    writeWithPadding(out, std::to_string(column.size), kNameField);
  }
}

// How the cells of one slot are read back.
struct SlotRead {
  const std::vector<Column>& columns;
  std::string ruleTable;  // names the temporal-rule file; "" when rules cannot be read
  int maxStates;
};

void decodeCell(Cell& cell, const SlotRead& slot, const Column& column, std::string_view field) {
  if (!isTemporal(column)) {
    cell.value = decodeCellValue(column.type, field);
    return;
  }
  const std::string_view value = field.substr(1);
  if (!holdsRuleNumbers(column) || field[0] != 1) {
    cell.value = decodeCellValue(column.type, value);
    return;
  }
  if (!slot.ruleTable.empty()) {
    cell.rule = Storage::readTempRule(slot.ruleTable, int32At(value), slot.maxStates);
  }
}

Row decodeRow(const SlotRead& slot, const std::string& tableName, std::string_view bytes,
              std::int32_t position) {
  Row row;
  row.tableName = tableName;
  row.cells.reserve(slot.columns.size());
  std::size_t at = 0;
  for (const Column& column : slot.columns) {
    const auto width = static_cast<std::size_t>(Storage::getColumnBinSize(column));
    Cell& cell = row.cells.emplace_back();
    cell.column = column.name;
    cell.type = column.type;
    cell.rowIndex = position;
    decodeCell(cell, slot, column, bytes.substr(at, width));
    at += width;
  }
  return row;
}

void readDeletionMap(Table& table, const std::string& path) {
  std::ifstream map(path, std::ios::binary);
  if (!map.is_open()) return;
  std::string bytes(table.rows.size(), '\0');
  map.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const auto covered = static_cast<std::size_t>(map.gcount());
  for (std::size_t p = 0; p < covered; ++p) {
    if (bytes[p] == 0) continue;
    table.rows[p].deleted = true;
    table.deletedRows.insert(static_cast<std::int32_t>(p));
  }
}

}  // namespace

int Storage::getColumnBinSize(const Column& column) {
  return valueWidth(column) + (isTemporal(column) ? 1 : 0);
}

std::int64_t Storage::headerSize(std::size_t columnCount) {
  return kNameField + 4 * kNameField * static_cast<std::int64_t>(columnCount);
}

std::int64_t Storage::rowSize(const std::vector<Column>& columns) {
  std::int64_t size = 0;
  for (const Column& column : columns) size += getColumnBinSize(column);
  return size;
}

int Storage::largestMaxStates(const std::vector<Column>& columns) {
  int largest = 0;
  for (const Column& column : columns) largest = std::max(largest, column.maxStates);
  return largest;
}

void Storage::saveTable(const std::string& path, const Table& table, const std::string&) {
  std::fstream file = openForUpdate(path, true);
  if (!file.is_open()) throw std::runtime_error("Failed to open file: " + path);
  if (!getColumns(file).empty()) throw std::runtime_error("Column size error");
  file.clear();
  file.seekp(0);
  writeHeader(file, table);
  file.close();

  const std::string deletionMap = path.substr(0, path.find('.')) + ".del";
  openForUpdate(deletionMap, true);  // creates a missing map; an existing one is kept
  setUpDeletesFile(table);
}

std::string Storage::read(std::fstream& file, int offset, int length) {
  if (offset < 0 || length <= 0) return {};
  std::string field(static_cast<std::size_t>(length), '\0');
  file.clear();
  file.seekg(offset);
  file.read(field.data(), length);
  field.resize(static_cast<std::size_t>(file.gcount()));
  file.clear();
  field.resize(textOf(field).size());
  return field;
}

std::vector<Column> Storage::getColumns(std::fstream& file) {
  const auto& typeNames = columnTypeNames();
  std::vector<std::string> types;
  // The header must stay addressable with 32-bit offsets.
  while (fitsFileOffsets(0, headerSize(types.size() + 1))) {
    std::string type = read(file, static_cast<int>(kNameField * (1 + types.size())), kNameField);
    if (typeNames.count(type) == 0) break;
    types.push_back(std::move(type));
  }

  const std::int64_t n = static_cast<std::int64_t>(types.size());
  const auto field = [&](std::int64_t block, std::size_t i) {
    return read(file, static_cast<int>(kNameField * (1 + block * n + static_cast<std::int64_t>(i))),
                kNameField);
  };
  std::vector<Column> columns;
  columns.reserve(types.size());
  for (std::size_t i = 0; i < types.size(); ++i) {
    Column column;
    column.type = std::move(types[i]);
    column.name = field(1, i);
    column.maxStates = toInt32(field(2, i)).value_or(0);
    const auto size = toInt32(field(3, i));
    if (column.type == "string") {
      column.size = size && isUsableStringWidth(*size) ? *size : kDefaultStringWidth;
    } else {
      column.size = size.value_or(typeSizes.at(column.type));
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

std::vector<Row> Storage::getRows(std::fstream& file, const std::vector<Column>& columns) {
  std::vector<Row> rows;
  const std::int64_t size = rowSize(columns);
  if (columns.empty() || size <= 0) return rows;
  const std::int64_t header = headerSize(columns.size());
  const std::string tableName = read(file, 0, kNameField);
  // A header name that is no bare file name cannot name the rule file.
  const SlotRead slot{columns, isSafeTableName(tableName) ? tableName : "",
                      largestMaxStates(columns)};

  // Only whole slots become rows: a file cut inside a slot loses that row.
  const std::int64_t length = streamLength(file);
  std::string bytes;
  for (std::int64_t position = header; position + size <= length && fitsFileOffsets(position, size);
       position += size) {
    bytes.resize(static_cast<std::size_t>(size));
    file.clear();
    file.seekg(position);
    if (!file.read(bytes.data(), static_cast<std::streamsize>(size))) break;
    rows.push_back(decodeRow(slot, tableName, bytes, static_cast<std::int32_t>(rows.size())));
  }
  return rows;
}

Table Storage::loadTable(const std::string& name, const std::string&) {
  Table table;
  table.name = name;
  std::fstream file(dataFilePath(name), std::ios::in | std::ios::binary);
  if (!file.is_open()) return table;
  table.columns = getColumns(file);
  for (const Column& column : table.columns) {
    table.columnTypes[column.name] = column.type;
    table.maxStatesByColumn[column.name] = column.maxStates;
  }
  table.rows = getRows(file, table.columns);
  readDeletionMap(table, name + ".del");
  return table;
}
