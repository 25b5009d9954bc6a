#include "model/cell.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

constexpr std::int64_t kStart = 1000;
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// The chain a --> b @ 5 s --> c @ 10 s as the value parser builds it: the last
// state repeats the duration of the one before it.
TempRule abcChain(bool isCycle) {
  TempRule rule;
  rule.states = {{"a", 5}, {"b", 10}, {"c", 10}};
  rule.insTime = kStart;
  rule.preCalc = 25;
  rule.isCycle = isCycle;
  return rule;
}

Cell plainCell(const std::string& type, const std::string& value) {
  Cell cell;
  cell.value = value;
  cell.column = "col";
  cell.type = type;
  return cell;
}

Cell chainCell(const std::string& column, const TempRule& rule) {
  Cell cell;
  cell.value = "first";
  cell.column = column;
  cell.type = "string";
  cell.rule = std::make_unique<TempRule>(rule);
  return cell;
}

TEST(TempRuleTest, CalculateIndexFollowsTheChainThroughTime) {
  struct Case {
    bool isCycle;
    std::int64_t elapsed;
    std::int32_t expected;
  };
  const Case cases[] = {
      // Not repeating: a for 0..4, b for 5..14, c from 15 on.
      {false, -1, 0},
      {false, -1000, 0},
      {false, 0, 0},
      {false, 4, 0},
      {false, 5, 1},
      {false, 14, 1},
      {false, 15, 2},
      {false, 24, 2},
      {false, 25, 2},
      {false, 1000000, 2},
      // Repeating every 25 s.
      {true, -1, 0},
      {true, -24, 0},
      {true, -26, 0},
      {true, 0, 0},
      {true, 4, 0},
      {true, 5, 1},
      {true, 14, 1},
      {true, 15, 2},
      {true, 24, 2},
      {true, 25, 0},
      {true, 29, 0},
      {true, 30, 1},
      {true, 39, 1},
      {true, 40, 2},
      {true, 49, 2},
      {true, 50, 0},
      {true, 25 * 40000, 0},
      {true, 25 * 40000 + 17, 2},
  };
  ScopedClock clock(kStart);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.isCycle ? "repeating" : "not repeating") + ", elapsed " +
                 std::to_string(c.elapsed));
    TempRule rule = abcChain(c.isCycle);
    rule.currentIndex = 1;  // every evaluation sets it afresh
    clock.set(kStart + c.elapsed);
    rule.calculateIndex();
    EXPECT_EQ(rule.currentIndex, c.expected);
  }
}

TEST(TempRuleTest, CalculateIndexHandlesDegenerateAndExtremeRules) {
  struct Case {
    const char* what;
    std::vector<TempState> states;
    std::int64_t preCalc;
    bool isCycle;
    std::int64_t insTime;
    std::int64_t now;
    std::int32_t expected;
  };
  const std::vector<TempState> zeros = {{"a", 0}, {"b", 0}, {"c", 0}};
  const std::vector<TempState> huge = {{"a", kInt64Max}, {"b", kInt64Max}};
  const Case cases[] = {
      {"all durations 0, repeating, elapsed 0", zeros, 0, true, kStart, kStart, 2},
      {"all durations 0, repeating, elapsed 100", zeros, 0, true, kStart, kStart + 100, 2},
      {"all durations 0, repeating, elapsed -1", zeros, 0, true, kStart, kStart - 1, 0},
      {"all durations 0, not repeating", zeros, 0, false, kStart, kStart + 3, 2},
      {"negative period takes no remainder",
       {{"a", 5}, {"b", -10}},
       -5,
       true,
       kStart,
       kStart + 7,
       1},
      {"single state", {{"only", 7}}, 7, true, kStart, kStart + 100, 0},
      {"start far in the past, not repeating", abcChain(false).states, 25, false, kInt64Min,
       kInt64Max, 2},
      // The saturated elapsed time, 2^63 - 1, is 7 past a multiple of 25.
      {"start far in the past, repeating", abcChain(true).states, 25, true, kInt64Min, kInt64Max,
       1},
      {"start far in the future, repeating", abcChain(true).states, 25, true, kInt64Max, kInt64Min,
       0},
      {"durations that overflow their sum", huge, kInt64Max, false, 0, kInt64Max - 1, 0},
      {"sum saturates at the last state", huge, 0, true, kInt64Min, kInt64Max, 1},
  };
  ScopedClock clock(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempRule rule;
    rule.states = c.states;
    rule.preCalc = c.preCalc;
    rule.isCycle = c.isCycle;
    rule.insTime = c.insTime;
    clock.set(c.now);
    rule.calculateIndex();
    EXPECT_EQ(rule.currentIndex, c.expected);
  }
}

