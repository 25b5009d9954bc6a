#include <algorithm>
#include <compare>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/live_rows.h"
#include "engine/row_filter.h"
#include "model/column_type.h"
#include "model/number.h"
#include "model/stored_form.h"

using Block = std::span<const Condition>;

// AND binds tighter than OR: a condition whose gate is 'o' closes the block
// before it, except at the first position. No conditions make one empty
// block, which every live row satisfies.
std::vector<Block> orBlocks(const std::vector<Condition>& conditions) {
  std::vector<Block> blocks;
  blocks.reserve(1 + static_cast<std::size_t>(std::count_if(
                         conditions.begin(), conditions.end(),
                         [](const Condition& condition) { return condition.gate == 'o'; })));
  std::size_t start = 0;
  for (std::size_t i = 1; i < conditions.size(); ++i) {
    if (conditions[i].gate != 'o') continue;
    blocks.emplace_back(conditions.data() + start, i - start);
    start = i;
  }
  blocks.emplace_back(conditions.data() + start, conditions.size() - start);
  return blocks;
}

RowTest::RowTest(const Condition& condition, const Table& table)
    : column_(table, condition.column) {
  const std::string& op = condition.op;
  if (op == "=" || op == "==") {
    op_ = Op::kEqual;
  } else if (op == "!=") {
    op_ = Op::kNotEqual;
  } else if (op == "<") {
    op_ = Op::kLess;
  } else if (op == ">") {
    op_ = Op::kGreater;
  } else if (op == "<=") {
    op_ = Op::kLessOrEqual;
  } else if (op == ">=") {
    op_ = Op::kGreaterOrEqual;
  }
  const auto type = table.columnTypes.find(condition.column);
  // Stored numbers and flags are in the form a restart gives back, so the
  // value is compared in that form too: 07 finds the 7 an "int" holds.
  value_ = comparedForm(type == table.columnTypes.end() ? "" : type->second, condition.value);
  if (op_ != Op::kEqual && op_ != Op::kNotEqual && op_ != Op::kUnknown) {
    valueInt_ = toInt32(value_);
    valueFloat_ = toComparedFloat(value_);
  }
}

bool RowTest::holds(const Row& row) const {
  const auto holding = [this](const Cell& cell) { return cellHolds(cell.getVal(), cell.type); };
  return column_.cellIn(row, holding) != nullptr;
}

bool RowTest::cellHolds(const std::string& current, const std::string& type) const {
  switch (op_) {
    case Op::kEqual:
      return current == value_;
    case Op::kNotEqual:
      return current != value_;
    case Op::kLess:
      return ordered(current, type, Order::kLess);
    case Op::kGreater:
      return ordered(current, type, Order::kGreater);
    case Op::kLessOrEqual:
      return ordered(current, type, Order::kLess) || current == value_;
    case Op::kGreaterOrEqual:
      return ordered(current, type, Order::kGreater) || current == value_;
    case Op::kUnknown:
      break;
  }
  return false;
}

// The typed order of Cell: the row cell's type chooses, and a number on
// either side that does not convert (or a NaN) makes the order not hold. A
// number past the type's range compares by its value all the same.
bool RowTest::ordered(const std::string& current, const std::string& type, Order order) const {
  const bool less = order == Order::kLess;
  switch (valueKindOf(type)) {
    case ValueKind::kInteger: {
      // Both in the int range, the usual case, needs no reading at any size.
      const auto number = valueInt_ ? toInt32(current) : std::nullopt;
      if (number) return less ? *number < *valueInt_ : *number > *valueInt_;
      const std::partial_ordering comparison = compareIntegers(current, value_);
      return less ? comparison < 0 : comparison > 0;
    }
    case ValueKind::kFloat: {
      if (!valueFloat_) return false;
      const auto number = toComparedFloat(current);
      return number && (less ? *number < *valueFloat_ : *number > *valueFloat_);
    }
    case ValueKind::kBool:
      return less ? current == "false" && value_ == "true" : current == "true" && value_ == "false";
    case ValueKind::kString:
      return less ? current < value_ : current > value_;
    case ValueKind::kOther:
      break;
  }
  return false;
}

