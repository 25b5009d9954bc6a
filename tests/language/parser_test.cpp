#include "language/parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "storage/file_system.h"
#include "storage/storage.h"
#include "support/file_sweep.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

constexpr const char* kUnknown = "Error: Unknown command or missing parameters";

class ParserTest : public TempDirTest {
 protected:
  // A catalogue entry with no files behind it, enough for DROP TABLE.
  static void addTable(Database& db, const std::string& name) { db.tables[name].name = name; }

  ScopedClock clock{1000};
};

TEST_F(ParserTest, ChoosesTheCommandByItsWordAndGuard) {
  struct Case {
    const char* name;
    std::string command;
    bool success;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"upper-case BEGIN", "BEGIN", true, "Transaction Started. Sandbox active."},
      {"lower-case begin", "begin", true, "Transaction Started. Sandbox active."},
      {"mixed-case Begin", "Begin", true, "Transaction Started. Sandbox active."},
      {"quoted word", "'BEGIN'", true, "Transaction Started. Sandbox active."},
      {"words after BEGIN ignored", "BEGIN now please", true,
       "Transaction Started. Sandbox active."},
      {"checkpoint", "checkpoint", true, "success! Engine frozen. WAL flushed securely to disk."},
      {"rollback without transaction", "ROLLBACK", false,
       "Error: No active transaction to rollback!"},
      {"commit without transaction", "COMMIT", false, "Error: No active transaction to commit!"},
      {"drop of an absent table", "DROP TABLE nosuch", false,
       "Error: Syntax Error: Table 'nosuch' does not exist."},
      {"drop is case-sensitive", "drop table t", false, kUnknown},
      {"drop without a name", "DROP TABLE", false, kUnknown},
      {"drop without TABLE", "DROP INTO t", false, kUnknown},
      {"create without TABLE", "CREATE INDEX t x", false, kUnknown},
      {"create table without columns", "CREATE TABLE t", false, kUnknown},
      {"insert without assignments", "INSERT INTO t", false, kUnknown},
      {"select of three tokens", "SELECT * FROM", false, kUnknown},
      {"link of seven tokens", "LINK a . b --> c .", false, kUnknown},
      {"update of four tokens", "UPDATE t SET a", false, kUnknown},
      {"unknown word", "FROB t", false, kUnknown},
      {"number as word", "42", false, kUnknown},
      {"empty text", "", false, "Empty command"},
      {"blanks only", " \t ", false, "Empty command"},
      {"marker at the start", " #TIME# 1000", false, "Empty command"},
      {"unknown character", "BEGIN $", false, "Lexer Error"},
      {"unterminated quote", "BEGIN 'now", false, "Lexer Error"},
      {"marker without its leading blank", "#TIME# 1000", false, "Lexer Error"},
      {"marker without a number", "BEGIN #TIME# ", false, "Error: Invalid time marker"},
      {"marker with a word", "BEGIN #TIME# soon", false, "Error: Invalid time marker"},
      {"marker out of range", "BEGIN #TIME# 9223372036854775808", false,
       "Error: Invalid time marker"},
      {"invalid marker before the empty check", " #TIME# x", false, "Error: Invalid time marker"},
      {"marker cuts an error away", "BEGIN #TIME# 5 $", true,
       "Transaction Started. Sandbox active."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Database db;
    Parser parser(&db);
    const ResultSet result = parser.handleCommand(c.command);
    EXPECT_EQ(result.success, c.success);
    EXPECT_EQ(result.message, c.message);
    EXPECT_TRUE(result.columns.empty());
    EXPECT_TRUE(result.rows.empty());
    EXPECT_EQ(result.rows_affected, 0);
  }
}

TEST_F(ParserTest, TransactionCommandsFollowTheTransactionState) {
  struct Step {
    std::string command;
    std::string message;
    bool inTransaction;
  };
  const std::vector<Step> steps = {
      {"BEGIN", "Transaction Started. Sandbox active.", true},
      {"BEGIN", "Error: Transaction is already active!", true},
      {"COMMIT", "success! Transaction permanently written to disk.", false},
      {"COMMIT", "Error: No active transaction to commit!", false},
      {"BEGIN", "Transaction Started. Sandbox active.", true},
      {"ROLLBACK", "Disaster Averted. Memory restored.", false},
      {"ROLLBACK", "Error: No active transaction to rollback!", false},
  };
  Database db;
  Parser parser(&db);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command + " -> " + step.message);
    EXPECT_EQ(parser.handleCommand(step.command).message, step.message);
    EXPECT_EQ(db.inTransaction, step.inTransaction);
  }
}

TEST_F(ParserTest, DropTableRemovesTheNamedTable) {
  Database db;
  Parser parser(&db);
  addTable(db, "t");
  addTable(db, "u");
  const ResultSet result = parser.handleCommand("DROP table t");
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.message, "success! Table t dropped from disk.");
  EXPECT_FALSE(db.tables.contains("t"));
  EXPECT_TRUE(db.tables.contains("u"));
  EXPECT_EQ(parser.handleCommand("DROP TABLE t").message,
            "Error: Syntax Error: Table 't' does not exist.");
}

