#pragma once

#include <cstdint>
#include <ios>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/cell.h"
#include "model/condition.h"
#include "model/table.h"
#include "model/webhook.h"

class Database;
class Journal;

// Ends every line of the write-ahead log, followed by the time of the append
// in seconds; a command text cut at it yields the command and its time.
inline constexpr std::string_view kTimeMarker = " #TIME# ";

// Every file the engine keeps in the current working directory, reached
// through the file-system seam (storage/file_system.h). Each function opens
// the files it needs, uses them and closes them before it returns; only the
// log's stream stays open between appends, inside the seam. Numbers
// are little-endian, fields packed, texts in zero-padded fixed-width fields;
// names and layout constants live in storage/file_names.h and
// storage/file_format.h.
class Storage {
 public:
  // On-disk value width of each column type. A "string" column's own width is
  // its Column::size; 60 is only the default.
  static const std::map<std::string, int> typeSizes;

  // --- Table data file "<table>.bin" ---
  // Its creation, layout sizes and readers in storage/table_file.cpp
  // (ruleRecordSize in storage/rule_file.cpp); the in-place row writers,
  // insertRow and update, in storage/slot_writer.cpp.

  // Creates the data file `path` ("<table>.bin") with the table header, and
  // the deletion map with a 0 byte per row the table holds. Both are written
  // and synced under temporary names, then the map and last the data file
  // are renamed into place, and the directory is synced: the data file is
  // the table's commit point, durable when this returns. Throws, leaving the
  // directory as it was: "Column size error" when any entry (a dangling
  // link too) already lies under the table's data file, deletion map or
  // rule-file name; "Failed to open file: <path>" when a file cannot be
  // created; "Failed to write file: <path>" when a write, close, sync or
  // rename fails (the data file named when the directory's sync does).
  static void saveTable(const std::string& path, const Table& table, const std::string& unused);

  // Throws "Column size error" when any entry (a dangling link too) lies
  // under the data file, deletion map or rule-file name of table `name`:
  // the refusal of saveTable, asked before anything is written.
  static void checkNewTableFiles(const std::string& name);

  // Writes one row slot. With std::ios_base::beg, `offset` is the slot's
  // position and each temporal value keeps the rule record its slot names,
  // when the rule file holds that record whole and readable; with
  // std::ios_base::end the row is appended, the deletion map gains a 0 byte
  // and every rule gets a new record. A data file that is missing or cannot be read is not
  // created: nothing is written. No value makes it fail (a text that does not
  // convert is stored as 0). Throws, writing nothing of the slot, "File
  // offset out of range: <path>" when some byte of the slot or of a new rule
  // record would not fit a signed 32-bit offset, and "Failed to open file:
  // <path>" for a rule file that cannot be read; "Failed to write file:
  // <path>" when a write fails.
  static void insertRow(const Table& table, const Row& row, int offset, std::ios_base::seekdir dir);

  // The bytes a column takes in a row slot, the temporal flag byte included.
  // A "string" width below 1, or of 2^31 - 1, counts as the default 60, both
  // when slots are written and when they are read.
  static int getColumnBinSize(const Column& column);

  // Layout sizes, in 64-bit so that callers can check them against the
  // files' 32-bit offsets: the table header (the name and four 15-byte
  // fields per column), a row slot (the sum of the column widths), the
  // largest state limit of a table's columns (0 when none has one) and the
  // size of each of its temporal-rule records.
  static std::int64_t headerSize(std::size_t columnCount);
  static std::int64_t rowSize(const std::vector<Column>& columns);
  static int largestMaxStates(const std::vector<Column>& columns);
  static std::int64_t ruleRecordSize(int maxStates);

