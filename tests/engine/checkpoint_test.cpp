#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
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
      {"slots past the 32-bit offsets",
       {makeColumn("s", "string", 0, 1 << 30)},
       [](CheckpointTest& test) { test.insert("x", {"b"}); },
       "File offset out of range: x.bin"},
      {"rule records past the 32-bit offsets",
       {makeColumn("n", "int", 40000000)},
       [](CheckpointTest& test) {
         test.db.tables.at("x").rows[0].cells[0].rule = makeRule({{"1", 5}, {"2", 5}}, 0, false);
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
