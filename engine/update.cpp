#include <algorithm>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/index_changes.h"
#include "engine/live_rows.h"
#include "engine/refusals.h"
#include "engine/write_checks.h"
#include "model/column_type.h"

// An update changes rows in place as it goes, keeping enough to put every
// selected row and index entry back when a later assignment or row fails.
// Back-references are only recorded once the whole update has succeeded.
struct Database::UpdateRun {
  struct Selected {
    Row* row;
    std::int32_t position;
    Row before;  // the row as the command found it
    std::vector<IndexChange> indexChanges;
    std::vector<ParentLink> links;  // what the row's last relinking found
  };

  Table& table;
  const std::string& name;
  std::vector<Selected> rows;
  std::unordered_set<std::string> assigned;  // the columns assigned so far
  // Every index change in the order made, with the slot of its row.
  std::vector<std::pair<std::size_t, IndexChange>> indexLog;
};

namespace {

bool isIdentity(const Cell& assignment, const Column* column) {
  return isIdentityType(assignment.type) || (column != nullptr && isIdentityType(column->type));
}

// Whether a later assignment of the command overwrites this one's column.
bool overwrittenLater(const std::vector<Cell>& assignments, std::size_t i) {
  return std::any_of(assignments.begin() + static_cast<std::ptrdiff_t>(i) + 1, assignments.end(),
                     [&](const Cell& later) { return later.column == assignments[i].column; });
}

}  // namespace

ResultSet Database::update(const std::string& name, std::vector<Cell>& assignments,
                           std::vector<Condition>& conditions) {
  const std::unique_lock lock(rwLock);
  Table& table = getTable(name);
  UpdateRun run{table, name, {}, {}, {}};
  std::int32_t lastPosition = -1;
  for (Row* row : getRequestedRows(conditions, table)) {
    const auto position = static_cast<std::int32_t>(row - table.rows.data());
    run.rows.push_back({row, position, *row, {}, {}});
    lastPosition = std::max(lastPosition, position);
  }
  if (lastPosition >= 0) requireRowSlot(table, lastPosition);

  try {
    for (const Cell& assignment : assignments) assign(run, assignment);
    // Tasks only for the chains the rows end up with: a chain that a later
    // assignment replaced never shows a state.
    std::vector<ChainCell> chains;
    for (std::size_t i = 0; i < assignments.size(); ++i) {
      if (overwrittenLater(assignments, i)) continue;
      const ColumnRef column(table, assignments[i].column);
      for (const UpdateRun::Selected& selected : run.rows) {
        const Cell* cell = column.cellIn(*selected.row);
        if (cell != nullptr && cell->rule) chains.push_back({selected.position, cell});
      }
    }
    queueChainTasks(name, chains);
  } catch (...) {
    restore(run);
    throw;
  }
  for (const UpdateRun::Selected& selected : run.rows) recordLinks(selected.links);
  for (UpdateRun::Selected& selected : run.rows) {
    recordChange(kUpdateAction, name, selected.position, std::move(selected.before),
                 std::move(selected.indexChanges));
  }
  return ResultSet{true, "success!", {}, {}, static_cast<std::int32_t>(run.rows.size())};
}

void Database::assign(UpdateRun& run, const Cell& assignment) {
  const Column* column = findColumn(run.table, assignment.column);
  if (isIdentity(assignment, column)) {
    throw std::runtime_error("ApexInt is an immutable identity column and cannot be updated");
  }
  Cell value = assignment;
  if (column != nullptr) {
    toStoredForm(value, column->type);
    requireStorableValue(value, *column);
  }
  if (value.rule && !run.rows.empty()) {
    requireRuleRecords(run.table, static_cast<std::int64_t>(run.table.rows.size()));
  }
  run.assigned.insert(value.column);
  const ColumnRef target(run.table, value.column);
  for (std::size_t slot = 0; slot < run.rows.size(); ++slot) assignToRow(run, slot, value, target);
}

void Database::assignToRow(UpdateRun& run, std::size_t slot, const Cell& value,
                           const ColumnRef& column) {
  UpdateRun::Selected& selected = run.rows[slot];
  Row& row = *selected.row;
  const Table& table = run.table;
  const bool isKey =
      !table.primaryKey.empty() && table.pkIndex >= 0 && value.column == table.primaryKey;
  Cell* cell = column.cellIn(row);
  if (cell == nullptr) return;
  const std::string shown = cell->getVal();
  if (isKey && row.isReferenced && shown != value.getVal() && isActivelyRestricted(&row, shown)) {
    throw std::runtime_error(
        "Cannot update a primary key that is referenced by an active foreign table");
  }
  *cell = value;
  if (isKey) moveIndexEntry(run, slot, shown, cell->getVal());
  selected.links = requireParentLinks(row, selected.position, run.name, &run.assigned);
}

void Database::moveIndexEntry(UpdateRun& run, std::size_t slot, const std::string& oldKey,
                              const std::string& newKey) {
  Table& table = run.table;
  PrimaryKeyIndex& index = table.pkMap;
  if (!index.key_comp()(oldKey, newKey) && !index.key_comp()(newKey, oldKey)) return;
  const std::int32_t position = run.rows[slot].position;
  const auto holder = index.find(newKey);
  if (holder != index.end() && holder->second != position && isLiveRow(table, holder->second)) {
    throw duplicateKey(newKey);
  }
  const auto note = [&](IndexChange change) {
    run.rows[slot].indexChanges.push_back(change);
    run.indexLog.emplace_back(slot, std::move(change));
  };
  const auto own = index.find(oldKey);
  if (own != index.end() && own->second == position) note(eraseIndexEntry(index, oldKey));
  note(setIndexEntry(index, newKey, position));
}

void Database::restore(UpdateRun& run) {
  for (auto change = run.indexLog.rbegin(); change != run.indexLog.rend(); ++change) {
    undoIndexChange(run.table.pkMap, change->second);
  }
  for (UpdateRun::Selected& selected : run.rows) *selected.row = selected.before;
}
