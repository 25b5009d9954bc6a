#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "model/number.h"
#include "model/result_set.h"
#include "model/stored_form.h"
#include "support/draws.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

using Texts = std::vector<std::string>;
using Values = std::vector<ResultValue>;

ResultValue text(const char* value) { return std::string(value); }
const ResultValue kNull = text("NULL");

// Compares a whole result; rows as a multiset, since their order is not
// defined, and rows_affected as the number of rows.
void expectResult(const ResultSet& actual, const std::string& message, const Texts& columns,
                  std::vector<Values> rows) {
  EXPECT_TRUE(actual.success);
  EXPECT_EQ(actual.message, message);
  EXPECT_EQ(actual.columns, columns);
  std::vector<Values> actualRows = actual.rows;
  std::sort(actualRows.begin(), actualRows.end());
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(actualRows, rows);
  EXPECT_EQ(actual.rows_affected, static_cast<std::int32_t>(rows.size()));
}

// A condition on a prefixed column.
Condition on(const std::string& table, const std::string& column, const std::string& op,
             const std::string& value, char gate = 'a') {
  Condition condition = where(column, op, value, gate);
  condition.table = table;
  return condition;
}

// The read lock is free again: nothing kept it, not even a throw.
void expectLockFree(Database& db) {
  ASSERT_TRUE(db.rwLock.try_lock());
  db.rwLock.unlock();
}

class SelectTest : public ::testing::Test {
 protected:
  Table& addTable(const std::string& name, const std::vector<Column>& columns) {
    return db.tables[name] = makeTable(name, columns);
  }

  Database db;
};

TEST_F(SelectTest, ValuesAreConvertedByTheDeclaredType) {
  Table& t =
      addTable("t", {makeColumn("i", "int"), makeColumn("a", "ApexInt"), makeColumn("f", "float"),
                     makeColumn("b", "bool"), makeColumn("s", "string")});
  appendRow(t, {"12.5", "3", "2.5", "1", "hi"});
  t.rows.back().cells[0].type = "string";  // the declared type decides, not the cell's
  appendRow(t, {" -7", kMissingValue, "-0.25", "true", kMissingValue});
  appendRow(t, {"+0", "4", "1e3", "TRUE", ""});
  appendRow(t, {"5", "6", "0", "0", "gone"});
  t.rows.back().cells.pop_back();  // a row without a cell of the column

  expectResult(db.select("t", {"s", "i", "a", "f", "b", "s"}, {}), "",
               {"s", "i", "a", "f", "b", "s"},
               {{text("hi"), 12, 3, 2.5f, true, text("hi")},
                {kNull, -7, kNull, -0.25f, true, kNull},
                {text(""), 0, 4, 1000.0f, false, text("")},
                {kNull, 5, 6, 0.0f, false, kNull}});
}

TEST_F(SelectTest, StoredTextsThatDoNotConvertComeBackAsText) {
  struct Case {
    const char* type;
    const char* stored;
    ResultValue expected;
  };
  const std::vector<Case> cases = {
      {"int", "abc", text("abc")},
      {"int", "", text("")},
      {"int", "99999999999", text("99999999999")},
      {"int", "-2147483649", text("-2147483649")},
      {"int", "-2147483648", std::int32_t{-2147483647 - 1}},
      {"ApexInt", "x1", text("x1")},
      {"ApexInt", "2147483648", text("2147483648")},
      {"float", "zz", text("zz")},
      {"float", "1e999", text("1e999")},
      {"float", ".", text(".")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " '" + c.stored + "'");
    Table& t = addTable("t", {makeColumn("v", c.type)});
    appendRow(t, {c.stored});
    expectResult(db.select("t", {"v"}, {}), "", {"v"}, {{c.expected}});
  }
}

TEST_F(SelectTest, TemporalValuesAreConvertedFromTheCurrentState) {
  Table& t = addTable("t", {makeColumn("v", "int", 3)});
  appendRow(t, {"5"});
  t.rows.back().cells[0].rule = makeRule({{"5", 10}, {"6", 0}}, 100);
  ScopedClock clock(105);
  expectResult(db.select("t", {"v"}, {}), "", {"v"}, {{5}});
  clock.set(110);
  expectResult(db.select("t", {"v"}, {}), "", {"v"}, {{6}});
  expectResult(db.select("t", {"v"}, {where("v", "=", "6", 'o')}), "", {"v"}, {{6}});
}

