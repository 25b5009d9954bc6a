#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

TransactionAction entry(const std::string& action, const std::string& table, std::int32_t row,
                        Row before = {}) {
  return TransactionAction{action, table, row, std::move(before)};
}

// Parent p (id int, the key) and child c (cid ApexInt key, pid int linked to
// p.id, v string with state chains). Rows and log entries are made by hand,
// the way insert, update and delete make them.
class TransactionTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.tables["p"] = makeTable("p", {makeColumn("id", "int")});
    db.tables["c"] = makeTable("c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int"),
                                     makeColumn("v", "string", 3)});
    appendRow(parent(), {"1"});
    appendRow(parent(), {"2"});
    child().setUpPrimaryKeyMap("cid");
    db.link("c", "pid", "p", "id");
  }

  Table& parent() { return db.tables.at("p"); }
  Table& child() { return db.tables.at("c"); }

  // Appends a child row as an insert does: linked, indexed, logged when a
  // transaction is open.
  std::int32_t insertChild(const std::string& cid, const std::string& pid, const std::string& v) {
    appendRow(child(), {cid, pid, v});
    const std::int32_t row = lastPosition(child());
    db.linkRow(&child().rows.back(), "c", true);
    child().pkMap[cid] = row;
    if (db.inTransaction) db.transactionLog.push_back(entry("INSERT", "c", row));
    return row;
  }
  void deleteChild(std::int32_t row) {
    markDeleted(child(), row);
    if (db.inTransaction) db.transactionLog.push_back(entry("DELETE", "c", row));
  }
  std::set<std::int32_t> referencesTo(std::int32_t parentRow) {
    const auto& links = parent().rows[static_cast<std::size_t>(parentRow)].links;
    const auto found = links.find({"c", "pid"});
    return found == links.end() ? std::set<std::int32_t>{} : found->second;
  }

  Database db;
};

TEST_F(TransactionTest, RefusalsLeaveTheStateAsItWas) {
  EXPECT_EQ(thrownMessage([&] { db.commitTransaction(); }), "No active transaction to commit!");
  EXPECT_EQ(thrownMessage([&] { db.rollbackTransaction(); }), "No active transaction to rollback!");
  EXPECT_FALSE(db.inTransaction);

  db.beginTransaction();
  insertChild("1", "1", "a");
  EXPECT_EQ(thrownMessage([&] { db.beginTransaction(); }), "Transaction is already active!");
  EXPECT_TRUE(db.inTransaction);
  EXPECT_EQ(db.transactionLog.size(), 1u);
}

TEST_F(TransactionTest, CommitKeepsTheChangesAndRollbackOfNothingSucceeds) {
  db.beginTransaction();
  insertChild("1", "1", "a");
  db.commitTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_TRUE(db.transactionLog.empty());
  EXPECT_EQ(child().rows.size(), 1u);

  db.beginTransaction();
  db.rollbackTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_EQ(child().rows.size(), 1u);
}

TEST_F(TransactionTest, UndoingInsertsRemovesRowsKeysAndBackReferences) {
  insertChild("1", "1", "a");
  db.tables["other"] = makeTable("other", {makeColumn("x", "int")});
  appendRow(db.tables.at("other"), {"1"});
  db.tables.at("other").rows[0].links[{"elsewhere", "fk"}] = {1, 2};
  db.tables.at("other").rows[0].links[{"c", "another"}] = {1, 2};

  db.beginTransaction();
  insertChild("2", "1", "b");
  insertChild("3", "2", "c");
  db.rollbackTransaction();

  EXPECT_EQ(child().rows.size(), 1u);
  EXPECT_EQ(child().pkMap.size(), 1u);
  EXPECT_TRUE(child().pkMap.contains("1"));
  EXPECT_EQ(referencesTo(0), std::set<std::int32_t>{0});
  EXPECT_EQ(referencesTo(1), std::set<std::int32_t>{});  // emptied, kept, flag untouched
  EXPECT_TRUE(parent().rows[1].isReferenced);
  const Row& other = db.tables.at("other").rows[0];
  EXPECT_EQ(other.links.at({"elsewhere", "fk"}), (std::set<std::int32_t>{1, 2}));
  EXPECT_EQ(other.links.at({"c", "another"}), std::set<std::int32_t>{});

  insertChild("2", "1", "again");  // the key is free again
  EXPECT_EQ(child().pkMap.at("2"), 1);
}

TEST_F(TransactionTest, UndoingDeletesRevivesAndRelinksRows) {
  const std::int32_t row = insertChild("1", "2", "a");
  db.beginTransaction();
  deleteChild(row);
  parent().rows[1].links.clear();  // a restriction check pruned the tombstone
  db.rollbackTransaction();
  EXPECT_FALSE(child().rows[0].deleted);
  EXPECT_TRUE(child().deletedRows.empty());
  EXPECT_EQ(referencesTo(1), std::set<std::int32_t>{0});
  std::vector<Condition> byKey{where("cid", "=", "1", 'o')};
  EXPECT_EQ(db.getRequestedRows(byKey, child()).size(), 1u);
}

