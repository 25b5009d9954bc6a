#include "model/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/number_reference.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

// Builds tables row by row: every row gets one plain cell per column.
class TableTest : public ::testing::Test {
 protected:
  void addColumn(const std::string& name, const std::string& type) {
    Column column;
    column.name = name;
    column.type = type;
    table.columns.push_back(column);
    table.columnTypes[name] = type;
  }

  Row& addRow(const std::vector<std::string>& values, bool deleted = false) {
    Row row;
    row.tableName = table.name;
    for (std::size_t i = 0; i < values.size(); ++i) {
      Cell cell;
      cell.value = values[i];
      cell.column = table.columns[i].name;
      cell.type = table.columns[i].type;
      row.cells.push_back(std::move(cell));
    }
    row.deleted = deleted;
    if (deleted) table.deletedRows.insert(static_cast<std::int32_t>(table.rows.size()));
    table.rows.push_back(std::move(row));
    return table.rows.back();
  }

  // Runs the set-up and returns the error text, "" when it succeeded.
  std::string setUpKey(const std::string& column) {
    try {
      table.setUpPrimaryKeyMap(column);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "";
  }

  Table table;
};

TEST_F(TableTest, NewRecordsHaveTheirDefaults) {
  const Column column;
  EXPECT_EQ(column.name, "");
  EXPECT_EQ(column.type, "");
  EXPECT_EQ(column.maxStates, 3);
  EXPECT_EQ(column.size, 60);

  const Row row;
  EXPECT_EQ(row.tableName, "");
  EXPECT_TRUE(row.cells.empty());
  EXPECT_TRUE(row.links.empty());
  EXPECT_FALSE(row.isReferenced);
  EXPECT_FALSE(row.deleted);

  const Table fresh;
  EXPECT_EQ(fresh.primaryKey, "");
  EXPECT_EQ(fresh.pkIndex, 0);
  EXPECT_TRUE(fresh.pkMap.empty());
  EXPECT_EQ(fresh.pkMap.key_comp().type, "string");
  EXPECT_EQ(KeyComparator().type, "string");
}

TEST_F(TableTest, ColumnsAreEqualByNameAlone) {
  Column a;
  a.name = "id";
  a.type = "int";
  Column b;
  b.name = "id";
  b.type = "string";
  b.maxStates = 0;
  b.size = 10;
  Column c;
  c.name = "ID";
  c.type = "int";
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
}

TEST_F(TableTest, ForeignRelationHashesAndComparesBothFields) {
  const std::hash<std::string> text;
  const std::hash<ForeignRelation> relation;
  const ForeignRelation pairs[] = {{"orders", "customer"}, {"", ""}, {"a", "b"}, {"b", "a"}};
  for (const auto& r : pairs) {
    SCOPED_TRACE(r.table + "." + r.column);
    EXPECT_EQ(relation(r), text(r.table) ^ (text(r.column) << 1));
  }
  EXPECT_TRUE((ForeignRelation{"a", "b"} == ForeignRelation{"a", "b"}));
  EXPECT_FALSE((ForeignRelation{"a", "b"} == ForeignRelation{"b", "a"}));
  EXPECT_FALSE((ForeignRelation{"a", "b"} == ForeignRelation{"a", "c"}));

  Row parent;
  parent.links[{"orders", "customer"}].insert(3);
  parent.links[{"orders", "customer"}].insert(1);
  parent.links[{"invoices", "customer"}].insert(2);
  ASSERT_EQ(parent.links.size(), 2u);
  EXPECT_EQ(parent.links.at({"orders", "customer"}), (std::set<std::int32_t>{1, 3}));
}

TEST_F(TableTest, KeyComparatorOrdersNumbersThenOtherTextsByBytes) {
  std::vector<std::string> keys = {"abc", "10", "#/#?", "+7", "2147483648",          "-2147483649",
                                   "-3",  "x",  "9",    "",   "99999999999999999999"};
  std::sort(keys.begin(), keys.end(), KeyComparator("int"));
  // A number past the int range still lies where its value puts it.
  EXPECT_EQ(keys, (std::vector<std::string>{"-2147483649", "-3", "+7", "9", "10", "2147483648",
                                            "99999999999999999999", "", "#/#?", "abc", "x"}));
}

TEST_F(TableTest, KeyComparatorDecidesWhichTextsAreOneKey) {
  struct Case {
    const char* type;
    std::string a;
    std::string b;
    bool sameKey;
  };
  const Case cases[] = {
      {"int", "7", "07", true},
      {"int", "7", "+7", true},
      {"int", "7", "7x", true},
      {"int", "7", " 7", true},
      {"ApexInt", "07", "7x", true},
      {"int", "7", "8", false},
      {"int", "-0", "0", true},
      {"int", "x", "x", true},
      {"int", "x", "y", false},
      {"int", "2147483648", "2147483649", false},
      {"int", "2147483648", "02147483648", true},
      {"int", "-99999999999999999999", "-99999999999999999999x", true},
      {"int", "99999999999999999999", "-99999999999999999999", false},
      {"int", "7", "seven", false},
      {"string", "7", "07", false},
      {"float", "9", "9.0", false},
      {"bool", "true", "true", true},
      {"Int", "7", "07", false},
      {"", "7", "07", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + ": '" + c.a + "' vs '" + c.b + "'");
    const KeyComparator before(c.type);
    const bool same = !before(c.a, c.b) && !before(c.b, c.a);
    EXPECT_EQ(same, c.sameKey);
  }
}

TEST_F(TableTest, KeyComparatorIsAStrictWeakOrderingForEveryText) {
  const std::vector<std::string> keys = {
      "",   "0",  "-0",  "7",           "07",          "7x",
      "+7", "-8", "x",   "#/#?",        "2147483648",  "\xff",
      " ",  "10", "abc", "02147483648", "-2147483649", "99999999999999999999"};
  for (const char* type : {"int", "ApexInt", "string"}) {
    SCOPED_TRACE(type);
    const KeyComparator less(type);
    const auto same = [&](const std::string& a, const std::string& b) {
      return !less(a, b) && !less(b, a);
    };
    for (const auto& a : keys) {
      EXPECT_FALSE(less(a, a)) << a;
      for (const auto& b : keys) {
        EXPECT_FALSE(less(a, b) && less(b, a)) << a << " / " << b;
        for (const auto& c : keys) {
          if (less(a, b) && less(b, c)) {
            EXPECT_TRUE(less(a, c)) << a << " < " << b << " < " << c;
          }
          if (same(a, b) && same(b, c)) {
            EXPECT_TRUE(same(a, c)) << a << " ~ " << b << " ~ " << c;
          }
        }
      }
    }
  }
}

TEST_F(TableTest, IntIndexFindsKeysByNumberAndKeepsOtherTexts) {
  PrimaryKeyIndex index{KeyComparator("int")};
  index.emplace("7", 0);
  index.emplace("#/#?", 1);
  index.emplace("abc", 2);
  EXPECT_FALSE(index.emplace("07", 3).second);
  EXPECT_EQ(index.at("+7"), 0);
  EXPECT_EQ(index.at("#/#?"), 1);
  EXPECT_EQ(index.find("ab"), index.end());
  EXPECT_EQ(indexEntries(index), (IndexEntries{{"7", 0}, {"#/#?", 1}, {"abc", 2}}));
}

// The order of the key index read straight from its rule, converting both
// texts in every comparison: what the index's converted-once keys must equal.
bool referenceLess(const std::string& type, const std::string& a, const std::string& b) {
  if (type != "int" && type != "ApexInt") return a < b;
  return intKeyLess(a, b);
}

// Key texts of every shape a key column may hold: small and large numbers
// written several ways, texts with and without a leading number, limits.
std::string randomKeyText(std::mt19937& random) {
  static const std::vector<std::string> fixed = {"",
                                                 " ",
                                                 "#/#?",
                                                 "x",
                                                 "abc",
                                                 "2147483647",
                                                 "2147483648",
                                                 "-2147483648",
                                                 "-2147483649",
                                                 "\xff",
                                                 "-0",
                                                 "+0",
                                                 " 7",
                                                 "7x",
                                                 "07",
                                                 "1e3",
                                                 "99999999999999999999",
                                                 "-99999999999999999999",
                                                 "9223372036854775808"};
  switch (std::uniform_int_distribution<int>(0, 3)(random)) {
    case 0:
      return fixed[std::uniform_int_distribution<std::size_t>(0, fixed.size() - 1)(random)];
    case 1:
      return std::to_string(std::uniform_int_distribution<int>(-20, 20)(random));
    case 2: {
      const char* prefixes[] = {"", "+", "0", " ", "00"};
      const char* suffixes[] = {"", "x", " ", ".5"};
      return std::string(prefixes[random() % 5]) +
             std::to_string(std::uniform_int_distribution<int>(0, 30)(random)) +
             suffixes[random() % 4];
    }
    default:
      return std::string(1, static_cast<char>('a' + random() % 4)) + std::to_string(random() % 3);
  }
}

TEST_F(TableTest, IndexOrderAndEntriesMatchTheTextReadingOfTheRule) {
  std::mt19937 random(20261210);
  for (const char* type : {"int", "ApexInt", "string"}) {
    SCOPED_TRACE(type);
    const KeyComparator less(type);
    for (int trial = 0; trial < 200; ++trial) {
      // The comparator on random pairs.
      const std::string a = randomKeyText(random);
      const std::string b = randomKeyText(random);
      ASSERT_EQ(less(a, b), referenceLess(type, a, b)) << "'" << a << "' < '" << b << "'";

      // An index filled through addIndexEntry, and searched with
      // findIndexEntry first, against a sorted list of the first text of
      // every class of equal keys.
      PrimaryKeyIndex index{KeyComparator(type)};
      IndexEntries reference;
      const int count = std::uniform_int_distribution<int>(0, 40)(random);
      for (int i = 0; i < count; ++i) {
        const std::string key = randomKeyText(random);
        const auto held = std::find_if(reference.begin(), reference.end(), [&](const auto& entry) {
          return !referenceLess(type, entry.first, key) && !referenceLess(type, key, entry.first);
        });
        const auto found = findIndexEntry(index, key);
        ASSERT_EQ(found == index.end(), held == reference.end()) << key;
        if (found != index.end()) {
          ASSERT_EQ(found->second, held->second) << key;
        }
        const auto [at, added] = addIndexEntry(index, key, i);
        ASSERT_EQ(added, held == reference.end()) << key;
        ASSERT_EQ(at->second, added ? i : held->second) << key;
        if (added) reference.emplace_back(key, i);
      }
      std::sort(reference.begin(), reference.end(), [&](const auto& x, const auto& y) {
        return referenceLess(type, x.first, y.first);
      });
      ASSERT_EQ(indexEntries(index), reference);
    }
  }
}

TEST_F(TableTest, SetUpOnEmptyTableGivesEmptyIndexOfTheColumnsType) {
  addColumn("name", "string");
  addColumn("id", "ApexInt");
  EXPECT_EQ(setUpKey("id"), "");
  EXPECT_EQ(table.primaryKey, "id");
  EXPECT_EQ(table.pkIndex, 1);
  EXPECT_TRUE(table.pkMap.empty());
  EXPECT_EQ(table.pkMap.key_comp().type, "ApexInt");
}

TEST_F(TableTest, SetUpIndexesLiveRowsOnly) {
  addColumn("id", "int");
  addRow({"5"}, /*deleted=*/true);
  addRow({"7"});
  addRow({"5"});
  EXPECT_EQ(setUpKey("id"), "");
  EXPECT_EQ(table.pkIndex, 0);
  EXPECT_EQ(indexEntries(table.pkMap), (IndexEntries{{"5", 2}, {"7", 1}}));
}

TEST_F(TableTest, SetUpRefusesKeysThatTheComparatorTakesAsOne) {
  struct Case {
    const char* type;
    std::vector<std::string> keys;
    std::string error;
    IndexEntries entries;  // the index after a successful set-up
  };
  const Case cases[] = {
      {"int",
       {"1", "01"},
       "Cannot create Primary Key: Duplicate value '01' already exists in column",
       {}},
      {"ApexInt",
       {"7", "x", "+7"},
       "Cannot create Primary Key: Duplicate value '+7' already exists in column",
       {}},
      {"string",
       {"#/#?", "a", "#/#?"},
       "Cannot create Primary Key: Duplicate value '#/#?' already exists in column",
       {}},
      {"string", {"1", "01"}, "", {{"01", 1}, {"1", 0}}},
      {"float", {"9", "10.5", "9.0"}, "", {{"10.5", 1}, {"9", 0}, {"9.0", 2}}},
      {"bool", {"true", "false"}, "", {{"false", 1}, {"true", 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    table = Table();
    addColumn("other", "string");
    addColumn("key", c.type);
    for (const auto& key : c.keys) addRow({"o", key});
    // A key set up before must not survive a failed set-up.
    table.primaryKey = "other";
    table.pkMap.emplace("o", 0);

    EXPECT_EQ(setUpKey("key"), c.error);
    EXPECT_EQ(indexEntries(table.pkMap), c.entries);
    EXPECT_EQ(table.pkMap.key_comp().type, c.type);
    EXPECT_EQ(table.primaryKey, c.error.empty() ? "key" : "");
    EXPECT_EQ(table.pkIndex, c.error.empty() ? 1 : -1);
    ASSERT_EQ(table.rows.size(), c.keys.size());
    for (std::size_t i = 0; i < c.keys.size(); ++i)
      EXPECT_EQ(table.rows[i].cells[1].value, c.keys[i]);
  }
}

TEST_F(TableTest, SetUpIndexesTemporalKeysByTheirCurrentState) {
  addColumn("key", "string");
  Row& temporal = addRow({""});
  temporal.cells[0].rule = std::make_unique<TempRule>();
  temporal.cells[0].rule->states = {{"x", 10}, {"y", 10}};
  temporal.cells[0].rule->insTime = 1000;
  temporal.cells[0].rule->preCalc = 20;
  addRow({"x"});

  ScopedClock clock(1012);
  EXPECT_EQ(setUpKey("key"), "");
  EXPECT_EQ(indexEntries(table.pkMap), (IndexEntries{{"x", 1}, {"y", 0}}));

  clock.set(1005);
  EXPECT_EQ(setUpKey("key"),
            "Cannot create Primary Key: Duplicate value 'x' already exists in column");
}

TEST_F(TableTest, UnknownKeyColumnChangesNothing) {
  addColumn("name", "string");
  addColumn("id", "int");
  addRow({"a", "3"});
  addRow({"b", "1"});
  ASSERT_EQ(setUpKey("id"), "");

  EXPECT_EQ(setUpKey("nope"), "Primary key not found");
  EXPECT_EQ(setUpKey("ID"), "Primary key not found");
  EXPECT_EQ(table.primaryKey, "id");
  EXPECT_EQ(table.pkIndex, 1);
  EXPECT_EQ(table.pkMap.key_comp().type, "int");
  EXPECT_EQ(indexEntries(table.pkMap), (IndexEntries{{"1", 1}, {"3", 0}}));
}

TEST_F(TableTest, SetUpAgainRebuildsFromScratch) {
  addColumn("id", "int");
  addColumn("name", "string");
  addColumn("id", "string");  // a second column of the same name is never the key
  addRow({"10", "b", "s"});
  addRow({"9", "a", "t"});
  ASSERT_EQ(setUpKey("id"), "");
  EXPECT_EQ(table.pkIndex, 0);
  EXPECT_EQ(indexEntries(table.pkMap), (IndexEntries{{"9", 1}, {"10", 0}}));

  table.rows[0].deleted = true;
  table.deletedRows.insert(0);
  table.pkMap.emplace("99", 7);  // a stale entry the rebuild must drop
  ASSERT_EQ(setUpKey("id"), "");
  EXPECT_EQ(indexEntries(table.pkMap), (IndexEntries{{"9", 1}}));

  ASSERT_EQ(setUpKey("name"), "");
  EXPECT_EQ(table.pkIndex, 1);
  EXPECT_EQ(table.pkMap.key_comp().type, "string");
  EXPECT_EQ(indexEntries(table.pkMap), (IndexEntries{{"a", 1}}));
}

TEST_F(TableTest, InsertRowAppendsAnIndependentCopy) {
  addColumn("v", "string");
  Row row;
  row.tableName = "t";
  row.cells.resize(1);
  row.cells[0].value = "first";
  row.cells[0].rule = std::make_unique<TempRule>();
  row.cells[0].rule->states = {{"s", 1}};
  row.links[{"child", "fk"}].insert(4);
  row.isReferenced = true;

  table.insertRow(row);
  row.cells[0].value = "changed";
  row.cells[0].rule->states[0].value = "changed";
  table.insertRow(row);

  ASSERT_EQ(table.rows.size(), 2u);
  const Row& stored = table.rows[0];
  EXPECT_EQ(stored.tableName, "t");
  EXPECT_EQ(stored.cells[0].value, "first");
  ASSERT_NE(stored.cells[0].rule, nullptr);
  EXPECT_NE(stored.cells[0].rule.get(), row.cells[0].rule.get());
  EXPECT_EQ(stored.cells[0].rule->states[0].value, "s");
  EXPECT_EQ(stored.links.at({"child", "fk"}), (std::set<std::int32_t>{4}));
  EXPECT_TRUE(stored.isReferenced);
  EXPECT_EQ(table.rows[1].cells[0].value, "changed");
}

TEST_F(TableTest, CopyAssignmentCopiesEveryMemberDeeply) {
  table.name = "t";
  addColumn("id", "int");
  Row& row = addRow({"4"});
  row.cells[0].rule = std::make_unique<TempRule>();
  row.cells[0].rule->states = {{"4", 1}};
  addRow({"5"}, /*deleted=*/true);
  ASSERT_EQ(setUpKey("id"), "");
  table.children["child"] = "fk";
  table.parents.push_back("parent");

  Table copy;
  copy = table;
  table.rows[0].cells[0].rule->states[0].value = "changed";
  table.pkMap.clear();

  EXPECT_EQ(copy.name, "t");
  EXPECT_EQ(copy.columnTypes.at("id"), "int");
  ASSERT_EQ(copy.rows.size(), 2u);
  EXPECT_NE(copy.rows[0].cells[0].rule.get(), table.rows[0].cells[0].rule.get());
  EXPECT_EQ(copy.rows[0].cells[0].rule->states[0].value, "4");
  EXPECT_EQ(copy.deletedRows, (std::unordered_set<std::int32_t>{1}));
  EXPECT_EQ(copy.primaryKey, "id");
  EXPECT_EQ(copy.pkMap.key_comp().type, "int");
  EXPECT_EQ(indexEntries(copy.pkMap), (IndexEntries{{"4", 0}}));
  EXPECT_EQ(copy.children.at("child"), "fk");
  EXPECT_EQ(copy.parents, (std::vector<std::string>{"parent"}));
}

TEST_F(TableTest, DisplayPrintsNamesAndStoredValues) {
  struct Case {
    const char* what;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::string expected;
  };
  const Case cases[] = {
      {"two columns, one row", {"a", "b"}, {{"1", "x"}}, "|a|b|\n|1|x|\n"},
      {"no rows", {"a", "b"}, {}, "|a|b|\n"},
      {"no columns", {}, {}, "|\n"},
      {"empty and missing values",
       {"a", "b"},
       {{"", "#/#?"}, {"2", "y"}},
       "|a|b|\n||#/#?|\n|2|y|\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    table = Table();
    for (const auto& name : c.columns) addColumn(name, "string");
    for (const auto& values : c.rows) addRow(values);
    testing::internal::CaptureStdout();
    table.display();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
  }
}

TEST_F(TableTest, DisplayShowsDeletedRowsAndTheStoredTextOfChains) {
  ScopedClock clock(1000);
  addColumn("k", "string");
  addColumn("v", "string");
  addRow({"1", "gone"}, /*deleted=*/true);
  Row& temporal = addRow({"2", "first"});
  temporal.cells[1].rule = std::make_unique<TempRule>();
  temporal.cells[1].rule->states = {{"now", 10}, {"later", 10}};
  temporal.cells[1].rule->insTime = 1000;

  testing::internal::CaptureStdout();
  table.display();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "|k|v|\n|1|gone|\n|2|first|\n");
}

TEST_F(TableTest, AColumnRefFindsTheCellsOfItsColumnByName) {
  addColumn("a", "int");
  addColumn("b", "string");
  const auto cell = [](const std::string& column, const std::string& value) {
    Cell made;
    made.column = column;
    made.value = value;
    return made;
  };
  struct Case {
    const char* what;
    std::vector<Cell> cells;
    std::string column;
    std::vector<std::string> found;  // the values of the column's cells, in order
  };
  const std::vector<Case> cases = {
      {"in column order", {cell("a", "1"), cell("b", "x")}, "b", {"x"}},
      {"out of column order", {cell("b", "x"), cell("a", "1")}, "a", {"1"}},
      {"a row without the cell", {cell("a", "1")}, "b", {}},
      {"a row without cells", {}, "a", {}},
      {"a name the table lacks", {cell("a", "1"), cell("z", "9")}, "z", {"9"}},
      {"the name in another case", {cell("a", "1"), cell("b", "x")}, "B", {}},
      {"two cells of one name", {cell("a", "1"), cell("b", "x"), cell("a", "2")}, "a", {"1", "2"}},
      // Rows keep their cells in column order, so a cell of the column at
      // its position is the first, and the cells before it are not read.
      {"the cell at the column's position first", {cell("b", "y"), cell("b", "x")}, "b", {"x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Row row;
    row.cells = c.cells;
    const ColumnRef column(table, c.column);
    EXPECT_EQ(column.name(), c.column);
    // A test that takes no cell sees every cell of the column.
    std::vector<std::string> seen;
    const auto takeNone = [&](const Cell& held) {
      seen.push_back(held.value);
      return false;
    };
    EXPECT_EQ(column.cellIn(row, takeNone), nullptr);
    EXPECT_EQ(seen, c.found);
    const Cell* first = column.cellIn(std::as_const(row));
    if (c.found.empty()) {
      EXPECT_EQ(first, nullptr);
      EXPECT_EQ(column.cellIn(row), nullptr);
      continue;
    }
    // The cell taken is the row's own: the first by default, else the one
    // the test takes.
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->value, c.found.front());
    const Cell* last =
        column.cellIn(row, [&](const Cell& held) { return held.value == c.found.back(); });
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->value, c.found.back());
    EXPECT_EQ(last == first, c.found.size() == 1);
    EXPECT_EQ(column.cellIn(row), first);
    column.cellIn(row)->value = "changed";
    EXPECT_EQ(first->value, "changed");
  }
}

}  // namespace
