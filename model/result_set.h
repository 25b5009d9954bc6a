#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// One value of a result row. A missing value travels as the text "NULL".
using ResultValue = std::variant<std::int32_t, float, bool, std::string>;

// The result of every command.
struct ResultSet {
  bool success = true;
  std::string message;
  std::vector<std::string> columns;
  std::vector<std::vector<ResultValue>> rows;  // one value per column, in column order
  std::int32_t rows_affected = 0;

  // The result as indented JSON text, without a final line feed.
  std::string toJson() const;
};
