#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/database.h"

namespace {

// The key a restriction check asks about: the text of the row's first cell
// of the key column, or "" when it has none.
std::string keyOf(const Row& row, const Table& table) {
  const Cell* cell = ColumnRef(table, table.primaryKey).cellIn(row);
  return cell == nullptr ? "" : cell->getVal();
}

// What a restriction check may prune from a row, kept to put back.
struct Links {
  std::unordered_map<ForeignRelation, std::set<std::int32_t>> links;
  bool isReferenced;
};

}  // namespace

ResultSet Database::deleteRows(const std::string& name, std::vector<Condition>& conditions) {
  const std::unique_lock lock(rwLock);
  Table& table = getTable(name);
  const std::vector<Row*> selected = getRequestedRows(conditions, table);
  const auto positionOf = [&](const Row* row) {
    return static_cast<std::int32_t>(row - table.rows.data());
  };
  const auto mark = [&](Row* row, bool deleted) {
    row->deleted = deleted;
    if (deleted) {
      table.deletedRows.insert(positionOf(row));
    } else {
      table.deletedRows.erase(positionOf(row));
    }
  };
  // Every selected row is a tombstone while the checks run, so rows that go
  // together (a parent and its child in one table) do not hold each other.
  for (Row* row : selected) mark(row, true);
  std::vector<std::pair<Row*, Links>> checked;
  for (Row* row : selected) {
    if (!row->isReferenced) continue;
    checked.push_back({row, Links{row->links, row->isReferenced}});
    if (!isActivelyRestricted(row, keyOf(*row, table))) continue;
    for (auto& [checkedRow, before] : checked) {
      checkedRow->links = std::move(before.links);
      checkedRow->isReferenced = before.isReferenced;
    }
    for (Row* unmarked : selected) mark(unmarked, false);
    throw std::runtime_error("Foreign key points at rows that were meant for deletion");
  }
  for (const Row* row : selected) recordChange(kDeleteAction, name, positionOf(row));
  return ResultSet{true, "success!", {}, {}, static_cast<std::int32_t>(selected.size())};
}
