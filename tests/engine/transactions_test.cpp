#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "support/rollback_state.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

// The writers as a command calls them, with their arguments built here.
struct Writes {
  Database& db;

  void insert(const std::string& table, std::initializer_list<Cell> cells) {
    std::map<std::string, Cell> values = row(cells);
    db.insertInto(table, values);
  }
  void update(const std::string& table, std::vector<Cell> assignments,
              std::vector<Condition> conditions) {
    db.update(table, assignments, conditions);
  }
  void remove(const std::string& table, std::vector<Condition> conditions) {
    db.deleteRows(table, conditions);
  }
};

// Parent p (id int, the key) and child c (cid ApexInt key, pid int linked to
// p.id, v string with state chains).
class TransactionTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.createTable("p", {makeColumn("id", "int")});
    db.createTable("c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int"),
                         makeColumn("v", "string", 3)});
    write.insert("p", {given("id", "1")});
    write.insert("p", {given("id", "2")});
    db.link("c", "pid", "p", "id");
  }

  Table& parent() { return db.tables.at("p"); }
  Table& child() { return db.tables.at("c"); }

  // Inserts a child row; returns its position.
  std::int32_t insertChild(const std::string& pid, const std::string& v) {
    write.insert("c", {given("pid", pid), given("v", v)});
    return lastPosition(child());
  }
  // The condition that selects the child row at `position`.
  static std::vector<Condition> childAt(std::int32_t position) {
    return {where("cid", "=", std::to_string(position + 1), 'o')};
  }
  std::set<std::int32_t> referencesTo(std::int32_t parentRow) {
    const auto& links = parent().rows[static_cast<std::size_t>(parentRow)].links;
    const auto found = links.find({"c", "pid"});
    return found == links.end() ? std::set<std::int32_t>{} : found->second;
  }

  Database db;
  Writes write{db};
};

TEST_F(TransactionTest, RefusalsLeaveTheStateAsItWas) {
  EXPECT_EQ(thrownMessage([&] { db.commitTransaction(); }), "No active transaction to commit!");
  EXPECT_EQ(thrownMessage([&] { db.rollbackTransaction(); }), "No active transaction to rollback!");
  EXPECT_FALSE(db.inTransaction);

  db.beginTransaction();
  insertChild("1", "a");
  EXPECT_EQ(thrownMessage([&] { db.beginTransaction(); }), "Transaction is already active!");
  EXPECT_TRUE(db.inTransaction);
  EXPECT_EQ(db.transactionLog.size(), 1u);
}

TEST_F(TransactionTest, CommitKeepsTheChangesAndRollbackOfNothingSucceeds) {
  db.beginTransaction();
  insertChild("1", "a");
  db.commitTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_TRUE(db.transactionLog.empty());
  EXPECT_EQ(child().rows.size(), 1u);

  db.recordChange("INSERT", "c", 0);  // nothing is recorded outside a transaction
  EXPECT_TRUE(db.transactionLog.empty());

  db.beginTransaction();
  db.rollbackTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_EQ(child().rows.size(), 1u);
}

TEST_F(TransactionTest, UndoingInsertsRemovesRowsKeysAndBackReferences) {
  insertChild("1", "a");
  db.tables["other"] = makeTable("other", {makeColumn("x", "int")});
  appendRow(db.tables.at("other"), {"1"});
  db.tables.at("other").rows[0].links[{"elsewhere", "fk"}] = {1, 2};
  db.tables.at("other").rows[0].links[{"c", "another"}] = {1, 2};

  db.beginTransaction();
  insertChild("1", "b");
  insertChild("2", "c");
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

  insertChild("1", "again");  // numbered as the rolled-back row was
  EXPECT_EQ(child().rows[1].cells[0].value, "2");
  EXPECT_EQ(child().pkMap.at("2"), 1);
}

TEST_F(TransactionTest, UndoingDeletesRevivesAndRelinksRows) {
  const std::int32_t row = insertChild("2", "a");
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  write.remove("c", childAt(row));
  write.remove("p", {where("id", "=", "2", 'o')});  // prunes the tombstone child
  EXPECT_TRUE(referencesTo(1).empty());
  db.rollbackTransaction();
  EXPECT_EQ(rollbackState(db, tableNames(db)), atBegin);
  EXPECT_EQ(referencesTo(1), std::set<std::int32_t>{0});
  EXPECT_EQ(db.getRequestedRows(childAt(row), child()).size(), 1u);
}

