#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "language/lexer.h"
#include "model/condition.h"

// Whether `token` opens a condition list: the keyword WHERE, or the text
// "#where#" (which only a quoted literal can carry), whatever its kind.
bool isWhereToken(const Token& token);

// Reads the condition list that runs from `start` to the end of `tokens`:
// conditions `column op value` or `table . column op value`, joined by "&&"
// (gate 'a') or "||" (gate 'o'); the first condition has the gate 'o'. Any
// operator text is taken; values are identifiers, literals or numbers, taken
// as written. Throws std::runtime_error with a "Syntax Error: " message for
// anything else, an empty list included: a WHERE must be followed by at least
// one condition.
std::vector<Condition> parseFiltering(const std::vector<Token>& tokens, std::uint64_t start);

// The conditions of a clause that may stand at `position` of a command whose
// grammar ends there: none when the command ends at `position`, the list
// after a WHERE token, else "Syntax Error: Unexpected token '<text>'". A
// stray token is refused because ignoring it would drop the conditions the
// user meant to write.
std::vector<Condition> parseOptionalWhere(const std::vector<Token>& tokens, std::size_t position);
