#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

namespace fs = std::filesystem;

class CatalogueTest : public TempDirTest {
 protected:
  Database db;
};

TEST_F(CatalogueTest, CreateTableFilesTheTableAndWritesItsFiles) {
  db.createTable("t", {makeColumn("name", "string", 0, 20), makeColumn("n", "int"),
                       makeColumn("id", "ApexInt"), makeColumn("n", "string")});
  ASSERT_TRUE(db.tables.contains("t"));
  const Table& table = db.getTable("t");
  EXPECT_EQ(table.name, "t");
  EXPECT_EQ(table.columns.size(), 4u);
  EXPECT_EQ(table.columnTypes.at("n"), "string");  // the later column of a name wins
  EXPECT_EQ(table.primaryKey, "id");
  EXPECT_EQ(table.pkIndex, 2);
  EXPECT_EQ(table.pkMap.key_comp().type, "ApexInt");
  EXPECT_TRUE(table.rows.empty());
  EXPECT_EQ(fileNames(), (std::set<std::string>{"t.bin", "t.del"}));
  EXPECT_EQ(fs::file_size(dir / "t.bin"), 15u + 60u * 4u);
  EXPECT_EQ(readFile(dir / "t.bin").substr(0, 15), std::string("t") + std::string(14, '\0'));
  EXPECT_EQ(readFile(dir / "t.del"), "");
}

TEST_F(CatalogueTest, LongestNamesAndWidthsThatFitAreAccepted) {
  const std::string name(15, 'n');
  db.createTable(name, {makeColumn(std::string(15, 'c'), "int", 3), makeColumn("s", "string", 2, 4),
                        makeColumn("col.x", "int")});
  EXPECT_TRUE(db.tables.contains(name));
  EXPECT_TRUE(fs::exists(dir / (name + ".bin")));
}