TEST_F(TransactionTest, UndoingUpdatesPutsTheWholeRowBack) {
  ScopedClock clock(2000);
  const std::int32_t row = insertChild("1", "a");
  child().rows[0].cells[2].rule = makeRule({{"a", 5}, {"b", 10}, {"b", 10}}, 500, true);
  child().rows[0].links[{"grandchild", "fk"}] = {4};  // the row's own back-references
  child().rows[0].isReferenced = true;
  const Row before = child().rows[0];
  db.beginTransaction();
  write.update("c", {given("v", "z")}, childAt(row));
  write.update("c", {given("pid", "2")}, childAt(row));
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
  const std::int32_t row = insertChild("1", "old");
  db.beginTransaction();
  write.update("c", {given("v", "new")}, childAt(row));
  write.remove("c", childAt(row));
  db.rollbackTransaction();
  EXPECT_FALSE(child().rows[0].deleted);
  EXPECT_TRUE(child().deletedRows.empty());
  EXPECT_EQ(child().rows[0].cells[2].value, "old");
}

TEST_F(TransactionTest, EntriesWhoseRowsAreGoneAreSkipped) {
  insertChild("1", "a");
  const std::string before = rollbackState(db, tableNames(db));
  db.beginTransaction();
  db.recordChange("INSERT", "gone", 0);
  db.recordChange("DELETE", "gone", 0);
  db.recordChange("UPDATE", "gone", 0, child().rows[0]);
  db.recordChange("INSERT", "c", 5);
  db.recordChange("DELETE", "c", 9);
  db.recordChange("UPDATE", "c", -1, child().rows[0]);
  db.recordChange("MERGE", "c", 0);
  db.rollbackTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_TRUE(db.transactionLog.empty());
  EXPECT_EQ(rollbackState(db, tableNames(db)), before);
  EXPECT_FALSE(db.tables.contains("gone"));
}

// A table k whose string key column holds chains: its index lists each row
// under the state it showed when it was entered, which may no longer be the
// state it shows. Its tag column names each row by its position.
class KeyIndexRollbackTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.tables["k"] = makeTable("k", {makeColumn("key", "string", 3), makeColumn("tag", "int")});
    db.tables.at("k").setUpPrimaryKeyMap("key");
  }
  Table& keyed() { return db.tables.at("k"); }
  void add(Cell key) {
    key.column = "key";
    write.insert("k", {key, given("tag", std::to_string(keyed().rows.size()))});
  }
  static std::vector<Condition> at(std::int32_t position) {
    return {where("tag", "=", std::to_string(position), 'o')};
  }
  // Rolls back and checks that the tables are as they were at BEGIN.
  void expectRollbackRestores(const std::string& atBegin) {
    db.rollbackTransaction();
    EXPECT_EQ(rollbackState(db, tableNames(db)), atBegin);
  }

  ScopedClock clock{1000};
  Database db;
  Writes write{db};
};

TEST_F(KeyIndexRollbackTest, UndoneDeleteOfAKeyWhoseChainMovedOnKeepsItsEntry) {
  add(givenChain("key", {{"a", 5}, {"b", 10}}, 1000));  // entered under a
  clock.set(1007);                                      // shows b now
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  write.remove("k", at(0));
  expectRollbackRestores(atBegin);
  add(given("key", "b"));  // b is no key of the index, so no duplicate
}

TEST_F(KeyIndexRollbackTest, UndoneDeletesOfTwoRowsShowingOneKeyKeepTheirEntries) {
  add(givenChain("key", {{"a", 5}, {"b", 10}}, 1000));  // 0: entered under a
  add(given("key", "b"));                               // 1: b was free then
  clock.set(1007);                                      // both rows show b
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  write.remove("k", at(1));
  write.remove("k", at(0));
  expectRollbackRestores(atBegin);
  EXPECT_EQ(keyed().pkMap.at("b"), 1);
}

TEST_F(KeyIndexRollbackTest, UndoneKeyUpdateThenDeleteLeavesTheOldEntry) {
  add(given("key", "a"));
  add(given("key", "z"));
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  write.update("k", {given("key", "q")}, at(0));
  write.remove("k", at(0));
  expectRollbackRestores(atBegin);
  // The live row keeps its entry, so its key stays refused.
  EXPECT_EQ(thrownMessage([&] { add(given("key", "a")); }), "Duplicate entry 'a' for primary key");
}