TEST(TempRuleTest, RuleWithoutStatesKeepsItsIndex) {
  ScopedClock clock(kStart + 100);
  TempRule rule;
  rule.currentIndex = 7;
  rule.insTime = kStart;
  rule.preCalc = 25;
  rule.calculateIndex();
  EXPECT_EQ(rule.currentIndex, 7);
}

TEST(CellTest, GetValReadsValueOrTheCurrentState) {
  ScopedClock clock(kStart);
  const Cell plain = plainCell("string", kMissingValue);
  EXPECT_EQ(plain.getVal(), "#/#?");

  const Cell temporal = chainCell("col", abcChain(false));
  EXPECT_EQ(temporal.getVal(), "a");
  clock.set(kStart + 5);  // nothing is cached: the next read sees the new time
  EXPECT_EQ(temporal.getVal(), "b");
  EXPECT_EQ(temporal.rule->currentIndex, 1);
  clock.set(kStart + 99);
  EXPECT_EQ(temporal.getVal(), "c");
  EXPECT_EQ(temporal.value, "first");
}

TEST(CellTest, GetValOfRuleWithoutStatesReadsValue) {
  ScopedClock clock(kStart);
  for (const std::int32_t index : {0, 5, -1}) {
    SCOPED_TRACE(index);
    Cell cell = plainCell("int", "42");
    cell.rule = std::make_unique<TempRule>();
    cell.rule->currentIndex = index;
    EXPECT_EQ(cell.getVal(), "42");
  }
}

