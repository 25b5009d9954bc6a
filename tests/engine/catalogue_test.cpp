#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database.h"
#include "storage/storage.h"
#include "support/file_sweep.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

namespace fs = std::filesystem;

// The names of the catalogue's tables with their columns and keys.
std::string catalogueOf(const Database& db) {
  std::string text;
  for (const auto& [name, table] : db.tables) {
    text += name + " (key " + table.primaryKey + "):";
    for (const Column& column : table.columns) text += " " + column.name + " " + column.type;
    text += " rows " + std::to_string(table.rows.size()) + "\n";
  }
  return text;
}

class CatalogueTest : public TempDirTest {
 protected:
  Database db;
};

TEST_F(CatalogueTest, CreateTableFilesTheTableAndWritesItsFiles) {
  db.createTable("t", {makeColumn("name", "string", 0, 20), makeColumn("n", "int"),
                       makeColumn("id", "ApexInt"), makeColumn("m", "string")});
  ASSERT_TRUE(db.tables.contains("t"));
  const Table& table = db.getTable("t");
  EXPECT_EQ(table.name, "t");
  EXPECT_EQ(table.columns.size(), 4u);
  EXPECT_EQ(table.columnTypes.at("m"), "string");
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
                        makeColumn("col.x", "int"), makeColumn("wide", "string", 4096, 1048576),
                        makeColumn("id", "ApexInt", 0)});
  EXPECT_TRUE(db.tables.contains(name));
  EXPECT_TRUE(fs::exists(dir / (name + ".bin")));
  EXPECT_EQ(Storage::loadTable(name, "").columns[3].size, 1048576);
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
      {"drive-relative table name", "c:evil", plain, "Forbidden table name"},
      {"device as table name", "Nul", plain, "Forbidden table name"},
      {"the webhook file's name in another case", "WebHooks", plain, "Forbidden table name"},
      {"the table name is tested before the column names",
       "a?",
       {makeColumn("com1", "int")},
       "Forbidden table name"},
      {"empty column name", "t", {makeColumn("", "int")}, "Forbidden column name"},
      {"slash in column name", "t", {makeColumn("a/b", "int")}, "Forbidden column name"},
      {"backslash in column name", "t", {makeColumn("a\\b", "int")}, "Forbidden column name"},
      {"control byte in column name", "t", {makeColumn("a\tb", "int")}, "Forbidden column name"},
      {"stream in column name", "t", {makeColumn("a:b", "int")}, "Forbidden column name"},
      {"device with an extension as column name",
       "t",
       {makeColumn("lpt3.x", "int")},
       "Forbidden column name"},
      {"a column name given twice",
       "t",
       {makeColumn("a", "int"), makeColumn("b", "int"), makeColumn("a", "string")},
       "Duplicate column name: a"},
      {"the duplicate is found before the width of the same column",
       "t",
       {makeColumn("a", "int"), makeColumn("a", "string", 0, 0)},
       "Duplicate column name: a"},
      {"a name is checked before it counts as a duplicate",
       "t",
       {makeColumn("a/b", "int"), makeColumn("a/b", "int")},
       "Forbidden column name"},
      {"zero string width", "t", {makeColumn("s", "string", 0, 0)}, "Invalid string width: s"},
      {"negative string width", "t", {makeColumn("s", "string", 0, -5)}, "Invalid string width: s"},
      {"string width above 1 MiB",
       "t",
       {makeColumn("s", "string", 0, 1048577)},
       "Invalid string width: s"},
      {"the largest 32-bit string width",
       "t",
       {makeColumn("s", "string", 0, 2147483647)},
       "Invalid string width: s"},
      {"the width is checked before the state limit",
       "t",
       {makeColumn("s", "string", 5000, 0)},
       "Invalid string width: s"},
      {"state limit above 4096", "t", {makeColumn("n", "int", 4097)}, "Invalid state limit: n"},
      {"state chains in an identity column",
       "t",
       {makeColumn("id", "ApexInt", 1)},
       "Invalid state limit: id"},
      {"the state limit is checked before the width it needs",
       "t",
       {makeColumn("b", "bool", 5000)},
       "Invalid state limit: b"},
      {"column checks run before the identity count",
       "t",
       {makeColumn("id", "ApexInt"), makeColumn("id2", "ApexInt"), makeColumn("n", "int", 9999)},
       "Invalid state limit: n"},
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

