#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/database.h"
#include "language/parser.h"
#include "storage/storage.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

class StartupTest : public TempDirTest {
 protected:
  // Writes the table's data file and deletion map, then its rows.
  static void store(Table table) {
    Storage::saveTable(table.name + ".bin", table, "data");
    std::vector<Row*> rows;
    for (Row& row : table.rows) rows.push_back(&row);
    Storage::update(table, rows);
  }

  // What loadFromDisk throws; empty when it starts.
  static std::string startFailure(Database& db) {
    ::testing::internal::CaptureStdout();
    std::string failure;
    try {
      db.loadFromDisk();
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
    ::testing::internal::GetCapturedStdout();
    return failure;
  }
};

// Only "<name>.bin" of a name CREATE TABLE accepts is a table's data file.
TEST_F(StartupTest, FilesNamedLikeNoTableArePassedOver) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  appendRow(table, {"1"});
  store(table);
  for (const char* name : {"a.b.bin", "sixteen_bytes_xx.bin", ".bin", "x\x01y.bin"}) {
    std::filesystem::copy_file("t.bin", name);
  }
  const auto before = directoryContents();
  Database db;
  EXPECT_EQ(startFailure(db), "");
  ASSERT_EQ(db.tables.size(), 1U);
  EXPECT_EQ(db.tables.at("t").rows.size(), 1U);
  EXPECT_EQ(directoryContents(), before);
}

