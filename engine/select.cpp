#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory_resource>
#include <optional>
#include <shared_mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "engine/database.h"
#include "engine/row_filter.h"
#include "model/column_type.h"
#include "model/number.h"

namespace {

// The text a missing value travels as in a result.
constexpr const char* kNullText = "NULL";

// Whether `text` is the missing-value marker: as a view, the lengths are
// compared first, and most values differ from the marker in length.
bool isMissing(std::string_view text) { return text == std::string_view(kMissingValue); }

// How the values of one column leave in a result, worked out once per
// command: converted by the column's declared type whatever its cell
// records, a temporal value by its current state.
class ValueReader {
 public:
  // `cells` finds the cells of `column`; keeps no reference to the column.
  ValueReader(const Column& column, ColumnRef cells)
      : cells_(std::move(cells)), kind_(valueKindOf(column.type)) {}

  // Appends the value of `row` to `values`, built in place: a result has
  // one per cell, and a temporary would be moved and destroyed for each.
  void appendTo(std::vector<ResultValue>& values, const Row& row) const {
    const Cell* cell = cells_.cellIn(row);
    if (cell == nullptr) {
      values.emplace_back(std::in_place_type<std::string>, kNullText);
      return;
    }
    appendConverted(values, cell->getVal());
  }

 private:
  // A stored text that its column's number type cannot read (no leading
  // number, or outside the type's range) leaves as the text itself: the
  // result has no way to fail a single value, and the text still says what
  // is stored.
  void appendConverted(std::vector<ResultValue>& values, const std::string& text) const {
    if (isMissing(text)) {
      values.emplace_back(std::in_place_type<std::string>, kNullText);
      return;
    }
    switch (kind_) {
      case ValueKind::kInteger:
        if (const auto number = toInt32(text)) {
          values.emplace_back(std::in_place_type<std::int32_t>, *number);
          return;
        }
        break;
      case ValueKind::kFloat:
        if (const auto number = toFloat(text)) {
          values.emplace_back(std::in_place_type<float>, *number);
          return;
        }
        break;
      case ValueKind::kBool:
        values.emplace_back(std::in_place_type<bool>, text == "true" || text == "1");
        return;
      case ValueKind::kString:
      case ValueKind::kOther:
        break;
    }
    values.emplace_back(std::in_place_type<std::string>, text);
  }

