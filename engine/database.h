#pragma once

#include <cstdint>
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

  // Files a new, empty table and writes its data file header and empty
  // deletion map. Refusals, in the order they are tested, each before anything
  // changes: "Unknown type" (checkTypes); the table name, "Forbidden table
  // name" then "Name longer than 15 bytes: <name>"; per column in order,
  // "Forbidden column name", "Name longer than 15 bytes: <column>", "Invalid
  // string width: <column>" (a "string" width of 0 or less) and "Column too
  // narrow for state chains: <column>" (a state limit on a value narrower than
  // 4 bytes, which cannot hold a rule's record number); "A table can only have
  // one ApexInt column"; then, outside the log's replay, "Column size error"
  // when the catalogue already holds the name or its data file exists, so no
  // table's rows are ever thrown away. When storage fails ("Failed to open
  // file: <path>") the catalogue is left as it was. During the replay the
  // table replaces the one loaded under that name and storage's "Column size
  // error" follows: the replay relies on meeting the table as it was created.
  void createTable(const std::string& name, const std::vector<Column>& columns);

  // Removes the table and its listeners, then its data file (the drop's
  // commit point), its deletion map and rule file, every relation file
  // whose header names it as the child, its entries in its parents'
  // Table::children and its back-references in their rows. Refuses first
  // what checkDropTable refuses, and "Failed to write file: <name>.bin",
  // changing nothing, when the data file cannot be removed; a file that
  // cannot be removed after it is left for the recovery step. Takes no
  // checkpoint: the DROP TABLE command takes one before it.
  void dropTable(const std::string& name);

  // Throws what dropTable would refuse before it touches anything: the
  // catalogue's message for an unknown name, "Cannot drop a table while a
  // transaction is active" (a rollback must never meet a table that
  // vanished) and "Cannot drop a table that other tables reference" (a link
  // from the table to itself does not count). Takes rwLock shared.
  void checkDropTable(const std::string& name);

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
  // writes the relation file. Every live child row must find, for its current
  // value and every state its chain can still reach, a live parent row with
  // that key. A link that fails changes nothing: a failure after the parent's
  // key was set up puts the parent's key, key position and index back.
  void link(const std::string& foreignTable, const std::string& foreignKeyCol,
            const std::string& primaryTable, const std::string& primaryKeyCol);

  // Checks that every state of `row`'s foreign-key cells, past ones included,
  // exists as a parent key, then records the back-references; a failure
  // records none. `row` points into the rows of `tableName`. With `isInsert`
  // a failure first removes the table's last row (the row just appended). No
  // lock of its own.
  void linkRow(Row* row, const std::string& tableName, bool isInsert);

  // Whether a live child row still shows `pkValue` or can still reach it;
  // prunes the row's stale back-references as it goes (tombstones, rows that
  // no longer refer, and positions their child table does not hold) and
  // clears Row::isReferenced when none is left. No lock of its own.
  bool isActivelyRestricted(Row* row, const std::string& pkValue);

  // --- Transactions ---

  // Opens the transaction; throws "Transaction is already active!".
  void beginTransaction();
  // Keeps the changes; throws "No active transaction to commit!".
  void commitTransaction();
  // Undoes the logged changes newest first; throws "No active transaction to
  // rollback!". Entries whose table or row is gone are skipped. A revived or
  // restored row gets its key's index entry back unless a live row holds it,
  // and loses the entry of a key it showed only before the undo. When a
  // checkpoint ran inside the transaction, the restored memory is
  // checkpointed too, so the table files never keep rolled-back rows: all or
  // nothing, a checkpoint refused before its commit point refuses the
  // rollback with the checkpoint's message, memory and transaction as they
  // were; a failure after it leaves the rollback made. Refused like every
  // logged command while a checkpoint is unfinished.
  void rollbackTransaction();

  // --- Listeners and the webhook queue (engine/webhooks.cpp) ---

  // Attaches a listener to `table` (which need not exist): one pair of
  // surrounding quotes is taken off `url`, an equal listener of the table is
  // replaced, and the new one goes to the end of the list. Unless `fromDisk`,
  // its record is appended to the listener file first; when that fails it
  // throws "Failed to write file: listeners.bin" and adds nothing.
  void addListener(const std::string& table, const std::string& column, const std::string& url,
                   const std::vector<Condition>& conditions, bool fromDisk);

  // Queues the tasks of the first pass through `rule` (a chain of at least
  // two states) for the cell of `column` in row `rowIndex` of `tableName`,
  // each with its record in the webhook file. All or nothing, as
  // queueWebhooks. Takes webhookMutex; the caller holds rwLock exclusively.
  void registerWebhook(const std::string& tableName, int rowIndex, const std::string& column,
                       const TempRule* rule);

  // The tasks registerWebhook would queue for `rule`, in due order of the
  // first pass, without queuing or writing anything.
  static std::vector<WebhookTask> webhookTasks(const std::string& tableName, int rowIndex,
                                               const std::string& column, const TempRule& rule);

  // Appends one webhook-file record per task, then pushes them all onto the
  // queue. When a record cannot be appended, the file is cut back to its
  // length before the first, nothing is queued, and it throws "Failed to
  // write file: webhooks.bin". Takes webhookMutex.
  void queueWebhooks(std::vector<WebhookTask> tasks);

  // --- Checkpoint ---

  // Writes every table that has rows to its data file (each slot, the file
  // cut to exactly those slots), its deletion map and its rule records, then
  // empties the write-ahead log, crash-safe through the redo journal
  // (storage/storage.h). A table without rows is not touched unless its data
  // file still holds whole slots, which are cut away. Everything is checked
  // before anything is written: "Failed to open file: <path>" for a data
  // file that is missing or cannot be opened (a missing one is not created),
  // a deletion map, rule file or log that exists and cannot, "File offset
  // out of range: <path>" when a slot or appended rule record would not fit
  // the files' 32-bit offsets, "Failed to write file: vesk.wal" when the
  // journal cannot be written; then nothing has changed. A failure after the
  // journal's commit record fails too, but the checkpoint has happened: the
  // next checkpoint completes that journal first, and until one does every
  // logged command is refused with the same message. Returns whether a
  // transaction is open, whose BEGIN the emptied log no longer holds.
  bool checkpoint();

  // Throws the message of a checkpoint that committed but did not complete;
  // the dispatcher asks before every command it would log, since the log is
  // about to be emptied. Takes rwLock shared.
  void requireFinishedCheckpoint();

 private:
  // A checkpoint ran inside the open transaction: its rollback must
  // rewrite the table files.
  bool checkpointedInTransaction = false;

  // The message of a checkpoint whose journal committed but did not
  // complete; empty when none.
  std::string unfinishedCheckpoint;

  // The body of checkpoint(), for callers that hold rwLock. Sets
  // `committed` once its own journal is committed, so that a caller can
  // tell a failure that changed nothing from one after the commit point.
  void runCheckpoint(bool& committed);
  // The refusals of checkDropTable, for callers that hold rwLock.
  void refuseDrop(const std::string& name) const;
  // Takes a dropped child's entries out of its parents.
  void forgetChildTable(const std::string& name);

  // One parent row of `parent` whose key shows exactly `key`, or null.
  Row* findParentRow(Table& parent, const std::string& key);

  // Undo of one transaction log entry; an entry whose row is gone is skipped.
  void undoInsert(const TransactionAction& entry);
  void undoDelete(const TransactionAction& entry);
  void undoUpdate(const TransactionAction& entry);
  // Takes `position` of `tableName` out of every back-reference set.
  void forgetChildPosition(const std::string& tableName, std::int32_t position);
};
