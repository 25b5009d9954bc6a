#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "model/stored_form.h"
#include "storage/file_system.h"
#include "storage/storage.h"
#include "support/file_sweep.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

namespace fs = std::filesystem;

const char* const kLog = "vesk.wal";
const std::string kLogLines = "INSERT INTO t id = 1 #TIME# 100\n";

std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (const int value : values) text.push_back(static_cast<char>(value));
  return text;
}

class CheckpointTest : public TempDirTest {
 public:  // the case tables below prepare the fixture through lambdas
  // t: id int, s string 4 bytes wide. Header 135 bytes, slots of 8.
  void createT() {
    db.createTable("t", {makeColumn("id", "int"), makeColumn("s", "string", 0, 4)});
  }
  Table& t() { return db.tables.at("t"); }

  // Appends a row as an insert does, logged when a transaction is open.
  void insert(const std::string& table, const std::vector<std::string>& values) {
    appendRow(db.tables.at(table), values);
    const std::int32_t row = lastPosition(db.tables.at(table));
    if (db.inTransaction) db.transactionLog.push_back({"INSERT", table, row, {}});
  }

  Database db;
};

TEST_F(CheckpointTest, WithoutTablesOnlyTheLogIsEmptied) {
  writeFile(kLog, kLogLines);
  db.checkpoint();
  EXPECT_EQ(readFile(kLog), "");
  EXPECT_EQ(fileNames(), std::set<std::string>{kLog});
}

TEST_F(CheckpointTest, TableWithoutRowsIsNotTouched) {
  createT();
  writeFile("t.del", bytes({1, 1}));  // would be cut if the checkpoint touched it
  const std::string header = readFile("t.bin");
  writeFile(kLog, kLogLines);
  db.checkpoint();
  EXPECT_EQ(readFile("t.bin"), header);
  EXPECT_EQ(readFile("t.del"), bytes({1, 1}));
  EXPECT_EQ(readFile(kLog), "");
}

