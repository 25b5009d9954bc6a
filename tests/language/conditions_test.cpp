#include "language/conditions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/test_support.h"

namespace {

struct Case {
  const char* name;
  std::string text;
  std::vector<std::string> conditions;  // when `error` is empty
  std::string error;
};

void expectParsed(const Case& c, const std::vector<Condition>& conditions) {
  EXPECT_EQ(describe(conditions), c.conditions) << c.name;
}

TEST(ConditionsTest, ReadsAFlatListWithItsGates) {
  const std::vector<Case> cases = {
      {"one condition opens a block", "a = 1", {"o a = 1"}, ""},
      {"or, then and", "a = 1 || b > 2 && t.c != 'x'", {"o a = 1", "o b > 2", "a t.c != x"}, ""},
      {"and, then or", "a = 1 && b = 2 || c = 3", {"o a = 1", "a b = 2", "o c = 3"}, ""},
      {"a quoted value loses its quotes", "a = 'abc'", {"o a = abc"}, ""},
      {"an identifier value is text, not a column", "a = b", {"o a = b"}, ""},
      {"any operator text is taken",
       "a --> 1 && b ! 1 || c <= -2.5",
       {"o a --> 1", "a b ! 1", "o c <= -2.5"},
       ""},
      {"a prefixed column", "t . c == 1", {"o t.c == 1"}, ""},
  };
  for (const Case& c : cases) {
    expectParsed(c, parseFiltering(tokensOf(c.text), 0));
  }
}

TEST(ConditionsTest, RefusesAnythingButConditionsAndConnectors) {
  const std::vector<Case> cases = {
      {"nothing after WHERE", "", {}, "Syntax Error: Expected column name in WHERE clause"},
      {"a number as the column", "5 = a", {}, "Syntax Error: Expected column name in WHERE clause"},
      {"a literal as the column",
       "'a' = 1",
       {},
       "Syntax Error: Expected column name in WHERE clause"},
      {"no column after the dot", "t . = 1", {}, "Syntax Error: Expected column name after '.'"},
      {"the dot ends the clause", "t .", {}, "Syntax Error: Expected column name after '.'"},
      {"a value where the operator goes",
       "a 1",
       {},
       "Syntax Error: Expected operator (=, >, <, >=, <=) after column"},
      {"the column ends the clause",
       "a",
       {},
       "Syntax Error: Expected operator (=, >, <, >=, <=) after column"},
      {"a keyword as the value",
       "a = SELECT",
       {},
       "Syntax Error: Expected value to compare against"},
      {"a symbol as the value", "a = (", {}, "Syntax Error: Expected value to compare against"},
      {"the operator ends the clause",
       "a =",
       {},
       "Syntax Error: Expected value to compare against"},
      {"AND is no connector",
       "a = 1 AND b = 2",
       {},
       "Syntax Error: Unexpected token 'AND' after condition"},
      {"no connector at all",
       "a = 1 b = 2",
       {},
       "Syntax Error: Unexpected token 'b' after condition"},
      {"a parenthesis after a condition",
       "a = 1 )",
       {},
       "Syntax Error: Unexpected token ')' after condition"},
      {"an operator that is no connector",
       "a = 1 = 2",
       {},
       "Syntax Error: Unexpected token '=' after condition"},
      {"dangling and", "a = 1 &&", {}, "Syntax Error: Dangling '&&' at end of query"},
      {"dangling or", "a = 1 ||", {}, "Syntax Error: Dangling '||' at end of query"},
      {"a connector without a condition after it",
       "a = 1 && || b = 1",
       {},
       "Syntax Error: Expected column name in WHERE clause"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thrownMessage([&] { parseFiltering(tokensOf(c.text), 0); }), c.error) << c.name;
  }
}

TEST(ConditionsTest, StartsAtTheGivenPosition) {
  const std::vector<Token> tokens = tokensOf("DELETE FROM t WHERE a = 1");
  EXPECT_EQ(describe(parseFiltering(tokens, 4)), std::vector<std::string>{"o a = 1"});
  EXPECT_EQ(thrownMessage([&] { parseFiltering(tokens, 6); }),
            "Syntax Error: Expected column name in WHERE clause");
  EXPECT_EQ(thrownMessage([&] { parseFiltering(tokens, 9); }),
            "Syntax Error: Expected column name in WHERE clause");
}

TEST(ConditionsTest, RecognisesTheWhereTokenByItsText) {
  EXPECT_TRUE(isWhereToken(tokensOf("where")[0]));
  EXPECT_TRUE(isWhereToken(tokensOf("'#where#'")[0]));
  EXPECT_FALSE(isWhereToken(tokensOf("'where'")[0]));
  EXPECT_FALSE(isWhereToken(tokensOf("'#WHERE#'")[0]));
}

TEST(ConditionsTest, AnOptionalClauseIsNothingOrWhereAndConditions) {
  const std::vector<Case> cases = {
      {"no clause", "DELETE FROM t", {}, ""},
      {"a WHERE clause", "DELETE FROM t where a = 1", {"o a = 1"}, ""},
      {"the quoted WHERE", "DELETE FROM t '#where#' a = 1", {"o a = 1"}, ""},
  };
  for (const Case& c : cases) expectParsed(c, parseOptionalWhere(tokensOf(c.text), 3));

  const std::vector<Case> refused = {
      {"a stray token", "DELETE FROM t x = 1", {}, "Syntax Error: Unexpected token 'x'"},
      {"a stray literal", "DELETE FROM t 'a b'", {}, "Syntax Error: Unexpected token 'a b'"},
      {"WHERE and nothing",
       "DELETE FROM t WHERE",
       {},
       "Syntax Error: Expected column name in WHERE clause"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(thrownMessage([&] { parseOptionalWhere(tokensOf(c.text), 3); }), c.error) << c.name;
  }
}

}  // namespace