namespace {

// The positions a block's key conditions leave, in key order. Each bound
// replaces the one before it instead of narrowing it, and an "=" sets both;
// two different "=" values, or one the index does not hold, leave nothing.
std::vector<std::int32_t> indexCandidates(std::span<const RowTest> block, const Table& table) {
  const PrimaryKeyIndex& index = table.pkMap;
  auto startNode = index.begin();
  auto endNode = index.end();
  // An empty value is remembered as no value at all: an equality with ''
  // never conflicts with a later one, which the row test then settles.
  std::string_view exactMatchValue;
  for (const RowTest& test : block) {
    if (test.column() != table.primaryKey) continue;
    // The key column's type made it, so it is in the index's form.
    const std::string& value = test.value();
    switch (test.op()) {
      case RowTest::Op::kEqual:
        if (!exactMatchValue.empty() && exactMatchValue != value) return {};
        exactMatchValue = value;
        startNode = index.find(value);
        if (startNode == index.end()) return {};
        endNode = std::next(startNode);
        break;
      case RowTest::Op::kGreater:
        startNode = index.upper_bound(value);
        break;
      case RowTest::Op::kGreaterOrEqual:
        startNode = index.lower_bound(value);
        break;
      case RowTest::Op::kLess:
        endNode = index.lower_bound(value);
        break;
      case RowTest::Op::kLessOrEqual:
        endNode = index.upper_bound(value);
        break;
      case RowTest::Op::kNotEqual:
      case RowTest::Op::kUnknown:
        break;
    }
  }
  if (startNode == index.end()) return {};
  if (endNode != index.end() && !index.key_comp()(startNode->first, endNode->first)) return {};
  std::vector<std::int32_t> positions;
  for (auto node = startNode; node != endNode; ++node) positions.push_back(node->second);
  return positions;
}

bool comparesKey(std::span<const RowTest> block, const Table& table) {
  if (table.primaryKey.empty()) return false;
  for (const RowTest& test : block) {
    if (test.column() == table.primaryKey) return true;
  }
  return false;
}

// The positions a selection has listed. A row can be offered twice only by
// a second block or by index entries that name the same position, so the
// map of every position is made only then: a single lookup or scan never
// pays for it.
class ListedPositions {
 public:
  explicit ListedPositions(std::size_t rowCount) : rowCount_(rowCount) {}

  void expectRepeats() {
    if (listed_.empty()) listed_.assign(rowCount_, false);
  }

  // `position` is a held row's.
  bool contains(std::size_t position) const { return !listed_.empty() && listed_[position]; }
  void add(std::size_t position) {
    if (!listed_.empty()) listed_[position] = true;
  }