TEST_F(CatalogueTest, RefusedDeclarationsChangeNothing) {
  struct Case {
    const char* shows;
    std::string name;
    std::vector<Column> columns;
    std::string message;
  };
  const std::string longName(16, 'x');
  const std::vector<Column> plain{makeColumn("a", "int")};
  const std::vector<Case> cases = {
      {"unknown type", "t", {makeColumn("a", "integer")}, "Unknown type"},
      {"a column named like a type", "t", {makeColumn("bool", "int")}, "Unknown type"},
      {"the type is tested before the name", "..", {makeColumn("a", "integer")}, "Unknown type"},
      {"long table name", longName, plain, "Name longer than 15 bytes: " + longName},
      {"long column name",
       "t",
       {makeColumn(longName, "int")},
       "Name longer than 15 bytes: " + longName},
      {"empty table name", "", plain, "Forbidden table name"},
      {"dot in table name", "a.b", plain, "Forbidden table name"},
      {"path out of the directory", "../x", plain, "Forbidden table name"},
      {"slash in table name", "a/b", plain, "Forbidden table name"},
      {"backslash in table name", "a\\b", plain, "Forbidden table name"},
      {"control byte in table name", "a\nb", plain, "Forbidden table name"},
      {"empty column name", "t", {makeColumn("", "int")}, "Forbidden column name"},
      {"slash in column name", "t", {makeColumn("a/b", "int")}, "Forbidden column name"},
      {"backslash in column name", "t", {makeColumn("a\\b", "int")}, "Forbidden column name"},
      {"control byte in column name", "t", {makeColumn("a\tb", "int")}, "Forbidden column name"},
      {"zero string width", "t", {makeColumn("s", "string", 0, 0)}, "Invalid string width: s"},
      {"negative string width", "t", {makeColumn("s", "string", 0, -5)}, "Invalid string width: s"},
      {"state chains in a bool",
       "t",
       {makeColumn("b", "bool", 1)},
       "Column too narrow for state chains: b"},
      {"state chains in a narrow string",
       "t",
       {makeColumn("s", "string", 2, 3)},
       "Column too narrow for state chains: s"},
      {"two identity columns",
       "t",
       {makeColumn("id", "ApexInt"), makeColumn("a", "int"), makeColumn("id2", "ApexInt")},
       "A table can only have one ApexInt column"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(thrownMessage([&] { db.createTable(c.name, c.columns); }), c.message);
    EXPECT_TRUE(db.tables.empty());
    EXPECT_TRUE(fileNames().empty());
  }
}

TEST_F(CatalogueTest, ExistingTableKeepsItsRows) {
  db.createTable("t", {makeColumn("a", "int")});
  appendRow(db.getTable("t"), {"7"});
  const std::string header = readFile(dir / "t.bin");
  for (const bool withDataFile : {true, false}) {
    SCOPED_TRACE(withDataFile ? "with its data file" : "without its data file");
    if (!withDataFile) fs::remove(dir / "t.bin");
    EXPECT_EQ(thrownMessage([&] { db.createTable("t", {makeColumn("b", "string")}); }),
              "Column size error");
    EXPECT_EQ(db.getTable("t").rows.size(), 1u);
    EXPECT_EQ(db.getTable("t").columns.front().name, "a");
    EXPECT_EQ(readFile(dir / "t.bin"), withDataFile ? header : "");
    EXPECT_EQ(fs::exists(dir / "t.bin"), withDataFile);
  }
}

TEST_F(CatalogueTest, ExistingDataFileIsNotOverwritten) {
  writeFile(dir / "t.bin", "left by an earlier run");
  EXPECT_EQ(thrownMessage([&] { db.createTable("t", {makeColumn("a", "int")}); }),
            "Column size error");
  EXPECT_TRUE(db.tables.empty());
  EXPECT_EQ(fileNames(), (std::set<std::string>{"t.bin"}));
  EXPECT_EQ(readFile(dir / "t.bin"), "left by an earlier run");
}

TEST_F(CatalogueTest, StorageFailureLeavesNoTable) {
  fs::create_symlink(dir / "missing-dir" / "t.bin", dir / "t.bin");  // cannot be created
  EXPECT_EQ(thrownMessage([&] { db.createTable("t", {makeColumn("a", "int")}); }),
            "Failed to open file: t.bin");
  EXPECT_TRUE(db.tables.empty());
}

TEST_F(CatalogueTest, ReplayedCreateReplacesTheLoadedTableThenFails) {
  db.createTable("t", {makeColumn("id", "ApexInt"), makeColumn("p", "int")});
  Table& loaded = db.getTable("t");
  appendRow(loaded, {"1", "5"});
  loaded.parents.push_back("parent");
  loaded.children["child"] = "fk";
  db.recovering = true;
  EXPECT_EQ(thrownMessage([&] {
              db.createTable("t", {makeColumn("id", "ApexInt"), makeColumn("p", "int")});
            }),
            "Column size error");
  const Table& replaced = db.getTable("t");
  EXPECT_TRUE(replaced.rows.empty());
  EXPECT_TRUE(replaced.parents.empty());
  EXPECT_TRUE(replaced.children.empty());
  EXPECT_EQ(replaced.primaryKey, "id");
  EXPECT_EQ(replaced.pkMap.key_comp().type, "ApexInt");
}

TEST_F(CatalogueTest, DropTableRemovesTheTableItsListenersAndItsThreeFiles) {
  for (const bool withRuleFile : {true, false}) {
    SCOPED_TRACE(withRuleFile ? "with a rule file" : "without a rule file");
    db.createTable("t", {makeColumn("a", "int")});
    db.createTable("keep", {makeColumn("a", "int")});
    if (withRuleFile) writeFile(dir / "t.tmp", "rules");
    writeFile(dir / "c-a_t-a.rel", "relation");
    db.listeners["t"].push_back(WebhookListener{"a", "http://x", {}});
    db.listeners["keep"].push_back(WebhookListener{"a", "http://y", {}});
    db.dropTable("t");
    EXPECT_FALSE(db.tables.contains("t"));
    EXPECT_FALSE(db.listeners.contains("t"));
    EXPECT_TRUE(db.listeners.contains("keep"));
    EXPECT_EQ(fileNames(), (std::set<std::string>{"c-a_t-a.rel", "keep.bin", "keep.del"}));
    db.dropTable("keep");
  }
}

TEST_F(CatalogueTest, RefusedDropChangesNothing) {
  db.createTable("t", {makeColumn("a", "int")});
  EXPECT_EQ(thrownMessage([&] { db.dropTable("T"); }), "Syntax Error: Table 'T' does not exist.");
  db.beginTransaction();
  EXPECT_EQ(thrownMessage([&] { db.dropTable("t"); }),
            "Cannot drop a table while a transaction is active");
  EXPECT_TRUE(db.tables.contains("t"));
  EXPECT_EQ(fileNames(), (std::set<std::string>{"t.bin", "t.del"}));
  db.commitTransaction();
  db.dropTable("t");
  EXPECT_TRUE(db.tables.empty());
}

TEST_F(CatalogueTest, GetTableComparesNamesByteForByte) {
  db.createTable("t", {makeColumn("a", "int")});
  EXPECT_EQ(&db.getTable("t"), &db.tables.at("t"));
  EXPECT_EQ(thrownMessage([&] { db.getTable("T"); }), "Syntax Error: Table 'T' does not exist.");
}

TEST(CheckTypesTest, TypeBeforeName) {
  Database db;
  struct Case {
    const char* shows;
    std::vector<Column> columns;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"no columns", {}, true},
      {"every type",
       {makeColumn("a", "int"), makeColumn("b", "string"), makeColumn("c", "ApexInt"),
        makeColumn("d", "float"), makeColumn("e", "bool")},
       true},
      {"type names are case-sensitive", {makeColumn("a", "Int")}, false},
      {"a column named like a type", {makeColumn("a", "int"), makeColumn("string", "int")}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(db.checkTypes(c.columns), c.expected);
  }
  EXPECT_EQ(Database::types,
            (std::unordered_set<std::string>{"int", "string", "ApexInt", "float", "bool"}));
}

}  // namespace