TEST_F(KeyIndexRollbackTest, UndoneInsertGivesAReusedKeyBackToTheTombstone) {
  add(given("key", "a"));
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  write.remove("k", at(0));
  add(given("key", "a"));  // takes the tombstone's entry over
  expectRollbackRestores(atBegin);
  EXPECT_EQ(db.getRequestedRows({where("key", "=", "a", 'o')}, keyed()).size(), 1u);
}

// Links write relation files: each test runs in a directory of its own.
class RollbackRelinkTest : public TempDirTest {};

TEST_F(RollbackRelinkTest, AnUndoneRowFindsEveryParentKeyItCan) {
  // c references p by pid and k by key; its key for k is missing: a chain
  // state whose parent row was deleted once the chain had moved past it.
  struct Case {
    const char* shows;
    Cell childKey;
  };
  const std::vector<Case> cases = {
      {"a chain state whose parent row is gone", givenChain("key", {{"gone", 5}, {"b", 10}}, 1000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    ScopedClock clock(1000);
    Database db;
    Writes write{db};
    db.tables["p"] = makeTable("p", {makeColumn("id", "int")});
    db.tables["k"] = makeTable("k", {makeColumn("key", "string")});
    db.tables["c"] = makeTable("c", {makeColumn("pid", "int"), makeColumn("key", "string", 3)});
    appendRow(db.tables.at("p"), {"1"});
    appendRow(db.tables.at("k"), {"b"});
    appendRow(db.tables.at("k"), {"gone"});
    Row& childRow = appendRow(db.tables.at("c"), {"1"});
    childRow.cells[1] = c.childKey;
    clock.set(1007);  // the chain shows b: the link needs "gone" no more
    db.link("c", "pid", "p", "id");
    db.link("c", "key", "k", "key");
    write.remove("k", {where("key", "=", "gone", 'o')});

    db.beginTransaction();
    write.remove("c", {});
    write.remove("p", {});  // allowed: its child is a tombstone
    db.rollbackTransaction();
    EXPECT_EQ(thrownMessage([&] { write.remove("p", {}); }),
              "Foreign key points at rows that were meant for deletion");
  }
}

TEST_F(RollbackRelinkTest, RowsDeletedTogetherFindTheirParentsAgain) {
  Database db;
  Writes write{db};
  db.tables["tree"] = makeTable("tree", {makeColumn("id", "int"), makeColumn("up", "int")});
  appendRow(db.tables.at("tree"), {"1", "1"});
  appendRow(db.tables.at("tree"), {"2", "1"});
  db.link("tree", "up", "tree", "id");
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  write.remove("tree", {});  // the child is revived before its parent
  db.rollbackTransaction();
  EXPECT_EQ(rollbackState(db, tableNames(db)), atBegin);
  EXPECT_EQ(thrownMessage([&] { write.remove("tree", {where("id", "=", "1", 'o')}); }),
            "Foreign key points at rows that were meant for deletion");
}

// Random inserts, updates (keys too), deletes and clock moves inside a
// transaction over a parent with an int key, a parent with a string key and
// chains beside it, a child linked to both through columns that hold chains
// and a table linked to itself; every refused command must change nothing,
// and ROLLBACK must give back the state of BEGIN.
class RollbackDifferentialTest : public TempDirTest {
 protected:
  void setUpTables() {
    db.tables.clear();
    db.tables["p"] = makeTable("p", {makeColumn("id", "int"), makeColumn("name", "string")});
    db.tables["k"] = makeTable("k", {makeColumn("key", "string"), makeColumn("n", "int", 3)});
    db.tables["c"] = makeTable("c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int", 3),
                                     makeColumn("kk", "string", 3)});
    for (const char* id : {"1", "2", "3", "4"}) appendRow(db.tables.at("p"), {id, "x"});
    for (const char* key : {"a", "b", "c"}) appendRow(db.tables.at("k"), {key, "0"});
    appendRow(db.tables.at("k"), {"d", "1"}).cells[1].rule = makeRule({{"1", 5}, {"2", 5}}, 1000);
    db.tables.at("c").setUpPrimaryKeyMap("cid");
    db.link("c", "pid", "p", "id");
    db.link("c", "kk", "k", "key");
    markDeleted(db.tables.at("p"), 3);  // a tombstone the index still lists
    // A table linked to itself: one delete can take a parent and its child.
    db.tables["tree"] = makeTable("tree", {makeColumn("id", "int"), makeColumn("up", "int")});
    for (const char* id : {"1", "2", "3"}) appendRow(db.tables.at("tree"), {id, "1"});
    db.link("tree", "up", "tree", "id");
  }

  std::string pick(const std::vector<std::string>& pool) {
    return pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(random)];
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(random); }
  Cell value(const std::string& column, const std::vector<std::string>& pool) {
    if (chance(0.3)) {
      return givenChain(column, {{pick(pool), 3}, {pick(pool), 4}}, clock, chance(0.3));
    }
    return given(column, pick(pool));
  }
  Condition condition(const std::string& column, const std::vector<std::string>& pool) {
    return where(column, pick({"=", "=", "!=", "<", ">="}), pick(pool), 'o');
  }

  void randomCommand() {
    const std::vector<std::string> ids{"1", "2", "3", "4", "5", "6"};
    const std::vector<std::string> keys{"a", "b", "c", "d", "e", "f"};
    const std::vector<std::string> numbers{"0", "1", "2"};
    switch (std::uniform_int_distribution<int>(0, 12)(random)) {
      case 0:
        write.insert("p", {given("id", pick(ids)), given("name", pick(keys))});
        break;
      case 1:
        write.insert("k", {given("key", pick(keys)), value("n", numbers)});
        break;
      case 2:
        write.insert("c", {value("pid", ids), value("kk", keys)});
        break;
      case 3:
        write.update("p", {given(pick({"id", "name"}), pick(ids))}, {condition("id", ids)});
        break;
      case 4:
        write.update("k", {chance(0.5) ? given("key", pick(keys)) : value("n", numbers)},
                     {condition(pick({"key", "n"}), keys)});
        break;
      case 5:
        write.update("c", {chance(0.5) ? value("pid", ids) : value("kk", keys)},
                     {condition("cid", numbers)});
        break;
      case 6:
        write.remove("p", {condition("id", ids)});
        break;
      case 7:
        write.remove("k", {condition("key", keys)});
        break;
      case 8:
        write.remove("c", {condition(pick({"cid", "pid", "kk"}), ids)});
        break;
      case 9:
        write.insert("tree", {given("id", pick(ids)), given("up", pick(ids))});
        break;
      case 10:
        write.update("tree", {given(pick({"id", "up"}), pick(ids))}, {condition("id", ids)});
        break;
      case 11:
        write.remove("tree", {condition(pick({"id", "up"}), ids)});
        break;
      default:
        clock += std::uniform_int_distribution<int>(1, 6)(random);
        pinned.set(clock);
    }
  }

  // A command that fails must leave everything as it was.
  void randomCommandAtomically() {
    const std::string before = wholeState(db);
    try {
      randomCommand();
    } catch (const std::runtime_error& refused) {
      ASSERT_EQ(wholeState(db), before) << refused.what();
      ++refusals;
    }
  }

  std::int64_t clock = 1000;
  ScopedClock pinned{clock};
  std::mt19937 random;
  Database db;
  Writes write{db};
  int refusals = 0;
};

TEST_F(RollbackDifferentialTest, RollbackRestoresTheStateOfBegin) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    random.seed(seed);
    clock = 1000;
    pinned.set(clock);
    setUpTables();
    for (int i = std::uniform_int_distribution<int>(0, 8)(random); i > 0; --i) {
      ASSERT_NO_FATAL_FAILURE(randomCommandAtomically());
    }
    const std::int64_t begin = clock;
    const std::vector<std::string> names = tableNames(db);
    const std::string atBegin = rollbackState(db, names);
    db.beginTransaction();
    for (int i = std::uniform_int_distribution<int>(1, 16)(random); i > 0; --i) {
      ASSERT_NO_FATAL_FAILURE(randomCommandAtomically());
    }
    db.createTable("made_inside", {makeColumn("x", "int")});
    db.rollbackTransaction();
    db.dropTable("made_inside");
    pinned.set(begin);
    ASSERT_EQ(rollbackState(db, names), atBegin);
  }
  EXPECT_GT(refusals, 100);  // the refusals are exercised too
}

}  // namespace
