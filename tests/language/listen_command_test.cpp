#include "language/listen_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/test_support.h"

namespace {

TEST(ListenTest, TakesTheTableColumnAndAddress) {
  struct Case {
    const char* name;
    std::string command;
    std::string url;
    std::vector<std::string> conditions;
  };
  const std::vector<Case> cases = {
      {"a bare address", "LISTEN t . c --> hook", "hook", {}},
      {"a quoted address", "LISTEN t . c --> 'hook'", "hook", {}},
      {"quotes inside the quotes go", "LISTEN t . c --> \"'http://x/y'\"", "http://x/y", {}},
      {"the last character goes whatever it is", "LISTEN t . c --> \"'abc\"", "ab", {}},
      {"two quote characters leave nothing", "LISTEN t . c --> \"''\"", "", {}},
      {"one quote character stays", "LISTEN t . c --> \"'\"", "'", {}},
      {"a WHERE clause",
       "listen t . c --> 'h' where c > 2 && d = 'x'",
       "h",
       {"o c > 2", "a d = x"}},
  };
  for (const Case& c : cases) {
    const ListenCall call = parseListen(tokensOf(c.command));
    EXPECT_EQ(call.table, "t") << c.name;
    EXPECT_EQ(call.column, "c") << c.name;
    EXPECT_EQ(call.url, c.url) << c.name;
    EXPECT_EQ(describe(call.conditions), c.conditions) << c.name;
  }
}

TEST(ListenTest, RefusesAMisplacedTokenOrClause) {
  struct Case {
    std::string command;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"LISTEN t c --> x y", "Expected '.'"},
      {"LISTEN t . c > x", "Expected '-->'"},
      {"LISTEN t . c --> x c = 1", "Syntax Error: Unexpected token 'c'"},
      {"LISTEN t . c --> x WHERE", "Syntax Error: Expected column name in WHERE clause"},
      {"LISTEN t . c --> x WHERE c",
       "Syntax Error: Expected operator (=, >, <, >=, <=) after column"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thrownMessage([&] { parseListen(tokensOf(c.command)); }), c.error) << c.command;
  }
}

}  // namespace
