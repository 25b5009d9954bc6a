#include <algorithm>
#include <cstdint>
#include <cstring>
#include <istream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "model/column_type.h"
#include "model/number.h"
#include "storage/bytes.h"
#include "storage/cell_encoding.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_read_buffer.h"
#include "storage/file_system.h"
#include "storage/slot_encoding.h"
#include "storage/staged_file.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

const std::map<std::string, int> Storage::typeSizes = [] {
  std::map<std::string, int> sizes;
  for (const ColumnType& type : kColumnTypes) {
    sizes[std::string(type.name)] = valueWidthOf(type.kind);
  }
  return sizes;
}();

namespace {

// The data file loadTable reads for `name`.
std::string dataFileToLoad(const std::string& name) {
  return name.find(kDataFileExtension) != std::string::npos ? name : dataFilePath(name);
}

// The table name, then the types, names, state limits and widths of all
// columns, each in a name field.
std::string tableHeader(const Table& table) {
  std::string bytes;
  const auto put = [&bytes](std::string_view text) {
    appendWithPadding(bytes, text, kNameFieldBytes);
  };
  put(table.name);
  for (const Column& column : table.columns) put(column.type);
  for (const Column& column : table.columns) put(column.name);
  for (const Column& column : table.columns) put(std::to_string(column.maxStates));
  for (const Column& column : table.columns) put(std::to_string(column.size));
  return bytes;
}

// Writes `bytes` under the temporary name of `path`, or throws as saveTable.
void stageNewFile(const std::string& path, std::string_view bytes) {
  switch (stageFile(path, bytes)) {
    case StageResult::Done:
      return;
    case StageResult::OpenFailed:
      throw failedToOpen(path);
    case StageResult::WriteFailed:
      throw failedToWrite(path);
  }
}

// Whether every byte of `bytes` is zero; a block at a time, since the
// padding of a "string" field is most of a slot.
bool allZero(std::string_view bytes) {
  static constexpr char kZeros[64] = {};
  while (!bytes.empty()) {
    const std::size_t block = std::min(bytes.size(), sizeof kZeros);
    if (std::memcmp(bytes.data(), kZeros, block) != 0) return false;
    bytes.remove_prefix(block);
  }
  return true;
}

// Whether encoding `value` for a field of kind `kind` gives back `field`,
// of four bytes at most: a NaN other than the quiet one, a float its six
// decimals do not give back or a flag byte other than 0 or 1 does not.
bool encodesBack(ValueKind kind, std::string_view field, const std::string& value) {
  char back[4] = {};
  if (field.size() > sizeof back) return false;
  encodeCellValue(back, kind, value, field.size());
  return std::memcmp(back, field.data(), field.size()) == 0;
}

// Whether a checkpoint writes the plain field `field`, which read as
// `value`, back byte for byte. Small enough to be inlined where every
// cell of a table asks it.
inline bool writesBack(const CellSlot& layout, std::string_view field, const std::string& value) {
  switch (layout.kind) {
    case ValueKind::kInteger:
      return true;  // every 32-bit pattern prints as a number that parses back to it
    case ValueKind::kString:
      // The text is the field's bytes up to its first zero, or the marker
      // that a narrow field wholly taken by its first bytes reads as and is
      // written back as: the bytes past it must be zeros.
      return allZero(field.substr(std::min(value.size(), field.size())));
    case ValueKind::kFloat:
    case ValueKind::kBool:
    case ValueKind::kOther:
      break;
  }
  return encodesBack(layout.kind, field, value);
}

// How the cells of one slot are read back. The rule file is read once, when
// the first cell names a record.
struct SlotRead {
  const std::vector<Column>& columns;
  const SlotLayout& layout;
  std::string ruleTable;  // names the temporal-rule file; "" when rules cannot be read
  int maxStates;
  bool ruleFileRead = false;
  std::optional<std::string> ruleFile;  // its bytes, when it could be read
  // Whether a checkpoint that wrote every slot read so far would leave their
  // bytes, and those of their rule records, exactly as they are: nothing
  // was read that the loader had to tolerate.
  bool writtenBack = true;
};

const std::string* ruleFileOf(SlotRead& slot) {
  if (!slot.ruleFileRead && !slot.ruleTable.empty()) {
    std::string bytes;
    const std::string path = ruleFilePath(slot.ruleTable);
    const ReadStatus status = readFile(path, bytes);
    // Rules that exist but cannot be read must not load as empty cells: the
    // next checkpoint would write them back so.
    if (status == ReadStatus::Failed) throw failedToOpen(path);
    if (status == ReadStatus::Done) slot.ruleFile = std::move(bytes);
  }
  slot.ruleFileRead = true;
  return slot.ruleFile ? &*slot.ruleFile : nullptr;
}

// Whether a checkpoint keeps the record `number` that the cell in column
// `column` of row `position` names, and writes it back byte for byte: the
// record is whole and holds exactly what the rule it loaded as encodes to.
// A record holds its row and column, so no second cell that names it can
// pass, and a checkpoint gives that one a fresh record.
bool keepsRecord(const SlotRead& slot, std::int32_t number, const TempRule& rule,
                 std::int32_t position, std::size_t column) {
  const std::int64_t size = Storage::ruleRecordSize(slot.maxStates);
  const std::string_view file = *slot.ruleFile;
  if ((static_cast<std::int64_t>(number) + 1) * size > static_cast<std::int64_t>(file.size())) {
    return false;
  }
  return file.substr(static_cast<std::size_t>(number * size), static_cast<std::size_t>(size)) ==
         ruleRecordBytes(position, static_cast<std::int32_t>(column), rule, slot.maxStates);
}

void decodeCell(Cell& cell, SlotRead& slot, const CellSlot& layout, std::string_view field,
                std::size_t column) {
  if (!layout.temporal) {
    decodeCellValue(layout.kind, field, cell.value);
    slot.writtenBack = slot.writtenBack && writesBack(layout, field, cell.value);
    return;
  }
  const char flag = field[0];
  const std::string_view value = field.substr(1);
  if (!layout.ruleNumbers || flag != 1) {
    decodeCellValue(layout.kind, value, cell.value);
    slot.writtenBack = slot.writtenBack && flag == 0 && writesBack(layout, value, cell.value);
    return;
  }
  const std::int32_t number = int32At(value);
  if (const std::string* rules = ruleFileOf(slot)) {
    cell.rule = Storage::parseTempRule(*rules, number, slot.maxStates);
  }
  // A record that cannot be read leaves the cell empty, and one a cell
  // before named goes to a fresh record: either way the files change.
  slot.writtenBack = slot.writtenBack && cell.rule &&
                     allZero(value.substr(static_cast<std::size_t>(kRecordNumberBytes))) &&
                     keepsRecord(slot, number, *cell.rule, cell.rowIndex, column);
}

// A row of table `tableName` with a cell per column holding its name and
// type and nothing else: each row read starts as a copy, made with one
// allocation.
Row blankRow(const std::string& tableName, const std::vector<Column>& columns) {
  Row row;
  row.tableName = tableName;
  row.cells.resize(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    row.cells[i].column = columns[i].name;
    row.cells[i].type = columns[i].type;
  }
  return row;
}

// Fills `row`, a copy of blankRow, from its slot `bytes`.
void decodeRow(Row& row, SlotRead& slot, std::string_view bytes, std::int32_t position) {
  for (std::size_t i = 0; i < slot.columns.size(); ++i) {
    const CellSlot& layout = slot.layout.cells[i];
    Cell& cell = row.cells[i];
    cell.rowIndex = position;
    decodeCell(cell, slot, layout,
               bytes.substr(layout.offset, layout.width + (layout.temporal ? 1 : 0)), i);
  }
}

// The columns that the header at the start of `file` describes.
std::vector<Column> columnsIn(std::string_view file) {
  const auto& typeNames = columnTypeNames();
  std::vector<std::string> types;
  // The header must stay addressable with 32-bit offsets.
  while (fitsFileOffsets(0, Storage::headerSize(types.size() + 1))) {
    const auto offset = kNameFieldBytes * (1 + static_cast<std::int64_t>(types.size()));
    std::string type(fieldAt(file, offset, kNameFieldBytes));
    if (typeNames.count(type) == 0) break;
    types.push_back(std::move(type));
  }

  const auto n = static_cast<std::int64_t>(types.size());
  const auto field = [&](std::int64_t block, std::size_t i) {
    const std::int64_t offset = kNameFieldBytes * (1 + block * n + static_cast<std::int64_t>(i));
    return std::string(fieldAt(file, offset, kNameFieldBytes));
  };
  std::vector<Column> columns;
  columns.reserve(types.size());
  for (std::size_t i = 0; i < types.size(); ++i) {
    Column column;
    column.type = std::move(types[i]);
    column.name = field(1, i);
    column.maxStates = toInt32(field(2, i)).value_or(0);
    const auto size = toInt32(field(3, i));
    if (valueKindOf(column.type) == ValueKind::kString) {
      column.size = size && isUsableStringWidth(*size) ? *size : kDefaultStringWidth;
    } else {
      column.size = size.value_or(Storage::typeSizes.at(column.type));
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

// The length of a stream, which it leaves usable.
std::int64_t streamLength(std::istream& in) {
  in.clear();
  in.seekg(0, std::ios_base::end);
  const std::streamoff end = in.tellg();
  in.clear();
  return end < 0 ? 0 : static_cast<std::int64_t>(end);
}

// Reads the `length` bytes at `offset` of a stream into `out`, or as many of
// them as it holds, and returns how many; leaves the stream usable.
std::int64_t readBytes(std::istream& in, std::int64_t offset, std::int64_t length, char* out) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(out, static_cast<std::streamsize>(length));
  const std::streamsize got = in.gcount();
  in.clear();
  return static_cast<std::int64_t>(got);
}

// The same into `bytes`, which then holds what was read.
void readBytes(std::istream& in, std::int64_t offset, std::int64_t length, std::string& bytes) {
  bytes.resize(static_cast<std::size_t>(length));
  bytes.resize(static_cast<std::size_t>(readBytes(in, offset, length, bytes.data())));
}

void markDeletedRows(Table& table, std::string_view map) {
  const std::size_t covered = std::min(map.size(), table.rows.size());
  for (std::size_t p = 0; p < covered; ++p) {
    if (!isDeletedRowByte(map[p])) continue;
    table.rows[p].deleted = true;
    table.deletedRows.insert(static_cast<std::int32_t>(p));
  }
}

// Refuses a data file that CREATE TABLE and the checkpoint could not have
// left: a header naming another table, or a length that is not the header
// plus whole row slots. Loaded anyway, its rows would come back mis-sliced
// and the next checkpoint would write them back so.
void requireTableShape(const std::string& path, const std::string& name,
                       const std::string& headerName, std::int64_t length,
                       const std::vector<Column>& columns) {
  const std::int64_t header = Storage::headerSize(columns.size());
  const std::int64_t slot = Storage::rowSize(columns);
  const std::int64_t slots = length - header;
  if (slots < 0 || (slot == 0 ? slots != 0 : slots % slot != 0)) {
    throw damagedTableFile(path, "its length is not its header and whole row slots");
  }
  if (headerName != name.substr(0, name.find('.'))) {
    throw damagedTableFile(path, "its header names another table");
  }
}

}  // namespace

int Storage::getColumnBinSize(const Column& column) {
  return valueWidth(column) + (isTemporal(column) ? 1 : 0);
}

std::int64_t Storage::headerSize(std::size_t columnCount) {
  return kNameFieldBytes + 4 * kNameFieldBytes * static_cast<std::int64_t>(columnCount);
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

void Storage::checkNewTableFiles(const std::string& name) {
  // Whatever lies under one of the names belongs to some other table, or
  // leads out of the directory: nothing is written through it.
  for (const std::string& taken : {dataFilePath(name), deletionMapPath(name), ruleFilePath(name)}) {
    if (entryKind(taken) != EntryKind::None) throw existingTableFiles();
  }
}

void Storage::saveTable(const std::string& path, const Table& table, const std::string&) {
  const std::string tableName = path.substr(0, path.find('.'));
  const std::string mapPath = deletionMapPath(tableName);
  checkNewTableFiles(tableName);
  stageNewFile(path, tableHeader(table));
  try {
    stageNewFile(mapPath, std::string(table.rows.size(), kLiveRowByte));
  } catch (...) {
    discardStagedFile(path);
    throw;
  }
  // The map first: a data file, the table's commit point, never stands
  // without its map.
  if (!commitStagedFile(mapPath)) {
    discardStagedFile(path);
    throw failedToWrite(mapPath);
  }
  // The table exists once its entries are durable; until then a power cut
  // may take either rename back, and the table must not be acknowledged.
  if (!commitStagedFile(path) || !syncDirectory()) {
    removeFile(path);
    removeFile(mapPath);
    throw failedToWrite(path);
  }
}

std::string Storage::read(std::istream& file, int offset, int length) {
  const std::int64_t size = streamLength(file);
  if (offset < 0 || length <= 0 || offset >= size) return "";
  std::string bytes;
  readBytes(file, offset, std::min<std::int64_t>(length, size - offset), bytes);
  return std::string(textOf(bytes));
}

// The header's fields are read from a first piece of the file, read again
// larger while the columns it names need more.
std::vector<Column> Storage::getColumns(std::istream& file) {
  const std::int64_t length = streamLength(file);
  std::int64_t wanted = std::min<std::int64_t>(length, 4096);
  std::string head;
  while (true) {
    readBytes(file, 0, wanted, head);
    std::vector<Column> columns = columnsIn(head);
    // Every field of the header, and the field after the last type name,
    // which ends the types.
    const auto count = static_cast<std::int64_t>(columns.size());
    const std::int64_t needed = std::max(headerSize(columns.size()), kNameFieldBytes * (2 + count));
    if (needed <= wanted || wanted == length) return columns;
    wanted = std::min(length, std::max(needed, 2 * wanted));
  }
}

namespace {

// The slots are read a piece at a time, so that the bytes of a large table
// never lie in memory whole beside its rows. getRows, telling in
// `writtenBack` whether a checkpoint that wrote every row would leave the
// slots and their rule records exactly as they are.
std::vector<Row> rowsOf(std::istream& file, const std::vector<Column>& columns, bool& writtenBack) {
  constexpr std::int64_t kChunk = 256 * 1024;
  writtenBack = true;
  std::vector<Row> rows;
  const SlotLayout layout = slotLayoutOf(columns);
  const auto size = static_cast<std::int64_t>(layout.size);
  if (columns.empty() || size <= 0) return rows;
  const std::int64_t header = Storage::headerSize(columns.size());
  const std::string tableName = Storage::read(file, 0, kNameFieldBytes);
  SlotRead slot{columns, layout, "", Storage::largestMaxStates(columns), false, std::nullopt, true};
  // A header name that is no bare file name cannot name the rule file.
  if (isSafeTableName(tableName)) slot.ruleTable = tableName;
  const Row blank = blankRow(tableName, columns);

  // Only whole slots become rows: a file cut inside a slot loses that row,
  // and so does one with a byte past the 32-bit offsets.
  const std::int64_t end = std::min<std::int64_t>(streamLength(file), std::int64_t{1} << 31);
  const std::int64_t count = end - header >= size ? (end - header - size) / size + 1 : 0;
  const std::int64_t perChunk = std::max<std::int64_t>(1, kChunk / size);
  // Exactly as many rows as slots: a table loads without the slack of growth.
  rows.reserve(static_cast<std::size_t>(count));
  // One buffer for every piece, left uninitialised: the reads fill it.
  const std::int64_t chunk = std::min(perChunk, count) * size;
  const auto bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(chunk));
  for (std::int64_t first = 0; first < count; first += perChunk) {
    const std::int64_t wanted = std::min(perChunk, count - first) * size;
    const std::int64_t got = readBytes(file, header + first * size, wanted, bytes.get());
    // A stream that holds less than its length said ends with its last whole slot.
    for (std::int64_t k = 0; k < got / size; ++k) {
      decodeRow(rows.emplace_back(blank), slot,
                std::string_view(bytes.get() + k * size, static_cast<std::size_t>(size)),
                static_cast<std::int32_t>(first + k));
    }
    if (got < wanted) break;
  }
  writtenBack = slot.writtenBack;
  return rows;
}

// Whether a checkpoint writes the deletion map `map` of a table of
// `rowCount` rows back as it is: a byte of 0 or 1 for each row, no more.
bool mapWritesBack(std::string_view map, std::size_t rowCount) {
  return map.size() == rowCount && std::all_of(map.begin(), map.end(), [](char byte) {
           return byte == kLiveRowByte || byte == kDeletedRowByte;
         });
}

}  // namespace

std::vector<Row> Storage::getRows(std::istream& file, const std::vector<Column>& columns) {
  bool writtenBack = false;
  return rowsOf(file, columns, writtenBack);
}

Table Storage::loadTable(const std::string& name, const std::string&) {
  Table table;
  table.name = name;
  bool slotsWrittenBack = false;
  {
    const std::string path = dataFileToLoad(name);
    FileReadBuffer buffer;
    const ReadStatus status = buffer.open(path);
    if (status == ReadStatus::Failed) throw failedToOpen(path);
    if (status == ReadStatus::Missing) return table;
    std::istream file(&buffer);
    // A read the file refuses ends the load with its message.
    file.exceptions(std::ios_base::badbit);
    table.columns = getColumns(file);
    requireTableShape(path, name, read(file, 0, kNameFieldBytes), buffer.size(), table.columns);
    table.rows = rowsOf(file, table.columns, slotsWrittenBack);
  }
  for (const Column& column : table.columns) {
    table.columnTypes[column.name] = column.type;
    table.maxStatesByColumn[column.name] = column.maxStates;
  }
  std::string map;
  const std::string mapPath = deletionMapPath(name);
  const ReadStatus mapStatus = table.rows.empty() ? ReadStatus::Missing : readFile(mapPath, map);
  // A map that cannot be read would bring deleted rows back to life.
  if (mapStatus == ReadStatus::Failed) throw failedToOpen(mapPath);
  if (mapStatus == ReadStatus::Done) markDeletedRows(table, map);
  // Files that a checkpoint would write back unchanged are what this memory
  // holds, so the first checkpoint writes only what changes after the load.
  // Without rows the map is not read: a checkpoint that finds it longer
  // than the slots the data file holds writes it whole anyway.
  if (slotsWrittenBack && (table.rows.empty() || (mapStatus == ReadStatus::Done &&
                                                  mapWritesBack(map, table.rows.size())))) {
    table.changes = ChangedRows{false, {}, {}, static_cast<std::int64_t>(table.rows.size())};
  }
  return table;
}
