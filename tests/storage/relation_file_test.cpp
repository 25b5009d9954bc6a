#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database.h"
#include "storage_tables.h"
#include "support/test_support.h"

namespace {

using namespace storage_tables;

class RelationFileTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    parent = makeTable("room", {makeColumn("rid", "ApexInt"), makeColumn("label", "string")});
    for (const char* id : {"1", "2", "3"}) appendRow(parent, {id, "x"});
    parent.setUpPrimaryKeyMap("rid");
    child = makeTable("lamp", {makeColumn("id", "ApexInt"), makeColumn("room", "int", 2)});
  }

  Table parent;
  Table child;
};

const std::string kHeader = field("lamp") + field("room") + field("room") + field("rid");
const char* const kFile = "lamp-room_room-rid.rel";

TEST_F(RelationFileTest, ChildWithoutRowsGivesTheHeaderAlone) {
  Storage::linkTables(child, parent, "room");
  EXPECT_EQ(readFile(kFile), kHeader);
  EXPECT_EQ(readFile(kFile).size(), 60U);
}

TEST_F(RelationFileTest, RecordsNumberEveryRowFromOneAndSkipDeletedOnes) {
  ScopedClock clock(1000);
  appendRow(child, {"1", "3"});
  appendRow(child, {"2", "1"});
  appendRow(child, {"3", "9"});  // no such parent key
  appendRow(child, {"4", ""}).cells[1].rule = makeRule({{"9", 10}, {"2", 0}}, 1000);
  markDeleted(child, 1);

  Storage::linkTables(child, parent, "room");
  EXPECT_EQ(readFile(kFile), kHeader + le32(1) + le32(2) + le32(3) + le32(-1) + le32(4) + le32(-1));

  // The snapshot takes each key as it reads now.
  clock.set(1010);
  Storage::linkTables(child, parent, "room");
  EXPECT_EQ(readFile(kFile).substr(60 + 16), le32(4) + le32(1));
}

TEST_F(RelationFileTest, RelinkingReplacesTheWholeFile) {
  for (const char* room : {"1", "2", "3"}) appendRow(child, {"0", room});
  Storage::linkTables(child, parent, "room");
  ASSERT_EQ(readFile(kFile).size(), 60U + 3 * 8);

  markDeleted(child, 0);
  markDeleted(child, 1);
  Storage::linkTables(child, parent, "room");
  EXPECT_EQ(readFile(kFile), kHeader + le32(3) + le32(2));
  EXPECT_EQ(fileNames(), std::set<std::string>{kFile});
}

TEST_F(RelationFileTest, FileThatCannotBeWrittenFailsAndLeavesTheOldOne) {
  appendRow(child, {"1", "3"});
  writeFile(kFile, "earlier link");
  // The earlier file's read, the new file's open, write, close and sync,
  // its rename into place, then the directory's sync, which puts the
  // earlier file back when it fails.
  for (const std::int64_t operation : {0, 1, 2, 3, 4, 5, 6}) {
    SCOPED_TRACE(operation);
    const ScopedFileFault fault(FileFault{operation, false});
    try {
      Storage::linkTables(child, parent, "room");
      FAIL() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), "Failed to write file: " + std::string(kFile));
    }
    EXPECT_EQ(fileNames(), std::set<std::string>{kFile});
    EXPECT_EQ(readFile(kFile), "earlier link");
  }
}

// What a link changes in memory: the parent's key, index and back-references,
// and both tables' lists of links.
std::string linkStateOf(const Database& db) {
  std::string text;
  for (const auto& [name, table] : db.tables) {
    text += name + " key " + table.primaryKey + " at " + std::to_string(table.pkIndex) + ":";
    for (const auto& [key, position] : table.pkMap) {
      text += " " + key.text() + "->" + std::to_string(position);
    }
    text += " parents";
    for (const std::string& parentName : table.parents) text += " " + parentName;
    text += " children";
    for (const auto& [childName, column] : table.children) text += " " + childName + "." + column;
    for (const Row& row : table.rows) {
      text += row.isReferenced ? " [referenced" : " [";
      for (const auto& [relation, positions] : row.links) {
        text += " " + relation.table + "." + relation.column;
        for (const std::int32_t position : positions) text += " " + std::to_string(position);
      }
      text += "]";
    }
    text += "\n";
  }
  return text;
}

// Every file operation of a LINK, failed or crashed in turn, for a new
// relation file and for one that replaces the file of an earlier run.
TEST_F(RelationFileTest, FailedOrCrashedLinkLeavesTheDirectoryWhole) {
  for (const bool earlierFile : {false, true}) {
    SCOPED_TRACE(earlierFile ? "replacing a relation file" : "a new relation file");
    std::unique_ptr<Database> db;
    const std::vector<std::string> messages = sweepFileFaults({
        [&] {
          db = std::make_unique<Database>();
          db->tables["room"] = parent;
          db->tables["lamp"] = child;
          appendRow(db->tables.at("lamp"), {"1", "2"});
          appendRow(db->tables.at("lamp"), {"2", "3"});
          // The tables' data files, which the recovery step looks for.
          writeFile("lamp.bin", "");
          writeFile("room.bin", "");
          if (earlierFile) writeFile(kFile, kHeader + le32(1) + le32(0));
        },
        [&] { db->link("lamp", "room", "room", "rid"); },
        [&] { return linkStateOf(*db); },
    });
    const std::string failure = "Failed to write file: " + std::string(kFile);
    EXPECT_EQ(messages, std::vector<std::string>(7, failure));
  }
}

TEST_F(RelationFileTest, MissingForeignKeyColumnLeavesTheHeaderOnly) {
  appendRow(child, {"1", "1"});
  Storage::linkTables(child, parent, "nothere");
  EXPECT_EQ(readFile("lamp-nothere_room-rid.rel"),
            field("lamp") + field("room") + field("nothere") + field("rid"));
}

TEST_F(RelationFileTest, FifteenByteNamesFillTheirFields) {
  const std::string name = "abcdefghijklmno";
  Table longChild = makeTable(name, {makeColumn(name, "int")});
  Storage::linkTables(longChild, parent, name);
  const std::string bytes = readFile(name + "-" + name + "_room-rid.rel");
  EXPECT_EQ(bytes, name + field("room") + name + field("rid"));
}

TEST_F(RelationFileTest, NamesThatCannotBeAFileNameWriteNothing) {
  struct Case {
    const char* name;
    std::string childName;
    std::string parentName;
    std::string foreignKey;
    std::string primaryKey;
  };
  const Case cases[] = {
      {"child with a slash", "a/b", "room", "room", "rid"},
      {"parent with a dot", "lamp", "room.x", "room", "rid"},
      {"key with a backslash", "lamp", "room", "ro\\om", "rid"},
      {"parent key with a line feed", "lamp", "room", "room", "r\nd"},
      {"empty parent key", "lamp", "room", "room", ""},
      {"name longer than its field", "abcdefghijklmnop", "room", "room", "rid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Table foreign = makeTable(c.childName, {makeColumn(c.foreignKey, "int")});
    Table referenced = makeTable(c.parentName, {makeColumn("rid", "ApexInt")});
    referenced.primaryKey = c.primaryKey;
    Storage::linkTables(foreign, referenced, c.foreignKey);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
  }
}

}  // namespace