TEST_F(TransactionTest, UndoingUpdatesPutsTheWholeRowBack) {
  ScopedClock clock(2000);
  const std::int32_t row = insertChild("1", "1", "a");
  child().rows[0].cells[2].rule = makeRule({{"a", 5}, {"b", 10}, {"b", 10}}, 500, true);
  child().rows[0].links[{"grandchild", "fk"}] = {4};  // the row's own back-references
  child().rows[0].isReferenced = true;
  db.beginTransaction();
  const Row before = child().rows[0];
  db.transactionLog.push_back(entry("UPDATE", "c", row, before));
  Cell& cell = child().rows[0].cells[2];
  cell.value = "z";
  cell.rule.reset();
  child().rows[0].cells[1].value = "2";
  child().rows[0].links.clear();
  child().rows[0].isReferenced = false;
  db.rollbackTransaction();

  const Row& restored = child().rows[0];
  ASSERT_TRUE(restored.cells[2].rule);
  EXPECT_EQ(restored.cells[2].rule->insTime, 500);
  EXPECT_TRUE(restored.cells[2].rule->isCycle);
  EXPECT_EQ(restored.cells[2].rule->states.size(), 3u);
  EXPECT_EQ(restored.cells[2].value, "a");
  EXPECT_EQ(restored.cells[1].value, "1");
  EXPECT_EQ(restored.links, before.links);
  EXPECT_TRUE(restored.isReferenced);
  EXPECT_EQ(referencesTo(0), std::set<std::int32_t>{0});
}

TEST_F(TransactionTest, EntriesAreUndoneNewestFirst) {
  const std::int32_t row = insertChild("1", "1", "old");
  db.beginTransaction();
  db.transactionLog.push_back(entry("UPDATE", "c", row, child().rows[0]));
  child().rows[0].cells[2].value = "new";
  deleteChild(row);
  db.rollbackTransaction();
  EXPECT_FALSE(child().rows[0].deleted);
  EXPECT_TRUE(child().deletedRows.empty());
  EXPECT_EQ(child().rows[0].cells[2].value, "old");
}

TEST_F(TransactionTest, RollbackGivesAReusedKeyBackToTheRevivedRow) {
  db.tables["k"] = makeTable("k", {makeColumn("key", "int")});
  Table& keyed = db.tables.at("k");
  appendRow(keyed, {"5"});
  keyed.setUpPrimaryKeyMap("key");
  db.beginTransaction();
  markDeleted(keyed, 0);
  db.transactionLog.push_back(entry("DELETE", "k", 0));
  appendRow(keyed, {"5"});  // the insert takes the tombstone's index entry over
  keyed.pkMap["5"] = 1;
  db.transactionLog.push_back(entry("INSERT", "k", 1));
  db.rollbackTransaction();

  EXPECT_EQ(keyed.rows.size(), 1u);
  EXPECT_EQ(keyed.pkMap.size(), 1u);
  EXPECT_EQ(keyed.pkMap.at("5"), 0);
  std::vector<Condition> byKey{where("key", "=", "5", 'o')};
  EXPECT_EQ(db.getRequestedRows(byKey, keyed).size(), 1u);
}

TEST_F(TransactionTest, RollbackOfAKeyChangeLeavesTheIndexOnTheOldKey) {
  struct Case {
    const char* shows;
    bool indexFollowsTheUpdate;  // whether the update moved the row's index entry
    bool thenDeleted;
  };
  const std::vector<Case> cases = {
      {"index left alone, row then deleted", false, true},
      {"index moved, row then deleted", true, true},
      {"index moved, row kept", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.tables["k"] = makeTable("k", {makeColumn("key", "int"), makeColumn("v", "string")});
    Table& keyed = db.tables.at("k");
    appendRow(keyed, {"1", "a"});
    keyed.setUpPrimaryKeyMap("key");
    db.beginTransaction();
    db.transactionLog.push_back(entry("UPDATE", "k", 0, keyed.rows[0]));
    keyed.rows[0].cells[0].value = "9";
    if (c.indexFollowsTheUpdate) {
      keyed.pkMap.erase("1");
      keyed.pkMap["9"] = 0;
    }
    if (c.thenDeleted) {
      markDeleted(keyed, 0);
      db.transactionLog.push_back(entry("DELETE", "k", 0));
    }
    db.rollbackTransaction();

    EXPECT_EQ(keyed.rows[0].cells[0].value, "1");
    using Entries = std::vector<std::pair<std::string, std::int32_t>>;
    EXPECT_EQ(Entries(keyed.pkMap.begin(), keyed.pkMap.end()), (Entries{{"1", 0}}));
    std::vector<Condition> byOldKey{where("key", "=", "1", 'o')};
    EXPECT_EQ(db.getRequestedRows(byOldKey, keyed).size(), 1u);
  }
}

TEST_F(TransactionTest, EntriesWhoseRowsAreGoneAreSkipped) {
  insertChild("1", "1", "a");
  const Table before = child();
  db.beginTransaction();
  for (const TransactionAction& stale :
       {entry("INSERT", "gone", 0), entry("DELETE", "gone", 0),
        entry("UPDATE", "gone", 0, child().rows[0]), entry("INSERT", "c", 5),
        entry("DELETE", "c", 9), entry("UPDATE", "c", -1, child().rows[0]),
        entry("MERGE", "c", 0)}) {
    db.transactionLog.push_back(stale);
  }
  db.rollbackTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_TRUE(db.transactionLog.empty());
  EXPECT_EQ(child().rows.size(), before.rows.size());
  EXPECT_EQ(child().pkMap.size(), before.pkMap.size());
  EXPECT_FALSE(db.tables.contains("gone"));
}

}  // namespace
