#include "language/parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

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
            "ROLLBACK #TIME# 5 #TIME# 1003\n"
            "BEGIN please #TIME# 1006\n"
            "COMMIT #TIME# 1007\n");
  // DROP TABLE checkpoints first, so the log then holds its line alone.
  clock.set(1011);
  parser.handleCommand("DROP TABLE t");
  parser.handleCommand("DROP TABLE t");  // refused: gone
  EXPECT_EQ(readFile("vesk.wal"), "DROP TABLE t #TIME# 1011\n");
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
      {"largest time", "x #TIME# 9223372036854775807", "x",
       std::numeric_limits<std::int64_t>::max()},
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
        "x #TIME# -9223372036854775809"}) {
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