TEST_F(SelectTest, ReturnsTheLiveRowsThatSatisfyTheClause) {
  Table& t = addTable("t", {makeColumn("id", "int"), makeColumn("n", "string")});
  for (const char* key : {"1", "2", "3", "4"}) appendRow(t, {key, std::string("n") + key});
  markDeleted(t, 1);
  t.setUpPrimaryKeyMap("id");

  expectResult(db.select("t", {"id"}, {}), "", {"id"}, {{1}, {3}, {4}});
  // A prefix plays no part in a one-table select.
  expectResult(db.select("t", {"n", "id"},
                         {on("elsewhere", "id", ">", "2", 'o'), where("n", "=", "n1", 'o')}),
               "", {"n", "id"}, {{text("n3"), 3}, {text("n4"), 4}, {text("n1"), 1}});
  expectResult(db.select("t", {"id"}, {where("id", "=", "2", 'o')}), "", {"id"}, {});
}

TEST_F(SelectTest, AnUnknownColumnIsRefusedAndAMissingTableReadsEmpty) {
  Table& t = addTable("t", {makeColumn("id", "int")});
  appendRow(t, {"1"});

  EXPECT_EQ(thrownMessage([&] {
              db.select("t", {"id", "nope"}, {});
            }),
            "Requested column not found");
  expectLockFree(db);
  EXPECT_EQ(thrownMessage([&] { db.select("ghost", {"id"}, {}); }), "Requested column not found");
  expectResult(db.select("ghost", {}, {where("id", "=", "1", 'o')}), "", {}, {});
  EXPECT_EQ(db.tables.size(), 1u);
  EXPECT_FALSE(db.tables.contains("ghost"));
}

// Table a pairs on id, table b on aid; both have a column tag.
class JoinTest : public SelectTest {
 protected:
  struct Left {
    std::string id, x, tag;
    bool deleted = false;
  };
  struct Right {
    std::string aid, y, tag;
    bool deleted = false;
  };

  void SetUp() override {
    Table& a = addTable(
        "a", {makeColumn("id", "int"), makeColumn("x", "int"), makeColumn("tag", "string")});
    for (const Left& row : left) {
      appendRow(a, {row.id, row.x, row.tag});
      if (row.deleted) markDeleted(a, lastPosition(a));
    }
    Table& b = addTable(
        "b", {makeColumn("aid", "int"), makeColumn("y", "int"), makeColumn("tag", "string")});
    for (const Right& row : right) {
      appendRow(b, {row.aid, row.y, row.tag});
      if (row.deleted) markDeleted(b, lastPosition(b));
    }
  }

  static ResultValue number(const std::string& stored) {
    if (stored == kMissingValue) return kNull;
    return std::stoi(stored);
  }

  // The output row of left[i] paired with right[j].
  Values pairOf(std::size_t i, std::size_t j) const {
    const Left& l = left[i];
    const Right& r = right[j];
    return {number(l.id), number(l.x), l.tag, number(r.aid), number(r.y), r.tag};
  }

  // Every live pair with the same join text that `keep` accepts.
  std::vector<Values> pairsWhere(
      const std::function<bool(int x, int y, const Left&, const Right&)>& keep) const {
    std::vector<Values> pairs;
    for (std::size_t i = 0; i < left.size(); ++i) {
      for (std::size_t j = 0; j < right.size(); ++j) {
        const Left& l = left[i];
        const Right& r = right[j];
        if (l.deleted || r.deleted || l.id != r.aid || l.id == kMissingValue) continue;
        if (keep(std::stoi(l.x), std::stoi(r.y), l, r)) pairs.push_back(pairOf(i, j));
      }
    }
    return pairs;
  }

  ResultSet join(const std::vector<Condition>& conditions) {
    return db.selectJoin("a", "b", "id", "aid", {"a.x"}, conditions);
  }

