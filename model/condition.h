#pragma once

#include <string>

// One comparison of a WHERE clause. A list of conditions is a disjunction of
// blocks: a condition whose gate is 'o' opens a new block, 'a' joins the block
// of the condition before it; the first condition always opens one.
struct Condition {
  std::string table;  // the t of t.col; "" when unqualified
  std::string column;
  std::string value;
  std::string op;  // the operator token's text
  char gate = '\0';

  bool operator==(const Condition& other) const = default;
};