TEST_F(ParserTest, LogsEverySuccessfulChangeAsReceived) {
  Database db;
  Parser parser(&db);
  addTable(db, "t");
  struct Step {
    std::int64_t now;
    std::string command;
  };
  const std::vector<Step> steps = {
      {1001, "BEGIN"},
      {1002, "begin"},              // refused: already active
      {1003, "ROLLBACK #TIME# 5"},  // logged whole, with a second marker
      {1004, "COMMIT"},             // refused: no transaction
      {1005, "SELECT * FROM"},      // row 13
      {1006, "BEGIN\nplease"},      // the log turns the line feed into a blank
      {1007, "COMMIT"},
      {1008, "BEGIN $"},         // lexical error
      {1009, ""},                // empty
      {1010, "BEGIN #TIME# x"},  // invalid marker
  };
  for (const auto& step : steps) {
    clock.set(step.now);
    parser.handleCommand(step.command);
  }
  EXPECT_EQ(readFile("vesk.wal"),
            "BEGIN #TIME# 1001\n"
            "ROLLBACK #TIME# 5 #TIME# 5\n"
            "BEGIN please #TIME# 1006\n"
            "COMMIT #TIME# 1007\n");
  // DROP TABLE checkpoints first, so the log then holds its line alone.
  clock.set(1011);
  parser.handleCommand("DROP TABLE t");
  parser.handleCommand("DROP TABLE t");  // refused: gone
  EXPECT_EQ(readFile("vesk.wal"), "DROP TABLE t #TIME# 1011\n");
}

// The line of an INSERT or UPDATE that assigns a state chain says where its
// webhook records go: the webhook file's length in whole records when the
// line was appended. Other lines carry no such field.
TEST_F(ParserTest, ChainCommandsLogWhereTheirWebhookRecordsGo) {
  Database db;
  Parser parser(&db);
  const std::vector<std::string> commands = {
      "CREATE TABLE c id ApexInt v int s string 3",
      "INSERT INTO c v = 1",
      "INSERT INTO c s = 'x' --> 'y' @ 1 m --> 'z' @ 1 m",        // two tasks, at 0
      "UPDATE c SET s = 'p' --> 'q' @ 1 h WHERE id > 1",          // one row, at 170
      "UPDATE c SET s = 'p' --> 'q' @ 1 h WHERE id > 9",          // no row, no task
      "UPDATE c SET s = 'a' --> 'b' @ 1 s s = 'c' WHERE id = 1",  // the chain is overwritten
      "UPDATE c SET v = 2",
      "INSERT INTO c s = 'r' --> 's' @ 1 s #TIME# 7",
  };
  for (const std::string& command : commands) {
    SCOPED_TRACE(command);
    EXPECT_TRUE(parser.handleCommand(command).success);
  }
  // A record cut short at the end is written over, so it does not count.
  writeFile("webhooks.bin", readFile("webhooks.bin") + "cut short");
  ASSERT_TRUE(parser.handleCommand("UPDATE c SET s = 'x' --> 'y' @ 1 m WHERE id = 1").success);
  EXPECT_EQ(readFile("vesk.wal"),
            "CREATE TABLE c id ApexInt v int s string 3 #TIME# 1000\n"
            "INSERT INTO c v = 1 #TIME# 1000\n"
            "INSERT INTO c s = 'x' --> 'y' @ 1 m --> 'z' @ 1 m #TIME# 1000 0\n"
            "UPDATE c SET s = 'p' --> 'q' @ 1 h WHERE id > 1 #TIME# 1000 170\n"
            "UPDATE c SET s = 'p' --> 'q' @ 1 h WHERE id > 9 #TIME# 1000 255\n"
            "UPDATE c SET s = 'a' --> 'b' @ 1 s s = 'c' WHERE id = 1 #TIME# 1000 255\n"
            "UPDATE c SET v = 2 #TIME# 1000\n"
            "INSERT INTO c s = 'r' --> 's' @ 1 s #TIME# 7 #TIME# 7 255\n"
            "UPDATE c SET s = 'x' --> 'y' @ 1 m WHERE id = 1 #TIME# 1000 340\n");
  EXPECT_EQ(readFile("webhooks.bin").size(), 5 * 85u);

  // Where the records would go cannot be told: refused before the line.
  const std::string log = readFile("vesk.wal");
  std::filesystem::remove("webhooks.bin");
  std::filesystem::create_directory("webhooks.bin");
  EXPECT_EQ(parser.handleCommand("INSERT INTO c s = 'x' --> 'y' @ 1 m").message,
            "Error: Failed to write file: webhooks.bin");
  EXPECT_EQ(readFile("vesk.wal"), log);
  EXPECT_EQ(db.tables.at("c").rows.size(), 3u);
}

