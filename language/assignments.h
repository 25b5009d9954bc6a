#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/database.h"
#include "language/lexer.h"
#include "model/cell.h"
#include "model/condition.h"

// The engine call of an INSERT INTO command: one cell per named column.
struct InsertCall {
  std::string table;
  std::map<std::string, Cell> cells;  // a later assignment to a column replaces the earlier
};

// The engine call of an UPDATE command: the cells in the order written (a
// repeated column gives two) and the conditions of its WHERE clause.
struct UpdateCall {
  std::string table;
  std::vector<Cell> cells;
  std::vector<Condition> conditions;
};

// Reads INSERT INTO table, then one or more assignments `column = value`,
// each value optionally after a "(" and optionally followed by a state chain
// (parseStateChain) that starts at `time`. Needs the dispatch guard: at least
// four tokens, INSERT INTO first. Looks the table up with Database::getTable
// for each assignment, once its column and value have been read, to type the
// value and to find the column's state limit; changes nothing. Throws
// std::runtime_error with the user's message.
InsertCall parseInsert(const std::vector<Token>& tokens, std::int64_t time, Database& db);

// Reads UPDATE table SET, then zero or more assignments as parseInsert does,
// up to an optional WHERE clause (parseFiltering). Needs the dispatch guard:
// at least five tokens, UPDATE first. Looks the table up as parseInsert does.
UpdateCall parseUpdate(const std::vector<Token>& tokens, std::int64_t time, Database& db);