// Where file names ignore letter case, t and T would share their files.
TEST_F(CatalogueTest, NameOfAnExistingTableInAnotherCaseIsRefused) {
  db.createTable("Lamp", {makeColumn("a", "int")});
  appendRow(db.getTable("Lamp"), {"7"});
  const auto before = directoryContents();
  for (const bool replaying : {false, true}) {
    SCOPED_TRACE(replaying ? "during the replay" : "outside the replay");
    db.recovering = replaying;
    EXPECT_EQ(thrownMessage([&] { db.createTable("lAMP", {makeColumn("b", "string")}); }),
              "Column size error");
    EXPECT_EQ(catalogueOf(db), "Lamp (key ): a int rows 1\n");
    EXPECT_EQ(directoryContents(), before);
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

// A dangling link under one of the new table's names would let the write
// escape the working directory: it counts as an existing file.
TEST_F(CatalogueTest, AnyEntryUnderTheTablesFileNamesRefusesTheTable) {
  const fs::path outside = dir / "outside";
  fs::create_directory(outside);
  struct Case {
    const char* shows;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      {"a dangling link as the data file",
       [&] { fs::create_symlink(outside / "t.bin", dir / "t.bin"); }},
      {"a dangling link as the deletion map",
       [&] { fs::create_symlink(outside / "t.del", dir / "t.del"); }},
      {"a dangling link as the rule file",
       [&] { fs::create_symlink(outside / "t.tmp", dir / "t.tmp"); }},
      {"a deletion map without a data file", [&] { writeFile(dir / "t.del", std::string(1, 1)); }},
      {"a rule file without a data file", [&] { writeFile(dir / "t.tmp", "rules"); }},
      {"a directory as the data file", [&] { fs::create_directory(dir / "t.bin"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    for (const char* name : {"t.bin", "t.del", "t.tmp"}) fs::remove_all(dir / name);
    c.prepare();
    const auto before = directoryContents();
    EXPECT_EQ(thrownMessage([&] { db.createTable("t", {makeColumn("a", "int")}); }),
              "Column size error");
    EXPECT_TRUE(db.tables.empty());
    EXPECT_EQ(directoryContents(), before);
    EXPECT_TRUE(fs::is_empty(outside));
  }
}

// Every file operation of a CREATE TABLE, failed or crashed in turn: a
// failure changes nothing, and a crash leaves either no trace of the table
// or the whole table, never a data file without its map.
TEST_F(CatalogueTest, FailedOrCrashedCreateLeavesTheDirectoryWhole) {
  std::unique_ptr<Database> fresh;
  const std::vector<std::string> messages = sweepFileFaults({
      [&] {
        fresh = std::make_unique<Database>();
        fresh->createTable("keep", {makeColumn("a", "int")});
        appendRow(fresh->getTable("keep"), {"1"});
      },
      [&] {
        fresh->createTable("t", {makeColumn("id", "ApexInt"), makeColumn("s", "string")});
      },
      [&] { return catalogueOf(*fresh); },
  });
  const std::string data = "Failed to write file: t.bin";
  const std::string map = "Failed to write file: t.del";
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Column size error", "Column size error", "Column size error",
                          "Failed to open file: t.bin", data, data, data,  // the header's file
                          "Failed to open file: t.del", map, map, map,     // the map's file
                          map,                                             // the map into place
                          data,                                            // the data file last
                          data,  // the directory's sync, undone by removing both
                      }));
}

// A refused CREATE TABLE once left an empty data file behind when the file
// was created but could not then be opened.
TEST_F(CatalogueTest, DataFileThatCannotBeOpenedLeavesNothing) {
  {
    // The three entry checks come first, then the data file is opened.
    const ScopedFileFault fault(FileFault{3, false});
    EXPECT_EQ(thrownMessage([&] { db.createTable("t", {makeColumn("a", "int")}); }),
              "Failed to open file: t.bin");
  }
  EXPECT_TRUE(db.tables.empty());
  EXPECT_TRUE(fileNames().empty());
  db.createTable("t", {makeColumn("a", "int")});
  EXPECT_EQ(fileNames(), (std::set<std::string>{"t.bin", "t.del"}));
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

// Dropping a child forgets its links: the parent's entry for it, the
// back-references to its rows and, when no link is left to give it, the
// parent's key, which the next start would not give back either.
TEST_F(CatalogueTest, DroppingAChildTakesAwayWhatOnlyItsLinksGave) {
  struct Case {
    const char* shows;
    std::vector<Column> parentColumns;
    std::vector<std::vector<std::string>> links;  // child, its column, parent key column
    std::string keyAfter;
  };
  const std::vector<Case> cases = {
      {"a key only the link gave", {makeColumn("k", "int")}, {{"c", "a", "k"}}, ""},
      {"an identity key", {makeColumn("k", "ApexInt")}, {{"c", "a", "k"}}, "k"},
      {"another child left", {makeColumn("k", "int")}, {{"c", "a", "k"}, {"d", "a", "k"}}, "k"},
      {"a link to itself left",
       {makeColumn("k", "int"), makeColumn("up", "int")},
       {{"c", "a", "k"}, {"p", "up", "k"}},
       "k"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    for (const std::string& name : fileNames()) fs::remove(dir / name);
    {
      Database live;
      live.createTable("p", c.parentColumns);
      live.createTable("c", {makeColumn("a", "int")});
      live.createTable("d", {makeColumn("a", "int")});
      std::map<std::string, Cell> values{{"k", given("k", "1")}, {"up", given("up", "1")}};
      live.insertInto("p", values);
      for (const auto& link : c.links) live.link(link[0], link[1], "p", link[2]);
      live.dropTable("c");
      const Table& parent = live.tables.at("p");
      EXPECT_FALSE(parent.children.contains("c"));
      for (const Row& row : parent.rows) {
        for (const auto& [relation, positions] : row.links) EXPECT_NE(relation.table, "c");
      }
      EXPECT_EQ(parent.primaryKey, c.keyAfter);
      EXPECT_EQ(parent.pkMap.size(), c.keyAfter.empty() ? 0U : 1U);
      live.checkpoint();
    }
    Database restarted;
    ::testing::internal::CaptureStdout();
    restarted.loadFromDisk();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(restarted.tables.at("p").primaryKey, c.keyAfter);
  }
}

// A fault at each file operation of a DROP TABLE: up to its commit point
// (the data file moved aside, the directory synced) the drop fails and
// changes nothing; after it the drop stands, and what a failure leaves
// behind is the recovery step's to remove.
TEST_F(CatalogueTest, FailedDropChangesNothingUntilItsCommitPoint) {
  db.createTable("t", {makeColumn("a", "int")});
  db.createTable("keep", {makeColumn("a", "int")});
  const Directory before = snapshotDirectory();
  const std::int64_t operations = countFileOperations([&] {
    Database copy;
    copy.tables = db.tables;
    copy.dropTable("t");
  });
  std::vector<std::string> messages;
  for (std::int64_t n = 0; n < operations; ++n) {
    SCOPED_TRACE("file operation " + std::to_string(n));
    restoreDirectory(before);
    Database run;
    run.tables = db.tables;
    std::string message;
    {
      const ScopedFileFault fault(FileFault{n, false});
      message = thrownMessage([&] { run.dropTable("t"); });
    }
    messages.push_back(message);
    if (!message.empty()) {
      EXPECT_TRUE(run.tables.contains("t"));
      EXPECT_EQ(snapshotDirectory(), before);
      continue;
    }
    EXPECT_FALSE(run.tables.contains("t"));
    Storage::recoverFiles();
    EXPECT_EQ(fileNames(), (std::set<std::string>{"keep.bin", "keep.del"}));
  }
  const std::string failed = "Failed to write file: t.bin";
  ASSERT_GE(messages.size(), 2U);
  EXPECT_EQ(messages[0], failed);  // the move aside
  EXPECT_EQ(messages[1], failed);  // the directory's sync, which moves it back
  for (std::size_t i = 2; i < messages.size(); ++i) EXPECT_EQ(messages[i], "") << i;
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

// A power cut at any step of CREATE TABLE or DROP TABLE: a start finds the
// table as it was before or as the command left it; once the command has
// returned, as it left it.
TEST_F(CatalogueTest, APowerCutLeavesTheTableBeforeOrAfter) {
  std::unique_ptr<Database> run;
  const struct {
    const char* shows;
    std::function<void()> prepare;  // after "keep" is created and checkpointed
    std::function<void()> command;
    const char* table;  // there after the command, or gone
    bool there;
  } cases[] = {
      {"CREATE TABLE", [] {},
       [&] {
         run->createTable("t", {makeColumn("id", "ApexInt"), makeColumn("s", "string")});
       },
       "table t ", true},
      {"DROP TABLE of a table with rows, a rule file and a link",
       [&] {
         run->createTable("gone", {makeColumn("kid", "int"), makeColumn("st", "string", 2, 4)});
         appendRow(run->getTable("gone"), {"1", ""}).cells[1].rule =
             makeRule({{"a", 5}, {"b", 5}}, 100);
         run->link("gone", "kid", "keep", "id");
         run->checkpoint();
       },
       [&] { run->dropTable("gone"); }, "table gone ", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shows);
    const PowerCutStates states = sweepPowerCuts({
        [&] {
          run = std::make_unique<Database>();
          run->createTable("keep", {makeColumn("id", "ApexInt"), makeColumn("s", "string")});
          appendRow(run->getTable("keep"), {"1", "x"});
          c.prepare();
          run->checkpoint();
        },
        [] {},
        c.command,
    });
    EXPECT_EQ(states.before.find(c.table) != std::string::npos, !c.there) << states.before;
    EXPECT_EQ(states.after.find(c.table) != std::string::npos, c.there) << states.after;
    EXPECT_NE(states.after.find("[id=1] [s=x]"), std::string::npos) << states.after;
  }
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