// The commands with a grammar of their own: their messages, and the log
// holding exactly the successful CREATE TABLE and LINK.
TEST_F(ParserTest, SchemaQueryAndLinkCommandsRunAndLogAsTheirRowsSay) {
  Database db;
  Parser parser(&db);
  struct Step {
    std::string command;
    bool success;
    std::string message;
  };
  const std::vector<Step> steps = {
      {"CREATE TABLE p id ApexInt name string ( 10 )", true, "success!"},
      {"CREATE TABLE c cid ApexInt pid int", true, "success!"},
      {"CREATE TABLE webhooks x int", false, "Error: Forbidden table name"},
      {"SELECT * FROM p", true, ""},
      {"SELECT nosuch FROM p", false, "Error: Requested column not found"},
      {"SELECT * FROM c JOIN p ON c.pid = p.id", true, "success!"},
      {"LISTEN p . name --> 'hook' WHERE id > 1", true, "success! Listener attached."},
      {"LINK c . pid --> p . id", true, "success!"},
      {"LINK c . pid --> nosuch . id", false, "Error: None existant table"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command);
    const ResultSet result = parser.handleCommand(step.command);
    EXPECT_EQ(result.success, step.success);
    EXPECT_EQ(result.message, step.message);
  }
  // LINK checkpoints before it links: its line is the first of the log.
  EXPECT_EQ(readFile("vesk.wal"), "LINK c . pid --> p . id #TIME# 1000\n");
  EXPECT_EQ(db.listeners.at("p").size(), 1u);
  EXPECT_EQ(db.tables.at("c").parents, std::vector<std::string>{"p"});
}

