#include "language/query_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

class SelectTest : public ::testing::Test {
 protected:
  SelectTest() {
    db.tables["t"] = makeTable(
        "t", {makeColumn("id", "ApexInt"), makeColumn("name", "string"), makeColumn("age", "int")});
  }

  // The whole call on one line: "table join(primary,secondary) [columns] {conditions}".
  std::string selected(const std::string& command) {
    const SelectCall call = parseSelect(tokensOf(command), db);
    std::string text = call.table;
    if (call.isJoin()) {
      text += " " + *call.joinTable + "(" + call.primaryJoinCol + "," + call.secondaryJoinCol + ")";
    }
    text += " [";
    for (const std::string& column : call.requestedColumns) text += column + ";";
    text += "] {";
    for (const std::string& condition : describe(call.conditions)) text += condition + ";";
    return text + "}";
  }

  std::string refusal(const std::string& command) {
    return thrownMessage([&] { parseSelect(tokensOf(command), db); });
  }

  Database db;
};

TEST_F(SelectTest, RequestsTheListedColumnsOrEveryColumn) {
  struct Case {
    const char* name;
    std::string command;
    std::string call;
  };
  const std::vector<Case> cases = {
      {"a list with commas", "SELECT a, b FROM t", "t [a;b;] {}"},
      {"a qualified name requests both parts", "SELECT t.a FROM t", "t [t;a;] {}"},
      {"numbers, literals and symbols are passed over", "SELECT a 5 'b' * ( c FROM t",
       "t [a;c;] {}"},
      {"no columns at all", "SELECT FROM t WHERE a = 1", "t [] {o a = 1;}"},
      {"the star in declaration order", "SELECT * FROM t", "t [id;name;age;] {}"},
      {"lower-case keywords", "select * from t where age > 3", "t [id;name;age;] {o age > 3;}"},
      {"the quoted WHERE", "SELECT a FROM t '#where#' a = 1", "t [a;] {o a = 1;}"},
      {"the table name is any token", "SELECT a FROM 'x y'", "x y [a;] {}"},
  };
  for (const Case& c : cases) EXPECT_EQ(selected(c.command), c.call) << c.name;
}

TEST_F(SelectTest, TakesEachJoinColumnFromTheSideThatNamesItsTable) {
  struct Case {
    const char* name;
    std::string command;
    std::string call;
  };
  const std::vector<Case> cases = {
      {"in the order of the tables", "SELECT * FROM t JOIN b ON t.id = b.tid",
       "t b(id,tid) [id;name;age;] {}"},
      {"in the other order", "SELECT x FROM a JOIN b ON b.id = a.bid", "a b(bid,id) [x;] {}"},
      {"without dots", "SELECT x FROM a JOIN b ON a x = b y", "a b(x,y) [x;] {}"},
      {"neither side names a table", "SELECT x FROM a JOIN b ON x.id = y.bid", "a b(,) [x;] {}"},
      {"a table joined with itself takes the left side twice",
       "SELECT x FROM a JOIN a ON a.p = a.q", "a a(p,p) [x;] {}"},
      {"a WHERE clause after the join", "SELECT x FROM a join b on a.k = b.k WHERE b.v = 1",
       "a b(k,k) [x;] {o b.v = 1;}"},
      {"an empty join table is a join", "SELECT * FROM t JOIN '' ON t.id = u.tid",
       "t (id,) [id;name;age;] {}"},
      {"an empty join table named in ON", "SELECT x FROM a JOIN '' ON a.k = ''.j",
       "a (k,j) [x;] {}"},
  };
  for (const Case& c : cases) EXPECT_EQ(selected(c.command), c.call) << c.name;
}

TEST_F(SelectTest, RefusesACommandThatIsNotWholeOrHasMore) {
  struct Case {
    const char* name;
    std::string command;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"the star on an unknown table", "SELECT * FROM nosuch",
       "Syntax Error: Table 'nosuch' does not exist."},
      {"the star is looked up before FROM", "SELECT * x nosuch",
       "Syntax Error: Table 'nosuch' does not exist."},
      {"the star not followed by FROM", "SELECT * x t", "Expected FROM"},
      {"no FROM", "SELECT a b c", "Expected FROM"},
      {"FROM as the last token", "SELECT a b FROM", "Expected table name after FROM"},
      {"JOIN as the last token", "SELECT x FROM a JOIN", "Expected table name after JOIN"},
      {"no ON", "SELECT x FROM a JOIN b", "Expected ON"},
      {"something else than ON", "SELECT x FROM a JOIN b WHERE a = 1", "Expected ON"},
      {"no = in ON", "SELECT x FROM a JOIN b ON a.x b.y", "Expected '=' in JOIN ON"},
      {"ON as the last token", "SELECT x FROM a JOIN b ON", "Incomplete JOIN ON clause"},
      {"ON and a table", "SELECT x FROM a JOIN b ON a", "Incomplete JOIN ON clause"},
      {"ON and a table and a dot", "SELECT x FROM a JOIN b ON a .", "Incomplete JOIN ON clause"},
      {"no =, cut short", "SELECT x FROM a JOIN b ON a.x", "Incomplete JOIN ON clause"},
      {"nothing after =", "SELECT x FROM a JOIN b ON a.x =", "Incomplete JOIN ON clause"},
      {"no right column", "SELECT x FROM a JOIN b ON a.x = b.", "Incomplete JOIN ON clause"},
      {"a stray token after the table", "SELECT * FROM t garbage WHERE a = 1",
       "Syntax Error: Unexpected token 'garbage'"},
      {"a stray token after the ON clause", "SELECT x FROM a JOIN b ON a.x = b.y z",
       "Syntax Error: Unexpected token 'z'"},
      {"WHERE and nothing", "SELECT * FROM t WHERE",
       "Syntax Error: Expected column name in WHERE clause"},
      {"a bad condition", "SELECT * FROM t WHERE a = 1 AND b = 2",
       "Syntax Error: Unexpected token 'AND' after condition"},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(c.command), c.error) << c.name;
}

TEST(DeleteTest, TakesTheTableAndAnOptionalWhereClause) {
  const DeleteCall bare = parseDelete(tokensOf("DELETE FROM t"));
  EXPECT_EQ(bare.table, "t");
  EXPECT_TRUE(bare.conditions.empty());

  const DeleteCall filtered = parseDelete(tokensOf("delete from t where a = 1 || b = 2"));
  EXPECT_EQ(filtered.table, "t");
  EXPECT_EQ(describe(filtered.conditions), (std::vector<std::string>{"o a = 1", "o b = 2"}));

  struct Case {
    std::string command;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"DELETE FROM t x = 1", "Syntax Error: Unexpected token 'x'"},
      {"DELETE FROM t WHERE", "Syntax Error: Expected column name in WHERE clause"},
      {"DELETE FROM t WHERE a = 1 &&", "Syntax Error: Dangling '&&' at end of query"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thrownMessage([&] { parseDelete(tokensOf(c.command)); }), c.error) << c.command;
  }
}

}  // namespace