  const Texts headers = {"a.id", "a.x", "a.tag", "b.aid", "b.y", "b.tag"};
  const std::vector<Left> left = {
      {"1", "10", "p"}, {"2", "20", "q"},           {"2", "21", "r"},       {"3", "30", "p"},
      {"7", "70", "p"}, {kMissingValue, "50", "p"}, {"1", "11", "p", true},
  };
  const std::vector<Right> right = {
      {"1", "100", "u"}, {"1", "101", "v"},           {"1", "102", "w"},
      {"2", "200", "u"}, {"2", "201", "p"},           {"07", "700", "u"},
      {"4", "400", "u"}, {kMissingValue, "900", "u"}, {"1", "103", "u", true},
  };
};

TEST_F(JoinTest, EveryPairOfEqualJoinTextsGivesOneRow) {
  // 1 x 3, 2 x 2 (two first rows share a value); 3 and 4 find no partner, 7
  // does not pair with 07, the marker pairs with nothing, tombstones never.
  const std::vector<Values> pairs = {pairOf(0, 0), pairOf(0, 1), pairOf(0, 2), pairOf(1, 3),
                                     pairOf(1, 4), pairOf(2, 3), pairOf(2, 4)};
  expectResult(join({}), "success!", headers, pairs);
  expectResult(join({}), "success!", headers,
               pairsWhere([](int, int, auto&, auto&) { return true; }));
}

TEST_F(JoinTest, TheMarkerNeverPairs) {
  // The first table's marker row alone: it offers no join value, so the
  // second table is read unfiltered, its own marker row included.
  expectResult(join({on("a", "x", "=", "50", 'o')}), "success!", headers, {});
  expectResult(join({on("a", "x", "=", "50", 'o'), on("b", "y", "=", "900")}), "success!", headers,
               {});
  expectResult(join({on("b", "y", ">", "0", 'o')}), "success!", headers,
               pairsWhere([](int, int, auto&, auto&) { return true; }));
}

