#pragma once

#include <vector>

#include "model/condition.h"
#include "model/table.h"

// The row filter's own tests of a row, for callers that choose the rows
// themselves, such as the pairs of a join. Defined beside
// Database::getRequestedRows (selection.cpp), which applies them the same way.

// The OR blocks of `conditions`, in order: a condition whose gate is 'o'
// opens a new block (carrying 'a' in its copy), except at the first position;
// no conditions give one empty block, which every row satisfies.
std::vector<std::vector<Condition>> orBlocks(const std::vector<Condition>& conditions);

// Whether `row` has a cell of the condition's column that compares with the
// condition's value as its operator asks. The value takes the type of
// `table`'s column of that name; the prefix plays no part. A row without such
// a cell, or an operator the filter does not know, fails.
bool conditionHolds(const Row& row, const Condition& condition, const Table& table);
