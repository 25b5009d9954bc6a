#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "support/rollback_state.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// p (id int, the key a link sets up; name string 8 bytes wide) is
// referenced by c (cid ApexInt, pid int with chains, note string).
class UpdateTest : public WriterTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.createTable("p", {makeColumn("id", "int"), makeColumn("name", "string", 0, 8)});
    db.createTable("c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int", 3),
                         makeColumn("note", "string")});
    for (const char* id : {"1", "2", "3"}) insert("p", {given("id", id), given("name", "n")});
    db.link("c", "pid", "p", "id");
  }
  Table& p() { return db.tables.at("p"); }
  Table& c() { return db.tables.at("c"); }
  void insert(const std::string& table, std::initializer_list<Cell> cells) {
    std::map<std::string, Cell> values = row(cells);
    db.insertInto(table, values);
  }
  ResultSet update(const std::string& table, std::vector<Cell> assignments,
                   std::vector<Condition> conditions = {}) {
    return db.update(table, assignments, conditions);
  }
};

TEST_F(UpdateTest, ChangesTheSelectedLiveRowsInCommandOrder) {
  std::vector<Condition> isTwo{where("id", "=", "2", 'o')};
  db.deleteRows("p", isTwo);
  const ResultSet all = update("p", {given("name", "a"), given("name", "b")});
  EXPECT_TRUE(all.success);
  EXPECT_EQ(all.message, "success!");
  EXPECT_EQ(all.rows_affected, 2);
  EXPECT_EQ(storedRows(p()), (Rows{{"1", "b"}, {"x", "2", "n"}, {"3", "b"}}));

  const std::string before = wholeState(db);
  EXPECT_EQ(update("p", {}, {where("id", ">=", "1", 'o')}).rows_affected, 2);
  EXPECT_EQ(update("p", {given("nope", "z")}).rows_affected, 2);
  EXPECT_EQ(wholeState(db), before);
}

TEST_F(UpdateTest, StoresNumbersAsARestartGivesThemBack) {
  update("p", {given("id", "09")}, {where("id", "=", "3", 'o')});
  EXPECT_EQ(storedRows(p())[2], (std::vector<std::string>{"9", "n"}));
  EXPECT_EQ(p().pkMap.at("9"), 2);
}

TEST_F(UpdateTest, AChangedKeyMovesItsIndexEntry) {
  EXPECT_EQ(update("p", {given("id", "7")}, {where("id", "=", "1", 'o')}).rows_affected, 1);
  EXPECT_EQ(indexEntries(p().pkMap), (IndexEntries{{"2", 1}, {"3", 2}, {"7", 0}}));
  std::vector<Condition> byOld{where("id", "=", "1", 'o')};
  std::vector<Condition> byNew{where("id", "=", "7", 'o')};
  EXPECT_TRUE(db.getRequestedRows(byOld, p()).empty());
  EXPECT_EQ(db.getRequestedRows(byNew, p()).size(), 1u);

  expectRefused([&] { update("p", {given("id", "2")}, {where("id", "=", "7", 'o')}); },
                "Duplicate entry '2' for primary key");
  std::vector<Condition> isTwo{where("id", "=", "2", 'o')};
  db.deleteRows("p", isTwo);  // a tombstone's key is free
  update("p", {given("id", "2")}, {where("id", "=", "7", 'o')});
  EXPECT_EQ(p().pkMap.at("2"), 0);
  insert("p", {given("id", "1")});  // the old key is free again
}

TEST_F(UpdateTest, RefusalsChangeNothing) {
  insert("c", {given("pid", "1")});
  insert("c", {given("pid", "1")});
  const std::string longName = "123456789";
  struct Case {
    const char* shows;
    std::string table;
    std::vector<Cell> assignments;
    std::vector<Condition> conditions;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"the identity column",
       "c",
       {given("note", "a"), given("cid", "5")},
       {},
       "ApexInt is an immutable identity column and cannot be updated"},
      {"a child key the parent lacks",
       "c",
       {given("note", "a"), given("pid", "9")},
       {},
       "Primary table is missing required future key: 9"},
      {"a value too long",
       "p",
       {given("id", "8"), given("name", longName)},
       {where("id", "=", "3", 'o')},
       "Value too long for column: name"},
      {"a referenced key",
       "p",
       {given("name", "a"), given("id", "5")},
       {},
       "Cannot update a primary key that is referenced by an active foreign table"},
      {"a second row given the key of the first",
       "p",
       {given("id", "8")},
       {where("id", ">=", "2", 'o')},
       "Duplicate entry '8' for primary key"},
      {"an unknown table", "nope", {}, {}, "Syntax Error: Table 'nope' does not exist."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.beginTransaction();  // a refused update records nothing either
    expectRefused([&] { update(c.table, c.assignments, c.conditions); }, c.message);
    db.rollbackTransaction();
  }
  EXPECT_FALSE(db.tables.contains("nope"));
}