// Every row of a SELECT result as one text, sorted: values joined by "|".
std::vector<std::string> rowTexts(const ResultSet& result) {
  std::vector<std::string> rows;
  for (const auto& values : result.rows) {
    std::string text;
    for (const ResultValue& value : values) {
      if (!text.empty()) text += "|";
      std::visit(
          [&](const auto& v) {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
              text += v;
            } else {
              text += std::to_string(v);
            }
          },
          value);
    }
    rows.push_back(text);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Narrow columns and numbers past a column's range mean the same live, after
// a restart from the log alone and after a checkpoint and a restart.
TEST_F(ParserTest, ValuesMeanTheSameLiveAfterTheLogAndAfterACheckpoint) {
  struct Step {
    std::string command;
    std::string message;
  };
  const std::string reserved = "Error: Value reserved for a missing value in column: ";
  const std::vector<Step> steps = {
      {"CREATE TABLE n id ApexInt s1 string ( 1 ) s2 string ( 2 ) v int", "success!"},
      {"INSERT INTO n v = 1", "success!"},
      {"INSERT INTO n s2 = '#' v = 2", "success!"},
      {"INSERT INTO n s1 = '#'", reserved + "s1"},
      {"UPDATE n SET s2 = '#/' WHERE v = 1", reserved + "s2"},
      {"INSERT INTO n s1 = '/' v = 3", "success!"},
      {"INSERT INTO n v = 99999999999", "Error: Unmatching type to column"},
      {"DELETE FROM n WHERE v > '99999999999'", "success!"},
      {"UPDATE n SET s2 = 'x' WHERE v < 99999999999 && v > -99999999999999999999 && v != 2",
       "success!"},
      {"DELETE FROM n WHERE id >= 3 && id < 2147483648", "success!"},
  };
  const std::vector<std::string> expected{"1|NULL|x|1", "2|NULL|#|2"};
  const std::string byHash = "SELECT * FROM n WHERE s2 = '#' || id < 99999999999 && v > 1";
  const auto shown = [&](Database& db) {
    Parser parser(&db);
    EXPECT_EQ(rowTexts(parser.handleCommand(byHash)), (std::vector<std::string>{"2|NULL|#|2"}));
    return rowTexts(parser.handleCommand("SELECT * FROM n"));
  };
  {
    Database db;
    Parser parser(&db);
    for (const Step& step : steps) {
      SCOPED_TRACE(step.command);
      EXPECT_EQ(parser.handleCommand(step.command).message, step.message);
    }
    EXPECT_EQ(shown(db), expected);
  }
  {
    Database fromLog;
    fromLog.loadFromDisk();
    EXPECT_EQ(shown(fromLog), expected);
    Parser parser(&fromLog);
    ASSERT_TRUE(parser.handleCommand("CHECKPOINT").success);
  }
  Database fromFiles;
  fromFiles.loadFromDisk();
  EXPECT_EQ(shown(fromFiles), expected);
}

// JOIN followed by any name is a join, the empty name too: it reads a name
// the catalogue lacks as an empty table, whose prefix matches no condition.
TEST_F(ParserTest, JoinWithAnyTableNameRunsAsAJoin) {
  Database db;
  Parser parser(&db);
  for (const char* command : {"CREATE TABLE t id ApexInt v int", "INSERT INTO t v = 1"}) {
    ASSERT_TRUE(parser.handleCommand(command).success) << command;
  }
  struct Case {
    std::string command;
    bool success;
    std::string message;
    std::vector<std::string> columns;
  };
  const std::vector<std::string> headers{"t.id", "t.v"};
  const std::vector<Case> cases = {
      {"SELECT * FROM t JOIN '' ON t.id = u.tid", true, "success!", headers},
      {"SELECT * FROM t JOIN \"\" ON t.id = u.tid WHERE t.v = 1", true, "success!", headers},
      {"SELECT * FROM t JOIN nosuch ON t.id = nosuch.tid", true, "success!", headers},
      {"SELECT * FROM t JOIN '' ON t.id = u.tid WHERE zz.v = 1",
       false,
       "Error: Unknown table prefix 'zz' in WHERE clause.",
       {}},
      {"SELECT * FROM t JOIN '' ON t.id = u.tid WHERE w = 1",
       false,
       "Error: Column 'w' not found in either table.",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const ResultSet result = parser.handleCommand(c.command);
    EXPECT_EQ(result.success, c.success);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.columns, c.columns);
    EXPECT_TRUE(result.rows.empty());
    EXPECT_EQ(result.rows_affected, 0);
  }
}

// The log is written ahead: a command whose line cannot go down changes
// nothing, and one that fails after its line went down takes it back.
TEST_F(ParserTest, TheLogIsWrittenAheadOfEveryChange) {
  Database db;
  Parser parser(&db);
  ASSERT_TRUE(parser.handleCommand("CREATE TABLE t id ApexInt v int").success);
  ASSERT_TRUE(parser.handleCommand("INSERT INTO t v = 1").success);
  const std::string log = readFile("vesk.wal");
  const auto rows = [&] { return db.tables.at("t").rows.size(); };

  EXPECT_EQ(parser.handleCommand("UPDATE t SET id = 5").message,
            "Error: ApexInt is an immutable identity column and cannot be updated");
  EXPECT_EQ(parser.handleCommand("COMMIT").message, "Error: No active transaction to commit!");
  EXPECT_EQ(readFile("vesk.wal"), log) << "failed commands take their lines back";

  {
    const ScopedFileFault fault(FileFault{0, false});
    EXPECT_EQ(parser.handleCommand("INSERT INTO t v = 2").message,
              "Error: Failed to open file: vesk.wal");
  }
  const std::int64_t append = [&] {
    setFileFaultForTesting(std::nullopt);
    Storage::cutWAL(Storage::appendToWAL("probe"));
    return fileOperationsForTesting() - 2;  // the cut's own two operations
  }();
  {
    const ScopedFileFault fault(FileFault{append - 1, false});
    EXPECT_EQ(parser.handleCommand("INSERT INTO t v = 2").message,
              "Error: Failed to write file: vesk.wal");
  }
  EXPECT_EQ(rows(), 1u);
  EXPECT_EQ(readFile("vesk.wal"), log);

  std::filesystem::remove("vesk.wal");
  std::filesystem::create_directory("vesk.wal");
  EXPECT_EQ(parser.handleCommand("INSERT INTO t v = 2").message,
            "Error: Failed to open file: vesk.wal");
  EXPECT_EQ(rows(), 1u);
}

// A failed command whose line cannot be taken back would run at the next
// start: that failure is the result, and no command is logged after the
// line until a retry of the cut, or a checkpoint, removes it.
TEST_F(ParserTest, ALineThatCannotBeTakenBackRefusesLoggedCommandsUntilItIsGone) {
  enum class Removal {
    Retry,              // the next logged command's own retry
    Checkpoint,         // a checkpoint whose retry fails: the emptied log takes the line
    FailingCheckpoint,  // a checkpoint that fails after its retry took the line back
  };
  struct Case {
    const char* name;
    std::string command;    // fails once its line is in the log
    std::int64_t failedOp;  // counted back from the command's last operation
    Removal removal;
  };
  const Case cases[] = {
      {"delete, the truncate fails", "DELETE FROM nosuch", 1, Removal::Retry},
      {"delete, the size look fails", "DELETE FROM nosuch", 2, Removal::Checkpoint},
      {"insert, the truncate fails", "INSERT INTO t s = 'abcde'", 1, Removal::FailingCheckpoint},
      {"insert, the size look fails", "INSERT INTO t s = 'abcde'", 2, Removal::Retry},
  };
  const std::string refusal = "Error: Failed to write file: vesk.wal";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(name);
    Database db;
    Parser parser(&db);
    ASSERT_TRUE(parser.handleCommand("CREATE TABLE t id ApexInt v int s string ( 4 )").success);
    ASSERT_TRUE(parser.handleCommand("INSERT INTO t v = 1").success);
    const std::string log = readFile("vesk.wal");
    const std::int64_t operations =
        countFileOperations([&] { EXPECT_FALSE(parser.handleCommand(c.command).success); });
    ASSERT_EQ(readFile("vesk.wal"), log) << "a cut that works takes the line back";
    {
      const ScopedFileFault fault(FileFault{operations - c.failedOp, false});
      EXPECT_EQ(parser.handleCommand(c.command).message, refusal);
    }
    const std::string kept = readFile("vesk.wal");
    EXPECT_EQ(kept, log + c.command + " #TIME# 1000\n");
    for (const char* refused : {"INSERT INTO t v = 2", "DROP TABLE t"}) {
      SCOPED_TRACE(refused);
      // The retry before the next logged command fails too: refused, even
      // a drop, whose own checkpoint would otherwise empty the log.
      const ScopedFileFault fault(FileFault{1, false});
      EXPECT_EQ(parser.handleCommand(refused).message, refusal);
    }
    EXPECT_EQ(parser.handleCommand("SELECT * FROM t").rows.size(), 1u);
    EXPECT_EQ(readFile("vesk.wal"), kept);
    std::string left = log;  // the log once the line is gone
    if (c.removal == Removal::Checkpoint) {
      const ScopedFileFault fault(FileFault{1, false});
      EXPECT_TRUE(parser.handleCommand("CHECKPOINT").success) << "never refused for the line";
      left = "";
    } else if (c.removal == Removal::FailingCheckpoint) {
      // The retry's two operations pass, the checkpoint's first fails.
      const ScopedFileFault fault(FileFault{2, false});
      EXPECT_FALSE(parser.handleCommand("CHECKPOINT").success);
      EXPECT_EQ(readFile("vesk.wal"), log);
    }
    EXPECT_TRUE(parser.handleCommand("INSERT INTO t v = 2").success);
    EXPECT_EQ(readFile("vesk.wal"), left + "INSERT INTO t v = 2 #TIME# 1000\n");
  }
}

