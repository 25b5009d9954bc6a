#include "language/assignments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

constexpr std::int64_t kTime = 1000;

class AssignmentsTest : public ::testing::Test {
 protected:
  AssignmentsTest() {
    db.tables["t"] = makeTable(
        "t", {makeColumn("a", "int"), makeColumn("b", "int"), makeColumn("s", "string"),
              makeColumn("f", "float"), makeColumn("lit", "bool"), makeColumn("x", "int", 2),
              makeColumn("c", "int", 2), makeColumn("id", "ApexInt")});
    db.tables["lamp"] =
        makeTable("lamp", {makeColumn("id", "ApexInt"), makeColumn("state", "string", 3, 10)});
  }

  // The cells of an INSERT, in column order.
  std::vector<std::string> inserted(const std::string& command) {
    const InsertCall call = parseInsert(tokensOf(command), kTime, db);
    std::vector<std::string> cells;
    for (const auto& [column, cell] : call.cells) {
      EXPECT_EQ(column, cell.column);
      cells.push_back(describe(cell));
    }
    return cells;
  }

  // The cells of an UPDATE, in the order written.
  std::vector<std::string> updated(const UpdateCall& call) {
    std::vector<std::string> cells;
    for (const Cell& cell : call.cells) cells.push_back(describe(cell));
    return cells;
  }

  std::string insertRefusal(const std::string& command) {
    return thrownMessage([&] { parseInsert(tokensOf(command), kTime, db); });
  }

  Database db;
};

TEST_F(AssignmentsTest, InsertReadsAssignmentsWithoutSeparators) {
  struct Case {
    const char* name;
    std::string command;
    std::vector<std::string> cells;
  };
  const std::vector<Case> cases = {
      {"the table is any token", "INSERT INTO t a = 1", {"a:int=1"}},
      {"two assignments", "INSERT INTO t a = 1 b = 2", {"a:int=1", "b:int=2"}},
      {"the cells come ordered by column",
       "INSERT INTO t s = 'z' b = -3",
       {"b:int=-3", "s:string=z"}},
      {"a later assignment replaces the cell",
       "INSERT INTO t x = 1 --> 2 @ 1 s x = 3",
       {"x:int=3"}},
      {"each value has its type",
       "INSERT INTO t s = '5' f = 2.50 lit = false id = 9",
       {"f:float=2.50", "id:ApexInt=9", "lit:bool=false", "s:string=5"}},
      {"a parenthesis may open a value", "INSERT INTO t a = ( 5", {"a:int=5"}},
  };
  for (const Case& c : cases) EXPECT_EQ(inserted(c.command), c.cells) << c.name;
}

TEST_F(AssignmentsTest, TheLampStateRepeats) {
  const std::vector<std::string> expected = {
      "state:string=red [red 30, green 5, amber 5] sum 40 from 1000 cycle"};
  EXPECT_EQ(inserted("INSERT INTO lamp state = 'red' --> 'green' @ 30 s --> 'amber' @ 5 s c"),
            expected);
  EXPECT_EQ(inserted("INSERT INTO lamp state = ( 'red' --> 'green' @ 30 s --> 'amber' @ 5 s c )"),
            expected);
  EXPECT_EQ(inserted("INSERT INTO lamp state = ('red' --> 'green' @ 30 s --> 'amber' @ 5 s c) "
                     "id = 4"),
            (std::vector<std::string>{"id:ApexInt=4", expected[0]}));
}

