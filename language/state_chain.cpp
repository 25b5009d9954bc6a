#include "language/state_chain.h"

#include <array>
#include <cassert>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "language/column_values.h"
#include "model/number.h"

namespace {

struct TimeUnit {
  std::string_view name;
  std::int64_t seconds;
};

constexpr std::array<TimeUnit, 5> kTimeUnits = {{
    {"s", 1},
    {"m", 60},
    {"h", 3600},
    {"d", 86400},
    {"mo", 2592000},
}};

std::runtime_error timeOutOfRange() { return std::runtime_error("Time amount out of range"); }

std::int64_t checkedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) throw timeOutOfRange();
  return sum;
}

// The duration of `amount unit`; a fraction of the amount is dropped.
std::int64_t readDuration(TokenCursor& cursor) {
  const std::optional<std::int64_t> amount =
      toInt64(cursor.expect(TokenType::NUMBER, "Expected time amount").value);
  if (!amount) throw timeOutOfRange();
  const Token& unitToken = cursor.expect(TokenType::IDENTIFIER, "Expected time unit");
  for (const TimeUnit& unit : kTimeUnits) {
    if (unit.name != unitToken.value) continue;
    std::int64_t duration = 0;
    if (__builtin_mul_overflow(*amount, unit.seconds, &duration)) throw timeOutOfRange();
    return duration;
  }
  throw std::runtime_error("Unknown time period");
}

// Sets the rule's sum, refusing a chain whose running sum, or the start time
// plus it, leaves 64 bits.
void sumDurations(TempRule& rule) {
  rule.preCalc = 0;
  for (const TempState& state : rule.states) {
    rule.preCalc = checkedAdd(rule.preCalc, state.duration);
    checkedAdd(rule.insTime, rule.preCalc);
  }
}

}  // namespace

std::unique_ptr<TempRule> parseStateChain(TokenCursor& cursor, const std::string& firstValue,
                                          std::string_view columnType, std::int32_t maxStates,
                                          std::int64_t startTime) {
  assert(cursor.nextIs(TokenType::OPERATOR, "-->"));
  auto rule = std::make_unique<TempRule>();
  rule->insTime = startTime;
  std::string pending = firstValue;
  while (cursor.nextIs(TokenType::OPERATOR, "-->")) {
    cursor.take();
    const Token& next = cursor.take("Expected value after -->");
    if (!isValueOfType(columnType, next)) throw std::runtime_error("Unmatching type to column");
    cursor.expect("@", "Expected '@'");
    const std::int64_t duration = readDuration(cursor);
    rule->states.push_back(TempState{std::exchange(pending, next.value), duration});
  }
  rule->states.push_back(TempState{std::move(pending), rule->states.back().duration});
  sumDurations(*rule);
  if (cursor.nextIs(TokenType::IDENTIFIER, "c")) {
    cursor.take();
    rule->isCycle = true;
  }
  if (std::cmp_greater(rule->states.size(), maxStates)) {
    throw std::runtime_error("Exceeded maximum allowed states limit of " +
                             std::to_string(maxStates));
  }
  if (cursor.nextIs(TokenType::SYMBOL, ")")) cursor.take();
  return rule;
}
