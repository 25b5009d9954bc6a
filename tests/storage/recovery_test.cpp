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

}  // namespace
