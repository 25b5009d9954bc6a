#include "language/state_chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/test_support.h"

namespace {

constexpr std::int64_t kStart = 1000;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

struct Chain {
  std::string rule;       // describe() of the rule
  std::string remaining;  // the first token after the chain, "" at the end
};

// Reads the chain of `text` (which starts with "-->") after the value
// `first` of an "int" column.
Chain readChain(const std::string& text, std::int32_t maxStates = 5, std::int64_t start = kStart,
                const std::string& type = "int") {
  const std::vector<Token> tokens = tokensOf(text);
  TokenCursor cursor(tokens);
  const auto rule = parseStateChain(cursor, "1", type, maxStates, start);
  return {describe(*rule), cursor.atEnd() ? "" : cursor.peek()->value};
}

std::string refusal(const std::string& text, std::int32_t maxStates = 5,
                    std::int64_t start = kStart) {
  return thrownMessage([&] { readChain(text, maxStates, start); });
}

TEST(StateChainTest, EachAmountIsHowLongTheValueBeforeItLasts) {
  struct Case {
    const char* name;
    std::string text;
    std::string rule;
    std::string remaining;
  };
  const std::vector<Case> cases = {
      {"the last value repeats the duration before it", "--> 2 @ 10 s --> 3 @ 20 s",
       "[1 10, 2 20, 3 20] sum 50 from 1000", ""},
      {"seconds", "--> 2 @ 2 s", "[1 2, 2 2] sum 4 from 1000", ""},
      {"minutes", "--> 2 @ 2 m", "[1 120, 2 120] sum 240 from 1000", ""},
      {"hours", "--> 2 @ 2 h", "[1 7200, 2 7200] sum 14400 from 1000", ""},
      {"days", "--> 2 @ 2 d", "[1 172800, 2 172800] sum 345600 from 1000", ""},
      {"months of thirty days", "--> 2 @ 2 mo", "[1 5184000, 2 5184000] sum 10368000 from 1000",
       ""},
      {"amount and unit written together", "--> 2 @ 5m", "[1 300, 2 300] sum 600 from 1000", ""},
      {"a fraction of the amount is dropped", "--> 2 @ 1.9 h",
       "[1 3600, 2 3600] sum 7200 from 1000", ""},
      {"a negative amount", "--> 2 @ -10 s", "[1 -10, 2 -10] sum -20 from 1000", ""},
      {"the cycle mark", "--> 2 @ 1 s c", "[1 1, 2 1] sum 2 from 1000 cycle", ""},
      {"the closing parenthesis after the mark", "--> 2 @ 1 s c ) x",
       "[1 1, 2 1] sum 2 from 1000 cycle", "x"},
      {"the closing parenthesis alone", "--> 2 @ 1 s ) x", "[1 1, 2 1] sum 2 from 1000", "x"},
      {"the next assignment is left alone", "--> 2 @ 1 s y = 3", "[1 1, 2 1] sum 2 from 1000", "y"},
      {"a quoted c is no cycle mark", "--> 2 @ 1 s 'c'", "[1 1, 2 1] sum 2 from 1000", "c"},
      {"an upper-case C is no cycle mark", "--> 2 @ 1 s C", "[1 1, 2 1] sum 2 from 1000", "C"},
  };
  for (const Case& c : cases) {
    const Chain chain = readChain(c.text);
    EXPECT_EQ(chain.rule, c.rule) << c.name;
    EXPECT_EQ(chain.remaining, c.remaining) << c.name;
  }
}

TEST(StateChainTest, RefusesAnIncompleteLink) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"nothing after the arrow", "-->", "Expected value after -->"},
      {"a value of another type", "--> 'two' @ 1 s", "Unmatching type to column"},
      {"a later value of another type", "--> 2 @ 1 s --> true @ 1 s", "Unmatching type to column"},
      {"no @", "--> 2", "Expected '@'"},
      {"something else than @", "--> 2 1 s", "Expected '@'"},
      {"no amount", "--> 2 @", "Expected time amount"},
      {"a word as the amount", "--> 2 @ five s", "Expected time amount"},
      {"no unit", "--> 2 @ 5", "Expected time unit"},
      {"a quoted unit", "--> 2 @ 5 'm'", "Expected time unit"},
      {"an upper-case unit", "--> 2 @ 5 M", "Unknown time period"},
      {"a unit spelt out", "--> 2 @ 5 min", "Unknown time period"},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(c.text), c.error) << c.name;
}

TEST(StateChainTest, KeepsEveryTimeInsideSixtyFourBits) {
  struct Case {
    const char* name;
    std::string text;
    std::int64_t start;
    std::string error;  // "" when the chain is taken
  };
  const std::vector<Case> cases = {
      {"the largest amount", "--> 2 @ 9223372036854775807 s --> 3 @ -9223372036854775807 s", 0, ""},
      {"an amount past 64 bits", "--> 2 @ 9223372036854775808 s", 0, "Time amount out of range"},
      {"an amount below 64 bits", "--> 2 @ -9223372036854775809 s", 0, "Time amount out of range"},
      {"an amount whose days leave 64 bits", "--> 2 @ 106751991167301 d", 0,
       "Time amount out of range"},
      {"an amount whose days wrap round to a small duration", "--> 2 @ 213503982334602 d", 0,
       "Time amount out of range"},
      {"the last amount in days that fits", "--> 2 @ 53375995583650 d", 0, ""},
      {"a sum past 64 bits", "--> 2 @ 4611686018427387904 s", 0, "Time amount out of range"},
      {"a sum below 64 bits", "--> 2 @ -4611686018427387905 s", 0, "Time amount out of range"},
      {"a start and sum that end at the limit", "--> 2 @ 5 s", kMax - 10, ""},
      {"a start and sum past the limit", "--> 2 @ 6 s", kMax - 10, "Time amount out of range"},
      {"a state change due past the limit, though the sum is zero",
       "--> 2 @ 9223372036854775807 s --> 3 @ -9223372036854775807 s --> 4 @ 0 s", kStart,
       "Time amount out of range"},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(c.text, 5, c.start), c.error) << c.name;
}

TEST(StateChainTest, CountsTheFinalStateAgainstTheLimit) {
  EXPECT_EQ(readChain("--> 2 @ 1 s", 2).rule, "[1 1, 2 1] sum 2 from 1000");
  EXPECT_EQ(refusal("--> 2 @ 1 s --> 3 @ 1 s", 2), "Exceeded maximum allowed states limit of 2");
  EXPECT_EQ(refusal("--> 2 @ 1 s", 0), "Exceeded maximum allowed states limit of 0");
  EXPECT_EQ(refusal("--> 2 @ 1 s", -1), "Exceeded maximum allowed states limit of -1");
  // The links are read whole before the limit is looked at.
  EXPECT_EQ(refusal("--> 2 @ 1 x", 0), "Unknown time period");
}

}  // namespace