 private:
  std::size_t rowCount_;
  std::vector<bool> listed_;
};

// The tests of the leading blocks of `blocks` that are each a single
// equality on one and the same column the index does not order, as a join
// on a column that is not the key gives one per join text.
std::vector<RowTest> equalityRun(std::span<const Block> blocks, const Table& table) {
  std::vector<RowTest> run;
  for (const Block& block : blocks) {
    if (block.size() != 1) break;
    RowTest test(block.front(), table);
    if (test.op() != RowTest::Op::kEqual || comparesKey(std::span(&test, 1), table)) break;
    if (!run.empty() && test.column() != run.front().column()) break;
    run.push_back(std::move(test));
  }
  return run;
}

// What scanning the rows once for each block of `run` would keep, in the
// same order (block by block, each in position order), from one pass: a row
// goes to the first block whose value one of its cells shows. Rows already
// `listed` are passed over; the kept ones are listed.
std::vector<Row*> firstEqualMatches(const std::vector<RowTest>& run, Table& table,
                                    ListedPositions& listed) {
  std::unordered_map<std::string_view, std::size_t> firstBlock;
  firstBlock.reserve(run.size());
  for (std::size_t i = 0; i < run.size(); ++i) firstBlock.try_emplace(run[i].value(), i);
  const ColumnRef column(table, run.front().column());
  std::vector<std::pair<std::size_t, std::size_t>> kept;  // block, position
  for (std::size_t position = 0; position < table.rows.size(); ++position) {
    if (!isLiveRow(table, static_cast<std::int64_t>(position)) || listed.contains(position)) {
      continue;
    }
    std::size_t block = run.size();
    column.cellIn(table.rows[position], [&](const Cell& cell) {
      const auto found = firstBlock.find(cell.getVal());
      if (found != firstBlock.end()) block = std::min(block, found->second);
      return block == 0;  // no other cell of the row can name an earlier block
    });
    if (block < run.size()) kept.emplace_back(block, position);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Row*> rows;
  rows.reserve(kept.size());
  for (const auto& [block, position] : kept) {
    listed.add(position);
    rows.push_back(&table.rows[position]);
  }
  return rows;
}

// A lone "=" on the primary key: the index holds the one candidate.
bool isKeyLookup(const std::vector<Condition>& conditions, const Table& table) {
  if (conditions.size() != 1 || table.primaryKey.empty()) return false;
  const Condition& condition = conditions.front();
  return condition.column == table.primaryKey && (condition.op == "=" || condition.op == "==");
}

}  // namespace

std::vector<Row*> keyEqualityMatches(std::span<const std::string_view> values, Table& table) {
  // Each probe is the block's own: the value in its compared form, the
  // index's entry for it, the row tested as RowTest tests an equality.
  const auto type = table.columnTypes.find(table.primaryKey);
  const std::string_view typeName =
      type == table.columnTypes.end() ? std::string_view() : std::string_view(type->second);
  const ColumnRef column(table, table.primaryKey);
  ListedPositions listed(table.rows.size());
  if (values.size() > 1) listed.expectRepeats();
  std::vector<Row*> rows(values.size(), nullptr);
  for (std::size_t k = 0; k < values.size(); ++k) {
    const IndexKey key(comparedForm(typeName, values[k]));
    const std::string& compared = key.text();
    const auto entry = findIndexEntry(table.pkMap, key);
    if (entry == table.pkMap.end() || !isLiveRow(table, entry->second)) continue;
    const auto at = static_cast<std::size_t>(entry->second);
    if (listed.contains(at)) continue;
    Row& row = table.rows[at];
    const auto equal = [&compared](const Cell& cell) { return cell.getVal() == compared; };
    if (column.cellIn(row, equal) == nullptr) continue;
    listed.add(at);
    rows[k] = &row;
  }
  return rows;
}

std::vector<Row*> Database::getRequestedRows(const std::vector<Condition>& conditions,
                                             Table& table) {
  if (isKeyLookup(conditions, table)) {
    const std::string_view value = conditions.front().value;
    std::vector<Row*> rows = keyEqualityMatches(std::span(&value, 1), table);
    std::erase(rows, nullptr);
    return rows;
  }
  // Rows are listed in the order they are first kept, so a row kept by
  // several blocks appears once.
  std::vector<Row*> result;
  const std::vector<Block> blocks = orBlocks(conditions);
  ListedPositions listed(table.rows.size());
  if (blocks.size() > 1) listed.expectRepeats();
  std::vector<RowTest> tests;
  const auto keep = [&](std::int64_t position) {
    if (!isLiveRow(table, position)) return;
    const auto at = static_cast<std::size_t>(position);
    if (listed.contains(at)) return;
    Row& row = table.rows[at];
    for (const RowTest& test : tests) {
      if (!test.holds(row)) return;
    }
    listed.add(at);
    result.push_back(&row);
  };
  for (std::size_t b = 0; b < blocks.size();) {
    tests.clear();
    for (const Condition& condition : blocks[b]) tests.emplace_back(condition, table);
    if (comparesKey(tests, table)) {
      const std::vector<std::int32_t> candidates = indexCandidates(tests, table);
      if (candidates.size() > 1) listed.expectRepeats();
      for (const std::int32_t position : candidates) keep(position);
      ++b;
      continue;
    }
    const std::vector<RowTest> run = equalityRun(std::span(blocks).subspan(b), table);
    if (run.size() > 1) {
      for (Row* row : firstEqualMatches(run, table, listed)) result.push_back(row);
      b += run.size();
      continue;
    }
    for (std::size_t position = 0; position < table.rows.size(); ++position) {
      keep(static_cast<std::int64_t>(position));
    }
    ++b;
  }
  return result;
}
