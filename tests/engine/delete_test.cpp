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

// p (id int, the key a link sets up) is referenced by c (cid ApexInt, pid
// int with chains).
class DeleteTest : public WriterTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.createTable("p", {makeColumn("id", "int")});
    db.createTable("c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int", 3)});
    for (const char* id : {"1", "2", "3"}) insert("p", {given("id", id)});
    db.link("c", "pid", "p", "id");
  }
  Table& p() { return db.tables.at("p"); }
  Table& c() { return db.tables.at("c"); }
  void insert(const std::string& table, std::initializer_list<Cell> cells) {
    std::map<std::string, Cell> values = row(cells);
    db.insertInto(table, values);
  }
  ResultSet remove(const std::string& table, std::vector<Condition> conditions = {}) {
    return db.deleteRows(table, conditions);
  }
};

TEST_F(DeleteTest, MarksTheSelectedRowsAndLeavesTheirKeysInTheIndex) {
  const ResultSet first = remove("p", {where("id", ">=", "2", 'o')});
  EXPECT_TRUE(first.success);
  EXPECT_EQ(first.message, "success!");
  EXPECT_EQ(first.rows_affected, 2);
  EXPECT_EQ(storedRows(p()), (Rows{{"1"}, {"x", "2"}, {"x", "3"}}));
  EXPECT_EQ(p().deletedRows, (std::unordered_set<std::int32_t>{1, 2}));
  EXPECT_EQ(p().pkMap.size(), 3u);
  EXPECT_EQ(remove("p").rows_affected, 1);
  EXPECT_EQ(remove("p").rows_affected, 0);
}

TEST_F(DeleteTest, AParentGoesOnlyOnceNoLiveChildShowsOrCanReachItsKey) {
  insert("c", {given("pid", "1")});
  insert("c", {givenChain("pid", {{"3", 5}, {"2", 5}}, 1000)});  // shows 3, reaches 2
  const std::string refused = "Foreign key points at rows that were meant for deletion";
  expectRefused([&] { remove("p", {where("id", "=", "1", 'o')}); }, refused);
  expectRefused([&] { remove("p", {where("id", "=", "2", 'o')}); }, refused);
  // One refused row keeps every other selected row, and what the checks
  // pruned from them, as it was.
  p().rows[2].links[{"c", "pid"}].insert(0);  // a stale back-reference
  expectRefused([&] { remove("p"); }, refused);
  EXPECT_TRUE(p().rows[2].links.at({"c", "pid"}).contains(0));

  clock.set(1007);  // the chain has passed 3
  remove("p", {where("id", "=", "3", 'o')});
  remove("c", {where("cid", "=", "1", 'o')});
  remove("p", {where("id", "=", "1", 'o')});  // its child is a tombstone
  EXPECT_TRUE(p().rows[0].links.empty());
  EXPECT_FALSE(p().rows[0].isReferenced);
  EXPECT_EQ(storedRows(p()), (Rows{{"x", "1"}, {"2"}, {"x", "3"}}));
}

TEST_F(DeleteTest, RowsDeletedTogetherDoNotHoldEachOther) {
  db.createTable("tree", {makeColumn("id", "int"), makeColumn("up", "int")});
  insert("tree", {given("id", "1"), given("up", "1")});
  db.link("tree", "up", "tree", "id");
  insert("tree", {given("id", "2"), given("up", "1")});
  expectRefused([&] { remove("tree", {where("id", "=", "1", 'o')}); },
                "Foreign key points at rows that were meant for deletion");
  EXPECT_EQ(remove("tree").rows_affected, 2);
}

TEST_F(DeleteTest, AnUnknownTableIsRefused) {
  expectRefused([&] { remove("nope"); }, "Syntax Error: Table 'nope' does not exist.");
  EXPECT_FALSE(db.tables.contains("nope"));
}

TEST_F(DeleteTest, InsideATransactionEachMarkedRowIsRecordedAndComesBack) {
  insert("c", {given("pid", "2")});
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  remove("c");
  remove("p");
  ASSERT_EQ(db.transactionLog.size(), 4u);
  EXPECT_EQ(db.transactionLog[0].action, "DELETE");
  EXPECT_EQ(db.transactionLog[0].tableName, "c");
  EXPECT_TRUE(p().rows[1].links.empty());  // pruned: its child was a tombstone
  db.rollbackTransaction();
  EXPECT_EQ(rollbackState(db, tableNames(db)), atBegin);
  expectRefused([&] { remove("p", {where("id", "=", "2", 'o')}); },
                "Foreign key points at rows that were meant for deletion");
}

}  // namespace