  ColumnRef cells_;
  ValueKind kind_;
};

void appendValues(std::vector<ResultValue>& values, const std::vector<ValueReader>& readers,
                  const Row& row) {
  for (const ValueReader& reader : readers) reader.appendTo(values, row);
}

std::int32_t countOf(const ResultSet& result) {
  return static_cast<std::int32_t>(result.rows.size());
}

// A name the catalogue lacks reads as a table made in `empty`, so that no
// look-up adds a table and a name it holds costs no table at all.
Table& tableOrEmpty(std::map<std::string, Table>& tables, const std::string& name,
                    std::optional<Table>& empty) {
  const auto found = tables.find(name);
  return found == tables.end() ? empty.emplace() : found->second;
}

// --- Join ---

enum class Side { kFirst, kSecond };

// The table a WHERE condition of a join is about: the one its prefix names
// (the first when both have that name), else the first that has its column.
Side route(const Condition& condition, const Table& first, const Table& second) {
  // An empty prefix is no prefix, even against a missing table's empty name.
  if (!condition.table.empty()) {
    if (condition.table == first.name) return Side::kFirst;
    if (condition.table == second.name) return Side::kSecond;
    throw std::runtime_error("Unknown table prefix '" + condition.table + "' in WHERE clause.");
  }
  if (first.columnTypes.contains(condition.column)) return Side::kFirst;
  if (second.columnTypes.contains(condition.column)) return Side::kSecond;
  throw std::runtime_error("Column '" + condition.column + "' not found in either table.");
}

struct RoutedTest {
  RowTest test;
  Side side;
};

// How a join's WHERE clause chooses its pairs.
struct JoinFilter {
  std::vector<Condition> first;   // filters the first table's rows
  std::vector<Condition> second;  // filters the second table's rows
  // The whole clause as OR blocks, tested on every pair; empty when the two
  // per-table filters already decide.
  std::vector<std::vector<RoutedTest>> pairBlocks;
};

// Routes every condition, so that a clause that cannot be routed fails
// before any row is read.
JoinFilter planFilter(const std::vector<Condition>& conditions, const Table& first,
                      const Table& second) {
  JoinFilter filter;
  std::vector<Side> sides;
  for (const Condition& condition : conditions) {
    sides.push_back(route(condition, first, second));
    (sides.back() == Side::kFirst ? filter.first : filter.second).push_back(condition);
  }
  const std::vector<std::span<const Condition>> blocks = orBlocks(conditions);
  if (blocks.size() < 2 || filter.first.empty() || filter.second.empty()) return filter;
  // OR blocks that reach both tables do not split into one filter per table:
  // a pair kept by one block may fail the other table's half of another.
  std::size_t next = 0;  // the blocks list the conditions in their order
  for (const std::span<const Condition> block : blocks) {
    auto& pairBlock = filter.pairBlocks.emplace_back();
    for (const Condition& condition : block) {
      const Side side = sides[next++];
      pairBlock.push_back({RowTest(condition, side == Side::kFirst ? first : second), side});
    }
  }
  filter.first.clear();
  filter.second.clear();
  return filter;
}

bool pairHolds(const JoinFilter& filter, const Row& firstRow, const Row& secondRow) {
  if (filter.pairBlocks.empty()) return true;
  for (const auto& block : filter.pairBlocks) {
    bool holds = true;
    for (const RoutedTest& routed : block) {
      if (!routed.test.holds(routed.side == Side::kFirst ? firstRow : secondRow)) {
        holds = false;
        break;
      }
    }
    if (holds) return true;
  }
  return false;
}

// The join text of `row` in `column`; none when the row has no such cell or
// the cell holds the missing-value marker, which never pairs. The view lasts
// as long as the cell is left unchanged.
std::optional<std::string_view> joinValue(const Row& row, const ColumnRef& column) {
  const Cell* cell = column.cellIn(row);
  if (cell == nullptr) return std::nullopt;
  const std::string& value = cell->getVal();
  if (isMissing(value)) return std::nullopt;
  return value;
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The join texts of the first table's rows: each distinct text once, in the
// order of a hash set of them, and for each row the index of its text among
// them (kNone for a row without one). The views last as long as the rows'
// cells are left unchanged.
struct JoinTexts {
  std::vector<std::string_view> distinct;
  std::vector<std::size_t> ofRow;
};

JoinTexts joinTexts(const std::vector<Row*>& rows, const ColumnRef& column) {
  // The set lives for this call only: its nodes and buckets come from one
  // buffer given back at once, not one allocation and one free per text.
  // The allocator leaves the set's order as it is.
  constexpr std::size_t kRoomPerRow = 64;  // a node and its share of the buckets
  std::pmr::monotonic_buffer_resource memory((rows.size() + 1) * kRoomPerRow);  // never empty
  std::pmr::unordered_map<std::string_view, std::size_t> indexes(&memory);
  std::vector<std::size_t*> slots(rows.size(), nullptr);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (const auto value = joinValue(*rows[r], column)) {
      slots[r] = &indexes.try_emplace(*value, kNone).first->second;
    }
  }
  JoinTexts texts;
  texts.distinct.reserve(indexes.size());
  for (auto& [text, index] : indexes) {
    index = texts.distinct.size();
    texts.distinct.push_back(text);
  }
  texts.ofRow.reserve(rows.size());
  for (const std::size_t* slot : slots) texts.ofRow.push_back(slot == nullptr ? kNone : *slot);
  return texts;
}

// Whether each row a key probe kept has the probed text as its join text:
// the rows' join texts are then distinct, and a first row's one partner is
// the row its own text's probe kept.
bool keptUnderTheirOwnTexts(const std::vector<Row*>& kept,
                            const std::vector<std::string_view>& texts, const ColumnRef& column) {
  for (std::size_t k = 0; k < kept.size(); ++k) {
    if (kept[k] != nullptr && joinValue(*kept[k], column) != texts[k]) return false;
  }
  return true;
}

// A hash join on the join text: `addPair` gets each first row with every
// second row that holds its text, in the order `secondRows` lists them. One
// pass over the second rows builds the map, one pass over the first rows
// reads it.
template <class AddPair>
void pairByText(const std::vector<Row*>& firstRows, const JoinTexts& texts,
                const std::vector<Row*>& secondRows, const ColumnRef& secondJoin,
                const AddPair& addPair) {
  struct Partners {
    std::size_t first;
    std::size_t last;
  };
  std::unordered_map<std::string_view, Partners> joinMap;
  joinMap.reserve(secondRows.size());
  std::vector<std::size_t> nextPartner(secondRows.size(), kNone);
  for (std::size_t i = 0; i < secondRows.size(); ++i) {
    const auto value = joinValue(*secondRows[i], secondJoin);
    if (!value) continue;
    const auto [partners, added] = joinMap.try_emplace(*value, Partners{i, i});
    if (added) continue;
    nextPartner[partners->second.last] = i;
    partners->second.last = i;
  }
  for (std::size_t r = 0; r < firstRows.size(); ++r) {
    if (texts.ofRow[r] == kNone) continue;
    const auto partners = joinMap.find(texts.distinct[texts.ofRow[r]]);
    if (partners == joinMap.end()) continue;
    for (std::size_t i = partners->second.first; i != kNone; i = nextPartner[i]) {
      addPair(*firstRows[r], *secondRows[i]);
    }
  }
}

// One "=" block per join value, which limits the second table to the rows
// that can pair.
std::vector<Condition> joinValueChain(std::span<const std::string_view> values,
                                      const std::string& secondName,
                                      const std::string& secondaryJoinCol) {
  std::vector<Condition> chain;
  chain.reserve(values.size());
  for (const std::string_view value : values) {
    chain.push_back(Condition{secondName, secondaryJoinCol, std::string(value), "=",
                              chain.empty() ? 'a' : 'o'});
  }
  return chain;
}

// The headers and readers of every column of `table`, in column order.
void addColumns(ResultSet& result, std::vector<ValueReader>& readers, const Table& table) {
  for (const Column& column : table.columns) {
    result.columns.push_back(table.name + "." + column.name);
    readers.emplace_back(column, ColumnRef(table, column.name));
  }
}

}  // namespace

