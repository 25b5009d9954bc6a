#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "engine/row_filter.h"
#include "model/stored_form.h"
#include "support/draws.h"
#include "support/number_reference.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

using Texts = std::vector<std::string>;

// An "int" primary key id with one live row per key 1..10; n repeats the key
// in a column without an index, s holds "s" + key, f the key and a half and
// b whether the key is even, numbers and flags held as a restart gives them
// back.
class SelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table =
        makeTable("t", {makeColumn("id", "int"), makeColumn("n", "int"), makeColumn("s", "string"),
                        makeColumn("f", "float"), makeColumn("b", "bool")});
    for (int key = 1; key <= 10; ++key) {
      const std::string text = std::to_string(key);
      appendRow(table, {text, text, "s" + text, storedForm("float", text + ".5"),
                        key % 2 == 0 ? "true" : "false"});
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
      {"a key value compares as its stored number", {where("id", "=", "07", 'o')}, keys({7})},
      {"two spellings of one key number agree",
       {where("id", "=", "7", 'o'), where("id", "==", "+7")},
       keys({7})},
      {"equality inside <= compares stored numbers",
       {where("n", "<=", "07", 'o')},
       keys({1, 2, 3, 4, 5, 6, 7})},
      {"not equal compares stored numbers",
       {where("n", "!=", "007", 'o'), where("n", "<", "9")},
       keys({1, 2, 3, 4, 5, 6, 8})},
      {"a float value compares as six decimals", {where("f", "=", "2.5", 'o')}, keys({2})},
      {"a bool value in capitals",
       {where("b", "=", "TRUE", 'o'), where("n", "<", "5")},
       keys({2, 4})},
      {"a word never matches the zero it would be stored as",
       {where("n", "!=", "abc", 'o')},
       keys({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
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
  EXPECT_EQ(table.columnTypes.size(), 5u);
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
  appendRow(table, {"11", "11", "s11", kMissingValue, "false"});
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
      {"the marker in a float column", where("f", "<", "100", 'o'),
       keys({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"the marker equals itself as text", where("f", "=", kMissingValue, 'o'), keys({11})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(select({c.condition}), c.expected);
  }
}

// A value the column's type cannot hold still compares by its value: every
// number lies below a positive one and above a negative one, through the
// key index as in a scan; a cell without a number holds as against any
// value; equality stays equality of texts.
TEST_F(SelectionTest, NumbersPastTheColumnTypeCompareByTheirValue) {
  appendRow(table, {"11", "11", "s11", kMissingValue, "false"});
  table.setUpPrimaryKeyMap("id");
  const Texts all = keys({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  const Texts withFloat = keys({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  struct Case {
    const char* shows;
    std::vector<Condition> conditions;
    Texts expected;
  };
  const std::vector<Case> cases = {
      {"below a value past 32 bits", {where("n", "<", "99999999999", 'o')}, all},
      {"up to it", {where("n", "<=", "99999999999", 'o')}, all},
      {"above it", {where("n", ">", "99999999999", 'o')}, {}},
      {"from it on", {where("n", ">=", "99999999999", 'o')}, {}},
      {"equal to it", {where("n", "=", "99999999999", 'o')}, {}},
      {"not equal to it", {where("n", "!=", "99999999999", 'o')}, all},
      {"just past the int range", {where("n", "<", "2147483648", 'o')}, all},
      {"above a negative one", {where("n", ">", "-99999999999", 'o')}, all},
      {"below a negative one", {where("n", "<", "-2147483649", 'o')}, {}},
      {"past 64 bits", {where("n", "<", "99999999999999999999", 'o')}, all},
      {"past 64 bits, negative", {where("n", ">=", "-99999999999999999999", 'o')}, all},
      {"the key below a value past 32 bits", {where("id", "<", "99999999999", 'o')}, all},
      {"the key above a negative one", {where("id", ">", "-99999999999", 'o')}, all},
      {"the key from a negative one on", {where("id", ">=", "-99999999999999999999", 'o')}, all},
      {"the key above a value past 32 bits", {where("id", ">", "99999999999", 'o')}, {}},
      {"the key below a negative one", {where("id", "<=", "-99999999999", 'o')}, {}},
      {"the key equal to a value past 32 bits", {where("id", "=", "99999999999", 'o')}, {}},
      {"the key not equal to it", {where("id", "!=", "99999999999", 'o')}, all},
      {"key bounds on both sides",
       {where("id", ">", "-99999999999", 'o'), where("id", "<", "5")},
       keys({1, 2, 3, 4})},
      {"key bounds on both sides, the other way",
       {where("id", ">", "8", 'o'), where("id", "<", "99999999999")},
       keys({9, 10, 11})},
      {"a float past single precision", {where("f", "<", "1e39", 'o')}, withFloat},
      {"above a negative one", {where("f", ">", "-1e39", 'o')}, withFloat},
      {"above it", {where("f", ">=", "1e39", 'o')}, {}},
      {"past double precision", {where("f", "<=", "1e400", 'o')}, withFloat},
      {"past double precision, negative", {where("f", "<", "-1e400", 'o')}, {}},
      {"too close to zero", {where("f", ">", "1e-50", 'o')}, withFloat},
      {"too close to zero, negative", {where("f", "<", "-1e-50", 'o')}, {}},
      {"equal to a float past single precision", {where("f", "=", "1e39", 'o')}, {}},
      {"not equal to it, the missing float included", {where("f", "!=", "1e39", 'o')}, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(select(c.conditions), c.expected);
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

// Row selection written straight from its definition, as the reference of
// the randomized tests below. The index is read as the list of its entries in
// key order, and its bounds are found by walking that list; keys and values
// are ordered by reading their numbers at whatever size they have.
class ReferenceSelection {
 public:
  explicit ReferenceSelection(const Table& table)
      : table_(table), entries_(indexEntries(table.pkMap)) {}

  // The positions in the order they are first kept: block by block, each
  // block's candidates in position or key order.
  std::vector<std::int32_t> select(const std::vector<Condition>& conditions) const {
    std::vector<std::vector<Condition>> blocks;
    for (std::size_t i = 0; i < conditions.size(); ++i) {
      if (i == 0 || conditions[i].gate == 'o') blocks.emplace_back();
      blocks.back().push_back(conditions[i]);
    }
    if (blocks.empty()) blocks.emplace_back();
    std::vector<std::int32_t> result;
    for (const auto& block : blocks) {
      for (const std::int32_t position : candidates(block)) {
        const bool listed = std::find(result.begin(), result.end(), position) != result.end();
        if (!listed && holds(table_.rows[static_cast<std::size_t>(position)], block)) {
          result.push_back(position);
        }
      }
    }
    return result;
  }

 private:
  bool isTombstone(std::int32_t position) const {
    return table_.deletedRows.contains(position) ||
           table_.rows[static_cast<std::size_t>(position)].deleted;
  }
  bool before(const std::string& a, const std::string& b) const {
    const std::string& type = table_.pkMap.key_comp().type;
    return type == "int" || type == "ApexInt" ? intKeyLess(a, b) : a < b;
  }

  // The typed order of two current texts, chosen by the row cell's type.
  static std::partial_ordering order(const std::string& type, const std::string& left,
                                     const std::string& right) {
    if (type == "int" || type == "ApexInt") {
      const auto x = wideInteger(left);
      const auto y = wideInteger(right);
      if (!x || !y) return std::partial_ordering::unordered;
      return *x <=> *y;
    }
    if (type == "float") {
      const auto x = wideFloat(left);
      const auto y = wideFloat(right);
      if (!x || !y) return std::partial_ordering::unordered;
      return *x <=> *y;
    }
    if (type == "bool") {
      if (left == "false" && right == "true") return std::partial_ordering::less;
      if (left == "true" && right == "false") return std::partial_ordering::greater;
      return std::partial_ordering::unordered;
    }
    if (type == "string") return left <=> right;
    return std::partial_ordering::unordered;
  }
  // The first entry from which `inRange` holds, or past the last one.
  template <typename Test>
  std::size_t firstWhere(Test inRange) const {
    std::size_t i = 0;
    while (i < entries_.size() && !inRange(entries_[i].first)) ++i;
    return i;
  }

  std::vector<std::int32_t> candidates(const std::vector<Condition>& block) const {
    std::vector<std::int32_t> positions;
    bool keyed = false;
    for (const Condition& condition : block) {
      keyed = keyed || (!table_.primaryKey.empty() && condition.column == table_.primaryKey);
    }
    if (!keyed) {
      for (std::size_t i = 0; i < table_.rows.size(); ++i) {
        if (!isTombstone(static_cast<std::int32_t>(i))) positions.push_back(static_cast<int>(i));
      }
      return positions;
    }
    std::size_t start = 0;
    std::size_t end = entries_.size();
    std::string exact;
    for (const Condition& condition : block) {
      if (condition.column != table_.primaryKey) continue;
      const std::string v = comparedForm(table_.columnTypes.at(table_.primaryKey), condition.value);
      const std::string& op = condition.op;
      if (op == "=" || op == "==") {
        if (!exact.empty() && exact != v) return {};
        exact = v;
        start =
            firstWhere([&](const std::string& key) { return !before(key, v) && !before(v, key); });
        if (start == entries_.size()) return {};
        end = start + 1;
      } else if (op == ">") {
        start = firstWhere([&](const std::string& key) { return before(v, key); });
      } else if (op == ">=") {
        start = firstWhere([&](const std::string& key) { return !before(key, v); });
      } else if (op == "<") {
        end = firstWhere([&](const std::string& key) { return !before(key, v); });
      } else if (op == "<=") {
        end = firstWhere([&](const std::string& key) { return before(v, key); });
      }
    }
    for (std::size_t i = start; i < end; ++i) {
      const std::int32_t position = entries_[i].second;
      const bool held = position >= 0 && static_cast<std::size_t>(position) < table_.rows.size();
      if (held && !isTombstone(position)) positions.push_back(position);
    }
    return positions;
  }

  bool holds(const Row& row, const std::vector<Condition>& block) const {
    for (const Condition& condition : block) {
      const auto type = table_.columnTypes.find(condition.column);
      const std::string right =
          comparedForm(type == table_.columnTypes.end() ? "" : type->second, condition.value);
      bool any = false;
      for (const Cell& cell : row.cells) {
        if (cell.column != condition.column) continue;
        const std::string& left = cell.getVal();
        const bool equal = left == right;
        const std::partial_ordering typed = order(cell.type, left, right);
        const std::string& op = condition.op;
        any = any || ((op == "=" || op == "==") && equal) || (op == "!=" && !equal) ||
              (op == "<" && typed < 0) || (op == ">" && typed > 0) ||
              (op == "<=" && (typed < 0 || equal)) || (op == ">=" && (typed > 0 || equal));
      }
      if (!any) return false;
    }
    return true;
  }

  const Table& table_;
  IndexEntries entries_;
};

std::vector<std::int32_t> positionsOf(const std::vector<Row*>& rows, const Table& table) {
  std::vector<std::int32_t> positions;
  for (const Row* row : rows)
    positions.push_back(static_cast<std::int32_t>(row - table.rows.data()));
  return positions;
}

// Tables whose index disagrees with their rows: keys entered under a state
// their chain has left, rows the index does not list, entries that point at
// tombstones, at other rows or past the end.
TEST(SelectionDifferentialTest, MatchesTheReferenceOnIndexesThatDisagreeWithTheRows) {
  ScopedClock clock(1000);
  std::mt19937 random(7);
  const Draws draw{random};
  const std::vector<std::string> values{"1",
                                        "2",
                                        "3",
                                        "5",
                                        "05",
                                        "abc",
                                        "",
                                        "2.5",
                                        "2.500000",
                                        "1e39",
                                        "-1e400",
                                        "1e-50",
                                        "99999999999",
                                        "-99999999999",
                                        "2147483648",
                                        "-99999999999999999999"};
  const std::vector<std::string> columns{"id", "id", "n", "s", "f", "missing"};
  const std::vector<std::string> ops{"=", "==", "!=", "<", ">", "<=", ">=", "<>"};
  Database db;
  for (int run = 0; run < 2000; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::string keyType = run % 2 == 0 ? "int" : "string";
    std::vector<Column> declared{makeColumn("id", keyType, 3), makeColumn("n", "int"),
                                 makeColumn("s", "string"), makeColumn("f", "float")};
    // A second column of the key's name lets one row show two key texts.
    if (run % 4 == 3) declared.push_back(makeColumn("id", keyType));
    Table table = makeTable("t", declared);
    table.primaryKey = "id";
    table.pkIndex = 0;
    table.pkMap = PrimaryKeyIndex(KeyComparator(keyType));
    const int rows = std::uniform_int_distribution<int>(0, 10)(random);
    for (int i = 0; i < rows; ++i) {
      Row& row = appendRow(table, {draw.pick(values), draw.pick(values), draw.pick(values),
                                   draw.pick(values), draw.pick(values)});
      if (draw.chance(0.3)) {
        row.cells[0].rule =
            makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995, draw.chance(0.5));
      }
      if (draw.chance(0.7)) table.pkMap.emplace(row.cells[0].value, i);  // the first state's key
      if (draw.chance(0.2)) markDeleted(table, i);
      if (draw.chance(0.1)) table.deletedRows.insert(i);
      if (draw.chance(0.1)) table.rows.back().deleted = true;
    }
    for (int stale = std::uniform_int_distribution<int>(0, 2)(random); stale > 0; --stale) {
      table.pkMap.emplace(draw.pick(values),
                          std::uniform_int_distribution<int>(-1, rows + 1)(random));
    }
    // Half the values are keys the index holds, so bounds land on entries.
    std::vector<std::string> keys;
    for (const auto& [key, position] : table.pkMap) keys.push_back(key.text());
    std::vector<Condition> conditions;
    for (int i = std::uniform_int_distribution<int>(0, 4)(random); i > 0; --i) {
      const std::string value =
          !keys.empty() && draw.chance(0.5) ? draw.pick(keys) : draw.pick(values);
      conditions.push_back(
          where(draw.pick(columns), draw.pick(ops), value, draw.chance(0.4) ? 'o' : 'a'));
    }
    EXPECT_EQ(positionsOf(db.getRequestedRows(conditions, table), table),
              ReferenceSelection(table).select(conditions));
  }
}

// Every column type, cells whose own type differs from their column's, state
// chains in any column, tombstones of both kinds, texts that do not convert
// and numbers past their type's range, against the same reference: the
// prepared form of each condition must test every row exactly as the rule
// reads.
TEST(SelectionDifferentialTest, MatchesTheReferenceOnEveryTypeAndOperator) {
  ScopedClock clock(1000);
  std::mt19937 random(13);
  const Draws draw{random};
  const std::vector<std::string> types{"int", "ApexInt", "float", "bool", "string", "other"};
  const std::vector<std::string> values{"1",           "2",
                                        "-3",          "05",
                                        "+7",          " 8",
                                        "2.5",         "2.500000",
                                        "1e3",         "inf",
                                        "nan",         "0x10",
                                        "true",        "TRUE",
                                        "false",       "0",
                                        "abc",         "",
                                        "12abc",       "99999999999",
                                        "-2147483648", "2147483647",
                                        "1.5e39",      "1e-40",
                                        kMissingValue, "b",
                                        "B",           "-99999999999",
                                        "2147483648",  "99999999999999999999",
                                        "-1e39",       "1e400",
                                        "-1e-400"};
  const std::vector<std::string> ops{"=", "==", "!=", "<", ">", "<=", ">=", "<>", ""};
  Database db;
  for (int run = 0; run < 3000; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    clock.set(995 + static_cast<std::int64_t>(draw.below(12)));  // any state of the chains below
    std::vector<Column> declared;
    for (int i = static_cast<int>(draw.below(4)) + 1; i > 0; --i) {
      declared.push_back(makeColumn("c" + std::to_string(draw.below(4)), draw.pick(types)));
    }
    Table table = makeTable("t", declared);
    const bool keyed = draw.chance(0.6);
    if (keyed) {
      table.primaryKey = declared[0].name;
      table.pkMap = PrimaryKeyIndex(KeyComparator(table.columnTypes.at(table.primaryKey)));
    }
    const int rows = static_cast<int>(draw.below(30));
    for (int i = 0; i < rows; ++i) {
      std::vector<std::string> texts;
      for (std::size_t c = 0; c < declared.size(); ++c) texts.push_back(draw.pick(values));
      Row& row = appendRow(table, texts);
      for (Cell& cell : row.cells) {
        if (draw.chance(0.1)) cell.type = draw.pick(types);
        if (draw.chance(0.15)) {
          cell.rule =
              makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995, draw.chance(0.5));
        }
      }
      if (draw.chance(0.1)) row.cells.pop_back();  // a row without its last cell
      if (keyed && !row.cells.empty() && draw.chance(0.8))
        table.pkMap.emplace(row.cells[0].value, i);
      if (draw.chance(0.1)) table.deletedRows.insert(i);
      if (draw.chance(0.1)) table.rows.back().deleted = true;
    }
    if (keyed && draw.chance(0.3))
      table.pkMap.emplace(draw.pick(values), static_cast<int>(draw.below(40)) - 5);
    std::vector<std::string> names{"missing"};
    for (const Column& column : declared) names.push_back(column.name);
    std::vector<Condition> conditions;
    const auto addRandom = [&] {
      for (std::size_t i = draw.below(3); i > 0; --i) {
        Condition condition = where(draw.pick(names), draw.pick(ops), draw.pick(values),
                                    draw.chance(0.4) ? 'o' : 'a');
        if (draw.chance(0.1)) condition.table = "elsewhere";
        conditions.push_back(condition);
      }
    };
    addRandom();
    // Equalities on one column OR'd together, as a join gives one per text.
    if (draw.chance(0.4)) {
      const std::string column = draw.pick(names);
      for (std::size_t i = draw.below(6); i > 0; --i) {
        conditions.push_back(where(column, draw.chance(0.5) ? "=" : "==", draw.pick(values), 'o'));
      }
    }
    addRandom();
    EXPECT_EQ(positionsOf(db.getRequestedRows(conditions, table), table),
              ReferenceSelection(table).select(conditions));
  }
}

// The key probe of a look-up and of a join against the conditions it stands
// for, run through the general path: one "=" block per value (a single value
// as the same equality twice in one block, which the look-up path does not
// take). Keys of every type, spellings that meet in one compared form,
// values the index lacks, chains in the key column, tombstones of both
// kinds, stale and missing index entries, rows without the key cell and a
// second column of the key's name: the same rows, in the same order.
TEST(KeyProbeDifferentialTest, ProbesKeepWhatTheirConditionsKeep) {
  ScopedClock clock(1000);
  std::mt19937 random(29);
  const Draws draw{random};
  const std::vector<std::string> types{"int", "ApexInt", "string", "float", "bool"};
  const std::vector<std::string> values{
      "1",           "2",    "7",           "07",    "+7",   " 7",   "7abc",
      "abc",         "",     kMissingValue, "2.5",   "true", "TRUE", "99999999999",
      "-2147483648", "1e39", "0.000",       "false", "-0"};
  Database db;
  for (int run = 0; run < 3000; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    clock.set(995 + static_cast<std::int64_t>(draw.below(12)));
    const std::string keyType = draw.pick(types);
    std::vector<Column> declared{makeColumn("k", keyType, 3), makeColumn("v", "string")};
    if (draw.chance(0.2)) declared.push_back(makeColumn("k", draw.pick(types)));
    Table table = makeTable("t", declared);
    table.primaryKey = "k";
    table.pkMap = PrimaryKeyIndex(KeyComparator(keyType));
    for (int i = static_cast<int>(draw.below(15)); i > 0; --i) {
      Row& row = appendRow(table, {draw.pick(values), draw.pick(values), draw.pick(values)});
      const std::int32_t position = lastPosition(table);
      if (draw.chance(0.2))
        row.cells[0].rule = makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995);
      if (draw.chance(0.8))
        table.pkMap.emplace(comparedForm(keyType, row.cells[0].value), position);
      if (draw.chance(0.05)) row.cells.clear();
      if (draw.chance(0.15)) markDeleted(table, position);
      if (draw.chance(0.05)) table.deletedRows.insert(position);
    }
    if (draw.chance(0.3))
      table.pkMap.emplace(draw.pick(values), static_cast<int>(draw.below(20)) - 2);
    std::vector<std::string> keys{draw.pick(values)};
    for (const auto& [key, position] : table.pkMap) keys.push_back(key.text());
    std::vector<std::string> probed;
    for (std::size_t i = draw.below(6) + 1; i > 0; --i) {
      probed.push_back(draw.pick(draw.chance(0.7) ? keys : values));
    }
    // The blocks of the first `count` values, by the general path: each
    // block adds what the probe of its value gives.
    const auto generalPath = [&](std::size_t count) {
      std::vector<Condition> conditions;
      for (std::size_t i = 0; i < count; ++i) conditions.push_back(where("k", "=", probed[i], 'o'));
      if (count == 1) conditions.push_back(where("k", "==", probed.front()));
      return positionsOf(db.getRequestedRows(conditions, table), table);
    };
    std::vector<std::int32_t> added;
    std::vector<std::int32_t> listed;
    for (std::size_t count = 1; count <= probed.size(); ++count) {
      const std::vector<std::int32_t> now = generalPath(count);
      ASSERT_LE(now.size(), listed.size() + 1);
      ASSERT_TRUE(std::equal(listed.begin(), listed.end(), now.begin()));
      added.push_back(now.size() > listed.size() ? now.back() : -1);
      listed = now;
    }
    const std::vector<std::string_view> views(probed.begin(), probed.end());
    std::vector<std::int32_t> probes;
    for (const Row* row : keyEqualityMatches(views, table)) {
      probes.push_back(row == nullptr ? -1 : static_cast<std::int32_t>(row - table.rows.data()));
    }
    EXPECT_EQ(probes, added);
    std::vector<Condition> conditions;
    for (const std::string& value : probed) conditions.push_back(where("k", "=", value, 'o'));
    EXPECT_EQ(listed, ReferenceSelection(table).select(conditions));
    if (probed.size() == 1) {
      EXPECT_EQ(positionsOf(db.getRequestedRows(conditions, table), table), listed);
    }
  }
}

}  // namespace