// A refused LINK changes nothing: its refusals are tried before the
// checkpoint it would take, which would empty the log.
TEST_F(ParserTest, ARefusedLinkTakesNoCheckpoint) {
  struct Case {
    const char* link;
    std::string message;
  };
  const Case cases[] = {
      {"LINK c . pid --> p . id", "Error: CRITICAL CORRUPTION: Missing active parent key: 7"},
      {"LINK c . pid --> p . lim", "Error: Primary key column cannot hold state chains: lim"},
      {"LINK c . other --> q . id",
       "Error: Table already linked to this parent through another column"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    for (const std::string& name : fileNames()) std::filesystem::remove(dir / name);
    Database db;
    Parser parser(&db);
    parser.handleCommand("CREATE TABLE p id int lim int 2");
    parser.handleCommand("CREATE TABLE q id int");
    parser.handleCommand("CREATE TABLE c pid int other int");
    parser.handleCommand("LINK c . pid --> q . id");
    appendRow(db.tables.at("c"), {"7", "7"});
    const auto files = directoryContents();
    EXPECT_EQ(parser.handleCommand(c.link).message, c.message);
    EXPECT_EQ(directoryContents(), files);
    EXPECT_EQ(db.tables.at("p").primaryKey, "");
  }
}

TEST_F(ParserTest, CheckpointEmptiesTheLogAndKeepsAnOpenTransaction) {
  Database db;
  Parser parser(&db);
  clock.set(1001);
  parser.handleCommand("BEGIN");
  parser.handleCommand("COMMIT");
  clock.set(1002);
  EXPECT_TRUE(parser.handleCommand("CHECKPOINT").success);
  EXPECT_TRUE(std::filesystem::exists("vesk.wal"));
  EXPECT_EQ(readFile("vesk.wal"), "");

  parser.handleCommand("BEGIN");
  clock.set(1003);
  EXPECT_TRUE(parser.handleCommand("CHECKPOINT").success);
  EXPECT_EQ(readFile("vesk.wal"), "BEGIN #TIME# 1003\n");
}

TEST_F(ParserTest, ReplayingParserLogsNothing) {
  const std::string log = "BEGIN #TIME# 1\n";
  writeFile("vesk.wal", log);
  Database db;
  Parser parser(&db);
  parser.replaying = true;
  addTable(db, "t");
  for (const std::string command :
       {"BEGIN #TIME# 1", "COMMIT", "BEGIN", "ROLLBACK", "DROP TABLE t"}) {
    SCOPED_TRACE(command);
    EXPECT_TRUE(parser.handleCommand(command).success);
  }
  EXPECT_EQ(readFile("vesk.wal"), log);
}

// The BEGIN that a checkpoint inside a transaction gives back to the log is
// a logged line like any other: a replaying parser writes none.
TEST_F(ParserTest, ReplayingCheckpointInATransactionLogsNoBegin) {
  Database db;
  Parser parser(&db);
  parser.replaying = true;
  ASSERT_TRUE(parser.handleCommand("BEGIN").success);
  ASSERT_TRUE(parser.handleCommand("CHECKPOINT").success);
  EXPECT_TRUE(db.inTransaction);
  EXPECT_TRUE(std::filesystem::exists("vesk.wal"));
  EXPECT_EQ(readFile("vesk.wal"), "");
}

// After a checkpoint inside the transaction the files hold rows that only
// the rollback's own checkpoint can take back. A kill at any step of the
// ROLLBACK must leave, after the next start, the transaction whole or undone
// whole: never the rows before the checkpoint kept and those after it undone.
TEST_F(ParserTest, ARollbackAfterACheckpointInItsTransactionIsUndoneWholeOrNotAtAll) {
  const auto prepare = [](Parser& parser) {
    for (const char* command : {"CREATE TABLE t id ApexInt v int", "INSERT INTO t v = 1", "BEGIN",
                                "INSERT INTO t v = 2", "CHECKPOINT", "INSERT INTO t v = 3"}) {
      ASSERT_TRUE(parser.handleCommand(command).success) << command;
    }
  };
  const auto liveValues = [] {
    Database db;
    db.loadFromDisk();
    std::vector<std::string> values;
    for (const Row& row : db.tables.at("t").rows) {
      if (!row.deleted) values.push_back(row.cells[1].value);
    }
    return values;
  };
  const std::int64_t operations = countFileOperations([&] {
    Database db;
    Parser parser(&db);
    prepare(parser);
    setFileFaultForTesting(FileFault{std::numeric_limits<std::int64_t>::max(), false});
    ASSERT_TRUE(parser.handleCommand("ROLLBACK").success);
  });
  for (std::int64_t n = 0; n <= operations; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    for (const std::string& name : fileNames()) std::filesystem::remove_all(name);
    {
      Database db;
      Parser parser(&db);
      prepare(parser);
      setFileFaultForTesting(FileFault{n, true});
      parser.handleCommand("ROLLBACK");
      setFileFaultForTesting(std::nullopt);
    }
    const std::vector<std::string> values = liveValues();
    EXPECT_TRUE(values == std::vector<std::string>({"1"}) ||
                values == std::vector<std::string>({"1", "2", "3"}))
        << ::testing::PrintToString(values);
  }
}

// A CREATE TABLE refused for a name already taken must leave no line a kill
// could keep in the log: replayed, it would replace the table and its rows.
TEST_F(ParserTest, ACreateTableOfATakenNameLogsNothingAKillCouldKeep) {
  const auto prepare = [](Parser& parser) {
    for (const char* command : {"CREATE TABLE t id ApexInt v int", "INSERT INTO t v = 1",
                                "CHECKPOINT", "INSERT INTO t v = 2"}) {
      ASSERT_TRUE(parser.handleCommand(command).success) << command;
    }
  };
  const std::string taken = "CREATE TABLE t id ApexInt w string";
  const std::int64_t operations = countFileOperations([&] {
    Database db;
    Parser parser(&db);
    prepare(parser);
    setFileFaultForTesting(FileFault{std::numeric_limits<std::int64_t>::max(), false});
    EXPECT_EQ(parser.handleCommand(taken).message, "Error: Column size error");
  });
  for (std::int64_t n = 0; n <= operations; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    for (const std::string& name : fileNames()) std::filesystem::remove_all(name);
    {
      Database db;
      Parser parser(&db);
      prepare(parser);
      setFileFaultForTesting(FileFault{n, true});
      parser.handleCommand(taken);
      setFileFaultForTesting(std::nullopt);
    }
    Database db;
    db.loadFromDisk();
    const Table& table = db.tables.at("t");
    ASSERT_EQ(table.columns.size(), 2u);
    EXPECT_EQ(table.columns[1].name, "v");
    EXPECT_EQ(table.rows.size(), 2u);
  }
}

// Parent p (id int) with child c (pid int) linked to it, and "c-x", whose
// relation file begins like c's; all checkpointed once, with a new row and a
// pending log since.
class DropTableTest : public ParserTest {
 protected:
  void SetUp() override {
    ParserTest::SetUp();
    db.createTable("p", {makeColumn("id", "int")});
    db.createTable("c", {makeColumn("pid", "int"), makeColumn("v", "int", 2)});
    db.createTable("c-x", {makeColumn("pid", "int")});
    appendRow(db.tables.at("p"), {"1"});
    appendRow(db.tables.at("p"), {"2"});
    appendRow(db.tables.at("c"), {"1", ""}).cells[1].rule = makeRule({{"1", 5}, {"2", 5}}, 0);
    appendRow(db.tables.at("c-x"), {"2"});
    db.link("c", "pid", "p", "id");
    db.link("c-x", "pid", "p", "id");
    db.checkpoint();
    appendRow(db.tables.at("c"), {"2", "3"});
    db.linkRow(&db.tables.at("c").rows.back(), "c", true);
    writeFile("vesk.wal", "INSERT INTO c pid = 2 #TIME# 900\n");
  }
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    ParserTest::TearDown();
  }

  Database db;
};