ResultSet Database::select(const std::string& tableName,
                           const std::vector<std::string>& requestedColumns,
                           const std::vector<Condition>& conditions) {
  const std::shared_lock lock(rwLock);
  std::optional<Table> empty;
  Table& table = tableOrEmpty(tables, tableName, empty);

  ResultSet result;
  result.columns.reserve(requestedColumns.size());
  std::vector<ValueReader> readers;
  readers.reserve(requestedColumns.size());
  for (const std::string& name : requestedColumns) {
    ColumnRef cells(table, name);
    const std::optional<std::size_t> position = cells.position();
    if (!position) throw std::runtime_error("Requested column not found");
    const Column& column = table.columns[*position];
    result.columns.push_back(column.name);
    readers.emplace_back(column, std::move(cells));
  }
  const std::vector<Row*> rows = getRequestedRows(conditions, table);
  result.rows.reserve(rows.size());
  for (const Row* row : rows) {
    auto& values = result.rows.emplace_back();
    values.reserve(readers.size());
    appendValues(values, readers, *row);
  }
  result.rows_affected = countOf(result);
  return result;
}

ResultSet Database::selectJoin(const std::string& tableName, const std::string& joinTable,
                               const std::string& primaryJoinCol,
                               const std::string& secondaryJoinCol,
                               const std::vector<std::string>& /*requestedColumns*/,
                               const std::vector<Condition>& conditions) {
  const std::shared_lock lock(rwLock);
  std::optional<Table> emptyFirst;
  std::optional<Table> emptySecond;
  Table& first = tableOrEmpty(tables, tableName, emptyFirst);
  Table& second = tableOrEmpty(tables, joinTable, emptySecond);
  const JoinFilter filter = planFilter(conditions, first, second);

  ResultSet result;
  result.message = "success!";
  std::vector<ValueReader> firstReaders;
  std::vector<ValueReader> secondReaders;
  addColumns(result, firstReaders, first);
  addColumns(result, secondReaders, second);
  const std::vector<Row*> t1Rows = getRequestedRows(filter.first, first);
  if (t1Rows.empty()) return result;

  const ColumnRef firstJoin(first, primaryJoinCol);
  const ColumnRef secondJoin(second, secondaryJoinCol);
  // No pair without a join text.
  const JoinTexts texts = joinTexts(t1Rows, firstJoin);
  if (texts.distinct.empty()) return result;
  result.rows.reserve(t1Rows.size());  // exact when each row has one partner, as a key join has
  const auto addPair = [&](const Row& firstRow, const Row& secondRow) {
    if (!pairHolds(filter, firstRow, secondRow)) return;
    auto& values = result.rows.emplace_back();
    values.reserve(firstReaders.size() + secondReaders.size());
    appendValues(values, firstReaders, firstRow);
    appendValues(values, secondReaders, secondRow);
  };
  std::vector<Row*> t2Rows;
  if (!filter.second.empty()) {
    t2Rows = getRequestedRows(filter.second, second);
  } else if (!second.primaryKey.empty() && secondaryJoinCol == second.primaryKey) {
    // Without conditions of its own the second table is limited to the rows
    // that can pair: on its key, by one index probe per text.
    std::vector<Row*> kept = keyEqualityMatches(texts.distinct, second);
    if (keptUnderTheirOwnTexts(kept, texts.distinct, secondJoin)) {
      for (std::size_t r = 0; r < t1Rows.size(); ++r) {
        const std::size_t text = texts.ofRow[r];
        if (text != kNone && kept[text] != nullptr) addPair(*t1Rows[r], *kept[text]);
      }
      result.rows_affected = countOf(result);
      return result;
    }
    std::erase(kept, nullptr);
    t2Rows = std::move(kept);
  } else {
    t2Rows =
        getRequestedRows(joinValueChain(texts.distinct, second.name, secondaryJoinCol), second);
  }
  pairByText(t1Rows, texts, t2Rows, secondJoin, addPair);
  result.rows_affected = countOf(result);
  return result;
}