// A value its narrow column would read back as the marker is refused before
// any row changes, an earlier assignment of the command included; any other
// value comes back as given after a restart.
TEST_F(UpdateTest, AValueItsNarrowColumnWouldReadAsMissingIsRefused) {
  db.createTable("n", {makeColumn("k", "int"), makeColumn("s1", "string", 0, 1),
                       makeColumn("s2", "string", 0, 2), makeColumn("s3", "string", 0, 3)});
  insert("n", {given("k", "1")});
  insert("n", {given("k", "2"), given("s1", "a")});
  const std::string reserved = "Value reserved for a missing value in column: ";
  struct Case {
    const char* shows;
    std::vector<Cell> assignments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"'#' in one byte", {given("s1", "#")}, reserved + "s1"},
      {"'#/' in two bytes", {given("s2", "#/")}, reserved + "s2"},
      {"'#/#' in three bytes", {given("s3", "#/#")}, reserved + "s3"},
      {"after an assignment that went through",
       {given("s3", "x"), given("k", "5"), given("s2", "#/")},
       reserved + "s2"},
      {"the assignments in command order decide",
       {given("s3", "#/#"), given("s2", "abc")},
       reserved + "s3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    expectRefused([&] { update("n", c.assignments); }, c.message);
  }
  update("n", {given("s1", "/"), given("s2", "#"), given("s3", "#/")}, {where("k", "=", "2", 'o')});
  const Rows stored{{"1", "#/#?", "#/#?", "#/#?"}, {"2", "/", "#", "#/"}};
  EXPECT_EQ(storedRows(db.tables.at("n")), stored);
  db.checkpoint();
  Database restarted;
  restarted.loadFromDisk();
  EXPECT_EQ(storedRows(restarted.tables.at("n")), stored);
}

TEST_F(UpdateTest, AReferencedKeyStaysWhileALiveChildShowsIt) {
  insert("c", {given("pid", "1")});
  const std::string refused =
      "Cannot update a primary key that is referenced by an active foreign table";
  expectRefused([&] { update("p", {given("id", "5")}, {where("id", "=", "1", 'o')}); }, refused);
  update("p", {given("id", "1"), given("name", "same")}, {where("id", "=", "1", 'o')});

  update("c", {given("pid", "2")});  // the child shows another key now
  update("p", {given("id", "5")}, {where("id", "=", "1", 'o')});
  EXPECT_FALSE(p().rows[0].isReferenced);

  expectRefused([&] { update("p", {given("id", "6")}, {where("id", "=", "2", 'o')}); }, refused);
  std::vector<Condition> all;
  db.deleteRows("c", all);  // a tombstone holds nothing
  update("p", {given("id", "6")}, {where("id", "=", "2", 'o')});
}

TEST_F(UpdateTest, AKeyCellTheUpdateLeavesNeedsOnlyTheStatesItCanStillReach) {
  insert("c", {givenChain("pid", {{"1", 5}, {"2", 100}}, 1000)});
  clock.set(1010);  // shows 2: key 1 is behind it
  std::vector<Condition> isOne{where("id", "=", "1", 'o')};
  db.deleteRows("p", isOne);
  EXPECT_EQ(update("c", {given("note", "still fine")}).rows_affected, 1);
  // Assigning the cell again needs every state of the new value.
  expectRefused(
      [&] {
        update("c", {givenChain("pid", {{"1", 5}, {"2", 5}}, 1010)});
      },
      "Primary table is missing required future key: 1");
}

