#include "language/column_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"

namespace {

TEST(ColumnValuesTest, AcceptsOnlyTheTokensOfTheColumnsType) {
  struct Case {
    const char* type;
    std::string token;  // as written in a command
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"string", "'5'", true},
      {"string", "''", true},
      {"string", "5", false},
      {"string", "abc", false},
      {"int", "-3", true},
      {"int", "2.50", true},
      {"int", "'5'", false},
      {"int", "2147483647", true},
      {"int", "-2147483648", true},
      {"int", "2147483648", false},
      {"int", "-2147483649", false},
      {"int", "99999999999.5", false},
      {"ApexInt", "7", true},
      {"ApexInt", "2147483648", false},
      {"float", "2.50", true},
      {"float", "-0.5", true},
      {"float", "340000000000000000000000000000000000000", true},
      {"float", "1000000000000000000000000000000000000000", false},
      {"float", "x", false},
      {"bool", "true", true},
      {"bool", "false", true},
      {"bool", "TRUE", false},
      {"bool", "'true'", false},
      {"bool", "1", false},
      {"", "1", false},
      {"", "'a'", false},
      {"blob", "'a'", false},
  };
  for (const Case& c : cases) {
    const std::vector<Token> tokens = tokensOf(c.token);
    ASSERT_EQ(tokens.size(), 1u) << c.token;
    EXPECT_EQ(isValueOfType(c.type, tokens[0]), c.accepted) << c.type << " " << c.token;
  }
}

}  // namespace