TEST_F(DropTableTest, DropOfAChildCheckpointsThenRemovesItsFilesAndLinks) {
  Parser parser(&db);
  clock.set(1005);
  const ResultSet result = parser.handleCommand("DROP TABLE c");
  ASSERT_TRUE(result.success) << result.message;
  EXPECT_EQ(result.message, "success! Table c dropped from disk.");
  // The relation file of "c-x" begins with "c-" too, and stays.
  EXPECT_EQ(fileNames(), (std::set<std::string>{"p.bin", "p.del", "c-x.bin", "c-x.del",
                                                "c-x-pid_p-id.rel", "vesk.wal"}));
  EXPECT_EQ(readFile("vesk.wal"), "DROP TABLE c #TIME# 1005\n");
  const Table& parent = db.tables.at("p");
  EXPECT_FALSE(parent.children.contains("c"));
  EXPECT_TRUE(parent.children.contains("c-x"));
  for (const Row& row : parent.rows) {
    for (const auto& [relation, positions] : row.links) EXPECT_NE(relation.table, "c");
  }
  // The parent is written too: its rows reached its file first.
  EXPECT_EQ(Storage::loadTable("p", "").rows.size(), 2u);
}

TEST_F(DropTableTest, RefusalsComeBeforeTheCheckpointAndChangeNothing) {
  struct Case {
    const char* shows;
    std::function<void(Database&)> prepare;
    std::string command;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a parent of other tables", [](Database&) {}, "DROP TABLE p",
       "Error: Cannot drop a table that other tables reference"},
      {"an open transaction", [](Database& d) { d.beginTransaction(); }, "DROP TABLE c",
       "Error: Cannot drop a table while a transaction is active"},
      {"an unknown table", [](Database&) {}, "DROP TABLE q",
       "Error: Syntax Error: Table 'q' does not exist."},
      {"a data file that cannot be written", [](Database&) { std::filesystem::remove("p.bin"); },
       "DROP TABLE c", "Error: Failed to open file: p.bin"},
  };
  const Directory before = snapshotDirectory();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    restoreDirectory(before);
    Database run;
    run.tables = db.tables;
    c.prepare(run);
    const std::string memory = describe(run);
    const Directory prepared = snapshotDirectory();
    Parser parser(&run);
    EXPECT_EQ(parser.handleCommand(c.command).message, c.message);
    EXPECT_EQ(describe(run), memory);
    EXPECT_EQ(snapshotDirectory(), prepared);
  }
}