TEST_F(UpdateTest, EveryAssignmentOfAChildNeedsARowInItsParent) {
  db.createTable("e", {makeColumn("id", "int")});
  db.createTable("d", {makeColumn("id", "int"), makeColumn("note", "string")});
  db.link("d", "id", "e", "id");
  appendRow(db.tables.at("d"), {"1", "a"});
  expectRefused([&] { update("d", {given("note", "b")}); }, "Primary table is empty");
}

TEST_F(UpdateTest, APlainValueDropsAChainAndAChainGoesToEveryRow) {
  insert("c", {given("pid", "1")});
  insert("c", {given("pid", "2")});
  update("c", {givenChain("pid", {{"1", 5}, {"3", 5}}, 1000)});
  for (const Row& child : c().rows) {
    ASSERT_TRUE(child.cells[1].rule);
    EXPECT_EQ(child.cells[1].rule->states.size(), 2u);
  }
  EXPECT_EQ(p().rows[2].links.at({"c", "pid"}), (std::set<std::int32_t>{0, 1}));
  update("c", {given("pid", "2")}, {where("cid", "=", "1", 'o')});
  EXPECT_FALSE(c().rows[0].cells[1].rule);
  EXPECT_EQ(storedRows(c())[0], (std::vector<std::string>{"1", "2", "#/#?"}));
}

TEST_F(UpdateTest, InsideATransactionEveryRowIsRecordedAndAKeyChangeRollsBack) {
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  EXPECT_EQ(update("p", {given("name", "a")}).rows_affected, 3);
  ASSERT_EQ(db.transactionLog.size(), 3u);
  EXPECT_EQ(db.transactionLog[0].action, "UPDATE");
  EXPECT_EQ(db.transactionLog[0].before.cells[1].value, "n");
  update("p", {given("id", "7")}, {where("id", "=", "1", 'o')});
  EXPECT_EQ(db.transactionLog.back().indexChanges.size(), 2u);  // 1 erased, 7 entered
  std::vector<Condition> isSeven{where("id", "=", "7", 'o')};
  db.deleteRows("p", isSeven);
  insert("p", {given("id", "1")});  // takes the key the update gave up
  db.rollbackTransaction();
  EXPECT_EQ(rollbackState(db, tableNames(db)), atBegin);
  expectRefused([&] { insert("p", {given("id", "1")}); }, "Duplicate entry '1' for primary key");
}

TEST_F(UpdateTest, QueuesTheTasksOfTheChainsTheRowsEndUpWith) {
  insert("c", {given("pid", "1")});
  insert("c", {given("pid", "2")});
  const Cell replaced = givenChain("note", {{"x", 5}, {"y", 5}}, 1000);
  const Cell kept = givenChain("note", {{"a", 5}, {"b", 5}, {"c", 5}}, 1000);
  update("c", {replaced, kept});
  EXPECT_EQ(db.webhookQueue.size(), 4u);  // b and c, for each row
  std::set<std::string> announced;
  for (auto queue = db.webhookQueue; !queue.empty(); queue.pop()) {
    announced.insert(queue.top().value + std::to_string(queue.top().rowIndex));
  }
  EXPECT_EQ(announced, (std::set<std::string>{"b0", "b1", "c0", "c1"}));

  db.recovering = true;
  update("c", {kept});
  EXPECT_EQ(db.webhookQueue.size(), 4u);
}

TEST_F(UpdateTest, AWebhookRecordThatCannotBeWrittenChangesNothing) {
  const int failures = failEachFileOperation(
      [&] {
        db.tables["c"] = makeTable("c", {makeColumn("note", "string", 3), makeColumn("k", "int")});
        appendRow(db.tables.at("c"), {"a", "1"});
        appendRow(db.tables.at("c"), {"b", "2"});
        db.webhookQueue = {};
        writeFile(dir / "webhooks.bin", std::string(85, '\0'));  // one earlier record
      },
      [&] {
        update("c", {given("k", "5"), givenChain("note", {{"x", 5}, {"y", 5}}, 1000)});
      },
      [&] { return wholeState(db); }, "Failed to write file: webhooks.bin", "webhooks.bin");
  EXPECT_GE(failures, 2);  // one write per row's record at least
}

}  // namespace