  // Reads a table back from "<name>.bin" (or `name` itself when it already
  // holds ".bin") through getColumns and getRows, over the data file as a
  // stream of the file-system seam (storage/file_read_buffer.h); its
  // deletion map and its rule file are each read whole. A missing data file
  // gives a table with that name and neither columns nor rows; a missing
  // deletion map leaves every row live. The primary key is not set up. A
  // temporal cell whose rule record cannot be read gets neither rule nor
  // value. In a "string" column narrower than the missing-value marker, a
  // field holding exactly the marker's first bytes reads as the whole
  // marker. Throws "Failed to open file: <path>" when the data file, its
  // deletion map (for a table with rows) or its rule file (once a cell names
  // a record) exists but cannot be read, and "Damaged table file <path>:
  // <reason>" for a data file whose header names another table or whose
  // length is not the header and whole row slots. The table's changes mark
  // no row when a checkpoint that wrote every row would leave the data file,
  // the deletion map and the rule records exactly as they are; otherwise
  // every row.
  static Table loadTable(const std::string& name, const std::string& unused);

  // The readers of a data file as a stream, which they read from its start
  // whatever its position and state, leaving it usable; only the bytes they
  // need, the slots a piece at a time. getColumns: the columns the header
  // describes, none when the field at offset 15 is not a type name.
  // getRows: every whole row slot, in slot order, with the rules of the
  // rule file that the header's table name names. read: the text field of
  // `length` bytes at absolute `offset`, up to its first zero, of as much of
  // it as the file holds.
  static std::vector<Column> getColumns(std::istream& file);
  static std::vector<Row> getRows(std::istream& file, const std::vector<Column>& columns);
  static std::string read(std::istream& file, int offset, int length);

  // Rewrites each given row of `table` in its own slot; pointers that are
  // not into table.rows are passed over. Throws as insertRow does.
  static void update(const Table& table, const std::vector<Row*>& rows);

  // --- Deletion map "<table>.del" and temporal-rule file "<table>.tmp" ---
  // setUpDeletesFile and the rule readers in storage/rule_file.cpp; the
  // in-place writers, writeTempRule, deleteAt and deleteBatch, in
  // storage/slot_writer.cpp.

  // Writes a 0 byte per row of the table from the start of its deletion map.
  // A missing map is not created; throws "Failed to write file: <map>" when
  // an existing one cannot be written.
  static void setUpDeletesFile(const Table& table);

  // Writes one rule record of 29 + 68 maxStates bytes and returns its
  // number: record `recordNumber` overwritten in place when the file holds
  // it, otherwise a new one at the end. Stores at most `maxStates` states.
  // Returns -1, writing nothing, without a rule or a state limit. Throws
  // "File offset out of range: <path>" when the record would not be
  // addressable with signed 32-bit offsets, and "Failed to write file:
  // <path>" when it cannot be written.
  static int writeTempRule(const std::string& tableName, int rIdx, int cIdx, const TempRule* rule,
                           int maxStates, int recordNumber);

  // Reads one rule record back; null when the file is missing or cannot be
  // read, or the record is damaged (past the end, no states, more than
  // `maxStates`).
  static std::unique_ptr<TempRule> readTempRule(const std::string& tableName, int recordNumber,
                                                int maxStates);
  // The same from the bytes of a whole rule file.
  static std::unique_ptr<TempRule> parseTempRule(std::string_view ruleFile, int recordNumber,
                                                 int maxStates);

  // Mark the slots deleted in the deletion map, which is not created when
  // missing; negative slots are passed over. Throws "Failed to write file:
  // <path>" when the map cannot be written.
  static void deleteAt(const std::string& tableName, int slot);
  static void deleteBatch(const std::string& tableName, const std::vector<int>& slots);

  // --- Relation file "<child>-<fk>_<parent>-<pk>.rel" (storage/relation_file.cpp) ---

  // Writes the link's header and a snapshot of which parent row each live
  // child row points at, replacing the whole file: it is written and synced
  // under a temporary name, renamed into place, and the directory synced, so
  // that the link is durable when this returns. Throws "Failed to write
  // file: <relation file>" when that fails, leaving the directory as it was
  // (a file it replaced is written back when only the directory's sync
  // failed).
  // Writes nothing, silently, when one of the four names is not a safe piece
  // of a file name or is longer than a 15-byte field: such names only come
  // from damaged files.
  static void linkTables(Table& foreign, Table& parent, const std::string& foreignKeyCol);

