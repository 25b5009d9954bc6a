#pragma once

#include <string>
#include <vector>

#include "language/lexer.h"
#include "model/condition.h"

// The engine call of a LISTEN command (Database::addListener, not from disk).
struct ListenCall {
  std::string table;
  std::string column;
  std::string url;
  std::vector<Condition> conditions;
};

// Reads LISTEN table . column --> address [WHERE ...]: the names and the
// address at positions 1, 3 and 5, of any kind, then nothing or a WHERE
// clause. An address of two or more characters that starts with a quote
// loses its first and last characters: a quoted literal may carry a second
// pair of quotes inside its own. Needs the dispatch guard: at least six
// tokens, LISTEN first. Throws std::runtime_error with the user's message.
ListenCall parseListen(const std::vector<Token>& tokens);
