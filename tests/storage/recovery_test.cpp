#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "../engine/test_tables.h"
#include "engine/database.h"
#include "storage/storage.h"
#include "support/test_support.h"

namespace {

// A parent p keyed by a link on id and a child c whose rows point at it.
void addLinkableTables(Database& db) {
  db.tables["p"] = makeTable("p", {makeColumn("id", "int")});
  db.tables["c"] = makeTable("c", {makeColumn("pid", "int")});
  appendRow(db.tables.at("p"), {"1"});
  appendRow(db.tables.at("p"), {"2"});
  appendRow(db.tables.at("c"), {"2"});
}

using LoadRelationsTest = TempDirTest;

TEST_F(LoadRelationsTest, LinksRecordedInRelationFilesAreMadeAgain) {
  {
    Database first;
    addLinkableTables(first);
    first.link("c", "pid", "p", "id");
  }
  Database db;
  addLinkableTables(db);
  ::testing::internal::CaptureStdout();
  Storage::loadRelations(&db);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(db.tables.at("p").primaryKey, "id");
  EXPECT_EQ(db.tables.at("p").pkMap.size(), 2u);
  EXPECT_EQ(db.tables.at("c").parents, std::vector<std::string>{"p"});
  EXPECT_EQ(db.tables.at("p").children.at("c"), "pid");
  EXPECT_EQ(db.tables.at("p").rows[1].links.at({"c", "pid"}), std::set<std::int32_t>{0});
}

TEST_F(LoadRelationsTest, NamesThatFillTheirFieldsAreReadWhole) {
  const std::string child(15, 'c');
  const std::string parent(15, 'p');
  const std::string foreignKey(15, 'f');
  const std::string key(15, 'k');
  const auto addTables = [&](Database& db) {
    db.tables[parent] = makeTable(parent, {makeColumn(key, "int")});
    db.tables[child] = makeTable(child, {makeColumn(foreignKey, "int")});
    appendRow(db.tables.at(parent), {"1"});
    appendRow(db.tables.at(child), {"1"});
  };
  {
    Database first;
    addTables(first);
    first.link(child, foreignKey, parent, key);
  }
  Database db;
  addTables(db);
  ::testing::internal::CaptureStdout();
  Storage::loadRelations(&db);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(db.tables.at(parent).primaryKey, key);
  EXPECT_EQ(db.tables.at(child).parents, std::vector<std::string>{parent});
  EXPECT_EQ(db.tables.at(parent).rows[0].links.at({child, foreignKey}), std::set<std::int32_t>{0});
}

TEST_F(LoadRelationsTest, AFailingLinkPrintsItsMessageAndTheOthersGoOn) {
  struct Case {
    const char* shows;
    std::string fileBytes;
    std::string printed;
  };
  const auto field = [](const std::string& name) {
    return name + std::string(15 - name.size(), '\0');
  };
  const std::vector<Case> cases = {
      {"a table that was dropped", field("gone") + field("p") + field("pid") + field("id"),
       "None existant table\n"},
      {"a column that no longer exists", field("c") + field("p") + field("old") + field("id"),
       "Key does not exist\n"},
      {"a file cut short", "c", "None existant table\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    {
      Database first;
      addLinkableTables(first);
      first.link("c", "pid", "p", "id");
    }
    writeFile(dir / "broken.rel", c.fileBytes);
    Database db;
    addLinkableTables(db);
    ::testing::internal::CaptureStdout();
    Storage::loadRelations(&db);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(db.tables.at("c").parents, std::vector<std::string>{"p"});
  }
}

TEST_F(LoadRelationsTest, RelationFileThatCannotBeReadFailsItsLinkAlone) {
  {
    Database first;
    addLinkableTables(first);
    first.link("c", "pid", "p", "id");
  }
  Database db;
  addLinkableTables(db);
  ::testing::internal::CaptureStdout();
  {
    // The listing, then the one file's read.
    const ScopedFileFault fault(FileFault{1, false});
    Storage::loadRelations(&db);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "None existant table\n");
  EXPECT_TRUE(db.tables.at("c").parents.empty());
}

}  // namespace
