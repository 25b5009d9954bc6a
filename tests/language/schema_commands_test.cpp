#include "language/schema_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/test_support.h"

namespace {

// "name type width limit" per column.
std::vector<std::string> columnsOf(const std::string& command) {
  std::vector<std::string> columns;
  for (const Column& column : parseCreateTable(tokensOf(command)).columns) {
    columns.push_back(column.name + " " + column.type + " " + std::to_string(column.size) + " " +
                      std::to_string(column.maxStates));
  }
  return columns;
}

TEST(CreateTableTest, ReadsEachColumnWithItsWidthAndLimit) {
  struct Case {
    const char* name;
    std::string command;
    std::vector<std::string> columns;
  };
  const std::vector<Case> cases = {
      {"a plain column", "CREATE TABLE t id ApexInt", {"id ApexInt 60 0"}},
      {"a width", "CREATE TABLE t name string ( 20 )", {"name string 20 0"}},
      {"a limit without a width", "CREATE TABLE t name string 20", {"name string 60 20"}},
      {"a width and a limit", "CREATE TABLE t name string ( 20 ) 2", {"name string 20 2"}},
      {"empty parentheses", "CREATE TABLE t name string ( )", {"name string 60 0"}},
      {"no closing parenthesis",
       "CREATE TABLE t name string ( 20 n int",
       {"name string 20 0", "n int 60 0"}},
      {"zero and negative numbers are passed on",
       "CREATE TABLE t name string ( 0 ) -1",
       {"name string 0 -1"}},
      {"a fraction is dropped", "CREATE TABLE t name string ( 20.9 ) 2.5", {"name string 20 2"}},
      {"the lamp",
       "CREATE TABLE lamp id ApexInt state string ( 10 ) 3 watts float",
       {"id ApexInt 60 0", "state string 10 3", "watts float 60 0"}},
      {"a parenthesis after another type names the next column",
       "CREATE TABLE t n int ( x ) y",
       {"n int 60 0", "( x 60 0", ") y 60 0"}},
      {"a number after a limit names the next column",
       "CREATE TABLE t n int 2 3 int",
       {"n int 60 2", "3 int 60 0"}},
      {"the largest numbers",
       "CREATE TABLE t s string ( 2147483647 ) -2147483648",
       {"s string 2147483647 -2147483648"}},
      {"the types are not checked here", "CREATE TABLE t ( id int )", {"( id 60 0", "int ) 60 0"}},
  };
  for (const Case& c : cases) EXPECT_EQ(columnsOf(c.command), c.columns) << c.name;
}

TEST(CreateTableTest, RefusesWhatNoColumnCanHold) {
  struct Case {
    const char* name;
    std::string command;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"the webhook file's name", "CREATE TABLE webhooks x int", "Forbidden table name"},
      {"the listener file's name", "CREATE TABLE listeners x int", "Forbidden table name"},
      {"the webhook file's name in another case", "CREATE TABLE Webhooks x int",
       "Forbidden table name"},
      {"the listener file's name in capitals, before a faulty column", "CREATE TABLE LISTENERS id",
       "Forbidden table name"},
      {"a name without a type", "CREATE TABLE t id", "Mismatched column name and type"},
      {"a later name without a type", "CREATE TABLE t id int name string ( 5 ) 2 x",
       "Mismatched column name and type"},
      {"a width past 32 bits", "CREATE TABLE t s string ( 2147483648 )",
       "Number out of range: 2147483648"},
      {"a limit past 32 bits", "CREATE TABLE t n int -2147483649",
       "Number out of range: -2147483649"},
      {"a long limit with a fraction", "CREATE TABLE t n int 99999999999.5",
       "Number out of range: 99999999999.5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thrownMessage([&] { parseCreateTable(tokensOf(c.command)); }), c.error) << c.name;
  }
}

TEST(CreateTableTest, OnlyTheWholeFileNamesAreRefused) {
  for (const std::string name : {"Webhook", "listeners2", "webhooks_"}) {
    EXPECT_EQ(parseCreateTable(tokensOf("CREATE TABLE " + name + " x int")).name, name);
  }
  EXPECT_EQ(parseCreateTable(tokensOf("CREATE TABLE 'my table' x int")).name, "my table");
}

TEST(LinkTest, TakesTheNamesFromTheirPositions) {
  const LinkCall call = parseLink(tokensOf("LINK a x b --> c y d and more"));
  EXPECT_EQ(call.foreignTable, "a");
  EXPECT_EQ(call.foreignKeyCol, "b");
  EXPECT_EQ(call.primaryTable, "c");
  EXPECT_EQ(call.primaryKeyCol, "d");

  const LinkCall written = parseLink(tokensOf("link orders . customer --> 'people' . id"));
  EXPECT_EQ(written.foreignTable + "." + written.foreignKeyCol + " " + written.primaryTable + "." +
                written.primaryKeyCol,
            "orders.customer people.id");
}

TEST(LinkTest, NeedsTheArrowInTheMiddle) {
  for (const std::string command : {"LINK a . b > c . d", "LINK a . b c --> . d"}) {
    EXPECT_EQ(thrownMessage([&] { parseLink(tokensOf(command)); }), "Expected -->") << command;
  }
}

}  // namespace
