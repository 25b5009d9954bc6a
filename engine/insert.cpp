#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/index_changes.h"
#include "engine/live_rows.h"
#include "engine/refusals.h"
#include "engine/write_checks.h"
#include "model/column_type.h"
#include "model/number.h"

namespace {

// One past the identity of the table's last row, deleted or not; 1 when
// there is none to count from.
std::string nextIdentity(const Table& table, const Column& column) {
  if (table.rows.empty()) return "1";
  const Cell* cell = ColumnRef(table, column.name).cellIn(table.rows.back());
  if (cell == nullptr) return "1";
  const std::optional<std::int32_t> number = toInt32(cell->getVal());
  if (number == std::numeric_limits<std::int32_t>::max()) {
    throw std::runtime_error("Identity column out of range: " + column.name);
  }
  return std::to_string(number.value_or(0) + 1);
}

// Fills `cell`, new in a row, for `column` from the value given for it, if
// any. The cell is made in its row, so that no cell is moved there after.
void fillNewCell(Cell& cell, const Table& table, const Column& column,
                 const std::map<std::string, Cell>& values) {
  cell.column = column.name;
  cell.type = column.type;
  const auto given = values.find(column.name);
  if (given != values.end() && given->second.rule) {
    cell.rule = std::make_unique<TempRule>(*given->second.rule);
  }
  if (isIdentityType(column.type)) {
    cell.value = nextIdentity(table, column);
  } else if (given == values.end()) {
    cell.value = isIntegerType(column.type) ? "0" : kMissingValue;
  } else {
    cell.value = given->second.getVal();
    // With a chain the check reads its active state, as every reader would.
    if (isIntegerType(column.type) && cell.getVal() == kMissingValue) cell.value = "0";
  }
  toStoredForm(cell, column.type);
  if (given != values.end()) requireStorableValue(cell, column);
}

bool hasKey(const Table& table) { return !table.primaryKey.empty() && table.pkIndex >= 0; }

}  // namespace

ResultSet Database::insertInto(const std::string& name, std::map<std::string, Cell>& values) {
  const std::unique_lock lock(rwLock);
  const auto found = tables.find(name);
  if (found == tables.end()) throw tableNotFound();
  Table& table = found->second;
  const auto position = static_cast<std::int32_t>(table.rows.size());

  Row row;
  row.tableName = name;
  row.cells.reserve(table.columns.size());
  bool hasChain = false;  // a chain may need a rule record of its own
  for (const Column& column : table.columns) {
    Cell& cell = row.cells.emplace_back();
    fillNewCell(cell, table, column, values);
    hasChain = hasChain || cell.rule != nullptr;
  }
  requireRowSlot(table, position);
  if (hasChain) requireRuleRecords(table, static_cast<std::int64_t>(position) + 1);

  // Read once, for the search and the new entry alike.
  std::optional<IndexKey> key;
  if (hasKey(table) && static_cast<std::size_t>(table.pkIndex) < row.cells.size()) {
    key.emplace(row.cells[static_cast<std::size_t>(table.pkIndex)].getVal());
    const auto holder = findIndexEntry(table.pkMap, *key);
    if (holder != table.pkMap.end() && isLiveRow(table, holder->second)) {
      throw duplicateKey(key->text());
    }
  }
  // Everything that can refuse the row runs before the row is appended.
  const std::vector<ParentLink> links = requireParentLinks(row, position, name, nullptr);
  std::vector<ChainCell> chains;
  for (const Cell& cell : row.cells) {
    if (cell.rule) chains.push_back({position, &cell});
  }
  queueChainTasks(name, chains);

  table.insertRow(std::move(row));
  recordLinks(links);
  std::vector<IndexChange> indexChanges;
  // Only a rollback asks what the entry replaced.
  if (key && inTransaction) {
    indexChanges.push_back(setIndexEntry(table.pkMap, std::move(*key), position));
  } else if (key) {
    putIndexEntry(table.pkMap, std::move(*key), position);
  }
  recordChange(kInsertAction, name, position, {}, std::move(indexChanges));
  return ResultSet{true, "success!", {}, {}, 1};
}

void Database::queueChainTasks(const std::string& tableName, const std::vector<ChainCell>& cells) {
  // The tasks of the replayed commands went to the webhook file when they
  // first ran, and the start-up load has put the pending ones back; only
  // the last line's command may have been stopped before its records.
  if (cells.empty() || (recovering && replayedTasks == nullptr)) return;
  std::vector<WebhookTask> tasks;
  for (const ChainCell& chain : cells) {
    std::vector<WebhookTask> own =
        webhookTasks(tableName, chain.position, chain.cell->column, *chain.cell->rule);
    tasks.insert(tasks.end(), std::make_move_iterator(own.begin()),
                 std::make_move_iterator(own.end()));
  }
  if (recovering) {
    replayedTasks->insert(replayedTasks->end(), std::make_move_iterator(tasks.begin()),
                          std::make_move_iterator(tasks.end()));
    return;
  }
  queueWebhooks(std::move(tasks));
}
