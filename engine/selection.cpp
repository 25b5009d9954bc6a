#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/database.h"
#include "engine/live_rows.h"
#include "engine/row_filter.h"
#include "model/stored_form.h"

using Block = std::vector<Condition>;

// AND binds tighter than OR: a condition whose gate is 'o' closes the block
// before it, except at the first position. No conditions make one empty
// block, which every live row satisfies.
std::vector<Block> orBlocks(const std::vector<Condition>& conditions) {
  std::vector<Block> blocks(1);
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    if (i > 0 && conditions[i].gate == 'o') {
      blocks.emplace_back();
      Condition isolated = conditions[i];
      isolated.gate = 'a';
      blocks.back().push_back(std::move(isolated));
    } else {
      blocks.back().push_back(conditions[i]);
    }
  }
  return blocks;
}

namespace {

// One row cell against the condition's value. Equality is equality of the
// current texts, in numeric columns too; the typed order goes by the row
// cell's own type, and a text that does not convert simply does not hold.
bool evaluateCell(const Cell& cell, const Cell& dummyCell, const std::string& op) {
  if (cell.column != dummyCell.column) return false;
  if (op == "=" || op == "==") return cell.getVal() == dummyCell.getVal();
  if (op == "!=") return cell.getVal() != dummyCell.getVal();
  if (op == "<") return cell < dummyCell;
  if (op == ">") return cell > dummyCell;
  if (op == "<=") return cell < dummyCell || cell.getVal() == dummyCell.getVal();
  if (op == ">=") return cell > dummyCell || cell.getVal() == dummyCell.getVal();
  return false;
}

}  // namespace

bool conditionHolds(const Row& row, const Condition& condition, const Table& table) {
  Cell dummyCell;
  dummyCell.column = condition.column;
  const auto type = table.columnTypes.find(condition.column);
  if (type != table.columnTypes.end()) dummyCell.type = type->second;
  // Stored numbers and flags are in the form a restart gives back, so the
  // value is compared in that form too: 07 finds the 7 an "int" holds.
  dummyCell.value = comparedForm(dummyCell.type, condition.value);
  for (const Cell& cell : row.cells) {
    if (evaluateCell(cell, dummyCell, condition.op)) return true;
  }
  return false;
}

namespace {

bool blockHolds(const Row& row, const Block& block, const Table& table) {
  for (const Condition& condition : block) {
    if (!conditionHolds(row, condition, table)) return false;
  }
  return true;
}

// The positions a block's key conditions leave, in key order. Each bound
// replaces the one before it instead of narrowing it, and an "=" sets both;
// two different "=" values, or one the index does not hold, leave nothing.
std::vector<std::int32_t> indexCandidates(const Block& block, const Table& table) {
  const PrimaryKeyIndex& index = table.pkMap;
  auto startNode = index.begin();
  auto endNode = index.end();
  const auto keyType = table.columnTypes.find(table.primaryKey);
  const std::string type = keyType == table.columnTypes.end() ? "" : keyType->second;
  // An empty value is remembered as no value at all: an equality with ''
  // never conflicts with a later one, which the row test then settles.
  std::string exactMatchValue;
  for (const Condition& condition : block) {
    if (condition.column != table.primaryKey) continue;
    const std::string& op = condition.op;
    const std::string value = comparedForm(type, condition.value);
    if (op == "=" || op == "==") {
      if (!exactMatchValue.empty() && exactMatchValue != value) return {};
      exactMatchValue = value;
      startNode = index.find(value);
      if (startNode == index.end()) return {};
      endNode = std::next(startNode);
    } else if (op == ">") {
      startNode = index.upper_bound(value);
    } else if (op == ">=") {
      startNode = index.lower_bound(value);
    } else if (op == "<") {
      endNode = index.lower_bound(value);
    } else if (op == "<=") {
      endNode = index.upper_bound(value);
    }
  }
  if (startNode == index.end()) return {};
  if (endNode != index.end() && !index.key_comp()(startNode->first, endNode->first)) return {};
  std::vector<std::int32_t> positions;
  for (auto node = startNode; node != endNode; ++node) positions.push_back(node->second);
  return positions;
}

bool comparesKey(const Block& block, const Table& table) {
  if (table.primaryKey.empty()) return false;
  for (const Condition& condition : block) {
    if (condition.column == table.primaryKey) return true;
  }
  return false;
}

}  // namespace

std::vector<Row*> Database::getRequestedRows(const std::vector<Condition>& conditions,
                                             Table& table) {
  // Rows are listed in the order they are first kept, so a row kept by
  // several blocks appears once.
  std::vector<Row*> result;
  std::unordered_set<const Row*> kept;
  const auto keep = [&](std::int64_t position, const Block& block) {
    if (!isLiveRow(table, position)) return;
    Row& row = table.rows[static_cast<std::size_t>(position)];
    if (!kept.contains(&row) && blockHolds(row, block, table)) {
      kept.insert(&row);
      result.push_back(&row);
    }
  };
  for (const Block& block : orBlocks(conditions)) {
    if (comparesKey(block, table)) {
      for (const std::int32_t position : indexCandidates(block, table)) keep(position, block);
    } else {
      for (std::size_t position = 0; position < table.rows.size(); ++position) {
        keep(static_cast<std::int64_t>(position), block);
      }
    }
  }
  return result;
}