TEST_F(CheckpointTest, RowlessTableWithoutWholeSlotsKeepsItsFile) {
  struct Case {
    const char* shows;
    std::vector<Column> columns;
    std::string fileBytes;
  };
  const std::string garbage(100, 'g');
  const std::string header =
      std::string("x") + std::string(14, '\0') + "int" + std::string(12, '\0') +
      std::string(45, '\0');  // one column: type "int", empty name, size and limit fields
  const std::vector<Case> cases = {
      {"a file whose header names no columns, loaded as a table without them", {}, garbage},
      {"a cut-short slot past the header", {makeColumn("", "int")}, header + "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.tables.clear();
    fs::remove("x.del");
    writeFile("x.bin", c.fileBytes);
    db.tables["x"] = makeTable("x", c.columns);
    db.checkpoint();
    EXPECT_EQ(readFile("x.bin"), c.fileBytes);
    EXPECT_FALSE(fs::exists("x.del"));
  }
}

TEST_F(CheckpointTest, EveryRowSlotAndTheDeletionMapAreWritten) {
  createT();
  const std::string header = readFile("t.bin");
  insert("t", {"1", "a"});
  insert("t", {"2", "b"});
  insert("t", {"3", "c"});
  markDeleted(t(), 1);
  db.checkpoint();
  EXPECT_EQ(readFile("t.del"), bytes({0, 1, 0}));
  EXPECT_EQ(readFile("t.bin"), header + bytes({1, 0, 0, 0, 'a', 0, 0, 0}) +
                                   bytes({2, 0, 0, 0, 'b', 0, 0, 0}) +
                                   bytes({3, 0, 0, 0, 'c', 0, 0, 0}));
}

TEST_F(CheckpointTest, SecondCheckpointWritesTheSameFiles) {
  db.createTable("t", {makeColumn("id", "int"), makeColumn("st", "string", 3)});
  insert("t", {"1", "a"});
  insert("t", {"2", "a"});
  t().rows[0].cells[1].rule = makeRule({{"a", 5}, {"b", 5}}, 100, false);
  t().rows[1].cells[1].rule = makeRule({{"c", 5}, {"d", 5}}, 200, true);
  db.checkpoint();
  const std::string data = readFile("t.bin");
  const std::string map = readFile("t.del");
  const std::string rules = readFile("t.tmp");
  EXPECT_EQ(rules.size(), 2u * (29u + 68u * 3u));
  const std::size_t header = 15 + 60 * 2;
  const std::size_t rowSize = 4 + 61;
  // The second row's cell names record 1: flag, record number, zeros.
  EXPECT_EQ(data.substr(header + rowSize + 4, 5), bytes({1, 1, 0, 0, 0}));
  db.checkpoint();
  EXPECT_EQ(readFile("t.bin"), data);
  EXPECT_EQ(readFile("t.del"), map);
  EXPECT_EQ(readFile("t.tmp"), rules);
}

TEST_F(CheckpointTest, RollbackOfACheckpointedInsertCutsTheFiles) {
  struct Case {
    const char* shows;
    bool rowBeforeTransaction;
    std::string map;
  };
  const std::vector<Case> cases = {{"one row stays", true, bytes({0})},
                                   {"no row stays", false, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    if (db.tables.contains("t")) db.dropTable("t");
    createT();
    const std::string header = readFile("t.bin");
    if (c.rowBeforeTransaction) insert("t", {"1", "a"});
    db.checkpoint();
    db.beginTransaction();
    insert("t", {"2", "b"});
    db.checkpoint();
    ASSERT_EQ(fs::file_size("t.bin"), header.size() + 8u * t().rows.size());
    writeFile(kLog, kLogLines);
    db.rollbackTransaction();
    const std::string kept = c.rowBeforeTransaction ? bytes({1, 0, 0, 0, 'a', 0, 0, 0}) : "";
    EXPECT_EQ(readFile("t.bin"), header + kept);
    EXPECT_EQ(readFile("t.del"), c.map);
    EXPECT_EQ(readFile(kLog), "");
  }
}

TEST_F(CheckpointTest, RefusedCheckpointWritesNothing) {
  struct Case {
    const char* shows;
    std::vector<Column> columns;
    std::function<void(CheckpointTest&)> prepare;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a missing data file is not created",
       {makeColumn("id", "int")},
       [](CheckpointTest&) { fs::remove("x.bin"); },
       "Failed to open file: x.bin"},
      {"a deletion map that cannot be opened",
       {makeColumn("id", "int")},
       [](CheckpointTest&) {
         fs::remove("x.del");
         fs::create_directory("x.del");
       },
       "Failed to open file: x.del"},
      // Widths and limits that CREATE TABLE refuses, as a table loaded from
      // an older or damaged file may still have them.
      {"slots past the 32-bit offsets",
       {makeColumn("s", "string", 0, 4)},
       [](CheckpointTest& test) {
         test.db.tables.at("x").columns[0].size = 1 << 30;
         test.insert("x", {"b"});
       },
       "File offset out of range: x.bin"},
      {"rule records past the 32-bit offsets",
       {makeColumn("n", "int", 2)},
       [](CheckpointTest& test) {
         Table& x = test.db.tables.at("x");
         x.columns[0].maxStates = 40000000;
         x.maxStatesByColumn["n"] = 40000000;
         x.rows[0].cells[0].rule = makeRule({{"1", 5}, {"2", 5}}, 0, false);
       },
       "File offset out of range: x.tmp"},
      {"a rule file that cannot be opened",
       {makeColumn("n", "int", 2)},
       [](CheckpointTest& test) {
         test.db.tables.at("x").rows[0].cells[0].rule = makeRule({{"1", 5}, {"2", 5}}, 0, false);
         fs::create_directory("x.tmp");
       },
       "Failed to open file: x.tmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    for (const char* name : {"a", "x"}) {
      if (db.tables.contains(name)) db.dropTable(name);
    }
    fs::remove_all("x.del");
    fs::remove_all("x.tmp");
    db.createTable("a", {makeColumn("id", "int")});  // written first, were nothing checked
    db.createTable("x", c.columns);
    insert("a", {"1"});
    insert("x", {"1"});
    c.prepare(*this);
    writeFile(kLog, kLogLines);
    const std::set<std::string> before = fileNames();
    const std::string header = readFile("a.bin");
    EXPECT_EQ(thrownMessage([&] { db.checkpoint(); }), c.message);
    EXPECT_EQ(fileNames(), before);
    EXPECT_EQ(readFile("a.bin"), header);
    EXPECT_EQ(readFile("a.del"), "");
    EXPECT_EQ(readFile(kLog), kLogLines);
  }
}

// The state the rollback would write is checked, not the state before it.
TEST_F(CheckpointTest, RollbackThatCannotRewriteTheFilesIsRefused) {
  struct Case {
    const char* shows;
    bool rowBeforeTransaction;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a restored row needs the data file", true, "Failed to open file: t.bin"},
      {"no row left to write", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    if (db.tables.contains("t")) db.dropTable("t");
    createT();
    if (c.rowBeforeTransaction) insert("t", {"1", "a"});
    db.beginTransaction();
    insert("t", {"2", "b"});
    db.checkpoint();
    insert("t", {"3", "c"});
    fs::remove("t.bin");
    EXPECT_EQ(thrownMessage([&] { db.rollbackTransaction(); }), c.message);
    EXPECT_EQ(db.inTransaction, !c.message.empty());
    EXPECT_EQ(db.transactionLog.size(), c.message.empty() ? 0u : 2u);
    EXPECT_EQ(t().rows.size(), c.message.empty() ? 0u : 3u);
    if (db.inTransaction) db.commitTransaction();
    writeFile("t.bin", "");
  }
}

}  // namespace

namespace {

// Three tables written by an earlier checkpoint and changed since: a (an
// identity key and a string) with a new tombstone and a new row; b (chains
// in an int column) with a changed chain and a new one; c, whose first chain
// makes its rule file; and a pending log.
class CheckpointSweepTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.createTable("a", {makeColumn("id", "ApexInt"), makeColumn("s", "string", 0, 6)});
    db.createTable("b", {makeColumn("id", "int"), makeColumn("st", "int", 2)});
    db.createTable("c", {makeColumn("n", "int"), makeColumn("v", "string", 3, 8)});
    for (const char* id : {"1", "2", "3"}) appendRow(table("a"), {id, "x"});
    appendRow(table("b"), {"1", ""}).cells[1].rule = makeRule({{"5", 10}, {"6", 10}}, 100);
    appendRow(table("b"), {"2", "7"});
    appendRow(table("c"), {"1", "p"});
    db.checkpoint();

    markDeleted(table("a"), 1);
    appendRow(table("a"), {"4", "w"});
    table("b").rows[0].cells[1].rule = makeRule({{"8", 5}, {"9", 5}}, 200, true);
    appendRow(table("b"), {"3", ""}).cells[1].rule = makeRule({{"1", 1}, {"2", 1}}, 300);
    table("c").rows[0].cells[1].rule = makeRule({{"q", 1}, {"r", 2}, {"s", 3}}, 400);
    writeFile("vesk.wal", "INSERT INTO a s = 'w' #TIME# 500\n");
    // Changed by hand, not by commands: marked as the writers mark them, so
    // that the next checkpoint writes just these rows.
    for (const int k : {1, 3}) table("a").changes.mark(k);
    for (const int k : {0, 2}) table("b").changes.mark(k);
    table("c").changes.mark(0);
  }
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }

  Table& table(const std::string& name) { return db.tables.at(name); }

  ScopedClock clock{1000};
  Database db;
};