// A header that describes columns CREATE TABLE refuses was damaged: the
// start is refused and nothing is touched.
TEST_F(StartupTest, HeadersCreateTableWouldRefuseRefuseTheStart) {
  struct Case {
    const char* shows;
    std::vector<Column> columns;
    std::string reason;
  };
  const Case cases[] = {
      {"an empty column name", {makeColumn("", "int")}, "Forbidden column name"},
      {"a column name with a slash", {makeColumn("a/b", "int")}, "Forbidden column name"},
      {"two columns of one name",
       {makeColumn("a", "int"), makeColumn("a", "bool")},
       "Duplicate column name: a"},
      {"a string too wide", {makeColumn("s", "string", 0, 1048577)}, "Invalid string width: s"},
      {"a state limit too high", {makeColumn("a", "int", 4097)}, "Invalid state limit: a"},
      {"states on the identity column",
       {makeColumn("id", "ApexInt", 2)},
       "Invalid state limit: id"},
      {"states on a bool", {makeColumn("b", "bool", 2)}, "Column too narrow for state chains: b"},
      {"two identity columns",
       {makeColumn("a", "ApexInt"), makeColumn("b", "ApexInt")},
       "A table can only have one ApexInt column"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    Storage::saveTable("t.bin", makeTable("t", c.columns), "data");
    writeFile("vesk.wal", "INSERT INTO t a = 1 #TIME# 5\n");
    const auto before = directoryContents();
    Database db;
    EXPECT_EQ(startFailure(db), "Damaged table file t.bin: " + c.reason);
    EXPECT_EQ(directoryContents(), before);
  }
}

// Found by fuzzing: a logged CREATE TABLE whose columns disagree with the
// header that was loaded replaced the table with the logged layout, and the
// checkpoint then wrote rows of that layout under the old header, which the
// next start refused.
TEST_F(StartupTest, AReplayedCreateTableNeverChangesTheLoadedLayout) {
  Table table = makeTable("t", {makeColumn("id", "ApexInt"), makeColumn("n", "int")});
  appendRow(table, {"1", "10"});
  store(table);
  writeFile("vesk.wal",
            "CREATE TABLE t id ApexInt note string ( 4 ) #TIME# 5\n"
            "INSERT INTO t n = 20 #TIME# 6\n");
  {
    Database db;
    ASSERT_EQ(startFailure(db), "");
    const Table& loaded = db.tables.at("t");
    ASSERT_EQ(loaded.columns.size(), 2U);
    EXPECT_EQ(loaded.columns[1].name, "n");
    ASSERT_EQ(loaded.rows.size(), 2U);
    EXPECT_EQ(loaded.rows[1].cells[1].value, "20");
    db.checkpoint();
  }
  Database again;
  EXPECT_EQ(startFailure(again), "");
  EXPECT_EQ(again.tables.at("t").rows.size(), 2U);
}

// A FIFO under a name the engine reads must never block a start, and is
// never taken for a missing file (which a checkpoint would start afresh):
// reading it refuses the start. The listings take regular files only, so a
// FIFO data or relation file names no table and no link.
TEST_F(StartupTest, FifosNeverBlockAStart) {
  struct Case {
    const char* name;
    std::string failure;
    std::size_t tables;
  };
  const Case cases[] = {
      {"t.bin", "", 0},
      {"t.del", "Failed to open file: t.del", 0},
      {"t.tmp", "Failed to open file: t.tmp", 0},
      {"t-a_t-a.rel", "", 1},
      {"listeners.bin", "Failed to open file: listeners.bin", 0},
      {"webhooks.bin", "Failed to open file: webhooks.bin", 0},
      {"vesk.wal", "Failed to open file: vesk.wal", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    Table table = makeTable("t", {makeColumn("a", "int", 2)});
    appendRow(table, {""}).cells[0].rule = makeRule({{"1", 5}}, 0);
    store(table);
    std::filesystem::remove(c.name);
    ASSERT_EQ(::mkfifo(c.name, 0600), 0);
    Database db;
    EXPECT_EQ(startFailure(db), c.failure);
    if (c.failure.empty()) {
      EXPECT_EQ(db.tables.size(), c.tables);
    }
    EXPECT_EQ(directoryContents().at(c.name), "special");
  }
}

std::string field(const std::string& name) { return name + std::string(15 - name.size(), '\0'); }

// A working directory that an earlier build left: links it made that this
// one refuses, one recorded in a relation file and logged since. Each
// relation file prints its failure as any failed link does; the logged
// LINK is discarded like any failed replayed line, printing nothing.
TEST_F(StartupTest, LinksAnEarlierBuildMadeFailAtStartAndInTheReplay) {
  {
    Database db;
    Parser parser(&db);
    for (const char* command : {"CREATE TABLE p k int 3 v int", "CREATE TABLE c f int",
                                "CREATE TABLE r id int", "CREATE TABLE q a int b int",
                                "INSERT INTO p k = 1", "INSERT INTO r id = 1", "CHECKPOINT"}) {
      ASSERT_TRUE(parser.handleCommand(command).success) << command;
    }
  }
  writeFile("c-f_p-k.rel", field("c") + field("p") + field("f") + field("k"));
  writeFile("q-a_r-id.rel", field("q") + field("r") + field("a") + field("id"));
  writeFile("q-b_r-id.rel", field("q") + field("r") + field("b") + field("id"));
  writeFile("vesk.wal",
            "LINK c . f --> p . k #TIME# 5\n"
            "INSERT INTO c f = 1 #TIME# 6\n"
            "LINK q . b --> r . id #TIME# 7\n"
            "INSERT INTO q a = 1 b = 7 #TIME# 8\n");
  const auto before = fileNames();
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "first start" : "second start");
    Database db;
    ::testing::internal::CaptureStdout();
    db.loadFromDisk();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Primary key column cannot hold state chains: k\n"
              "Table already linked to this parent through another column\n"
              "[BOOTLOADER] Replaying Write-Ahead Log...\n"
              "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n");
    EXPECT_EQ(db.tables.at("p").primaryKey, "");
    EXPECT_TRUE(db.tables.at("c").parents.empty());
    EXPECT_EQ(db.tables.at("c").rows.size(), 1U);
    EXPECT_EQ(db.tables.at("r").children,
              (std::unordered_map<std::string, std::string>{{"q", "a"}}));
    EXPECT_EQ(db.tables.at("q").rows.size(), 1U);
    EXPECT_EQ(fileNames(), before);
  }
}

// A relation file whose header does not give its own name was damaged: the
// start keeps it, whatever child it names, and reports its link.
TEST_F(StartupTest, ADamagedRelationFileStaysAndReportsItsLink) {
  Storage::saveTable("t.bin", makeTable("t", {makeColumn("id", "int")}), "data");
  writeFile("t-id_t-id.rel", field("gone") + field("t") + field("id") + field("id"));
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "first start" : "second start");
    Database db;
    ::testing::internal::CaptureStdout();
    db.loadFromDisk();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "None existant table\n");
    EXPECT_TRUE(fileNames().contains("t-id_t-id.rel"));
  }
}

}  // namespace