TEST_F(DropTableTest, TableLinkedToItselfCanBeDropped) {
  db.createTable("s", {makeColumn("id", "int"), makeColumn("up", "int")});
  appendRow(db.tables.at("s"), {"1", "1"});
  db.link("s", "up", "s", "id");
  Parser parser(&db);
  EXPECT_TRUE(parser.handleCommand("DROP TABLE s").success);
  EXPECT_FALSE(std::filesystem::exists("s-up_s-id.rel"));
}

// A fault at each file operation of the command, or a crash there followed
// by the recovery step: the table and its data file go together, and the
// directory is one that a completed step leaves.
TEST_F(DropTableTest, EveryFailureLeavesAWholeState) {
  const Directory original = snapshotDirectory();
  const std::string memory = describe(db);
  const auto copy = [&](Database& into) {
    restoreDirectory(original);
    into.tables = db.tables;
  };
  Directory checkpointed;
  {
    Database clean;
    copy(clean);
    clean.checkpoint();
    checkpointed = snapshotDirectory();
  }
  std::string dropped;
  const std::int64_t operations = countFileOperations([&] {
    Database clean;
    copy(clean);
    setFileFaultForTesting(FileFault{std::numeric_limits<std::int64_t>::max(), false});
    ASSERT_TRUE(Parser(&clean).handleCommand("DROP TABLE c").success);
    dropped = describe(clean);
  });
  const Directory after = snapshotDirectory();
  Directory afterWithoutLine = after;
  afterWithoutLine["vesk.wal"] = "";
  // The line goes down before the drop: a kill between the two leaves it for
  // the replay, which drops the table then.
  Directory checkpointedWithLine = checkpointed;
  checkpointedWithLine["vesk.wal"] = after.at("vesk.wal");
  const std::set<Directory> whole = {original, checkpointed, checkpointedWithLine, after,
                                     afterWithoutLine};

  for (std::int64_t n = 0; n < operations; ++n) {
    for (const bool crash : {false, true}) {
      SCOPED_TRACE("operation " + std::to_string(n) + (crash ? " crashes" : " fails"));
      Database run;
      copy(run);
      setFileFaultForTesting(FileFault{n, crash});
      const ResultSet result = Parser(&run).handleCommand("DROP TABLE c");
      setFileFaultForTesting(std::nullopt);
      if (!crash) {
        EXPECT_EQ(describe(run), result.success ? dropped : memory) << result.message;
        EXPECT_EQ(run.tables.contains("c"), std::filesystem::exists("c.bin"));
      }
      Storage::recoverFiles();
      // A kill inside the log's append leaves a torn last line, which no
      // replay runs: the directory counts without it.
      Directory seen = snapshotDirectory();
      if (const auto log = seen.find("vesk.wal"); log != seen.end()) {
        log->second.resize(log->second.rfind('\n') + 1);
      }
      EXPECT_TRUE(whole.contains(seen));
    }
  }
}

