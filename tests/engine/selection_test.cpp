#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/database.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

using Texts = std::vector<std::string>;

// An "int" primary key id with one live row per key 1..10; n repeats the key
// in a column without an index, s holds "s" + key.
class SelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table = makeTable("t", {makeColumn("id", "int"), makeColumn("n", "int"),
                            makeColumn("s", "string"), makeColumn("f", "float")});
    for (int key = 1; key <= 10; ++key) {
      const std::string text = std::to_string(key);
      appendRow(table, {text, text, "s" + text, text + ".5"});
    }
    table.setUpPrimaryKeyMap("id");
  }

  Texts select(const std::vector<Condition>& conditions) {
    return valuesOf(db.getRequestedRows(conditions, table), 0);
  }

  static Texts keys(std::initializer_list<int> list) {
    Texts texts;
    for (const int key : list) texts.push_back(std::to_string(key));
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  Database db;
  Table table;
};

TEST_F(SelectionTest, KeyBoundsReplaceEachOtherAndRowsAreTestedAfterTheIndex) {
  struct Case {
    const char* shows;
    std::vector<Condition> conditions;
    Texts expected;
  };
  const std::vector<Case> cases = {
      {"two different equalities", {where("id", "=", "3", 'o'), where("id", "=", "4")}, {}},
      {"the same equality twice", {where("id", "=", "3", 'o'), where("id", "==", "3")}, keys({3})},
      {"a range that never starts", {where("id", ">", "5", 'o'), where("id", "<", "3")}, {}},
      {"a later bound replaces the equality's start",
       {where("id", "=", "7", 'o'), where("id", ">", "8")},
       {}},
      {"a later equality sets both bounds",
       {where("id", ">", "5", 'o'), where("id", "=", "7")},
       keys({7})},
      {"the range covers 7 and 8, the row test keeps 7",
       {where("id", "=", "7", 'o'), where("id", "<", "9")},
       keys({7})},
      {"not equal walks the whole index",
       {where("id", "!=", "7", 'o')},
       keys({1, 2, 3, 4, 5, 6, 8, 9, 10})},
      {"numeric index match, different text", {where("id", "=", "07", 'o')}, {}},
      {"equality inside <= is textual", {where("n", "<=", "07", 'o')}, keys({1, 2, 3, 4, 5, 6})},
      {"lower bounds on the key", {where("id", ">=", "9", 'o')}, keys({9, 10})},
      {"upper bounds on the key", {where("id", "<=", "2", 'o')}, keys({1, 2})},
      {"scan with a typed order", {where("n", ">", "8", 'o')}, keys({9, 10})},
      {"string order", {where("s", "<", "s2", 'o')}, keys({1, 10})},
      {"float order", {where("f", ">=", "9.5", 'o')}, keys({9, 10})},
      {"unknown operator", {where("n", "<>", "3", 'o')}, {}},
      {"unknown operator on the key leaves the range",
       {where("id", "<>", "3", 'o'), where("n", "=", "3")},
       {}},
      {"no conditions", {}, keys({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(select(c.conditions), c.expected);
  }
}

TEST_F(SelectionTest, OrBlocksAreUnitedWithoutDuplicates) {
  struct Case {
    const char* shows;
    std::vector<Condition> conditions;
    Texts expected;
  };
  const std::vector<Case> cases = {
      {"one row kept by three blocks",
       {where("id", "=", "2", 'o'), where("n", "=", "2", 'o'), where("s", "=", "s2", 'o'),
        where("id", "=", "3", 'o')},
       keys({2, 3})},
      {"AND binds tighter than OR",
       {where("n", ">", "8", 'o'), where("s", "=", "s9"), where("id", "=", "1", 'o')},
       keys({1, 9})},
      {"a first condition carrying 'o' opens no extra block",
       {where("id", "=", "4", 'o'), where("n", "=", "4")},
       keys({4})},
      {"a block on a missing column keeps nothing, the others still count",
       {where("nope", "=", "1", 'o'), where("id", "=", "4", 'o')},
       keys({4})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    const std::vector<Row*> rows = db.getRequestedRows(c.conditions, table);
    EXPECT_EQ(valuesOf(rows, 0), c.expected);
  }
  EXPECT_EQ(table.columnTypes.size(), 4u);
  EXPECT_FALSE(table.columnTypes.contains("nope"));
}

TEST_F(SelectionTest, TombstonesAreNeverListed) {
  markDeleted(table, 4);          // key 5: flag and set
  table.deletedRows.insert(5);    // key 6: the set alone suffices
  table.rows[6].deleted = true;   // key 7: the flag alone suffices
  table.pkMap.emplace("11", 42);  // an entry past the end of the rows
  const Texts live = keys({1, 2, 3, 4, 8, 9, 10});
  EXPECT_EQ(select({}), live);
  EXPECT_EQ(select({where("id", ">", "0", 'o')}), live);
  for (const char* key : {"5", "6", "7", "11"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(select({where("id", "=", key, 'o')}), Texts{});
    EXPECT_EQ(select({where("n", "=", key, 'o')}), Texts{});
  }
}

TEST_F(SelectionTest, TablePrefixIsIgnored) {
  Condition prefixed = where("id", "=", "3", 'o');
  prefixed.table = "elsewhere";
  EXPECT_EQ(select({prefixed}), keys({3}));
}

TEST_F(SelectionTest, ValuesThatDoNotConvertNeverHold) {
  appendRow(table, {"11", "11", "s11", kMissingValue});
  table.setUpPrimaryKeyMap("id");
  struct Case {
    const char* shows;
    Condition condition;
    Texts expected;
  };
  const std::vector<Case> cases = {
      {"a word against the key", where("id", "=", "abc", 'o'), {}},
      {"a word above every key", where("id", ">", "abc", 'o'), {}},
      {"a word below which every key lies", where("id", "<", "abc", 'o'), {}},
      {"a word against a plain int column", where("n", ">=", "abc", 'o'), {}},
      {"a number too large for int", where("n", "<", "99999999999", 'o'), {}},
      {"the marker in a float column", where("f", "<", "100", 'o'),
       keys({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"the marker equals itself as text", where("f", "=", kMissingValue, 'o'), keys({11})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(select({c.condition}), c.expected);
  }
}

// Only a remembered non-empty "=" value rules out a later different one; a
// row can show both texts when its table declares the key column twice.
TEST(SelectionEqualityTest, AnEmptyEqualityIsNoRememberedValue) {
  Database db;
  Table table = makeTable("t", {makeColumn("id", "string"), makeColumn("id", "string")});
  appendRow(table, {"", "q"});  // key ""
  appendRow(table, {"x", ""});  // key "x", and "" in the second id column
  table.setUpPrimaryKeyMap("id");
  struct Case {
    const char* shows;
    std::vector<Condition> conditions;
    std::vector<std::string> expected;  // texts of the first id column
  };
  const std::vector<Case> cases = {
      {"'' then 'x': the later equality narrows, the row test keeps both texts",
       {where("id", "=", "", 'o'), where("id", "=", "x")},
       {"x"}},
      {"'x' then '': a remembered value differs",
       {where("id", "=", "x", 'o'), where("id", "=", "")},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(valuesOf(db.getRequestedRows(c.conditions, table), 0), c.expected);
  }
}

TEST(SelectionChainTest, TemporalCellsMatchTheirCurrentState) {
  ScopedClock clock(1000);
  Database db;
  Table table = makeTable("t", {makeColumn("st", "string", 3)});
  appendRow(table, {"a"});
  table.rows[0].cells[0].rule = makeRule({{"a", 5}, {"b", 10}, {"c", 10}}, 1000, false);
  const std::vector<Condition> isA{where("st", "=", "a", 'o')};
  const std::vector<Condition> isB{where("st", "=", "b", 'o')};
  EXPECT_EQ(db.getRequestedRows(isA, table).size(), 1u);
  clock.set(1007);
  EXPECT_TRUE(db.getRequestedRows(isA, table).empty());
  EXPECT_EQ(db.getRequestedRows(isB, table).size(), 1u);
}

}  // namespace