TEST(CellTest, TypedComparisonHoldsEitherWay) {
  struct Case {
    const char* type;  // the left cell's type, which alone decides
    std::string left;
    std::string right;
    const char* rightType;
    bool less;
    bool greater;
  };
  const Case cases[] = {
      // "int" and "ApexInt" compare as 32-bit numbers.
      {"int", "10", "9", "int", false, true},
      {"int", "9", "10", "int", true, false},
      {"int", "7", "07", "int", false, false},
      {"int", "+7", " 7x", "int", false, false},
      {"int", "-3", "2", "int", true, false},
      {"int", "-2147483648", "2147483647", "int", true, false},
      {"int", "10", "9", "string", false, true},
      {"int", "10", "9", "", false, true},
      {"ApexInt", "3", "12", "ApexInt", true, false},
      {"ApexInt", "12", "3", "string", false, true},
      // Texts that do not convert make neither comparison hold.
      {"int", "abc", "5", "int", false, false},
      {"int", "5", "abc", "int", false, false},
      {"int", "#/#?", "0", "int", false, false},
      {"int", "0", "#/#?", "int", false, false},
      {"ApexInt", "", "1", "ApexInt", false, false},
      // A number past the 32-bit range compares by its value, at any size.
      {"int", "2147483648", "0", "int", false, true},
      {"int", "0", "-2147483649", "int", false, true},
      {"int", "2147483647", "99999999999", "int", true, false},
      {"ApexInt", "-2147483648", "-99999999999", "ApexInt", false, true},
      {"int", "99999999999999999999", "9223372036854775807", "int", false, true},
      {"int", "-99999999999999999999", "-99999999999999999998", "int", true, false},
      {"int", "099999999999999999999", "99999999999999999999x", "int", false, false},
      {"int", "abc", "99999999999", "int", false, false},
      // "float" compares as single-precision numbers.
      {"float", "10.5", "9", "float", false, true},
      {"float", "1.25", "1.5", "float", true, false},
      {"float", "1e3", "999.5", "float", false, true},
      {"float", "0x10", "15.5", "float", false, true},
      {"float", "-inf", "0", "float", true, false},
      {"float", "inf", "3e38", "float", false, true},
      {"float", "2.5", "2.50", "float", false, false},
      {"float", "nan", "1", "float", false, false},
      {"float", "1", "nan", "float", false, false},
      {"float", "#/#?", "1", "float", false, false},
      {"float", "#/#?", "1e39", "float", false, false},
      // A number past single precision compares by its value as a double;
      // past a double's range by its sign, still within the infinities.
      {"float", "1e39", "1", "float", false, true},
      {"float", "3e38", "1e39", "float", true, false},
      {"float", "-1e39", "-3e38", "float", true, false},
      {"float", "1", "1e-50", "float", false, true},
      {"float", "0", "1e-40", "float", true, false},
      {"float", "1e400", "3e38", "float", false, true},
      {"float", "1e400", "inf", "float", true, false},
      {"float", "inf", "1e400", "float", false, true},
      {"float", "-1e400", "-inf", "float", false, true},
      {"float", "-3e38", "-1e400", "float", false, true},
      {"float", "1e-400", "0", "float", false, true},
      {"float", "1e-400", "1e-45", "float", true, false},
      {"float", "-1e-400", "0", "float", true, false},
      {"float", "0x1p200", "3e38", "float", false, true},
      {"float", "0x1p-2000", "0", "float", false, true},
      {"float", "0x1p-2000", "1e-320", "float", true, false},
      {"float",
       "1000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000",
       "1e300", "float", false, true},
      {"float",
       "0.000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000000000000000000000000000000000000001",
       "1e-300", "float", true, false},
      {"float", "1", "word", "float", false, false},
      // "bool" orders only the exact pair "false" / "true".
      {"bool", "false", "true", "bool", true, false},
      {"bool", "true", "false", "bool", false, true},
      {"bool", "false", "false", "bool", false, false},
      {"bool", "true", "true", "bool", false, false},
      {"bool", "TRUE", "false", "bool", false, false},
      {"bool", "false", "TRUE", "bool", false, false},
      {"bool", "0", "1", "bool", false, false},
      // "string" orders by bytes, a proper prefix first.
      {"string", "10", "9", "string", true, false},
      {"string", "07", "7", "string", true, false},
      {"string", "7", "07", "int", false, true},
      {"string", "ab", "abc", "string", true, false},
      {"string", "B", "a", "string", true, false},
      {"string", "\xff", "a", "string", false, true},
      {"string", "#/#?", "#/#?", "string", false, false},
      {"string", "", "a", "string", true, false},
      // Any other type name, matched exactly, orders nothing.
      {"", "1", "2", "int", false, false},
      {"Int", "1", "2", "int", false, false},
      {"INT", "2", "1", "int", false, false},
      {"text", "a", "b", "string", false, false},
      {"String", "b", "a", "string", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + ": '" + c.left + "' vs '" + c.right + "' (" + c.rightType +
                 ")");
    const Cell left = plainCell(c.type, c.left);
    const Cell right = plainCell(c.rightType, c.right);
    EXPECT_EQ(left < right, c.less);
    EXPECT_EQ(left > right, c.greater);
  }
}

TEST(CellTest, ComparisonAndEqualityReadTheCurrentState) {
  ScopedClock clock(kStart + 6);  // the chain shows "b"
  const Cell temporal = chainCell("col", abcChain(false));
  const Cell b = plainCell("string", "b");
  const Cell first = plainCell("string", "first");
  EXPECT_FALSE(temporal < b);
  EXPECT_FALSE(temporal > b);
  EXPECT_TRUE(temporal < first);
  EXPECT_TRUE(temporal == b);
  EXPECT_FALSE(temporal == first);

  Cell otherColumn = b;
  otherColumn.column = "other";
  EXPECT_FALSE(temporal == otherColumn);
  EXPECT_TRUE(plainCell("int", "7") == plainCell("string", "7"));
  EXPECT_FALSE(plainCell("int", "7") == plainCell("int", "07"));
}