  // --- Listener file "listeners.bin" and webhook file "webhooks.bin" ---
  // Writers in storage/listener_file.cpp and storage/webhook_file.cpp, the
  // two loaders in storage/recovery.cpp. Both files only grow, one record
  // per listener or task. A record cut short at the end of a file (an append
  // that a kill interrupted) is never loaded, and the next append starts
  // where the last whole record ends, so every later record stays aligned.

  // Appends one listener record (a text longer than its field is cut). A
  // missing file is written whole under its temporary name and renamed into
  // place, so that it never exists without its first record. Throws "Failed
  // to write file: listeners.bin" when the record cannot be written whole;
  // the file then holds the whole records it held before, or is still
  // missing.
  static void saveListener(const std::string& table, const std::string& column,
                           const std::string& url, const std::vector<Condition>& conditions);

  // Adds every whole listener record again through Database::addListener,
  // in file order, without writing it again. Prints "[STORAGE] Reloading
  // Webhook Listeners..." when the file can be read. Never throws for any
  // file content.
  static void loadListeners(Database* db);

  // Appends the records of `tasks`, not fired, in one write where the
  // file's whole records end (over a record cut short), and sets each task's
  // fileOffset. A missing file is written whole under its temporary name and
  // renamed into place, so that it never exists without these records. False
  // when the file cannot be examined or written, or when a byte of the
  // records would lie at an offset that does not fit a signed 32-bit
  // integer; the file then holds the whole records it held before (unless
  // cutting back what a failed write put down fails too), or is still
  // missing, and no offset is set.
  static bool appendWebhooks(std::vector<WebhookTask>& tasks);

  // Where the webhook file's whole records end, so that a caller can cut
  // back what it appends: `exists` is false when there is no file.
  struct WebhookFileEnd {
    bool exists = false;
    std::int64_t length = 0;
  };
  // None when the file cannot be examined.
  static std::optional<WebhookFileEnd> webhookFileEnd();
  // Puts the file back to `end`: cut to its length, or removed when there
  // was no file. False when that fails.
  static bool restoreWebhookFile(const WebhookFileEnd& end);

  // The records of `tasks` (one command's, in the order it queues them) as
  // the command's first run put them at `offset`, task k at offset + k times
  // the record size: writes each one the file does not hold whole there,
  // over a record cut short too, and returns those tasks with their offsets.
  // For the replay of the log's last line, whose command a kill may have
  // stopped between its line and its records: a record the file holds whole
  // there is that command's, so a second run writes nothing. Writes nothing
  // when the file's whole records end before `offset` (the file was cut or
  // replaced since, so the records ahead of these are gone too: writing here
  // would leave a gap of zero bytes that reads as tasks) or `offset` is not
  // a record's. The missing records go down in one write. Throws "Failed to
  // open file: webhooks.bin" when the file cannot be examined, "Failed to
  // write file: webhooks.bin" when they cannot be written or a byte of them
  // would not lie at a signed 32-bit offset.
  static std::vector<WebhookTask> writeMissingWebhooks(std::vector<WebhookTask> tasks,
                                                       std::int64_t offset);

  // Overwrite the due time, or set the fired flag, of the record at
  // `offset`. False, writing nothing, unless a whole record starts there.
  static bool updateCycleTime(std::int32_t offset, std::int64_t time);
  static bool markWebhookFired(std::int32_t offset);

  // Pushes every whole record that is not fired onto Database::webhookQueue,
  // each under Database::webhookMutex, with its offset. Prints "[STORAGE]
  // Sweeping webhooks.bin for pending events..." when the file can be read,
  // then "[STORAGE] Revived <count> pending webhooks from the grave!" when
  // it revived any. Never throws for any file content.
  static void loadWebhooks(Database* db);

  // --- Write-ahead log "vesk.wal" (storage/wal.cpp) ---

  // Where the log stood around one append: whether it existed, its length
  // before the line and after it (-1 when the line did not get there).
  struct LogMark {
    bool existed = false;
    std::int64_t before = 0;
    std::int64_t after = -1;
  };

