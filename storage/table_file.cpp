#include <algorithm>
#include <cstdint>
#include <functional>
#include <istream>
#include <iterator>
#include <limits>
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
#include "storage/file_system.h"
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

// How the cells of one slot are read back. The rule file is read once, when
// the first cell names a record.
struct SlotRead {
  const std::vector<Column>& columns;
  const SlotLayout& layout;
  std::string ruleTable;  // names the temporal-rule file; "" when rules cannot be read
  int maxStates;
  bool ruleFileRead = false;
  std::optional<std::string> ruleFile;  // its bytes, when it could be read
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

void decodeCell(Cell& cell, SlotRead& slot, const CellSlot& layout, std::string_view field) {
  if (!layout.temporal) {
    cell.value = decodeCellValue(layout.kind, field);
    return;
  }
  const std::string_view value = field.substr(1);
  if (!layout.ruleNumbers || field[0] != 1) {
    cell.value = decodeCellValue(layout.kind, value);
    return;
  }
  if (const std::string* rules = ruleFileOf(slot)) {
    cell.rule = Storage::parseTempRule(*rules, int32At(value), slot.maxStates);
  }
}

// Fills `row`, a new row, from its slot `bytes`.
void decodeRow(Row& row, SlotRead& slot, const std::string& tableName, std::string_view bytes,
               std::int32_t position) {
  row.tableName = tableName;
  row.cells.resize(slot.columns.size());
  for (std::size_t i = 0; i < slot.columns.size(); ++i) {
    const Column& column = slot.columns[i];
    const CellSlot& layout = slot.layout.cells[i];
    Cell& cell = row.cells[i];
    cell.column = column.name;
    cell.type = column.type;
    cell.rowIndex = position;
    decodeCell(cell, slot, layout,
               bytes.substr(layout.offset, layout.width + (layout.temporal ? 1 : 0)));
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

// The bytes of `count` bytes of slots at `position` of a data file.
using SlotBytes = std::function<std::string_view(std::int64_t position, std::int64_t count)>;

// Every whole row slot of a data file of `length` bytes whose header, at the
// start of `head`, describes `columns`; `slotsAt` gives the slots, at most
// `chunk` bytes at a time.
std::vector<Row> rowsIn(std::string_view head, std::int64_t length,
                        const std::vector<Column>& columns, const SlotBytes& slotsAt,
                        std::int64_t chunk) {
  std::vector<Row> rows;
  const SlotLayout layout = slotLayoutOf(columns);
  const auto size = static_cast<std::int64_t>(layout.size);
  if (columns.empty() || size <= 0) return rows;
  const std::int64_t header = Storage::headerSize(columns.size());
  const std::string tableName(fieldAt(head, 0, kNameFieldBytes));
  // A header name that is no bare file name cannot name the rule file.
  SlotRead slot{columns,
                layout,
                isSafeTableName(tableName) ? tableName : "",
                Storage::largestMaxStates(columns),
                false,
                std::nullopt};

  // Only whole slots become rows: a file cut inside a slot loses that row,
  // and so does one with a byte past the 32-bit offsets.
  const std::int64_t end = std::min<std::int64_t>(length, std::int64_t{1} << 31);
  const std::int64_t count = end - header >= size ? (end - header - size) / size + 1 : 0;
  const std::int64_t perChunk = std::max<std::int64_t>(1, chunk / size);
  // Exactly as many rows as slots: a table loads without the slack of growth.
  rows.reserve(static_cast<std::size_t>(count));
  for (std::int64_t first = 0; first < count; first += perChunk) {
    const std::int64_t slots = std::min(perChunk, count - first);
    const std::string_view bytes = slotsAt(header + first * size, slots * size);
    for (std::int64_t k = 0; k < slots; ++k) {
      decodeRow(rows.emplace_back(), slot, tableName,
                bytes.substr(static_cast<std::size_t>(k * size), static_cast<std::size_t>(size)),
                static_cast<std::int32_t>(first + k));
    }
  }
  return rows;
}

std::vector<Row> rowsIn(std::string_view file, const std::vector<Column>& columns) {
  const auto length = static_cast<std::int64_t>(file.size());
  return rowsIn(
      file, length, columns,
      [file](std::int64_t position, std::int64_t count) {
        return file.substr(static_cast<std::size_t>(position), static_cast<std::size_t>(count));
      },
      length);
}

// A data file read a piece at a time: the header, then the slots in pieces
// of kChunk bytes, so that a large table never lies in memory twice and its
// bytes pass through one buffer.
class DataFile {
 public:
  static constexpr std::int64_t kChunk = 256 * 1024;

  explicit DataFile(std::string path) : path(std::move(path)) {}

  ReadStatus open() { return reader.open(path); }
  std::int64_t length() const { return reader.size(); }

  // The first bytes of the file, enough for every field of its header and
  // for the field after the last type name, which ends the types.
  std::string_view head() {
    std::int64_t wanted = std::min<std::int64_t>(length(), 4096);
    while (true) {
      read(0, wanted, headBytes);
      const auto count = static_cast<std::int64_t>(columnsIn(headBytes).size());
      const std::int64_t needed = std::max(Storage::headerSize(static_cast<std::size_t>(count)),
                                           kNameFieldBytes * (2 + count));
      if (needed <= wanted || wanted == length()) return headBytes;
      wanted = std::min(length(), std::max(needed, 2 * wanted));
    }
  }

  std::string_view slots(std::int64_t position, std::int64_t count) {
    read(position, count, slotBytes);
    return slotBytes;
  }

 private:
  void read(std::int64_t position, std::int64_t count, std::string& bytes) {
    if (!reader.readAt(position, count, bytes)) throw failedToOpen(path);
  }

  std::string path;
  FileReader reader;
  std::string headBytes;
  std::string slotBytes;
};

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
void requireTableShape(const std::string& path, const std::string& name, std::string_view head,
                       std::int64_t length, const std::vector<Column>& columns) {
  const std::int64_t header = Storage::headerSize(columns.size());
  const std::int64_t slot = Storage::rowSize(columns);
  const std::int64_t slots = length - header;
  if (slots < 0 || (slot == 0 ? slots != 0 : slots % slot != 0)) {
    throw damagedTableFile(path, "its length is not its header and whole row slots");
  }
  if (fieldAt(head, 0, kNameFieldBytes) != name.substr(0, name.find('.'))) {
    throw damagedTableFile(path, "its header names another table");
  }
}

// Every byte of a stream from its start; the stream stays usable.
std::string streamBytes(std::istream& in) {
  in.clear();
  in.seekg(0);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  in.clear();
  return bytes;
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
  const std::string bytes = streamBytes(file);
  return std::string(fieldAt(bytes, offset, length));
}

std::vector<Column> Storage::getColumns(std::istream& file) { return columnsIn(streamBytes(file)); }

std::vector<Row> Storage::getRows(std::istream& file, const std::vector<Column>& columns) {
  return rowsIn(streamBytes(file), columns);
}

Table Storage::loadTable(const std::string& name, const std::string&) {
  Table table;
  table.name = name;
  {
    const std::string path = dataFileToLoad(name);
    DataFile file(path);
    const ReadStatus status = file.open();
    if (status == ReadStatus::Failed) throw failedToOpen(path);
    if (status == ReadStatus::Missing) return table;
    const std::string_view head = file.head();
    table.columns = columnsIn(head);
    requireTableShape(path, name, head, file.length(), table.columns);
    table.rows = rowsIn(
        head, file.length(), table.columns,
        [&file](std::int64_t position, std::int64_t count) { return file.slots(position, count); },
        DataFile::kChunk);
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
  return table;
}