bool journalLeft() { return fs::exists("vesk.journal"); }

// The sweep runs the checkpoint on a copy of the database's tables and fails,
// or crashes, each of its file operations in turn.
TEST_F(CheckpointSweepTest, EveryFailureLeavesTheBeforeOrACompletableJournal) {
  const Directory before = snapshotDirectory();
  const std::string memory = describe(db);
  const std::int64_t operations = countFileOperations([&] {
    Database clean;
    clean.tables = db.tables;
    clean.checkpoint();
  });
  const Directory after = snapshotDirectory();
  ASSERT_NE(after, before);
  EXPECT_EQ(after.at("vesk.wal"), "");
  EXPECT_FALSE(after.contains("vesk.journal"));

  for (std::int64_t n = 0; n < operations; ++n) {
    for (const bool crash : {false, true}) {
      SCOPED_TRACE("operation " + std::to_string(n) + (crash ? " crashes" : " fails"));
      restoreDirectory(before);
      Database run;
      run.tables = db.tables;
      setFileFaultForTesting(FileFault{n, crash});
      const std::string message = thrownMessage([&] { run.checkpoint(); });
      setFileFaultForTesting(std::nullopt);
      EXPECT_EQ(describe(run), memory);
      if (crash) {
        Storage::recoverFiles();
        const Directory recovered = snapshotDirectory();
        EXPECT_TRUE(recovered == before || recovered == after);
        continue;
      }
      ASSERT_NE(message, "");
      if (!journalLeft()) {
        EXPECT_EQ(snapshotDirectory(), before);
        EXPECT_EQ(thrownMessage([&] { run.requireFinishedCheckpoint(); }), "");
        continue;
      }
      // Committed: every logged command is refused until the next
      // checkpoint has completed the journal.
      EXPECT_EQ(thrownMessage([&] { run.requireFinishedCheckpoint(); }), message);
      EXPECT_EQ(thrownMessage([&] { run.rollbackTransaction(); }),
                "No active transaction to rollback!");
      run.checkpoint();
      EXPECT_EQ(snapshotDirectory(), after);
      EXPECT_EQ(thrownMessage([&] { run.requireFinishedCheckpoint(); }), "");
    }
  }
}

