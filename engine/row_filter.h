#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/condition.h"
#include "model/table.h"

// The row filter's own tests of a row, for callers that choose the rows
// themselves, such as the pairs of a join. Defined beside
// Database::getRequestedRows (selection.cpp), which applies them the same way.

// The OR blocks of `conditions`, in order, as views into it: a condition
// whose gate is 'o' opens a new block, except at the first position; no
// conditions give one empty block, which every row satisfies. The views last
// as long as `conditions` is left unchanged.
std::vector<std::span<const Condition>> orBlocks(const std::vector<Condition>& conditions);

// What Database::getRequestedRows gives `table` for one "=" block per value
// of `values` (at least one), in order, OR'd, on its primary key (a table
// that has one), drawn from one index probe per value without a condition
// being built: for each value, the row its block adds, null when it adds
// none (no live row holds the value, or an earlier block kept it). The rows
// that are not null are the general path's, in its order.
std::vector<Row*> keyEqualityMatches(std::span<const std::string_view> values, Table& table);

// One condition made ready to test many rows: the operator, the value's
// compared form and that form's typed readings are worked out once, so a row
// costs only the reads of its own cells.
class RowTest {
 public:
  // The value takes the type of `table`'s column of that name; the prefix
  // plays no part. Keeps no reference to either argument.
  RowTest(const Condition& condition, const Table& table);

  // Whether `row` has a cell of the condition's column that compares with
  // the condition's value as its operator asks. Equality is equality of the
  // current texts, in numeric columns too; the typed order goes by the row
  // cell's own type as Cell orders it: a number beyond the type's range
  // compares by its value (so every number lies below 99999999999 in an
  // "int" column), and a text that does not convert simply does not hold.
  // A row without such a cell, or an operator the filter does not know,
  // fails. A state chain is read at its current state on every call.
  bool holds(const Row& row) const;

  // "=" and "==" are both kEqual; any other text is kUnknown.
  enum class Op { kEqual, kNotEqual, kLess, kGreater, kLessOrEqual, kGreaterOrEqual, kUnknown };

  const std::string& column() const { return column_.name(); }
  Op op() const { return op_; }
  // The value in the form it is compared in: its stored form where it
  // converts to the column's type, else its own text.
  const std::string& value() const { return value_; }

 private:
  enum class Order { kLess, kGreater };

  bool cellHolds(const std::string& current, const std::string& type) const;
  bool ordered(const std::string& current, const std::string& type, Order order) const;

  ColumnRef column_;
  std::string value_;  // the compared form
  Op op_ = Op::kUnknown;
  // The readings of value_ that the typed order needs, taken only for an
  // order operator.
  std::optional<std::int32_t> valueInt_;
  std::optional<double> valueFloat_;  // as toComparedFloat reads it
};
