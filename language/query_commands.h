#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/database.h"
#include "language/lexer.h"
#include "model/condition.h"

// The engine call of a SELECT command. Without a join, `joinTable` holds
// nothing and the call is Database::select; with one it is
// Database::selectJoin, whatever the name after JOIN, the empty text too.
struct SelectCall {
  std::string table;
  std::optional<std::string> joinTable;  // none without JOIN
  std::string primaryJoinCol;            // the ON side that names `table`; "" when none does
  std::string secondaryJoinCol;          // the ON side that names `joinTable`; "" when none does
  std::vector<std::string> requestedColumns;
  std::vector<Condition> conditions;

  bool isJoin() const { return joinTable.has_value(); }
};

// Reads SELECT columns FROM table [JOIN other ON t . c = u . d] [WHERE ...].
// The columns are "*", which requests every column of the table named after
// FROM in declaration order (looked up with Database::getTable), or a list
// of which every identifier before FROM is requested. The dots in ON are
// optional and its sides may come in either order. Needs the dispatch guard:
// at least four tokens, SELECT first. Anything after the table or the ON
// clause but a WHERE clause is refused. Changes nothing; throws
// std::runtime_error with the user's message.
SelectCall parseSelect(const std::vector<Token>& tokens, Database& db);

// The engine call of a DELETE FROM command.
struct DeleteCall {
  std::string table;
  std::vector<Condition> conditions;  // empty: every row
};

// Reads DELETE FROM table [WHERE ...]: the table at position 2, of any kind,
// then nothing or a WHERE clause. Needs the dispatch guard: at least three
// tokens, DELETE FROM first. Throws std::runtime_error with the user's message.
DeleteCall parseDelete(const std::vector<Token>& tokens);