// A power cut at any step of the checkpoint: a start finds the tables as the
// last checkpoint left them with the log's line replayed, or as this one
// wrote them; once it has returned, with the listener and the webhook task
// that commands since the last checkpoint appended.
TEST_F(CheckpointSweepTest, APowerCutLeavesTheLastCheckpointOrThisOne) {
  const Directory before = snapshotDirectory();
  std::unique_ptr<Database> run;
  const PowerCutSweep sweep{
      [&] {
        restoreDirectory(before);
        run = std::make_unique<Database>();
        run->tables = db.tables;
      },
      [&] {
        run->addListener("a", "s", "hook", {where("id", ">", "0")}, false);
        run->registerWebhook("b", 2, "st", table("b").rows[2].cells[1].rule.get());
      },
      [&] { run->checkpoint(); },
  };
  const PowerCutStates states = sweepPowerCuts(sweep);
  EXPECT_EQ(states.before.find("listener"), std::string::npos) << states.before;
  EXPECT_NE(states.after.find("listener a.s hook id>0a"), std::string::npos) << states.after;
  EXPECT_NE(states.after.find("task 301 b[2].st=2"), std::string::npos) << states.after;

  // Without a cut the start finds just that.
  sweep.prepare();
  sweep.unsynced();
  sweep.command();
  EXPECT_EQ(describeStart(), states.after);
}

// A line logged after a checkpoint, once it reached the disk, is never
// taken back by that checkpoint's journal.
TEST_F(CheckpointSweepTest, TheJournalIsDurablyGoneWhenTheCheckpointReturns) {
  db.checkpoint();
  setPowerCutForTesting(std::numeric_limits<std::int64_t>::max());
  db.checkpoint();
  Storage::appendToWAL("INSERT INTO a s = 'late'");
  ASSERT_TRUE(syncFile("vesk.wal"));  // as the system writes it back in its own time
  restoreAfterPowerCutForTesting();
  const std::string started = describeStart();
  EXPECT_NE(started.find("[s=late]"), std::string::npos) << started;
}

// The journal's files are those that writing each slot in place leaves.
TEST_F(CheckpointSweepTest, JournalWritesWhatTheInPlaceWriterWrites) {
  const Directory before = snapshotDirectory();
  db.checkpoint();
  const Directory journaled = snapshotDirectory();

  restoreDirectory(before);
  for (const auto& [name, written] : db.tables) {
    std::string map;
    for (const Row& row : written.rows) map.push_back(row.deleted ? 1 : 0);
    writeFile(name + ".del", map);
    const std::int64_t header = Storage::headerSize(written.columns.size());
    const std::int64_t size = Storage::rowSize(written.columns);
    for (std::size_t k = 0; k < written.rows.size(); ++k) {
      Storage::insertRow(written, written.rows[k], static_cast<int>(header + size * k),
                         std::ios_base::beg);
    }
    fs::resize_file(name + ".bin", header + size * written.rows.size());
  }
  Directory inPlace = snapshotDirectory();
  inPlace["vesk.wal"] = "";
  EXPECT_EQ(journaled, inPlace);
  EXPECT_TRUE(journaled.contains("c.tmp"));
}

