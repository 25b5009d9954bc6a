#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/cell.h"
#include "model/changed_rows.h"
#include "model/column_type.h"

// One column definition.
struct Column {
  std::string name;
  std::string type;
  std::int32_t maxStates = 3;  // longest state chain a value may have; >0 adds a flag byte on disk
  std::int32_t size = 60;      // byte width of a "string" column on disk

  // Columns are searched by name: type and numbers play no part.
  bool operator==(const Column& other) const { return name == other.name; }
};

// The key of a parent row's back-references: the referencing (child) table
// and its foreign-key column.
struct ForeignRelation {
  std::string table;
  std::string column;

  bool operator==(const ForeignRelation& other) const = default;
};

template <>
struct std::hash<ForeignRelation> {
  std::size_t operator()(const ForeignRelation& relation) const noexcept {
    const std::hash<std::string> text;
    return text(relation.table) ^ (text(relation.column) << 1);
  }
};

// One row. Rows are addressed by their position in their table.
struct Row {
  std::string tableName;
  std::vector<Cell> cells;  // one per column, in column order
  // Parent rows only: per referencing table and column, the child positions
  // that pointed at this row when they were linked. Pruned lazily.
  std::unordered_map<ForeignRelation, std::set<std::int32_t>> links;
  bool isReferenced = false;
  bool deleted = false;  // tombstone: keeps its position and its slot on disk
};

// A key of a primary-key index: its text, with the number the text reads as
// converted once, when the key is made, so that comparing keys never
// converts again.
class IndexKey {
 public:
  // Implicit, as keys are looked up by their text.
  // NOLINTNEXTLINE(google-explicit-constructor)
  IndexKey(std::string text);
  // NOLINTNEXTLINE(google-explicit-constructor)
  IndexKey(const char* text) : IndexKey(std::string(text)) {}

  // Where the text's leading integer lies, in the order numeric keys sort:
  // below the int range, within it, above it, or no integer at all.
  enum class Reading { kBelow, kNumber, kAbove, kText };

  const std::string& text() const { return text_; }
  Reading reading() const { return reading_; }
  // The leading integer when the reading is kNumber, else 0.
  std::int32_t number() const { return number_; }

 private:
  std::string text_;
  std::int32_t number_ = 0;
  Reading reading_ = Reading::kText;
};

// Order of a primary-key index: numeric for "int" and "ApexInt" keys, by
// bytes otherwise. A numeric key compares by its leading integer at whatever
// size it has, so a bound beyond the int range still falls on the side of
// every key its sign puts it; numeric keys that have no leading integer sort
// after every number, by their bytes, so the order stays strict and weak for
// every text.
struct KeyComparator {
  std::string type{kStringTypeName};

  KeyComparator() = default;
  explicit KeyComparator(std::string keyType)
      : type(std::move(keyType)), numeric_(isIntegerType(type)) {}

  // Two keys within the int range, as nearly every numeric key is, compare
  // without a call.
  bool operator()(const IndexKey& a, const IndexKey& b) const {
    if (numeric_ && a.reading() == IndexKey::Reading::kNumber &&
        b.reading() == IndexKey::Reading::kNumber) {
      return a.number() < b.number();
    }
    return ordered(a, b);
  }

 private:
  // Every other pair of keys.
  bool ordered(const IndexKey& a, const IndexKey& b) const;

  bool numeric_ = false;
};

using PrimaryKeyIndex = std::map<IndexKey, std::int32_t, KeyComparator>;

// Enters `key` unless the index holds an equal key; returns the entry holding
// it and whether it was entered. A key that follows every key already held,
// as identity keys do, goes in without a search.
std::pair<PrimaryKeyIndex::iterator, bool> addIndexEntry(PrimaryKeyIndex& index, IndexKey key,
                                                         std::int32_t position);

// The entry holding a key equal to `key`, or the end. A key that follows
// every key held is settled without a search.
PrimaryKeyIndex::const_iterator findIndexEntry(const PrimaryKeyIndex& index, const IndexKey& key);

// One table held in memory: every row ever inserted, deleted ones included.
struct Table {
  std::string name;
  std::unordered_map<std::string, std::string> columnTypes;
  std::unordered_map<std::string, std::int32_t> maxStatesByColumn;
  std::vector<Column> columns;
  std::vector<Row> rows;
  std::unordered_set<std::int32_t> deletedRows;  // kept in step with Row::deleted
  std::string primaryKey;                        // "" when the table has none
  std::int32_t pkIndex = 0;                      // -1 after a failed set-up
  PrimaryKeyIndex pkMap;
  std::unordered_map<std::string, std::string> children;  // child table -> its foreign-key column
  std::vector<std::string> parents;  // one entry per link made, in byte order of the names
  ChangedRows changes;               // what the next checkpoint must write

  // Makes `columnName` the primary key and rebuilds the index from the live
  // rows. Throws std::runtime_error "Primary key not found" (nothing changed)
  // or, on a duplicate key, a message naming it; the table is then left with
  // no primary key and an empty index.
  void setUpPrimaryKeyMap(const std::string& columnName);

  // Appends a copy of `row`; the second form takes the row over.
  void insertRow(const Row& row);
  void insertRow(Row&& row);

  // Prints the column names and every row's stored values to standard output.
  void display() const;
};

// One column of a table, made ready to find its cells in the table's rows:
// a command that reads many rows makes one from the table and asks it of
// each of those rows. A cell belongs to the column by its name, and `name`
// need not be one of the table's columns: a row is searched for it all the
// same. Every path that makes a row keeps its cells in column order, so the
// cell at the column's position is read first, and a row is searched only
// when that cell is not the column's.
class ColumnRef {
 public:
  // Asked only about rows of `table`. Keeps no reference to either argument.
  ColumnRef(const Table& table, std::string_view name) : name_(name) {
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      if (isName(table.columns[i].name)) {
        position_ = i;
        break;
      }
    }
  }

  const std::string& name() const { return name_; }
  // The first of the table's columns of that name, by its position; none
  // when the table has no such column.
  std::optional<std::size_t> position() const {
    if (position_ == kNone) return std::nullopt;
    return position_;
  }

  // The first cell of `row` that belongs to the column and that `accept`
  // takes, or null. `accept` sees the column's cells in row order until it
  // takes one, the one at the column's position counting as the first: a
  // row of a declared table has one such cell (a declaration refuses two
  // columns of one name), a row made without the column none.
  template <class Accept>
  const Cell* cellIn(const Row& row, Accept accept) const {
    auto from = row.cells.begin();
    if (position_ < row.cells.size()) {
      const Cell& cell = row.cells[position_];
      if (isName(cell.column)) {
        if (accept(cell)) return &cell;
        from +=
            static_cast<std::ptrdiff_t>(position_) + 1;  // the columns before it have other names
      }
    }
    for (auto cell = from; cell != row.cells.end(); ++cell) {
      if (isName(cell->column) && accept(*cell)) return &*cell;
    }
    return nullptr;
  }

  // The column's first cell in `row`, or null.
  const Cell* cellIn(const Row& row) const {
    return cellIn(row, [](const Cell& /*cell*/) { return true; });
  }
  Cell* cellIn(Row& row) const { return const_cast<Cell*>(cellIn(std::as_const(row))); }

 private:
  // Names are a few bytes long, which a loop compares in less than the call
  // of the library's general comparison takes.
  bool isName(std::string_view text) const {
    if (text.size() != name_.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] != name_[i]) return false;
    }
    return true;
  }

  std::string name_;
  // The column's position among the table's columns; none for a name the
  // table lacks, whose cells are always searched for.
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t position_ = kNone;
};
