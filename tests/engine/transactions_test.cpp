#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/index_changes.h"
#include "support/rollback_state.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

// Changes made by hand the way insert, update and delete make them: the row
// change, the index changes, and the entry recorded through the engine.
struct HandWriter {
  Database& db;

  // Appends a row unless a live row holds its key; links, indexes and
  // records it. Returns the position, or none when refused.
  std::optional<std::int32_t> insert(const std::string& name, Row row) {
    Table& table = db.tables.at(name);
    const auto position = static_cast<std::int32_t>(table.rows.size());
    std::optional<std::string> key;
    if (!table.primaryKey.empty()) {
      key = row.cells[static_cast<std::size_t>(table.pkIndex)].getVal();
      const auto holder = table.pkMap.find(*key);
      if (holder != table.pkMap.end() && !table.rows[holder->second].deleted) return std::nullopt;
    }
    table.rows.push_back(std::move(row));
    try {
      db.linkRow(&table.rows.back(), name, true);
    } catch (const std::runtime_error&) {
      return std::nullopt;
    }
    std::vector<IndexChange> changes;
    if (key) changes.push_back(setIndexEntry(table.pkMap, *key, position));
    db.recordChange("INSERT", name, position, {}, changes);
    return position;
  }

  // Gives cell `column` of the row a new value, moving its index entry when
  // it is the key; refused when another live row holds the new key.
  bool update(const std::string& name, std::int32_t position, std::size_t column, Cell value) {
    Table& table = db.tables.at(name);
    Row& row = table.rows[static_cast<std::size_t>(position)];
    const Row before = row;
    std::vector<IndexChange> changes;
    Cell& cell = row.cells[column];
    value.column = cell.column;
    value.type = cell.type;
    if (!table.primaryKey.empty() && column == static_cast<std::size_t>(table.pkIndex)) {
      const std::string oldKey = cell.getVal();
      const std::string newKey = value.getVal();
      const auto holder = table.pkMap.find(newKey);
      if (holder != table.pkMap.end() && holder->second != position &&
          !table.rows[holder->second].deleted) {
        return false;
      }
      const auto own = table.pkMap.find(oldKey);
      if (own != table.pkMap.end() && own->second == position) {
        changes.push_back(eraseIndexEntry(table.pkMap, oldKey));
      }
      changes.push_back(setIndexEntry(table.pkMap, newKey, position));
    }
    cell = std::move(value);
    try {
      db.linkRow(&row, name, false);
    } catch (const std::runtime_error&) {
      // Kept all the same: a rollback must put back whatever was recorded.
    }
    db.recordChange("UPDATE", name, position, before, changes);
    return true;
  }

  void remove(const std::string& name, std::int32_t position) {
    markDeleted(db.tables.at(name), position);
    db.recordChange("DELETE", name, position);
  }
};

Row rowOf(const Table& table, const std::vector<std::string>& values) {
  Table scratch = makeTable(table.name, table.columns);
  return appendRow(scratch, values);
}

Cell plain(const std::string& value) {
  Cell cell;
  cell.value = value;
  return cell;
}

Cell chain(const std::vector<TempState>& states, std::int64_t insTime, bool isCycle = false) {
  Cell cell = plain(states.front().value);
  cell.rule = makeRule(states, insTime, isCycle);
  return cell;
}

// Parent p (id int, the key) and child c (cid ApexInt key, pid int linked to
// p.id, v string with state chains).
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

  std::int32_t insertChild(const std::string& cid, const std::string& pid, const std::string& v) {
    return writer.insert("c", rowOf(child(), {cid, pid, v})).value();
  }
  std::set<std::int32_t> referencesTo(std::int32_t parentRow) {
    const auto& links = parent().rows[static_cast<std::size_t>(parentRow)].links;
    const auto found = links.find({"c", "pid"});
    return found == links.end() ? std::set<std::int32_t>{} : found->second;
  }
  std::vector<Row*> byKey(Table& table, const std::string& key) {
    return db.getRequestedRows({where(table.primaryKey, "=", key, 'o')}, table);
  }

  Database db;
  HandWriter writer{db};
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

  db.recordChange("INSERT", "c", 0);  // nothing is recorded outside a transaction
  EXPECT_TRUE(db.transactionLog.empty());

  db.beginTransaction();
  db.rollbackTransaction();
  EXPECT_FALSE(db.inTransaction);
  EXPECT_EQ(child().rows.size(), 1u);
}

