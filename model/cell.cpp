#include "model/cell.h"

#include <compare>
#include <optional>
#include <string_view>

#include "model/clock.h"
#include "model/column_type.h"
#include "model/number.h"

void TempRule::calculateIndex() {
  if (states.empty()) return;
  const auto last = static_cast<std::int32_t>(states.size() - 1);
  std::int64_t elapsed = saturatingSub(currentTime(), insTime);
  if (!isCycle && elapsed >= preCalc) {
    currentIndex = last;
    return;
  }
  if (isCycle && preCalc > 0) elapsed %= preCalc;  // C++ keeps the sign of elapsed
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < states.size(); ++i) {
    sum = saturatingAdd(sum, states[i].duration);
    if (elapsed < sum) {
      currentIndex = static_cast<std::int32_t>(i);
      return;
    }
  }
  currentIndex = last;
}

Cell::Cell(const Cell& other)
    : value(other.value),
      column(other.column),
      type(other.type),
      rule(other.rule ? std::make_unique<TempRule>(*other.rule) : nullptr) {}

Cell& Cell::operator=(const Cell& other) {
  if (this == &other) return *this;
  value = other.value;
  column = other.column;
  type = other.type;
  rule = other.rule ? std::make_unique<TempRule>(*other.rule) : nullptr;
  return *this;
}

const std::string& Cell::ruleValue() const {
  rule->calculateIndex();
  const auto index = rule->currentIndex;
  if (index < 0 || static_cast<std::size_t>(index) >= rule->states.size()) return value;
  return rule->states[index].value;
}

namespace {

enum class Order { Less, Greater };

bool holds(std::partial_ordering comparison, Order order) {
  return order == Order::Less ? comparison < 0 : comparison > 0;
}

// A text without a number, or a NaN, leaves the two unordered.
std::partial_ordering compareFloats(std::string_view left, std::string_view right) {
  const std::optional<double> a = toComparedFloat(left);
  const std::optional<double> b = toComparedFloat(right);
  if (!a || !b) return std::partial_ordering::unordered;
  return *a <=> *b;
}

bool typedHolds(const Cell& self, const Cell& other, Order order) {
  const std::string& left = self.getVal();
  const std::string& right = other.getVal();
  switch (valueKindOf(self.type)) {
    case ValueKind::kInteger:
      return holds(compareIntegers(left, right), order);
    case ValueKind::kFloat:
      return holds(compareFloats(left, right), order);
    case ValueKind::kBool:
      return order == Order::Less ? left == "false" && right == "true"
                                  : left == "true" && right == "false";
    case ValueKind::kString:
      return order == Order::Less ? left < right : left > right;
    case ValueKind::kOther:
      break;
  }
  return false;
}

}  // namespace

bool Cell::operator<(const Cell& other) const { return typedHolds(*this, other, Order::Less); }

bool Cell::operator>(const Cell& other) const { return typedHolds(*this, other, Order::Greater); }

bool Cell::operator==(const Cell& other) const {
  return column == other.column && getVal() == other.getVal();
}