  // Appends one line for `command` before the command changes anything
  // (storage/log_line.h): the text with each line feed turned into a blank,
  // the time marker and the current time (the command time, which the
  // dispatcher pins), and `webhookOffset` when given: where the records of
  // the command's webhook tasks start in the webhook file. A torn last line
  // (an append a kill interrupted) is cut away first. Throws "Failed to
  // write file: vesk.wal", appending nothing, while the line of a failed
  // command stays that no cut could take back (see cutWAL); "Failed to open
  // file: vesk.wal" when the log cannot be opened and "Failed to write file:
  // vesk.wal" when the line cannot be written whole; the log is then as it
  // was, unless taking back what the failed write put down fails too, which
  // then counts as a cut that failed.
  static LogMark appendToWAL(std::string_view command,
                             std::optional<std::int64_t> webhookOffset = std::nullopt);

  // Takes back the line that `mark` appended, for a command that then
  // failed: the log is cut to its length before (removed when there was
  // none, its kept stream closed first). Leaves a log that has changed since
  // alone. False when the line stays (the size look, the cut or the removal
  // failed): the mark is then kept, every later append and settleWAL retry
  // the cut first, and a log that clearWAL empties drops it. Never throws.
  static bool cutWAL(const LogMark& mark);

  // Retries a cut that failed; true once no such line is left (also when
  // there was none). Never throws.
  static bool settleWAL();

  // Empties the log (creating it when missing), and with it a line that a
  // cut could not take back; false when it cannot. Never throws. Takes
  // walMutex while the checkpoint holds Database::rwLock: safe, because
  // nothing that holds walMutex ever asks for another lock.
  static bool clearWAL();

  // --- The checkpoint's files ---
  // journalTable and checkLogCanBeEmptied in storage/table_journal.cpp, the
  // rest in storage/journal.cpp.
  //
  // A checkpoint never writes a table file before it has said, durably, all
  // it will write, and never empties the log before what it wrote is
  // durable. Protocol:
  //  1. Check: journalTable gathers, for every table, each byte range the
  //     checkpoint writes (every row slot, the deletion map, each rule
  //     record) and each length the files are cut to, reading the files but
  //     writing nothing; journalSideFiles adds the listener and webhook
  //     records appended since the last checkpoint, so that they become
  //     durable with the rows of the same commands, and checkLogCanBeEmptied
  //     checks the log.
  //  2. Commit: Journal::commit writes them sequentially to "vesk.journal",
  //     ends it with a commit record that carries a checksum, and syncs the
  //     journal and the directory. Until that is done, a failure leaves
  //     every file and the log as they were (a torn journal is removed, or
  //     found uncommitted after a crash; after a power cut an unsynced one
  //     is gone or found uncommitted).
  //  3. Complete: Journal::complete writes every range in place, cuts the
  //     files and syncs each, syncs the directory, empties the log and syncs
  //     it, removes the journal and syncs the directory last. A failure,
  //     crash or power cut anywhere in here leaves a committed journal,
  //     which is simply completed again (by the next checkpoint, or by
  //     recoverFiles at the next start): applying it twice gives the same
  //     files. Until then no command may append to the log, which
  //     completing would empty.
  // With nothing to write, the checkpoint only empties the log durably
  // (emptyLogDurably). The files this leaves are byte
  // for byte those that writing each slot in place with insertRow, the
  // deletion map whole and cutting the data file would leave.

  // Adds everything a checkpoint writes for `table` to `journal`; nothing
  // for a table without rows whose data file holds no whole slot. Only the
  // rows Table::changes names are written (each with its slot, its map
  // byte and its rule records) when the data file and deletion map hold
  // exactly the slots the last checkpoint left; otherwise every row. Either
  // way the files end byte for byte as writing every row would leave them.
  // Each rule cell keeps the record its slot names when that record is
  // whole, readable and named by no earlier cell; every other rule cell gets
  // a fresh record at the end, so no two cells name one record. Writes
  // nothing. Returns the rows whose slot shows a chain's current value
  // (ChangedRows::clockRows), for the checkpoint to keep once committed.
  // Throws "Failed to open file: <path>" for a data file that is missing or
  // will not open for writing, or a deletion map or rule file that exists
  // but will not, and "File offset out of range: <path>" when a slot or an
  // appended rule record would not fit a signed 32-bit offset.
  static std::vector<std::int32_t> journalTable(const Table& table, Journal& journal);