TEST_F(TransactionTest, LinkIsRefusedInsideATransaction) {
  db.tables["q"] = makeTable("q", {makeColumn("id", "int")});
  appendRow(db.tables.at("q"), {"1"});
  const std::string before = rollbackState(db, tableNames(db));
  db.beginTransaction();
  EXPECT_EQ(thrownMessage([&] { db.link("c", "pid", "q", "id"); }),
            "Cannot link tables while a transaction is active");
  EXPECT_EQ(rollbackState(db, tableNames(db)), before);
  EXPECT_TRUE(fileNames() == std::set<std::string>{"c-pid_p-id.rel"});
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
  writer.remove("c", row);
  parent().rows[1].links.clear();  // a restriction check pruned the tombstone
  db.rollbackTransaction();
  EXPECT_FALSE(child().rows[0].deleted);
  EXPECT_TRUE(child().deletedRows.empty());
  EXPECT_EQ(referencesTo(1), std::set<std::int32_t>{0});
  EXPECT_EQ(byKey(child(), "1").size(), 1u);
}

TEST_F(TransactionTest, UndoingUpdatesPutsTheWholeRowBack) {
  ScopedClock clock(2000);
  const std::int32_t row = insertChild("1", "1", "a");
  child().rows[0].cells[2].rule = makeRule({{"a", 5}, {"b", 10}, {"b", 10}}, 500, true);
  child().rows[0].links[{"grandchild", "fk"}] = {4};  // the row's own back-references
  child().rows[0].isReferenced = true;
  const Row before = child().rows[0];
  db.beginTransaction();
  writer.update("c", row, 2, plain("z"));
  writer.update("c", row, 1, plain("2"));
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
  writer.update("c", row, 2, plain("new"));
  writer.remove("c", row);
  db.rollbackTransaction();
  EXPECT_FALSE(child().rows[0].deleted);
  EXPECT_TRUE(child().deletedRows.empty());
  EXPECT_EQ(child().rows[0].cells[2].value, "old");
}

TEST_F(TransactionTest, EntriesWhoseRowsAreGoneAreSkipped) {
  insertChild("1", "1", "a");
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
// state it shows.
class KeyIndexRollbackTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.tables["k"] = makeTable("k", {makeColumn("key", "string", 3), makeColumn("v", "string")});
  }
  Table& keyed() { return db.tables.at("k"); }
  std::int32_t add(Cell key) {
    Row row = rowOf(keyed(), {"", "v"});
    key.column = "key";
    key.type = "string";
    row.cells[0] = std::move(key);
    return writer.insert("k", std::move(row)).value();
  }
  // Rolls back and checks that the tables are as they were at BEGIN.
  void expectRollbackRestores(const std::string& atBegin) {
    db.rollbackTransaction();
    EXPECT_EQ(rollbackState(db, tableNames(db)), atBegin);
  }

  ScopedClock clock{1000};
  Database db;
  HandWriter writer{db};
};

TEST_F(KeyIndexRollbackTest, UndoneDeleteOfAKeyWhoseChainMovedOnKeepsItsEntry) {
  keyed().setUpPrimaryKeyMap("key");
  add(chain({{"a", 5}, {"b", 10}}, 1000));  // entered under a
  clock.set(1007);                          // shows b now
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  writer.remove("k", 0);
  expectRollbackRestores(atBegin);
  // b is not a key of the index, so an insert of b is not a duplicate.
  EXPECT_TRUE(writer.insert("k", rowOf(keyed(), {"b", "v"})).has_value());
}

TEST_F(KeyIndexRollbackTest, UndoneDeletesOfTwoRowsShowingOneKeyKeepTheirEntries) {
  keyed().setUpPrimaryKeyMap("key");
  add(chain({{"a", 5}, {"b", 10}}, 1000));  // 0: entered under a
  add(plain("b"));                          // 1: b was free then
  clock.set(1007);                          // both rows show b
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  writer.remove("k", 1);
  writer.remove("k", 0);
  expectRollbackRestores(atBegin);
  EXPECT_EQ(keyed().pkMap.at("b"), 1);
}