// A slot that names a record past the end of the rule file gets a fresh
// one, and so does a later slot whose record only that fresh one would
// hold; so does a slot that names a damaged record.
TEST_F(CheckpointSweepTest, NoTwoCellsNameOneRecord) {
  db.checkpoint();
  const std::size_t recordSize = 29 + 68 * 2;
  ASSERT_EQ(readFile("b.tmp").size(), 2 * recordSize);  // rows 0 and 2
  // Slots of 9 bytes after a 135-byte header; the chain's record number
  // follows the flag byte 4 bytes into the slot.
  const auto nameRecord = [](std::size_t row, int record) {
    std::string data = readFile("b.bin");
    data[135 + 9 * row + 5] = static_cast<char>(record);
    writeFile("b.bin", data);
  };
  nameRecord(0, 5);
  nameRecord(2, 2);
  // The files changed behind the engine's back, as a start finds them: every
  // row counts as changed.
  table("b").changes.all = true;
  db.checkpoint();
  const auto chainOf = [](std::size_t row) {
    const Table loaded = Storage::loadTable("b", "");
    const auto& rule = loaded.rows.at(row).cells[1].rule;
    return rule ? rule->states[0].value : std::string("none");
  };
  EXPECT_EQ(chainOf(0), "8");
  EXPECT_EQ(chainOf(2), "1");
  EXPECT_EQ(readFile("b.tmp").size(), 4 * recordSize);

  std::string rules = readFile("b.tmp");
  rules[2 * recordSize + 25] = 9;  // row 0's record now claims 9 states of 2
  writeFile("b.tmp", rules);
  table("b").changes.all = true;
  db.checkpoint();
  EXPECT_EQ(chainOf(0), "8");
  EXPECT_EQ(chainOf(2), "1");
  EXPECT_EQ(readFile("b.tmp").size(), 5 * recordSize);

  nameRecord(0, 1);
  nameRecord(2, 1);  // two slots of a damaged data file name one record
  table("b").changes.all = true;
  db.checkpoint();
  EXPECT_EQ(chainOf(0), "8");
  EXPECT_EQ(chainOf(2), "1");
}

// Records overwritten in place do not count against the 32-bit offsets.
TEST_F(CheckpointSweepTest, RuleFileNearTheOffsetLimitTakesRewrites) {
  db.checkpoint();
  const std::int64_t recordSize = 29 + 68 * 2;
  // A sparse file holding the most whole records the offsets allow.
  fs::resize_file("b.tmp", (2147483647 / recordSize) * recordSize);
  db.checkpoint();
  appendRow(table("b"), {"4", ""}).cells[1].rule = makeRule({{"1", 1}, {"2", 1}}, 0);
  EXPECT_EQ(thrownMessage([&] { db.checkpoint(); }), "File offset out of range: b.tmp");
}

TEST_F(CheckpointSweepTest, LogThatCannotBeEmptiedRefusesTheCheckpoint) {
  const Directory before = snapshotDirectory();
  fs::remove("vesk.wal");
  fs::create_directory("vesk.wal");
  EXPECT_EQ(thrownMessage([&] { db.checkpoint(); }), "Failed to open file: vesk.wal");
  fs::remove("vesk.wal");
  Directory now = snapshotDirectory();
  now["vesk.wal"] = before.at("vesk.wal");
  EXPECT_EQ(now, before);
}

