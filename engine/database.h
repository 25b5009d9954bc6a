#pragma once

#include <map>
#include <mutex>
#include <queue>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/condition.h"
#include "model/table.h"
#include "model/transaction_action.h"
#include "model/webhook.h"

// The engine: the catalogue of tables, the open transaction, the listeners
// and the webhook queue. Refusals are std::runtime_error whose text is the
// message the user sees. Every operation that changes data takes rwLock
// exclusively, reads take it shared; lock order is rwLock, then webhookMutex.
class Database {
 public:
  std::map<std::string, Table> tables;
  bool inTransaction = false;
  std::vector<TransactionAction> transactionLog;
  bool recovering = false;  // true only while the write-ahead log is replayed
  std::shared_mutex rwLock;
  std::map<std::string, std::vector<WebhookListener>> listeners;
  std::priority_queue<WebhookTask> webhookQueue;
  std::mutex webhookMutex;

  // The five column type names (columnTypeNames()).
  static const std::unordered_set<std::string> types;

  Database() = default;
  ~Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // --- Catalogue ---

  // The table of that name; throws "Syntax Error: Table '<name>' does not
  // exist.". Takes no lock: callers read through the reference before they
  // call an operation, which is sound only because commands never overlap.
  Table& getTable(const std::string& name);

  // Every column has a known type and no column is named like a type.
  bool checkTypes(const std::vector<Column>& columns);

  void createTable(const std::string& name, const std::vector<Column>& columns);

  // Removes the table, its listeners and its three files.
  void dropTable(const std::string& name);

  // --- Row selection ---

  // The live rows of `table` that satisfy `conditions` (OR blocks of
  // AND-joined comparisons), each once, in no defined order. Blocks that
  // compare the primary key draw their candidates from the index. Takes no
  // lock: the caller holds rwLock. The pointers are valid until the row list
  // changes.
  std::vector<Row*> getRequestedRows(const std::vector<Condition>& conditions, Table& table);

  // --- Foreign keys ---

  // Declares that `foreignTable.foreignKeyCol` refers to
  // `primaryTable.primaryKeyCol`, which becomes the parent's primary key, and
  // writes the relation file. A link that fails changes nothing.
  void link(const std::string& foreignTable, const std::string& foreignKeyCol,
            const std::string& primaryTable, const std::string& primaryKeyCol);

  // Checks that every state of `row`'s foreign-key cells exists as a parent
  // key and records the back-references. With `isInsert` a failure first
  // removes the table's last row (the row just appended). No lock of its own.
  void linkRow(Row* row, const std::string& tableName, bool isInsert);

  // Whether a live child row still shows `pkValue` or can still reach it;
  // prunes the row's stale back-references as it goes. No lock of its own.
  bool isActivelyRestricted(Row* row, const std::string& pkValue);

  // --- Transactions ---

  void beginTransaction();
  void commitTransaction();
  void rollbackTransaction();

  // --- Checkpoint ---

  // Writes every table that has rows to its data file and deletion map, then
  // empties the write-ahead log.
  void checkpoint();
};
