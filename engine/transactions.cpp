#include <cstdint>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/database.h"
#include "engine/index_changes.h"
#include "engine/live_rows.h"

namespace {

// Puts the entry's index changes back, newest first.
void undoIndexChanges(Table& table, const TransactionAction& entry) {
  for (auto change = entry.indexChanges.rbegin(); change != entry.indexChanges.rend(); ++change) {
    undoIndexChange(table.pkMap, *change);
  }
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
  refuseUnfinishedCheckpoint();
  // The files hold rows of this transaction when a checkpoint ran inside it:
  // the restored state is checkpointed too, and a checkpoint refused before
  // its commit point puts everything back as it was.
  std::optional<std::map<std::string, Table>> before;
  if (checkpointedInTransaction) before = tables;
  // Rows put back are re-linked only once every entry is undone: a child
  // revived before its parent (both deleted by one command) must still find
  // the parent row.
  std::set<std::pair<std::string, std::int32_t>> restored;
  for (auto entry = transactionLog.rbegin(); entry != transactionLog.rend(); ++entry) {
    if (entry->action == kInsertAction) {
      undoInsert(*entry);
    } else if (entry->action == kDeleteAction) {
      undoDelete(*entry);
      restored.emplace(entry->tableName, entry->rowIndex);
    } else if (entry->action == kUpdateAction) {
      undoUpdate(*entry);
      restored.emplace(entry->tableName, entry->rowIndex);
    }
  }
  for (const auto& [tableName, position] : restored) {
    const auto found = tables.find(tableName);
    if (found == tables.end() || !holdsRow(found->second, position)) continue;
    relinkRow(&found->second.rows[static_cast<std::size_t>(position)], tableName);
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

bool Database::rollbackRewritesFiles() {
  const std::shared_lock lock(rwLock);
  return inTransaction && checkpointedInTransaction;
}

void Database::recordChange(const std::string& action, const std::string& tableName,
                            std::int32_t rowIndex, Row before,
                            std::vector<IndexChange> indexChanges) {
  // Every writer passes through here, so this is where a changed row is
  // marked for the next checkpoint.
  const auto found = tables.find(tableName);
  if (found != tables.end()) found->second.changes.mark(rowIndex);
  if (!inTransaction) return;
  transactionLog.push_back(
      TransactionAction{action, tableName, rowIndex, std::move(before), std::move(indexChanges)});
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
  undoIndexChanges(table, entry);
  forgetChildPosition(entry.tableName, entry.rowIndex);
  table.deletedRows.erase(entry.rowIndex);
  table.rows.pop_back();
}

void Database::undoDelete(const TransactionAction& entry) {
  const auto found = tables.find(entry.tableName);
  if (found == tables.end() || !holdsRow(found->second, entry.rowIndex)) return;
  Table& table = found->second;
  Row& row = table.rows[static_cast<std::size_t>(entry.rowIndex)];
  table.changes.mark(entry.rowIndex);
  row.deleted = false;
  table.deletedRows.erase(entry.rowIndex);
  undoIndexChanges(table, entry);
}

void Database::undoUpdate(const TransactionAction& entry) {
  const auto found = tables.find(entry.tableName);
  if (found == tables.end() || !holdsRow(found->second, entry.rowIndex)) return;
  Table& table = found->second;
  Row& row = table.rows[static_cast<std::size_t>(entry.rowIndex)];
  table.changes.mark(entry.rowIndex);
  row = entry.before;
  if (row.deleted) {
    table.deletedRows.insert(entry.rowIndex);
  } else {
    table.deletedRows.erase(entry.rowIndex);
  }
  undoIndexChanges(table, entry);
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