  // Throws "Failed to open file: vesk.wal" unless the log is missing or a
  // regular file that opens for writing.
  static void checkLogCanBeEmptied();

  // How far the listener and the webhook file ("listeners.bin",
  // "webhooks.bin") are held by a committed checkpoint: by file name, their
  // length then; a file not named is held by none.
  using SideFileEnds = std::map<std::string, std::int64_t>;

  // Adds to `journal` the bytes each side file holds past `ends` (all of it
  // when none holds it), and sets `ends` to the files' lengths. Their
  // appends are never synced: once the log is emptied only the journal's
  // commit keeps them, together with the rows of the commands that made
  // them. A missing file adds nothing. Throws "Failed to open file: <file>"
  // when one exists but cannot be read.
  static void journalSideFiles(Journal& journal, SideFileEnds& ends);

  // Syncs the directory (every file a checkpoint wrote or created is then
  // durable under its name), empties the log and syncs it. Throws "Failed
  // to write file: vesk.wal" when one of them fails; the log is then as it
  // was, or empty when only its sync failed.
  static void emptyLogDurably();

  // Completes a committed journal left in the directory, or removes one
  // without its commit record; does nothing when there is none. Sets
  // `committed` when it found a committed one, before completing it. Throws
  // as Journal::read and Journal::complete, or "Failed to write file:
  // vesk.wal" when the journal cannot be removed.
  static void finishJournal(bool& committed);

  // --- Crash recovery of the directory (storage/file_recovery.cpp) ---

  // Brings the directory back to what the last completed command left,
  // before anything reads it: finishes the journal, then removes every
  // temporary file, every deletion map or rule file whose table has no data
  // file, and every relation file whose child table (named in its header)
  // has none, provided its four header names give exactly its own file name
  // (any other was damaged, and stays for its link to fail at start). Knows
  // nothing of the engine. Throws "Failed to write file: <path>" (a file's
  // final name, or "vesk.wal" for the journal) when something cannot be
  // removed, or what finishJournal throws.
  static void recoverFiles();

  // Removes every relation file whose header names `child` as the child
  // table (by header, not by name: a prefix "t-" also begins "t-x-..."
  // files). Throws "Failed to write file: <path>" when one cannot be removed.
  static void removeRelationFiles(const std::string& child);

  // --- Start-up recovery (storage/recovery.cpp): these drive the engine ---

  // Makes every link recorded in a relation file again (Database::linkAtStart),
  // in byte order of the files' names (getRelFiles); a link that fails prints
  // its message on a line of its own, and its file stays.
  static void loadRelations(Database* db);

  // Runs every whole line of the write-ahead log again through a replaying
  // parser, in file order, discarding each result; a torn last line and any
  // line without a time marker and its number are never run. A transaction
  // the log leaves open is closed with its changes, also when the next BEGIN
  // arrives. When the last whole line carries a webhook offset and its
  // command succeeds, the records of its tasks that the webhook file lacks
  // are written (writeMissingWebhooks) and those tasks queued: every earlier
  // command returned after writing its own. Nothing is printed when there is
  // no log; throws "Failed to open file: vesk.wal" when there is one that
  // cannot be read, and what writeMissingWebhooks throws.
  static void replayWAL(Database* db);
};

// Writes the whole text, then zero bytes up to `width` (table and relation headers).
void writeWithPadding(std::ostream& out, const std::string& text, int width);
// Writes at most `width` bytes of the text, then zero bytes up to `width`.
void writePad(std::ostream& out, const std::string& text, int width);