TEST_F(JoinTest, ConditionsGoToTheTableTheyName) {
  struct Case {
    const char* shows;
    std::vector<Condition> conditions;
    std::vector<Values> expected;
  };
  const std::vector<Case> cases = {
      {"a column both tables have goes to the first",
       {where("tag", "=", "p", 'o')},
       {pairOf(0, 0), pairOf(0, 1), pairOf(0, 2)}},
      {"a prefix names the second", {on("b", "tag", "=", "p", 'o')}, {pairOf(1, 4), pairOf(2, 4)}},
      {"a column only the second has", {where("y", "<", "102", 'o')}, {pairOf(0, 0), pairOf(0, 1)}},
      {"one block over both tables is an AND",
       {on("a", "x", "=", "21", 'o'), on("b", "y", "=", "200")},
       {pairOf(2, 3)}},
      {"a first table without chosen rows, a second condition that never holds",
       {on("a", "x", "=", "999", 'o'), on("b", "y", "<", "abc")},
       {}},
      {"values past 32 bits on both tables",
       {on("a", "x", ">", "-99999999999", 'o'), on("b", "y", "<", "99999999999")},
       pairsWhere([](int, int, auto&, auto&) { return true; })},
      {"a value past 32 bits that no number exceeds", {on("b", "y", ">", "99999999999", 'o')}, {}},
      {"OR blocks over both tables with values past 64 bits",
       {on("a", "x", ">=", "99999999999999999999", 'o'),
        on("b", "y", "<=", "-99999999999999999999", 'o'), on("b", "y", "<", "101", 'o')},
       {pairOf(0, 0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    expectResult(join(c.conditions), "success!", headers, c.expected);
  }
}

TEST_F(JoinTest, ConditionsThatCannotBeRoutedAreRefused) {
  struct Case {
    const char* shows;
    std::string secondTable;
    std::vector<Condition> conditions;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"a prefix naming neither table",
       "b",
       {on("x", "c", "=", "1", 'o')},
       "Unknown table prefix 'x' in WHERE clause."},
      {"a column in neither table, after a good condition",
       "b",
       {on("a", "x", "=", "10", 'o'), where("zz", "=", "1")},
       "Column 'zz' not found in either table."},
      {"the bad condition in a later OR block",
       "b",
       {on("a", "x", "=", "10", 'o'), on("b", "y", "=", "1", 'o'), on("c", "y", "=", "1", 'o')},
       "Unknown table prefix 'c' in WHERE clause."},
      {"a missing second table's name",
       "ghost",
       {on("ghost", "y", "=", "1", 'o')},
       "Unknown table prefix 'ghost' in WHERE clause."},
      {"no prefix, a missing second table and a column neither has",
       "ghost",
       {where("y", "=", "1", 'o')},
       "Column 'y' not found in either table."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(
        thrownMessage([&] { db.selectJoin("a", c.secondTable, "id", "aid", {}, c.conditions); }),
        c.message);
    expectLockFree(db);
  }
  EXPECT_EQ(db.tables.size(), 2u);
}

TEST_F(JoinTest, MissingTablesAndJoinColumnsGiveHeadersOnly) {
  const Texts firstOnly = {"a.id", "a.x", "a.tag"};
  expectResult(db.selectJoin("a", "ghost", "id", "aid", {}, {}), "success!", firstOnly, {});
  expectResult(db.selectJoin("a", "ghost", "id", "aid", {}, {where("x", "=", "10", 'o')}),
               "success!", firstOnly, {});
  expectResult(db.selectJoin("ghost", "b", "id", "aid", {}, {}), "success!",
               {"b.aid", "b.y", "b.tag"}, {});
  expectResult(db.selectJoin("a", "b", "", "aid", {}, {}), "success!", headers, {});
  expectResult(db.selectJoin("a", "b", "id", "", {}, {}), "success!", headers, {});
  EXPECT_EQ(db.tables.size(), 2u);
}

TEST_F(JoinTest, AClauseWhoseOrBlocksReachBothTablesIsTestedOnEachPair) {
  using Keep = std::function<bool(int x, int y, const Left&, const Right&)>;
  struct Case {
    const char* clause;
    std::vector<Condition> conditions;
    Keep keep;
  };
  const std::vector<Case> cases = {
      {"a.x = 10 || b.y = 200",
       {on("a", "x", "=", "10", 'o'), on("b", "y", "=", "200", 'o')},
       [](int x, int y, auto&, auto&) { return x == 10 || y == 200; }},
      {"a.x = 20 && b.y = 201 || a.tag = 'r'",
       {on("a", "x", "=", "20", 'o'), on("b", "y", "=", "201"), on("a", "tag", "=", "r", 'o')},
       [](int x, int y, auto& l, auto&) { return (x == 20 && y == 201) || l.tag == "r"; }},
      {"tag = 'q' || b.tag = 'w' (the unprefixed tag is a's)",
       {where("tag", "=", "q", 'o'), on("b", "tag", "=", "w", 'o')},
       [](int, int, auto& l, auto& r) { return l.tag == "q" || r.tag == "w"; }},
      {"x > 15 || y < 101",
       {where("x", ">", "15", 'o'), where("y", "<", "101", 'o')},
       [](int x, int y, auto&, auto&) { return x > 15 || y < 101; }},
      {"b.y = 100 || a.x = 21 && b.y != 201",
       {on("b", "y", "=", "100", 'o'), on("a", "x", "=", "21", 'o'), on("b", "y", "!=", "201")},
       [](int x, int y, auto&, auto&) { return y == 100 || (x == 21 && y != 201); }},
      {"blocks on the second table only",
       {on("b", "y", "=", "100", 'o'), on("b", "y", "=", "201", 'o')},
       [](int, int y, auto&, auto&) { return y == 100 || y == 201; }},
      {"blocks on the first table only",
       {on("a", "x", "=", "10", 'o'), on("a", "x", "=", "21", 'o')},
       [](int x, int, auto&, auto&) { return x == 10 || x == 21; }},
      {"one block over both tables",
       {on("a", "x", "=", "10", 'o'), on("b", "y", ">=", "101")},
       [](int x, int y, auto&, auto&) { return x == 10 && y >= 101; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clause);
    const std::vector<Values> expected = pairsWhere(c.keep);
    EXPECT_FALSE(expected.empty());
    expectResult(join(c.conditions), "success!", headers, expected);
  }
}

TEST_F(JoinTest, ASelfJoinRoutesEveryConditionToTheFirstSide) {
  // Each row names its boss's key; the key is the primary key, so the
  // second side is reached through the index.
  Table& e = addTable("e", {makeColumn("id", "int"), makeColumn("boss", "int")});
  for (const auto& [id, boss] : std::vector<std::pair<const char*, const char*>>{
           {"1", kMissingValue}, {"2", "1"}, {"3", "1"}, {"4", "2"}}) {
    appendRow(e, {id, boss});
  }
  e.setUpPrimaryKeyMap("id");
  const Texts headers = {"e.id", "e.boss", "e.id", "e.boss"};
  const auto join = [&](const std::vector<Condition>& conditions) {
    return db.selectJoin("e", "e", "boss", "id", {}, conditions);
  };
  expectResult(join({}), "success!", headers, {{2, 1, 1, kNull}, {3, 1, 1, kNull}, {4, 2, 2, 1}});
  expectResult(join({on("e", "id", "=", "4", 'o')}), "success!", headers, {{4, 2, 2, 1}});
  expectResult(join({where("boss", "=", "1", 'o'), on("e", "id", "=", "4", 'o')}), "success!",
               headers, {{2, 1, 1, kNull}, {3, 1, 1, kNull}, {4, 2, 2, 1}});
}

// The join as it stood before its filters and readers were prepared once
// per command: conditions tested by comparing cells, partners kept in one
// vector per join text. The reference of the randomized test below; row
// selection itself is the engine's, which has a reference of its own.
class ReferenceJoin {
 public:
  explicit ReferenceJoin(Database& db) : db_(db) {}

  ResultSet run(const std::string& tableName, const std::string& joinTable,
                const std::string& primaryJoinCol, const std::string& secondaryJoinCol,
                const std::vector<Condition>& conditions) {
    Table emptyFirst;
    Table emptySecond;
    Table& first = tableOr(tableName, emptyFirst);
    Table& second = tableOr(joinTable, emptySecond);
    std::vector<Condition> firstConditions;
    std::vector<Condition> secondConditions;
    std::vector<const Table*> sides;
    for (const Condition& condition : conditions) {
      sides.push_back(route(condition, first, second));
      (sides.back() == &first ? firstConditions : secondConditions).push_back(condition);
    }
    std::vector<std::vector<std::pair<Condition, const Table*>>> pairBlocks;
    const bool splitOr =
        std::count_if(conditions.begin() + (conditions.empty() ? 0 : 1), conditions.end(),
                      [](const Condition& c) { return c.gate == 'o'; }) > 0;
    if (splitOr && !firstConditions.empty() && !secondConditions.empty()) {
      for (std::size_t i = 0; i < conditions.size(); ++i) {
        if (i == 0 || conditions[i].gate == 'o') pairBlocks.emplace_back();
        pairBlocks.back().emplace_back(conditions[i], sides[i]);
      }
      firstConditions.clear();
      secondConditions.clear();
    }

    ResultSet result;
    result.message = "success!";
    for (const Table* table : {&first, &second}) {
      for (const Column& column : table->columns) {
        result.columns.push_back(table->name + "." + column.name);
      }
    }
    const std::vector<Row*> t1Rows = db_.getRequestedRows(firstConditions, first);
    if (t1Rows.empty()) return result;
    std::vector<Condition> t2Conditions = secondConditions;
    if (t2Conditions.empty()) {
      std::unordered_set<std::string_view> needed;
      for (const Row* row : t1Rows) {
        if (const auto value = joinValue(*row, primaryJoinCol)) needed.insert(*value);
      }
      for (const std::string_view value : needed) {
        t2Conditions.push_back(Condition{second.name, secondaryJoinCol, std::string(value), "=",
                                         t2Conditions.empty() ? 'a' : 'o'});
      }
    }
    std::unordered_map<std::string_view, std::vector<const Row*>> joinMap;
    for (const Row* row : db_.getRequestedRows(t2Conditions, second)) {
      if (const auto value = joinValue(*row, secondaryJoinCol)) joinMap[*value].push_back(row);
    }
    for (const Row* firstRow : t1Rows) {
      const auto value = joinValue(*firstRow, primaryJoinCol);
      if (!value || !joinMap.contains(*value)) continue;
      for (const Row* secondRow : joinMap.at(*value)) {
        bool kept = pairBlocks.empty();
        for (const auto& block : pairBlocks) {
          bool all = true;
          for (const auto& [condition, side] : block) {
            all = all && holds(side == &first ? *firstRow : *secondRow, condition, *side);
          }
          kept = kept || all;
        }
        if (!kept) continue;
        auto& values = result.rows.emplace_back();
        for (const Column& column : first.columns) values.push_back(valueOf(*firstRow, column));
        for (const Column& column : second.columns) values.push_back(valueOf(*secondRow, column));
      }
    }
    result.rows_affected = static_cast<std::int32_t>(result.rows.size());
    return result;
  }

 private:
  Table& tableOr(const std::string& name, Table& empty) {
    const auto found = db_.tables.find(name);
    return found == db_.tables.end() ? empty : found->second;
  }

  static const Table* route(const Condition& condition, const Table& first, const Table& second) {
    if (!condition.table.empty()) {
      if (condition.table == first.name) return &first;
      if (condition.table == second.name) return &second;
      throw std::runtime_error("Unknown table prefix '" + condition.table + "' in WHERE clause.");
    }
    if (first.columnTypes.contains(condition.column)) return &first;
    if (second.columnTypes.contains(condition.column)) return &second;
    throw std::runtime_error("Column '" + condition.column + "' not found in either table.");
  }

  static const Cell* findCell(const Row& row, std::string_view column) {
    for (const Cell& cell : row.cells) {
      if (cell.column == column) return &cell;
    }
    return nullptr;
  }

  static std::optional<std::string_view> joinValue(const Row& row, std::string_view column) {
    const Cell* cell = findCell(row, column);
    if (cell == nullptr || cell->getVal() == kMissingValue) return std::nullopt;
    return cell->getVal();
  }

  static bool holds(const Row& row, const Condition& condition, const Table& table) {
    Cell right;
    right.column = condition.column;
    const auto type = table.columnTypes.find(condition.column);
    right.value =
        comparedForm(type == table.columnTypes.end() ? "" : type->second, condition.value);
    const std::string& op = condition.op;
    for (const Cell& cell : row.cells) {
      if (cell.column != condition.column) continue;
      const bool equal = cell.getVal() == right.getVal();
      if (((op == "=" || op == "==") && equal) || (op == "!=" && !equal) ||
          (op == "<" && cell < right) || (op == ">" && cell > right) ||
          (op == "<=" && (cell < right || equal)) || (op == ">=" && (cell > right || equal))) {
        return true;
      }
    }
    return false;
  }

  static ResultValue valueOf(const Row& row, const Column& column) {
    const Cell* cell = findCell(row, column.name);
    if (cell == nullptr || cell->getVal() == kMissingValue) return std::string("NULL");
    const std::string& text = cell->getVal();
    if (column.type == "int" || column.type == "ApexInt") {
      if (const auto number = toInt32(text)) return *number;
    } else if (column.type == "float") {
      if (const auto number = toFloat(text)) return *number;
    } else if (column.type == "bool") {
      return text == "true" || text == "1";
    }
    return text;
  }

  Database& db_;
};

// Random pairs of tables, keyed on their join columns or not, with shared
// and repeated join texts, spellings of one number, numbers past their
// type's range, markers, tombstones and chains, joined under random clauses: the JSON text of every
// result, and every refusal, must be the reference's.
TEST(JoinDifferentialTest, MatchesTheReferenceJoin) {
  ScopedClock clock(1000);
  std::mt19937 random(17);
  const Draws draw{random};
  const std::vector<std::string> types{"int", "ApexInt", "string", "float", "bool"};
  const std::vector<std::string> values{
      "1",      "2",   "07", "7",        "x",           kMissingValue,  "",
      "true",   "2.5", "-1", "1.000000", "99999999999", "-99999999999", "1e39",
      "-1e400", "0",   "-0"};
  const std::vector<std::string> ops{"=", "==", "!=", "<", ">", "<=", ">=", "<>"};
  const std::vector<std::string> names{"id", "x", "tag", "aid", "y", "nope", ""};
  for (int run = 0; run < 1500; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    clock.set(995 + static_cast<std::int64_t>(draw.below(12)));
    Database db;
    const auto build = [&](const std::string& name, const std::vector<std::string>& columns) {
      std::vector<Column> declared;
      for (const std::string& column : columns)
        declared.push_back(makeColumn(column, draw.pick(types)));
      Table& table = db.tables[name] = makeTable(name, declared);
      if (draw.chance(0.5)) {
        table.primaryKey = columns[0];
        table.pkMap = PrimaryKeyIndex(KeyComparator(declared[0].type));
      }
      for (int i = static_cast<int>(draw.below(12)); i > 0; --i) {
        std::vector<std::string> texts;
        for (std::size_t c = 0; c < columns.size(); ++c) texts.push_back(draw.pick(values));
        Row& row = appendRow(table, texts);
        if (draw.chance(0.1))
          row.cells[0].rule = makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995);
        const std::int32_t position = lastPosition(table);
        if (!table.primaryKey.empty()) table.pkMap.emplace(row.cells[0].value, position);
        if (draw.chance(0.15)) markDeleted(table, position);
      }
    };
    build("a", {"id", "x", "tag"});
    build("b", {"aid", "y", "tag"});
    const std::string firstName = draw.chance(0.9) ? "a" : draw.pick({"b", "ghost"});
    const std::string secondName = draw.chance(0.8) ? "b" : draw.pick({"a", "ghost"});
    const std::string primaryJoinCol = draw.chance(0.8) ? "id" : draw.pick(names);
    const std::string secondaryJoinCol = draw.chance(0.8) ? "aid" : draw.pick(names);
    std::vector<Condition> conditions;
    for (std::size_t i = draw.below(4); i > 0; --i) {
      Condition condition =
          where(draw.pick(names), draw.pick(ops), draw.pick(values), draw.chance(0.4) ? 'o' : 'a');
      if (draw.chance(0.4)) condition.table = draw.pick({"a", "b", "zz"});
      conditions.push_back(condition);
    }
    const auto joined = [&] {
      return db.selectJoin(firstName, secondName, primaryJoinCol, secondaryJoinCol, {}, conditions)
          .toJson();
    };
    const auto expected = [&] {
      return ReferenceJoin(db)
          .run(firstName, secondName, primaryJoinCol, secondaryJoinCol, conditions)
          .toJson();
    };
    std::string actualText;
    std::string expectedText;
    const std::string refused = thrownMessage([&] { actualText = joined(); });
    EXPECT_EQ(refused, thrownMessage([&] { expectedText = expected(); }));
    EXPECT_EQ(actualText, expectedText);
  }
}

// Joins whose second table is keyed on its join column, the case its index
// serves, against the chain of OR'd equalities the reference builds: first
// tables that repeat join texts and spell one number several ways, keys the
// index lacks or holds stale, chains and tombstones on both sides, markers,
// and a second column of the key's name, whose cells may pair where the key
// cell does not. The JSON text, row order included, must be the reference's.
TEST(JoinDifferentialTest, TheKeyProbeMatchesTheOrChain) {
  ScopedClock clock(1000);
  std::mt19937 random(31);
  const Draws draw{random};
  const std::vector<std::string> types{"int", "ApexInt", "string", "float", "bool"};
  const std::vector<std::string> values{"1",   "2",           "3",          "07", "7",
                                        "+7",  kMissingValue, "",           "x",  "true",
                                        "2.5", "2.500000",    "99999999999"};
  for (int run = 0; run < 1500; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    clock.set(995 + static_cast<std::int64_t>(draw.below(12)));
    Database db;
    Table& a = db.tables["a"] = makeTable("a", {makeColumn("id", "int"), makeColumn("x", "int")});
    for (int i = static_cast<int>(draw.below(20)); i > 0; --i) {
      Row& row = appendRow(a, {draw.pick(values), std::to_string(i)});
      if (draw.chance(0.1))
        row.cells[0].rule = makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995);
      if (draw.chance(0.1)) markDeleted(a, lastPosition(a));
    }
    const std::string keyType = draw.pick(types);
    std::vector<Column> declared{makeColumn("aid", keyType), makeColumn("y", "string")};
    if (draw.chance(0.3)) declared.push_back(makeColumn("aid", draw.pick(types)));
    Table& b = db.tables["b"] = makeTable("b", declared);
    b.primaryKey = "aid";
    b.pkMap = PrimaryKeyIndex(KeyComparator(keyType));
    for (int i = static_cast<int>(draw.below(12)); i > 0; --i) {
      Row& row = appendRow(b, {draw.pick(values), "r" + std::to_string(i), draw.pick(values)});
      const std::int32_t position = lastPosition(b);
      if (draw.chance(0.1))
        row.cells[0].rule = makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995);
      // Entered under either cell of the key's name, so that rows of one
      // join text can each be found by a value of its own.
      const Cell& keyCell = row.cells[declared.size() > 2 && draw.chance(0.5) ? 2 : 0];
      if (draw.chance(0.9)) b.pkMap.emplace(comparedForm(keyType, keyCell.value), position);
      if (draw.chance(0.15)) markDeleted(b, position);
    }
    for (std::size_t i = draw.below(3); i > 0; --i) {
      b.pkMap.emplace(draw.pick(values), static_cast<int>(draw.below(14)) - 1);
    }
    std::vector<Condition> conditions;
    if (draw.chance(0.3))
      conditions.push_back(on("a", "x", draw.pick({"<", ">", "!="}), draw.pick({"3", "8"})));
    const std::string actual = db.selectJoin("a", "b", "id", "aid", {}, conditions).toJson();
    EXPECT_EQ(actual, ReferenceJoin(db).run("a", "b", "id", "aid", conditions).toJson());
  }
}

// A look-up by key against the general path, which takes the same equality
// written twice: keys of every type under every spelling, chains in the key
// column, tombstones, stale and missing index entries, a second column of
// the key's name, and requested lists that repeat, reorder or miss names.
// The JSON text, or the refusal, must be the same.
TEST(SelectDifferentialTest, ALookUpByKeyMatchesTheGeneralPath) {
  ScopedClock clock(1000);
  std::mt19937 random(37);
  const Draws draw{random};
  const std::vector<std::string> types{"int", "ApexInt", "string", "float", "bool"};
  const std::vector<std::string> values{"1",  "2",    "7",    "07",  "+7",          kMissingValue,
                                        "",   "x",    "true", "2.5", "99999999999", "-2147483648",
                                        "-0", "1e39", "n\"q"};
  for (int run = 0; run < 2000; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    clock.set(995 + static_cast<std::int64_t>(draw.below(12)));
    Database db;
    std::vector<Column> declared{makeColumn("k", draw.pick(types)),
                                 makeColumn("s", draw.pick(types)),
                                 makeColumn("n", draw.pick(types))};
    if (draw.chance(0.2)) declared.push_back(makeColumn("k", draw.pick(types)));
    Table& t = db.tables["t"] = makeTable("t", declared);
    t.primaryKey = "k";
    t.pkMap = PrimaryKeyIndex(KeyComparator(declared[0].type));
    for (int i = static_cast<int>(draw.below(10)); i > 0; --i) {
      Row& row = appendRow(
          t, {draw.pick(values), draw.pick(values), draw.pick(values), draw.pick(values)});
      const std::int32_t position = lastPosition(t);
      if (draw.chance(0.2))
        row.cells[0].rule = makeRule({{draw.pick(values), 3}, {draw.pick(values), 5}}, 995);
      if (draw.chance(0.9))
        t.pkMap.emplace(comparedForm(declared[0].type, row.cells[0].value), position);
      if (draw.chance(0.15)) markDeleted(t, position);
    }
    if (draw.chance(0.3)) t.pkMap.emplace(draw.pick(values), static_cast<int>(draw.below(12)) - 1);
    std::vector<std::string> requested;
    if (draw.chance(0.5)) {
      for (const Column& column : declared) requested.push_back(column.name);
    } else {
      for (std::size_t i = draw.below(5); i > 0; --i)
        requested.push_back(draw.pick({"k", "s", "n", "zz"}));
    }
    const std::string table = draw.chance(0.95) ? "t" : "ghost";
    const std::string value = draw.pick(values);
    const auto json = [&](const std::vector<Condition>& conditions) {
      std::string text;
      const std::string refused =
          thrownMessage([&] { text = db.select(table, requested, conditions).toJson(); });
      return refused + text;
    };
    EXPECT_EQ(json({where("k", draw.pick({"=", "=="}), value)}),
              json({where("k", "=", value), where("k", "==", value)}));
  }
}

}  // namespace
