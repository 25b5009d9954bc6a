#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/cell.h"
#include "model/condition.h"
#include "model/table.h"
#include "support/table_builders.h"
#include "support/test_support.h"

// Conditions and checks that the engine tests share.

// A condition; the first of a list opens its block whatever its gate.
inline Condition where(const std::string& column, const std::string& op, const std::string& value,
                       char gate = 'a') {
  return Condition{"", column, value, op, gate};
}

// The texts of column `position` of `rows`, sorted.
inline std::vector<std::string> valuesOf(const std::vector<Row*>& rows, std::size_t position) {
  std::vector<std::string> values;
  for (const Row* row : rows) values.push_back(row->cells[position].getVal());
  std::sort(values.begin(), values.end());
  return values;
}