// A transaction whose changes reached the files through a checkpoint
// inside it: its rollback either completes, the files rewritten to the
// restored state, or changes nothing and leaves the transaction open.
TEST_F(CheckpointSweepTest, RollbackAfterACheckpointIsAllOrNothing) {
  db.checkpoint();
  db.beginTransaction();
  appendRow(table("a"), {"5", "v"});
  db.transactionLog.push_back({"INSERT", "a", lastPosition(table("a")), {}});
  db.transactionLog.push_back({"UPDATE", "b", 0, table("b").rows[0]});
  table("b").rows[0].cells[1].rule = makeRule({{"3", 1}, {"4", 1}}, 600);
  markDeleted(table("a"), 0);
  db.transactionLog.push_back({"DELETE", "a", 0, {}});
  db.checkpoint();
  appendRow(table("c"), {"2", "t"});
  db.transactionLog.push_back({"INSERT", "c", lastPosition(table("c")), {}});
  writeFile("vesk.wal", "INSERT INTO c n = 2 #TIME# 700\n");

  const Directory before = snapshotDirectory();
  const std::string open = describe(db);
  const auto copy = [&](Database& into) {
    into.tables = db.tables;
    into.beginTransaction();
    into.transactionLog = db.transactionLog;
    into.checkpoint();  // the checkpoint inside the transaction, writing the same files
    restoreDirectory(before);
  };
  std::string restored;
  const std::int64_t operations = countFileOperations([&] {
    Database clean;
    copy(clean);
    setFileFaultForTesting(FileFault{std::numeric_limits<std::int64_t>::max(), false});
    clean.rollbackTransaction();
    restored = describe(clean);
  });
  const Directory after = snapshotDirectory();
  ASSERT_NE(after, before);
  ASSERT_NE(restored, open);

  for (std::int64_t n = 0; n < operations; ++n) {
    for (const bool crash : {false, true}) {
      SCOPED_TRACE("operation " + std::to_string(n) + (crash ? " crashes" : " fails"));
      Database run;
      copy(run);
      setFileFaultForTesting(FileFault{n, crash});
      const std::string message = thrownMessage([&] { run.rollbackTransaction(); });
      setFileFaultForTesting(std::nullopt);
      if (crash) {
        Storage::recoverFiles();
        const Directory recovered = snapshotDirectory();
        EXPECT_TRUE(recovered == before || recovered == after);
        continue;
      }
      if (message.empty()) {
        EXPECT_EQ(describe(run), restored);
        EXPECT_EQ(snapshotDirectory(), after);
      } else if (!journalLeft()) {
        EXPECT_EQ(describe(run), open);
        EXPECT_EQ(snapshotDirectory(), before);
      } else {
        EXPECT_EQ(describe(run), restored);
        run.checkpoint();
        EXPECT_EQ(snapshotDirectory(), after);
      }
    }
  }
}

}  // namespace

namespace {

// Random tables of every column type, state chains in columns that keep rule
// records and in ones too narrow to, changed at random between checkpoints.
class RandomCheckpointTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.createTable("k", {makeColumn("id", "ApexInt"), makeColumn("f", "float"),
                         makeColumn("b", "bool"), makeColumn("s", "string", 0, 3)});
    // A column too narrow for a record number, which a command would refuse,
    // as a file left by an earlier release may hold one.
    const Table r = makeTable("r", {makeColumn("n", "int", 3), makeColumn("v", "string", 2, 9),
                                    makeColumn("w", "string", 2, 2), makeColumn("x", "float", 1)});
    Storage::saveTable("r.bin", r, "");
    db.tables["r"] = r;
    // Wide slots and a header past the loader's first read: its slots come
    // in several pieces and its header in more than one read.
    std::vector<Column> wide = {makeColumn("t", "string", 2, 300)};
    for (int i = 0; i < 80; ++i) wide.push_back(makeColumn("c" + std::to_string(i), "int"));
    db.createTable("g", wide);
    for (int i = 0; i < 1000; ++i) appendRandomRow(db.tables.at("g"));
  }

  std::string valueFor(const Column& column) {
    const std::size_t width = column.type == "string" ? static_cast<std::size_t>(column.size) : 0;
    switch (random() % 6) {
      case 0:
        return kMissingValue;
      case 1:
        return std::string(random() % (width + 1), static_cast<char>('a' + random() % 26));
      default:
        break;
    }
    const long long number = static_cast<long long>(random() % 2001) - 1000;
    if (column.type == "float") return std::to_string(number) + ".250000";
    if (column.type == "bool") return number % 2 == 0 ? "true" : "false";
    if (column.type == "string") return std::to_string(number).substr(0, width);
    return std::to_string(number);
  }

  // A new value, or for a column with a state limit now and then a chain.
  void setCell(Cell& cell, const Column& column) {
    cell.rule.reset();
    cell.value = valueFor(column);
    if (column.maxStates == 0 || random() % 3 != 0) return;
    std::vector<TempState> states;
    const std::size_t count = 1 + random() % column.maxStates;
    for (std::size_t i = 0; i < count; ++i) {
      // A state holds at most 60 bytes, as an insert makes sure.
      states.push_back(
          {valueFor(column).substr(0, 60), static_cast<std::int64_t>(1 + random() % 50)});
    }
    cell.rule = makeRule(states, 1000 + static_cast<std::int64_t>(random() % 100), random() % 2);
  }

  void appendRandomRow(Table& table) {
    Row& row = appendRow(table, {});
    for (std::size_t i = 0; i < table.columns.size(); ++i) setCell(row.cells[i], table.columns[i]);
    table.changes.mark(lastPosition(table));
  }

  // What commands do between checkpoints: inserts, updates, deletes, the
  // undo of a delete and of an insert, each marking the rows it changes.
  void changeAtRandom(Table& table) {
    const int changes = static_cast<int>(random() % 12);
    for (int i = 0; i < changes; ++i) {
      const auto rows = static_cast<std::int32_t>(table.rows.size());
      const auto k = rows == 0 ? 0 : static_cast<std::int32_t>(random() % rows);
      switch (rows == 0 ? 0 : random() % 5) {
        case 0:
          appendRandomRow(table);
          break;
        case 1: {
          const std::size_t c = random() % table.columns.size();
          setCell(table.rows[k].cells[c], table.columns[c]);
          table.changes.mark(k);
          break;
        }
        case 2:
          markDeleted(table, k);
          table.changes.mark(k);
          break;
        case 3:
          table.rows[k].deleted = false;
          table.deletedRows.erase(k);
          table.changes.mark(k);
          break;
        default:
          table.rows.pop_back();
          table.deletedRows.erase(rows - 1);
          break;
      }
    }
  }

  std::mt19937 random{41};
  ScopedClock clock{1000};
  Database db;
};

