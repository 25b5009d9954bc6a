#pragma once

#include <string>
#include <vector>

#include "language/lexer.h"
#include "model/table.h"

// The engine call of a CREATE TABLE command.
struct CreateTableCall {
  std::string name;
  std::vector<Column> columns;  // in declaration order
};

// Reads CREATE TABLE name, then columns `name type`, a "string" column
// optionally followed by `( width )`, each optionally followed by its state
// limit (0 unless given; the width 60 unless given). Needs the dispatch
// guard: at least four tokens, CREATE TABLE first. Refuses the names of the
// listener and webhook files ("Forbidden table name"), a name without a type
// ("Mismatched column name and type") and a width or limit outside 32 bits
// ("Number out of range: <text>"). Types are checked by the engine. Throws
// std::runtime_error with the user's message.
CreateTableCall parseCreateTable(const std::vector<Token>& tokens);

// The engine call of a LINK command: `foreignTable.foreignKeyCol` refers to
// `primaryTable.primaryKeyCol`.
struct LinkCall {
  std::string foreignTable;
  std::string foreignKeyCol;
  std::string primaryTable;
  std::string primaryKeyCol;
};

// Reads LINK child . column --> parent . key: the names at positions 1, 3, 5
// and 7, of any kind; the dots at 2 and 6 are not looked at, nor is anything
// after 7. Needs the dispatch guard: at least eight tokens, LINK first.
// Throws "Expected -->" when position 4 is not "-->".
LinkCall parseLink(const std::vector<Token>& tokens);