TEST(CellTest, CopyConstructionCopiesTheRuleDeeply) {
  ScopedClock clock(kStart);
  Cell source = chainCell("col", abcChain(true));
  source.rule->currentIndex = 2;
  const Cell copy(source);

  ASSERT_NE(copy.rule, nullptr);
  EXPECT_NE(copy.rule.get(), source.rule.get());
  EXPECT_EQ(copy.value, "first");
  EXPECT_EQ(copy.column, "col");
  EXPECT_EQ(copy.type, "string");
  EXPECT_EQ(copy.rule->currentIndex, 2);
  EXPECT_EQ(copy.rule->insTime, kStart);
  EXPECT_EQ(copy.rule->preCalc, 25);
  EXPECT_TRUE(copy.rule->isCycle);
  ASSERT_EQ(copy.rule->states.size(), 3u);
  EXPECT_EQ(copy.rule->states[1].value, "b");
  EXPECT_EQ(copy.rule->states[1].duration, 10);

  // Evaluating the copy moves only the copy's index.
  EXPECT_EQ(copy.getVal(), "a");
  EXPECT_EQ(copy.rule->currentIndex, 0);
  EXPECT_EQ(source.rule->currentIndex, 2);

  source.rule->states[0].value = "changed";
  EXPECT_EQ(copy.getVal(), "a");

  const Cell plainCopy(plainCell("int", "5"));
  EXPECT_EQ(plainCopy.rule, nullptr);
  EXPECT_EQ(plainCopy.value, "5");
}

TEST(CellTest, CopyAssignmentReplacesTheRuleAndKeepsRowIndex) {
  const Cell temporal = chainCell("col", abcChain(false));

  Cell target = chainCell("old", abcChain(true));
  target.rowIndex = 9;
  const Cell plain = plainCell("int", "5");
  target = plain;
  EXPECT_EQ(target.rule, nullptr);
  EXPECT_EQ(target.value, "5");
  EXPECT_EQ(target.column, "col");
  EXPECT_EQ(target.type, "int");
  EXPECT_EQ(target.rowIndex, 9);

  Cell source = plainCell("string", "x");
  source.rowIndex = 3;
  source.rule = std::make_unique<TempRule>(abcChain(false));
  target = source;
  ASSERT_NE(target.rule, nullptr);
  EXPECT_NE(target.rule.get(), source.rule.get());
  EXPECT_EQ(target.rule->states.size(), 3u);
  EXPECT_EQ(target.rowIndex, 9);

  Cell self = temporal;
  self.rowIndex = 4;
  const TempRule* rule = self.rule.get();
  Cell& alias = self;
  self = alias;
  EXPECT_EQ(self.rule.get(), rule);
  EXPECT_EQ(self.value, "first");
  EXPECT_EQ(self.rule->states.size(), 3u);
  EXPECT_EQ(self.rowIndex, 4);
}

TEST(CellTest, MovesTakeEveryFieldAndTheRulePointer) {
  Cell source = chainCell("col", abcChain(false));
  source.rowIndex = 12;
  const TempRule* rule = source.rule.get();

  Cell constructed(std::move(source));
  EXPECT_EQ(constructed.rule.get(), rule);
  EXPECT_EQ(constructed.rowIndex, 12);
  EXPECT_EQ(constructed.value, "first");
  EXPECT_EQ(constructed.column, "col");
  EXPECT_EQ(constructed.type, "string");

  Cell assigned = plainCell("int", "1");
  assigned.rowIndex = 1;
  assigned = std::move(constructed);
  EXPECT_EQ(assigned.rule.get(), rule);
  EXPECT_EQ(assigned.rowIndex, 12);
  EXPECT_EQ(assigned.value, "first");
}

}  // namespace