// Each checkpoint, which writes only what changed, leaves the files that
// writing every row leaves; and the tables load back as they were held.
TEST_F(RandomCheckpointTest, ChangedRowsWriteWhatAFullRewriteWrites) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    for (auto& [name, table] : db.tables) changeAtRandom(table);
    clock.set(1000 + 7 * round);  // chains stored as their value move on
    const Directory before = snapshotDirectory();
    db.checkpoint();
    const Directory written = snapshotDirectory();

    restoreDirectory(before);
    Database whole;
    whole.tables = db.tables;
    for (auto& [name, table] : whole.tables) table.changes = ChangedRows{};
    whole.checkpoint();
    ASSERT_EQ(snapshotDirectory(), written);

    for (const auto& [name, table] : db.tables) {
      const Table loaded = Storage::loadTable(name, "");
      ASSERT_EQ(loaded.columns.size(), table.columns.size());
      for (std::size_t c = 0; c < table.columns.size(); ++c) {
        const Column& column = table.columns[c];
        EXPECT_EQ(loaded.columns[c].name, column.name);
        EXPECT_EQ(loaded.columns[c].type, column.type);
        EXPECT_EQ(loaded.columns[c].maxStates, column.maxStates);
        EXPECT_EQ(loaded.columns[c].size, column.size);
      }
      ASSERT_EQ(loaded.rows.size(), table.rows.size());
      for (std::size_t k = 0; k < table.rows.size(); ++k) {
        const Row& row = table.rows[k];
        EXPECT_EQ(loaded.rows[k].deleted, row.deleted);
        EXPECT_EQ(loaded.deletedRows.contains(static_cast<std::int32_t>(k)), row.deleted);
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
          const Column& column = table.columns[c];
          const Cell& held = row.cells[c];
          const Cell& back = loaded.rows[k].cells[c];
          EXPECT_EQ(back.column, column.name);
          EXPECT_EQ(back.type, column.type);
          EXPECT_EQ(back.rowIndex, static_cast<std::int32_t>(k));
          // A chain in a column narrower than a record number is stored as
          // its current value.
          const bool keepsRule = column.type != "string" || column.size >= 4;
          if (held.rule && keepsRule) {
            ASSERT_TRUE(back.rule) << name << " row " << k << " column " << c;
            EXPECT_EQ(back.rule->insTime, held.rule->insTime);
            EXPECT_EQ(back.rule->preCalc, held.rule->preCalc);
            EXPECT_EQ(back.rule->isCycle, held.rule->isCycle);
            ASSERT_EQ(back.rule->states.size(), held.rule->states.size());
            for (std::size_t s = 0; s < held.rule->states.size(); ++s) {
              EXPECT_EQ(back.rule->states[s].value, held.rule->states[s].value);
              EXPECT_EQ(back.rule->states[s].duration, held.rule->states[s].duration);
            }
          } else {
            EXPECT_FALSE(back.rule);
            EXPECT_EQ(back.value, storedForm(column.type, held.getVal()))
                << name << " row " << k << " column " << c;
          }
        }
      }
    }
  }
}

}  // namespace