// While a checkpoint is unfinished every command that would be logged is
// refused with its message, since completing it empties the log.
TEST_F(DropTableTest, UnfinishedCheckpointRefusesLoggedCommands) {
  Parser parser(&db);
  // Fail the last step of the checkpoint: the removal of its journal.
  const Directory before = snapshotDirectory();
  const std::int64_t operations = countFileOperations([&] {
    Database clean;
    clean.tables = db.tables;
    clean.checkpoint();
  });
  restoreDirectory(before);
  setFileFaultForTesting(FileFault{operations - 1, false});
  EXPECT_EQ(parser.handleCommand("CHECKPOINT").message, "Error: Failed to write file: vesk.wal");
  setFileFaultForTesting(std::nullopt);
  for (const char* command : {"BEGIN", "COMMIT", "ROLLBACK", "DROP TABLE c"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(parser.handleCommand(command).message, "Error: Failed to write file: vesk.wal");
  }
  EXPECT_FALSE(db.inTransaction);
  EXPECT_TRUE(parser.handleCommand("CHECKPOINT").success);
  EXPECT_FALSE(std::filesystem::exists("vesk.journal"));
  EXPECT_TRUE(parser.handleCommand("BEGIN").success);
}

TEST_F(DropTableTest, LogOfAnEarlierRunRefusesCheckpoints) {
  Parser parser(&db);
  parser.earlierLog = readFile("vesk.wal");
  const std::string memory = describe(db);
  const std::string refusal =
      "Error: The log holds commands of an earlier run: start the engine in this directory first";
  clock.set(1010);
  ASSERT_TRUE(parser.handleCommand("BEGIN").success);  // appended behind the earlier lines
  ASSERT_TRUE(parser.handleCommand("COMMIT").success);
  const Directory logged = snapshotDirectory();
  EXPECT_EQ(parser.handleCommand("CHECKPOINT").message, refusal);
  EXPECT_EQ(parser.handleCommand("DROP TABLE c").message, refusal);
  EXPECT_EQ(snapshotDirectory(), logged);
  EXPECT_EQ(describe(db), memory);
  // Once another run has emptied the log, its lines are gone.
  writeFile("vesk.wal", "");
  EXPECT_TRUE(parser.handleCommand("CHECKPOINT").success);
}

// A command means the same live as replayed from its log line, where each
// line feed has become a blank.
TEST_F(ParserTest, LineFeedsCountAsBlanks) {
  Database db;
  Parser parser(&db);
  // Live, the literal would hide the marker; in the log it is one.
  EXPECT_EQ(parser.handleCommand("BEGIN 'a\n#TIME#\n5'").message, "Lexer Error");
  EXPECT_FALSE(db.inTransaction);
  EXPECT_TRUE(parser.handleCommand("BEGIN\n#TIME#\n5").success);
  EXPECT_EQ(readFile("vesk.wal"), "BEGIN #TIME# 5 #TIME# 5\n");
}

TEST(TimeMarkerTest, CutsAtTheFirstMarker) {
  constexpr std::int64_t kNow = 77;
  struct Case {
    const char* name;
    std::string command;
    std::string text;
    std::int64_t time;
  };
  const std::vector<Case> cases = {
      {"no marker", "INSERT INTO t a = 1", "INSERT INTO t a = 1", kNow},
      {"marker", "INSERT INTO t a = 1 #TIME# 1000", "INSERT INTO t a = 1", 1000},
      {"first of two markers", "x #TIME# 5 #TIME# 1000", "x", 5},
      {"blanks and sign before the number", "x #TIME#   -12", "x", -12},
      {"text after the number ignored", "x #TIME# 12abc", "x", 12},
      {"largest time", "x #TIME# 4611686018427387903", "x", (std::int64_t{1} << 62) - 1},
      {"smallest time", "x #TIME# -4611686018427387903", "x", 1 - (std::int64_t{1} << 62)},
      {"marker at the start", " #TIME# 3", "", 3},
      {"marker needs both blanks", "x #TIME#3", "x #TIME#3", kNow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TimedText timed = cutTimeMarker(c.command, kNow);
    EXPECT_EQ(timed.text, c.text);
    EXPECT_EQ(timed.time, c.time);
  }
}

TEST(TimeMarkerTest, RefusesAMarkerWithoutAUsableNumber) {
  for (const std::string command :
       {"x #TIME# ", "x #TIME# abc", "x #TIME# +", "x #TIME# 9223372036854775808",
        "x #TIME# -9223372036854775809", "x #TIME# 4611686018427387904",
        "x #TIME# -4611686018427387904"}) {
    SCOPED_TRACE(command);
    try {
      cutTimeMarker(command, 0);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Invalid time marker");
    }
  }
}

TEST(FailedResultTest, InternalErrorsSayWhatWentWrong) {
  const ResultSet result = internalError("bad_alloc");
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "Error: Internal error: bad_alloc");
}

}  // namespace
