#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <queue>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/condition.h"
#include "model/result_set.h"
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
  // While the replay runs the log's last line: where the webhook tasks of its
  // command go instead of the queue, for the replay to write the records a
  // kill may have kept from the webhook file. Null otherwise.
  std::vector<WebhookTask>* replayedTasks = nullptr;
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
  // "Forbidden column name", "Name longer than 15 bytes: <column>",
  // "Duplicate column name: <column>", "Invalid string width: <column>" (a
  // "string" width of 0 or less, or above 1,048,576), "Invalid state limit:
  // <column>" (above 4,096, or any on an "ApexInt" column) and "Column too
  // narrow for state chains: <column>" (a state limit on a value narrower than
  // 4 bytes, which cannot hold a rule's record number); "A table can only have
  // one ApexInt column"; "Column size error" when the catalogue holds a
  // name that differs from it only in letter case (the two would share files
  // on Windows), also during the replay; then, outside the log's replay,
  // "Column size error" when the catalogue already holds the name or any
  // entry (a dangling link too) lies under its data file, deletion map or
  // rule-file name, so no table's rows are ever thrown away. When storage fails ("Failed to open
  // file: <path>", "Failed to write file: <path>") the catalogue and the
  // directory are left as they were. During the replay the table replaces the
  // one loaded under that name and storage's "Column size error" follows: the
  // replay relies on meeting the table as it was created.
  void createTable(const std::string& name, const std::vector<Column>& columns);

  // Throws what createTable would refuse outside the replay, before it
  // touches anything; writes nothing. The CREATE TABLE command asks it
  // before it writes its log line: replayed, a line for a name already
  // taken would replace that table. Takes rwLock shared.
  void checkCreateTable(const std::string& name, const std::vector<Column>& columns);

  // Removes the table and its listeners, then its data file (the drop's
  // commit point, durable when this returns), its deletion map and rule
  // file, every relation file whose header names it as the child, its
  // entries in its parents' Table::children and its back-references in
  // their rows; a parent left without children loses the key that links
  // gave it (one its "ApexInt" column gives stays), as the next start
  // would. Refuses first what checkDropTable refuses, and "Failed to write
  // file: <name>.bin", changing nothing, when the data file cannot be
  // removed or its removal synced; a file that cannot be removed after it
  // is left for the recovery step. Takes no checkpoint: the DROP TABLE
  // command takes one before it.
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

  // --- Select and join ---
  // Both hold rwLock shared for their whole run, change nothing, and read a
  // name the catalogue lacks as a table with no name, columns or rows (the
  // catalogue gains nothing). Values are converted by the column's declared
  // type: a missing cell or "#/#?" gives the text "NULL"; "int" and "ApexInt"
  // the leading 32-bit integer, "float" a single-precision number, "bool"
  // true for "true" or "1"; other types, and a text that does not convert to
  // its column's number type, the text itself. Rows come in no defined order;
  // rows_affected is the number of rows returned.

  // `requestedColumns` of the rows of `tableName` that satisfy `conditions`
  // (prefixes ignored), headed by the names as listed, a name listed twice
  // returned twice; the message is empty. Throws "Requested column not found"
  // for a name the table lacks, before any row is read.
  ResultSet select(const std::string& tableName, const std::vector<std::string>& requestedColumns,
                   const std::vector<Condition>& conditions);

  // Every pair of a row of `tableName` and a row of `joinTable` whose cells
  // `primaryJoinCol` and `secondaryJoinCol` hold the same text ("#/#?" never
  // pairs; an empty column name pairs nothing), with every column of both
  // tables headed "table.column"; `requestedColumns` is not used. The message
  // is "success!". A condition goes to the table its prefix names (the first
  // when both do), an unprefixed one to the first table that has the column.
  // A clause of several OR blocks that reaches both tables is tested whole
  // on each pair; otherwise each table is filtered by its own conditions, and
  // a second table without any only by the first table's join values.
  // Throws, before any row is read, "Unknown table prefix '<p>' in WHERE
  // clause." or "Column '<c>' not found in either table.".
  ResultSet selectJoin(const std::string& tableName, const std::string& joinTable,
                       const std::string& primaryJoinCol, const std::string& secondaryJoinCol,
                       const std::vector<std::string>& requestedColumns,
                       const std::vector<Condition>& conditions);

  // --- Insert, update and delete (engine/insert.cpp, engine/update.cpp,
  // engine/delete.cpp) ---
  //
  // Each takes rwLock exclusively, changes memory only (rows reach the table
  // files at the next checkpoint), records its changes in the open
  // transaction, and changes nothing at all when it fails: no row, cell,
  // index entry, back-reference, transaction entry or webhook task. Numbers
  // and flags are stored in their stored form (model/stored_form.h), the
  // states of chains included. Success is "success!" with the rows affected.

  // Appends one row: a cell per declared column, the given value's current
  // text or "#/#?" ("0" in an "int" column), the "ApexInt" column numbered
  // one past the last row (deleted or not) whatever was given. A column the
  // command leaves out holds "#/#?" whatever its width (a "string" column
  // narrower than the marker keeps its first bytes on disk and reads back
  // the whole marker), and only the key rules judge it, with that text.
  // Refusals, in this order: "None existant table"; then column by column,
  // in declaration order, "Identity column out of range: <column>" when that
  // number would not fit 32 bits, and for a value the command gave, "Value
  // too long for column: <column>" (a "string" value longer than the
  // column's width, or a chain state longer than a rule record holds), then
  // "Value reserved for a missing value in column: <column>" (a "string"
  // value its column would read back as "#/#?": '#' in a column 1 byte
  // wide, '#/' in 2, '#/#' in 3); "File offset out of range: <file>" when
  // the next checkpoint could not address the row's slot or a rule record;
  // "Duplicate entry '<key>' for primary key" when a live row holds the key;
  // linkRow's messages; "Failed to write file: webhooks.bin". Queues the
  // webhook tasks of its chains unless recovering.
  ResultSet insertInto(const std::string& name, std::map<std::string, Cell>& values);

  // Assigns the values, in command order, to the selected rows. Refusals:
  // the catalogue's message for an unknown table; "File offset out of range:
  // <table>.bin" when the next checkpoint could not address a selected row's
  // slot; then assignment by assignment, in command order: before it changes
  // a row, "ApexInt is an immutable identity column and cannot be updated",
  // then "Value too long for column: <column>" and "Value reserved for a
  // missing value in column: <column>" as insertInto gives them, then "File
  // offset out of range: <table>.tmp" when a chain's rule record would not
  // fit; then row by row "Cannot update a primary key that is referenced by
  // an active foreign table" when a live child row still shows or can reach
  // the key a parent row gives up, "Duplicate entry '<key>' for primary key"
  // when another live row holds a new key, and linkRow's messages, a
  // foreign-key cell the command assigns needing every state of its value
  // and any other only the states it can still reach; last "Failed to write
  // file: webhooks.bin". A changed key moves its index entry. The rows
  // affected are the selected rows, also when no cell changed.
  ResultSet update(const std::string& name, std::vector<Cell>& assignments,
                   std::vector<Condition>& conditions);

  // Marks the selected rows as tombstones; their keys stay in the index,
  // free for a later insert. Refused with the catalogue's message for an
  // unknown table and with "Foreign key points at rows that were meant for
  // deletion" when a live row outside the command still shows or can reach
  // the key of a selected row (rows deleted together never hold each other
  // back).
  ResultSet deleteRows(const std::string& name, std::vector<Condition>& conditions);

  // --- Foreign keys ---

  // Declares that `foreignTable.foreignKeyCol` refers to
  // `primaryTable.primaryKeyCol`, which becomes the parent's primary key, and
  // writes the relation file. Every live child row must find, for its current
  // value and every state its chain can still reach, a live parent row with
  // that key, the empty text too (a text is cut at its first NUL byte). A
  // link that fails changes nothing: a failure after the parent's key was
  // set up puts the parent's key, key position and index back.
  // Refused with "Cannot link tables while a transaction is active": a
  // rollback would take away the rows the link was checked against. After
  // "Can't have two primary keys at once" come "Primary key column cannot
  // hold state chains: <column>" (a parent key column with a state limit
  // above 0) and "Table already linked to this parent through another
  // column" (the parent already checks another column of this child; a
  // repeated link of the same column pair is made again). The parent joins
  // the child's Table::parents at its place in byte order of the names.
  void link(const std::string& foreignTable, const std::string& foreignKeyCol,
            const std::string& primaryTable, const std::string& primaryKeyCol);

  // link() at the start, before the log's replay: a parent whose key is
  // already `primaryKeyCol` keeps the index the loader built from the very
  // rows the link checks, rather than building the same one again.
  void linkAtStart(const std::string& foreignTable, const std::string& foreignKeyCol,
                   const std::string& primaryTable, const std::string& primaryKeyCol);

  // Every refusal link() would make, tried on the current state; changes
  // nothing and writes no file. The LINK command asks it before its leading
  // checkpoint, so a refused LINK leaves the files as they were.
  void checkLink(const std::string& foreignTable, const std::string& foreignKeyCol,
                 const std::string& primaryTable, const std::string& primaryKeyCol);

  // Checks that every state of `row`'s foreign-key cells, past ones included,
  // exists as a parent key, then records the back-references; a failure
  // records none. `row` points into the rows of `tableName`. With `isInsert`
  // a failure first removes the table's last row (the row just appended). No
  // lock of its own.
  void linkRow(Row* row, const std::string& tableName, bool isInsert);

  // Re-links a row that an undo put back: records the back-reference of every
  // key text whose parent row it finds and passes over the others, so that a
  // parent row still shown by the row stays protected when another parent
  // lost its key. Never throws; no lock of its own.
  void relinkRow(Row* row, const std::string& tableName);

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
  // rollback!". Rows, cells, key index and back-references come back as they
  // were at BEGIN: each index change a command recorded is put back, never
  // recomputed from the rows, and each revived or restored row is re-linked
  // to every parent key it finds. Entries whose table or row is gone are
  // skipped. When a checkpoint ran inside the transaction, the restored
  // memory is checkpointed too, so the table files never keep rolled-back
  // rows: all or nothing, a checkpoint refused before its commit point
  // refuses the rollback with the checkpoint's message, memory and
  // transaction as they were; a failure after it leaves the rollback made.
  // Refused like every logged command while a checkpoint is unfinished.
  void rollbackTransaction();

  // Whether a rollback now would checkpoint the restored state (a checkpoint
  // ran inside the open transaction). That checkpoint is then the rollback's
  // commit point: its journal, not a log line, makes the undo durable. Takes
  // rwLock shared.
  bool rollbackRewritesFiles();

  // Appends one entry to the open transaction's log; does nothing when none
  // is open. Every writer records through here, once its change has fully
  // succeeded: "INSERT" for the appended row, "UPDATE" for each selected row
  // with the whole row as it was before the command, "DELETE" for each marked
  // row; each with the index changes the command made for that row, in the
  // order made. No lock of its own: the writer holds rwLock.
  void recordChange(const std::string& action, const std::string& tableName, std::int32_t rowIndex,
                    Row before = {}, std::vector<IndexChange> indexChanges = {});

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

  // Appends the tasks' webhook-file records in one write
  // (Storage::appendWebhooks), then pushes them all onto the queue. When
  // they cannot be appended, the file is as it was, nothing is queued, and
  // it throws "Failed to write file: webhooks.bin". Takes webhookMutex.
  void queueWebhooks(std::vector<WebhookTask> tasks);

  // --- Start-up (engine/startup.cpp) ---

  // Rebuilds this freshly made database from the working directory: first the
  // storage recovery step (an interrupted checkpoint is finished or
  // discarded), then every table data file (its first "ApexInt" column becomes the primary key),
  // the relation files, the listener file, the webhook file, then the replay
  // of the write-ahead log with `recovering` set (false again afterwards on
  // every path). Takes no lock: nothing else can reach the database yet.
  // Throws when a table cannot be restored; the caller then discards the
  // database, and no file has been changed.
  void loadFromDisk();

  // --- Checkpoint ---

  // Writes every table that has rows to its data file (each slot, the file
  // cut to exactly those slots), its deletion map and its rule records, then
  // empties the write-ahead log, safe from a crash or a power cut through
  // the redo journal (storage/storage.h): what it wrote, the listener and
  // webhook records included, is on the disk when it returns. A table
  // without rows is not touched unless its data file still holds whole
  // slots, which are cut away. Everything is checked before anything is
  // written: "Failed to open file: <path>" for a data file that is missing
  // or cannot be opened (a missing one is not created), a deletion map, rule
  // file, listener or webhook file or log that exists and cannot, "File
  // offset out of range: <path>" when a slot or appended rule record would
  // not fit the files' 32-bit offsets, "Failed to write file: vesk.wal" when
  // the journal cannot be written or synced; then nothing has changed. A
  // failure after the journal's commit record fails too, but the checkpoint
  // has happened: the next checkpoint completes that journal first, and
  // until one does every logged command is refused with the same message.
  // Retries first a cut of the log that failed (Storage::cutWAL) and goes
  // on either way. Returns whether a transaction is open, whose BEGIN the
  // emptied log no longer holds.
  bool checkpoint();

  // Throws the message of a checkpoint that committed but did not complete;
  // the dispatcher asks before every command it would log, since the log is
  // about to be emptied. Takes rwLock shared.
  void requireFinishedCheckpoint();

 private:
  // link(), checkLink() and linkAtStart() without the lock: with `apply`
  // false every check runs and the parent's key is put back as it was; with
  // `keepIndex` a parent already keyed on `primaryKeyCol` keeps its index.
  void makeLink(const std::string& foreignTable, const std::string& foreignKeyCol,
                const std::string& primaryTable, const std::string& primaryKeyCol, bool apply,
                bool keepIndex = false);

  // A checkpoint ran inside the open transaction: its rollback must
  // rewrite the table files.
  bool checkpointedInTransaction = false;

  // The message of a checkpoint whose journal committed but did not
  // complete; empty when none.
  std::string unfinishedCheckpoint;

  // Throws that message, when there is one; for callers that hold rwLock.
  void refuseUnfinishedCheckpoint() const;

  // How far the side files are held by this database's last committed
  // checkpoint. Empty at first: what a start reads may never have reached
  // the disk, so its first checkpoint journals the side files whole.
  std::map<std::string, std::int64_t> sideFilesCheckpointed;  // Storage::SideFileEnds

  // The body of checkpoint(), for callers that hold rwLock. Sets
  // `committed` once its own journal is committed, so that a caller can
  // tell a failure that changed nothing from one after the commit point.
  void runCheckpoint(bool& committed);
  // The refusals of a declaration alone ("Unknown type", names, widths,
  // limits, the one identity column).
  void refuseDeclaration(const std::string& name, const std::vector<Column>& columns);
  // "Column size error" when a table of this name exists, or one whose name
  // differs only in letter case (the two would share files where file names
  // ignore case). Callers hold rwLock.
  void refuseExistingName(const std::string& name) const;
  // The refusals of checkDropTable, for callers that hold rwLock.
  void refuseDrop(const std::string& name) const;
  // Takes a dropped child's entries out of its parents.
  void forgetChildTable(const std::string& name);

  // One parent row of `parent` whose key shows exactly `key`, or null.
  Row* findParentRow(Table& parent, const std::string& key);

  // A child row's position waiting to be recorded on a parent row. The
  // parent row goes by its position, which stays valid when its table grows
  // (a table linked to itself appends the child to the parent's rows).
  struct ParentLink {
    Table* parent;
    std::int32_t parentRow;
    ForeignRelation relation;
    std::int32_t child;
  };
  // One key text that a child row's foreign-key cell needs from a parent:
  // `parent` is null when the parent holds no rows, `found` when no live
  // parent row shows the key.
  struct ParentKey {
    Table* parent;
    ForeignRelation relation;
    std::string key;
    Row* found;
  };
  // Visits every key text that `row`'s foreign-key cells need, parent by
  // parent in Table::parents order. Cells of the columns in `assigned` (every
  // cell when null) count with every state, past ones included; the others
  // only with the states they can still reach.
  void visitParentKeys(const Row& row, const std::string& tableName,
                       const std::unordered_set<std::string>* assigned,
                       const std::function<void(const ParentKey&)>& visit);
  // The back-references `row`, at `position` of `tableName`, needs; throws
  // "Primary table is empty" or "Primary table is missing required future
  // key: <key>" at the first parent or key that fails, recording nothing.
  std::vector<ParentLink> requireParentLinks(const Row& row, std::int32_t position,
                                             const std::string& tableName,
                                             const std::unordered_set<std::string>* assigned);
  static void recordLinks(const std::vector<ParentLink>& links);

  // --- Insert, update and delete: shared steps (engine/insert.cpp) ---

  // A chain cell whose webhook tasks a writer queues, and its row's position.
  struct ChainCell {
    std::int32_t position;
    const Cell* cell;
  };
  // Queues the tasks of every chain among `cells`, all or nothing; throws
  // "Failed to write file: webhooks.bin". While the log is replayed it
  // queues none, and only adds them to replayedTasks when that is set.
  void queueChainTasks(const std::string& tableName, const std::vector<ChainCell>& cells);

  // One update while it runs, and its steps (engine/update.cpp).
  struct UpdateRun;
  void assign(UpdateRun& run, const Cell& assignment);
  void assignToRow(UpdateRun& run, std::size_t slot, const Cell& value, const ColumnRef& column);
  void moveIndexEntry(UpdateRun& run, std::size_t slot, const std::string& oldKey,
                      const std::string& newKey);
  static void restore(UpdateRun& run);

  // Undo of one transaction log entry; an entry whose row is gone is skipped.
  void undoInsert(const TransactionAction& entry);
  void undoDelete(const TransactionAction& entry);
  void undoUpdate(const TransactionAction& entry);
  // Takes `position` of `tableName` out of every back-reference set.
  void forgetChildPosition(const std::string& tableName, std::int32_t position);
};
