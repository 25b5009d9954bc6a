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

const std::map<std::string, int> Storage::typeSizes{
    {"int", 4}, {"string", 60}, {"ApexInt", 4}, {"float", 4}, {"bool", 1}};

namespace {

constexpr int kNameField = 15;
constexpr int kDefaultStringWidth = 60;
constexpr std::int64_t kRecordNumberBytes = 4;

// A "string" width the slots can use. Anything else (zero, negative, or so
// large that the flag byte no longer fits an int) holds the default width,
// the same when the slots are written and when they are read.
bool isUsableStringWidth(std::int32_t size) {
  return size > 0 && size < std::numeric_limits<std::int32_t>::max();
}

int valueWidth(const Column& column) {
  if (column.type == "string") {
    return isUsableStringWidth(column.size) ? column.size : kDefaultStringWidth;
  }
  const auto found = Storage::typeSizes.find(column.type);
  return found == Storage::typeSizes.end() ? 0 : found->second;
}

bool isTemporal(const Column& column) { return column.maxStates > 0; }

// A temporal column too narrow for a rule's record number keeps every value
// plain: nothing may be written or read outside the cell's own width.
bool holdsRuleNumbers(const Column& column) {
  return isTemporal(column) && valueWidth(column) >= kRecordNumberBytes;
}

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

// The record number that a temporal cell at `position` names now, when its
// flag byte says it has one.
std::optional<std::int32_t> existingRecord(std::fstream& file, std::int64_t position) {
  char bytes[1 + kRecordNumberBytes] = {};
  file.clear();
  file.seekg(position);
  file.read(bytes, sizeof bytes);
  const bool complete = file.gcount() == sizeof bytes;
  file.clear();
  if (!complete || bytes[0] != 1) return std::nullopt;
  return int32At(std::string_view(bytes + 1, kRecordNumberBytes));
}

// What one row slot is written from, and where.
struct SlotWrite {
  const Table& table;
  std::fstream& file;
  std::int64_t position;  // of the slot in the data file
  bool reuseRecords;      // rewrite mode: each rule keeps the record its slot names
  std::int32_t rIdx;      // the row number stored, for information, in each rule record
  int maxStates;
};

void appendTemporalCell(std::string& bytes, const SlotWrite& slot, const Column& column,
                        int columnIndex, const Cell& cell) {
  const int width = valueWidth(column);
  // A rule without states reads as the cell's value, so it is stored as one.
  if (holdsRuleNumbers(column) && cell.rule && !cell.rule->states.empty()) {
    const std::int64_t cellPosition = slot.position + static_cast<std::int64_t>(bytes.size());
    const auto existing =
        slot.reuseRecords ? existingRecord(slot.file, cellPosition) : std::nullopt;
    const int record =
        Storage::writeTempRule(slot.table.name, slot.rIdx, columnIndex, cell.rule.get(),
                               slot.maxStates, existing.value_or(-1));
    if (record >= 0) {
      bytes.push_back(1);
      appendInt32(bytes, record);
      bytes.append(static_cast<std::size_t>(width - kRecordNumberBytes), '\0');
      return;
    }
    // No rule file to hold the chain: keep at least its current value.
  }
  bytes.push_back(0);
  appendCellValue(bytes, column.type, cell.getVal(), width);
}

std::string slotBytes(const SlotWrite& slot, const Row& row) {
  static const Cell kNoCell;
  std::string bytes;
  const std::vector<Column>& columns = slot.table.columns;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Cell& cell = i < row.cells.size() ? row.cells[i] : kNoCell;
    if (isTemporal(columns[i])) {
      appendTemporalCell(bytes, slot, columns[i], static_cast<int>(i), cell);
    } else {
      appendCellValue(bytes, columns[i].type, cell.getVal(), valueWidth(columns[i]));
    }
  }
  return bytes;
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

void Storage::insertRow(const Table& table, const Row& row, int offset,
                        std::ios_base::seekdir dir) {
  const std::string path = table.name + ".bin";
  std::fstream file = openForUpdate(path, false);
  if (!file.is_open() || table.columns.empty()) return;
  const bool append = dir == std::ios_base::end;
  const std::int64_t position = (append ? streamLength(file) : 0) + offset;
  const std::int64_t size = rowSize(table.columns);
  requireFileOffsets(position, size, path);

  std::int32_t rIdx = static_cast<std::int32_t>(table.rows.size());
  if (append) {
    std::fstream map = openForUpdate(table.name + ".del", false);
    if (map.is_open()) {
      map.seekp(0, std::ios::end);
      map.put(0);
    }
  } else if (size > 0) {
    rIdx = static_cast<std::int32_t>((position - headerSize(table.columns.size())) / size);
  }

  const SlotWrite slot{table, file, position, !append, rIdx, largestMaxStates(table.columns)};
  const std::string bytes = slotBytes(slot, row);
  file.clear();
  file.seekp(position);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
    requireFileOffsets(position, size, table.name + ".bin");
    insertRow(table, *row, static_cast<int>(position), std::ios_base::beg);
  }
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