TEST_F(KeyIndexRollbackTest, UndoneKeyUpdateThenDeleteLeavesTheOldEntry) {
  keyed().setUpPrimaryKeyMap("key");
  add(plain("a"));
  add(plain("z"));
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  ASSERT_TRUE(writer.update("k", 0, 0, plain("q")));
  writer.remove("k", 0);
  expectRollbackRestores(atBegin);
  // The live row keeps its entry, so its key stays refused.
  EXPECT_FALSE(writer.insert("k", rowOf(keyed(), {"a", "v"})).has_value());
}

TEST_F(KeyIndexRollbackTest, UndoneInsertGivesAReusedKeyBackToTheTombstone) {
  keyed().setUpPrimaryKeyMap("key");
  add(plain("a"));
  const std::string atBegin = rollbackState(db, tableNames(db));
  db.beginTransaction();
  writer.remove("k", 0);
  add(plain("a"));  // takes the tombstone's entry over
  expectRollbackRestores(atBegin);
  EXPECT_EQ(db.getRequestedRows({where("key", "=", "a", 'o')}, keyed()).size(), 1u);
}

TEST_F(KeyIndexRollbackTest, ForeignKeyUndoFindsEveryParentKeyItCan) {
  // c references p by pid and k by key; its key for k is missing: an empty
  // key (which a link skips) or a chain state whose parent row was deleted.
  struct Case {
    const char* shows;
    Cell childKey;
  };
  const std::vector<Case> cases = {
      {"an empty key", plain("")},
      {"a chain state whose parent row is gone", chain({{"gone", 5}, {"b", 10}}, 1000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.tables.clear();
    db.tables["p"] = makeTable("p", {makeColumn("id", "int")});
    db.tables["k"] = makeTable("k", {makeColumn("key", "string")});
    db.tables["c"] = makeTable("c", {makeColumn("pid", "int"), makeColumn("key", "string", 3)});
    appendRow(db.tables.at("p"), {"1"});
    appendRow(db.tables.at("k"), {"b"});
    appendRow(db.tables.at("k"), {"gone"});
    Row& childRow = appendRow(db.tables.at("c"), {"1"});
    childRow.cells[1] = c.childKey;
    childRow.cells[1].column = "key";
    clock.set(1007);  // the chain shows b: a link no longer needs "gone"
    db.link("c", "pid", "p", "id");
    db.link("c", "key", "k", "key");
    markDeleted(db.tables.at("k"), 1);

    db.beginTransaction();
    writer.remove("c", 0);
    // With the child a tombstone, the parent may go, and comes back.
    Row& parentRow = db.tables.at("p").rows[0];
    EXPECT_FALSE(db.isActivelyRestricted(&parentRow, "1"));
    db.rollbackTransaction();
    EXPECT_TRUE(db.isActivelyRestricted(&db.tables.at("p").rows[0], "1"));
    EXPECT_TRUE(db.tables.at("p").rows[0].isReferenced);
  }
}

// Random inserts, key updates, deletes and clock moves inside a transaction
// over a parent with an int key, a parent whose string key holds chains and
// a child linked to both; ROLLBACK must give back the state of BEGIN.
class RollbackDifferentialTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    setUpTables();
  }

  void setUpTables() {
    db.tables.clear();
    db.tables["p"] = makeTable("p", {makeColumn("id", "int"), makeColumn("name", "string")});
    db.tables["k"] = makeTable("k", {makeColumn("key", "string", 3), makeColumn("n", "int")});
    db.tables["c"] = makeTable("c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int"),
                                     makeColumn("kk", "string", 3)});
    for (const char* id : {"1", "2", "3", "4"}) appendRow(db.tables.at("p"), {id, "x"});
    for (const char* key : {"a", "b", "c"}) appendRow(db.tables.at("k"), {key, "0"});
    appendRow(db.tables.at("k"), {"d", "0"}).cells[0].rule = makeRule({{"d", 5}, {"e", 5}}, 1000);
    db.tables.at("c").setUpPrimaryKeyMap("cid");
    db.link("c", "pid", "p", "id");
    db.link("c", "kk", "k", "key");
    markDeleted(db.tables.at("p"), 3);  // a tombstone the index still lists
  }

  std::string pick(const std::vector<std::string>& pool) {
    return pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(random)];
  }
  Cell keyCell(const std::vector<std::string>& pool) {
    if (std::bernoulli_distribution(0.3)(random)) {
      return chain({{pick(pool), 3}, {pick(pool), 4}}, clock,
                   std::bernoulli_distribution(0.3)(random));
    }
    return plain(pick(pool));
  }
  // Some row of the table, live or not; none in an empty table.
  std::optional<std::int32_t> anyRow(const std::string& name) {
    const auto size = static_cast<std::int32_t>(db.tables.at(name).rows.size());
    if (size == 0) return std::nullopt;
    return std::uniform_int_distribution<std::int32_t>(0, size - 1)(random);
  }
  std::string nextIdentity() {
    const Table& c = db.tables.at("c");
    return c.rows.empty() ? "1" : std::to_string(std::stoi(c.rows.back().cells[0].getVal()) + 1);
  }

  void randomChange() {
    const std::vector<std::string> ids{"1", "2", "3", "4", "5", "6"};
    const std::vector<std::string> keys{"a", "b", "c", "d", "e", "f", ""};
    switch (std::uniform_int_distribution<int>(0, 8)(random)) {
      case 0:
        writer.insert("p", rowOf(db.tables.at("p"), {pick(ids), "y"}));
        break;
      case 1: {
        Row row = rowOf(db.tables.at("k"), {"", "1"});
        row.cells[0] = keyCell(keys);
        row.cells[0].column = "key";
        row.cells[0].type = "string";
        writer.insert("k", std::move(row));
        break;
      }
      case 2: {
        Row row = rowOf(db.tables.at("c"), {nextIdentity(), pick(ids), ""});
        row.cells[2] = keyCell(keys);
        row.cells[2].column = "kk";
        row.cells[2].type = "string";
        writer.insert("c", std::move(row));
        break;
      }
      case 3:
      case 4:
      case 5: {
        const std::string name = pick({"p", "k", "c"});
        const std::optional<std::int32_t> row = anyRow(name);
        if (!row) break;
        if (name == "p") writer.update("p", *row, 0, plain(pick(ids)));
        if (name == "k") writer.update("k", *row, 0, keyCell(keys));
        if (name == "c") {
          writer.update("c", *row, std::uniform_int_distribution<std::size_t>(1, 2)(random),
                        keyCell(keys));
        }
        break;
      }
      case 6:
      case 7: {
        const std::string name = pick({"p", "k", "c"});
        const std::optional<std::int32_t> row = anyRow(name);
        if (row && !db.tables.at(name).rows[static_cast<std::size_t>(*row)].deleted) {
          writer.remove(name, *row);
        }
        break;
      }
      default:
        clock += std::uniform_int_distribution<int>(1, 6)(random);
        pinned.set(clock);
    }
  }

  std::int64_t clock = 1000;
  ScopedClock pinned{clock};
  std::mt19937 random;
  Database db;
  HandWriter writer{db};
};

TEST_F(RollbackDifferentialTest, RollbackRestoresTheStateOfBegin) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    random.seed(seed);
    clock = 1000;
    pinned.set(clock);
    setUpTables();
    for (int i = std::uniform_int_distribution<int>(0, 6)(random); i > 0; --i) randomChange();
    const std::int64_t begin = clock;
    const std::vector<std::string> names = tableNames(db);
    const std::string atBegin = rollbackState(db, names);
    db.beginTransaction();
    for (int i = std::uniform_int_distribution<int>(1, 14)(random); i > 0; --i) randomChange();
    db.tables["made_inside"] = makeTable("made_inside", {makeColumn("x", "int")});
    db.rollbackTransaction();
    pinned.set(begin);
    ASSERT_EQ(rollbackState(db, names), atBegin);
  }
}

}  // namespace