TEST_F(AssignmentsTest, InsertRefusesWhatIsNoAssignment) {
  struct Case {
    const char* name;
    std::string command;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"a comma between assignments", "INSERT INTO t a = 1, b = 2", "Expected column name"},
      {"a number as the column", "INSERT INTO t 5 = 1", "Expected column name"},
      {"a closing parenthesis without a chain", "INSERT INTO t a = ( 5 )", "Expected column name"},
      {"no =", "INSERT INTO t a 1", "Expected '='"},
      {"the column ends the command", "INSERT INTO t a = 1 b", "Expected '='"},
      {"the = ends the command", "INSERT INTO t a =", "Expected value"},
      {"the parenthesis ends the command", "INSERT INTO t a = (", "Expected value"},
      {"a dot before the value", "INSERT INTO t f = .5", "Expected value"},
      {"a comma as the value", "INSERT INTO t a = ,", "Expected value"},
      {"two parentheses", "INSERT INTO t a = ( ( 5", "Expected value"},
      {"a column the table lacks", "INSERT INTO t zz = 1", "Unmatching type to column"},
      {"a literal in an int column", "INSERT INTO t a = '5'", "Unmatching type to column"},
      {"a number in a string column", "INSERT INTO t s = 5", "Unmatching type to column"},
      {"an int past 32 bits", "INSERT INTO t a = 2147483648", "Unmatching type to column"},
      {"an identity past 32 bits", "INSERT INTO t id = -2147483649", "Unmatching type to column"},
      {"a float past single precision",
       "INSERT INTO t f = 1000000000000000000000000000000000000000", "Unmatching type to column"},
      {"upper-case TRUE", "INSERT INTO t lit = TRUE", "Unmatching type to column"},
      {"a chain on a column without a limit", "INSERT INTO t a = 1 --> 2 @ 1 s",
       "Exceeded maximum allowed states limit of 0"},
      {"three states over the limit 2", "INSERT INTO t x = 1 --> 2 @ 1 s --> 3 @ 1 s",
       "Exceeded maximum allowed states limit of 2"},
      {"a column named c after a chain", "INSERT INTO t x = 1 --> 2 @ 1 s c = 5",
       "Expected column name"},
      {"an unknown table", "INSERT INTO nosuch a = 1",
       "Syntax Error: Table 'nosuch' does not exist."},
      {"an unknown table with no column", "INSERT INTO nosuch 5 = 1", "Expected column name"},
      {"an unknown table with no value", "INSERT INTO nosuch a = ,", "Expected value"},
      {"a bad later assignment of an unknown table", "INSERT INTO nosuch a = 1 b",
       "Syntax Error: Table 'nosuch' does not exist."},
  };
  for (const Case& c : cases) EXPECT_EQ(insertRefusal(c.command), c.error) << c.name;
}

TEST_F(AssignmentsTest, LookUpsAddNothing) {
  EXPECT_EQ(insertRefusal("INSERT INTO t zz = 1 --> 2 @ 1 s"), "Unmatching type to column");
  EXPECT_EQ(insertRefusal("INSERT INTO nosuch a = 1"),
            "Syntax Error: Table 'nosuch' does not exist.");
  EXPECT_EQ(db.tables.size(), 2u);
  EXPECT_EQ(db.tables.at("t").columnTypes.count("zz"), 0u);
  EXPECT_EQ(db.tables.at("t").maxStatesByColumn.count("zz"), 0u);
}

TEST_F(AssignmentsTest, UpdateKeepsTheCellsInOrderWritten) {
  const UpdateCall call = parseUpdate(
      tokensOf("UPDATE t set a = 1 x = 2 --> 3 @ 1 m a = 4 WHERE b = 2 && s = 'q'"), kTime, db);
  EXPECT_EQ(call.table, "t");
  EXPECT_EQ(updated(call), (std::vector<std::string>{
                               "a:int=1", "x:int=2 [2 60, 3 60] sum 120 from 1000", "a:int=4"}));
  EXPECT_EQ(describe(call.conditions), (std::vector<std::string>{"o b = 2", "a s = q"}));
}

TEST_F(AssignmentsTest, UpdateStopsAtWhere) {
  struct Case {
    const char* name;
    std::string command;
    std::vector<std::string> cells;
    std::vector<std::string> conditions;
  };
  const std::vector<Case> cases = {
      {"no WHERE clause", "UPDATE t SET a = 1 b = 2", {"a:int=1", "b:int=2"}, {}},
      {"no cells", "UPDATE t SET WHERE a = 1", {}, {"o a = 1"}},
      {"the quoted WHERE", "UPDATE t SET a = 1 '#where#' b = 2", {"a:int=1"}, {"o b = 2"}},
      {"a quoted WHERE as a value is a value",
       "UPDATE t SET s = '#where#'",
       {"s:string=#where#"},
       {}},
  };
  for (const Case& c : cases) {
    const UpdateCall call = parseUpdate(tokensOf(c.command), kTime, db);
    EXPECT_EQ(updated(call), c.cells) << c.name;
    EXPECT_EQ(describe(call.conditions), c.conditions) << c.name;
  }
}

TEST_F(AssignmentsTest, UpdateRefusesWhatIsNoUpdate) {
  struct Case {
    const char* name;
    std::string command;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no SET", "UPDATE t a = 1 b", "Expected SET"},
      {"WHERE and nothing", "UPDATE t SET a = 1 WHERE",
       "Syntax Error: Expected column name in WHERE clause"},
      {"a bad condition", "UPDATE t SET a = 1 WHERE b",
       "Syntax Error: Expected operator (=, >, <, >=, <=) after column"},
      {"a bad assignment before WHERE", "UPDATE t SET a = WHERE b = 1",
       "Unmatching type to column"},
      {"an unknown table", "UPDATE nosuch SET a = 1",
       "Syntax Error: Table 'nosuch' does not exist."},
      {"a chain over the limit", "UPDATE t SET c = 1 --> 2 @ 1 s --> 3 @ 1 s",
       "Exceeded maximum allowed states limit of 2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thrownMessage([&] { parseUpdate(tokensOf(c.command), kTime, db); }), c.error)
        << c.name;
  }
}

}  // namespace
