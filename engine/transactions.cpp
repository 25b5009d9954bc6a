#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/database.h"
#include "engine/live_rows.h"

namespace {

// The text of the row's key cell; none when the table has no key or the row
// no cell at the key's position.
std::optional<std::string> keyText(const Table& table, std::int32_t position) {
  if (table.primaryKey.empty() || table.pkIndex < 0) return std::nullopt;
  const Row& row = table.rows[static_cast<std::size_t>(position)];
  if (static_cast<std::size_t>(table.pkIndex) >= row.cells.size()) return std::nullopt;
  return row.cells[static_cast<std::size_t>(table.pkIndex)].getVal();
}

// Points the index entry of the row's key at the row again unless a live row
// holds it: an insert rolled back before may have taken the entry over from
// this row while it was a tombstone.
void reindex(Table& table, std::int32_t position) {
  const std::optional<std::string> key = keyText(table, position);
  if (!key || !isLiveRow(table, position)) return;
  const auto [entry, added] = table.pkMap.emplace(*key, position);
  if (!added && !isLiveRow(table, entry->second)) entry->second = position;
}

// Drops the entry of `key` when it points at the row at `position`: the key
// the row showed until an undo put its earlier cells back. Left in place,
// it would refuse that key to every later insert.
void unindex(Table& table, const std::string& key, std::int32_t position) {
  const auto entry = table.pkMap.find(key);
  if (entry != table.pkMap.end() && entry->second == position) table.pkMap.erase(entry);
}

}  // namespace

void Database::beginTransaction() {
  const std::unique_lock lock(rwLock);
  if (inTransaction) throw std::runtime_error("Transaction is already active!");
  inTransaction = true;
  transactionLog.clear();
  checkpointedInTransaction = false;
}

void Database::commitTransaction() {
  const std::unique_lock lock(rwLock);
  if (!inTransaction) throw std::runtime_error("No active transaction to commit!");
  transactionLog.clear();
  inTransaction = false;
  checkpointedInTransaction = false;
}

void Database::rollbackTransaction() {
  const std::unique_lock lock(rwLock);
  if (!inTransaction) throw std::runtime_error("No active transaction to rollback!");
  if (!unfinishedCheckpoint.empty()) throw std::runtime_error(unfinishedCheckpoint);
  // The files hold rows of this transaction when a checkpoint ran inside it:
  // the restored state is checkpointed too, and a checkpoint refused before
  // its commit point puts everything back as it was.
  std::optional<std::map<std::string, Table>> before;
  if (checkpointedInTransaction) before = tables;
  for (auto entry = transactionLog.rbegin(); entry != transactionLog.rend(); ++entry) {
    if (entry->action == "INSERT") {
      undoInsert(*entry);
    } else if (entry->action == "DELETE") {
      undoDelete(*entry);
    } else if (entry->action == "UPDATE") {
      undoUpdate(*entry);
    }
  }
  inTransaction = false;
  if (before) {
    bool committed = false;
    try {
      runCheckpoint(committed);
    } catch (...) {
      if (!committed) {
        tables = std::move(*before);
        inTransaction = true;
        throw;
      }
      // Committed: the rollback stays made; completing it is left to the
      // next checkpoint.
      transactionLog.clear();
      checkpointedInTransaction = false;
      throw;
    }
  }
  transactionLog.clear();
  checkpointedInTransaction = false;
}

void Database::undoInsert(const TransactionAction& entry) {
  const auto found = tables.find(entry.tableName);
  if (found == tables.end()) return;
  Table& table = found->second;
  // Every insert appends and entries are undone newest first, so the row an
  // entry recorded is the last one; anything else means it is gone.
  if (table.rows.empty() || entry.rowIndex != static_cast<std::int64_t>(table.rows.size()) - 1) {
    return;
  }
  std::erase_if(table.pkMap, [&](const auto& key) { return key.second == entry.rowIndex; });
  forgetChildPosition(entry.tableName, entry.rowIndex);
  table.deletedRows.erase(entry.rowIndex);
  table.rows.pop_back();
}

void Database::undoDelete(const TransactionAction& entry) {
  const auto found = tables.find(entry.tableName);
  if (found == tables.end() || !holdsRow(found->second, entry.rowIndex)) return;
  Table& table = found->second;
  Row& row = table.rows[static_cast<std::size_t>(entry.rowIndex)];
  row.deleted = false;
  table.deletedRows.erase(entry.rowIndex);
  reindex(table, entry.rowIndex);
  try {
    linkRow(&row, entry.tableName, false);
  } catch (...) {
    // The row stays restored even when a parent lost one of its keys.
  }
}

void Database::undoUpdate(const TransactionAction& entry) {
  const auto found = tables.find(entry.tableName);
  if (found == tables.end() || !holdsRow(found->second, entry.rowIndex)) return;
  Table& table = found->second;
  const std::optional<std::string> shownKey = keyText(table, entry.rowIndex);
  Row& row = table.rows[static_cast<std::size_t>(entry.rowIndex)];
  row = entry.before;
  if (row.deleted) {
    table.deletedRows.insert(entry.rowIndex);
  } else {
    table.deletedRows.erase(entry.rowIndex);
  }
  // An update may have changed the key, and an undone delete may have
  // entered the changed key: the index follows the key put back.
  if (shownKey) unindex(table, *shownKey, entry.rowIndex);
  reindex(table, entry.rowIndex);
  try {
    linkRow(&row, entry.tableName, false);
  } catch (...) {
    // As for a delete: the before-image stays whatever its parents hold now.
  }
}

void Database::forgetChildPosition(const std::string& tableName, std::int32_t position) {
  for (auto& [name, table] : tables) {
    for (Row& row : table.rows) {
      for (auto& [relation, positions] : row.links) {
        if (relation.table == tableName) positions.erase(position);
      }
    }
  }
}
