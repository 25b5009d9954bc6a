#include "language/conditions.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "language/token_cursor.h"

namespace {

// `token` where no token of its kind may stand; `context` says where, when
// it is not the end of the command.
std::runtime_error unexpectedToken(const std::string& token, const std::string& context = "") {
  return std::runtime_error("Syntax Error: Unexpected token '" + token + "'" + context);
}

bool isValueToken(const Token* token) {
  return token != nullptr && (token->type == TokenType::IDENTIFIER ||
                              token->type == TokenType::STRING || token->type == TokenType::NUMBER);
}

// One condition at the cursor, with the gate `gate`, read into the fresh
// `condition` (in place: a condition is five texts to move otherwise).
void readCondition(TokenCursor& cursor, char gate, Condition& condition) {
  condition.gate = gate;
  condition.column =
      cursor.expect(TokenType::IDENTIFIER, "Syntax Error: Expected column name in WHERE clause")
          .value;
  if (cursor.skipIf(".")) {
    condition.table = condition.column;
    condition.column =
        cursor.expect(TokenType::IDENTIFIER, "Syntax Error: Expected column name after '.'").value;
  }
  condition.op = cursor
                     .expect(TokenType::OPERATOR,
                             "Syntax Error: Expected operator (=, >, <, >=, <=) after column")
                     .value;
  if (!isValueToken(cursor.peek())) {
    throw std::runtime_error("Syntax Error: Expected value to compare against");
  }
  condition.value = cursor.take().value;
}

// The gate of the condition after the connector at the cursor, moving past
// the connector; throws when something else follows a condition.
char readConnector(TokenCursor& cursor) {
  for (const std::string connector : {"||", "&&"}) {
    if (!cursor.nextIs(TokenType::OPERATOR, connector)) continue;
    cursor.take();
    if (cursor.atEnd()) {
      throw std::runtime_error("Syntax Error: Dangling '" + connector + "' at end of query");
    }
    return connector == "||" ? 'o' : 'a';
  }
  throw unexpectedToken(cursor.peek()->value, " after condition");
}

}  // namespace

bool isWhereToken(const Token& token) {
  const std::string_view text = token.value;
  return text == "WHERE" || text == "#where#";
}

std::vector<Condition> parseFiltering(const std::vector<Token>& tokens, std::uint64_t start) {
  std::vector<Condition> conditions;
  conditions.reserve(1);  // most clauses hold one condition: spare a regrowth's moves
  TokenCursor cursor(tokens, start);
  char gate = 'o';
  do {
    readCondition(cursor, gate, conditions.emplace_back());
    if (!cursor.atEnd()) gate = readConnector(cursor);
  } while (!cursor.atEnd());
  return conditions;
}

std::vector<Condition> parseOptionalWhere(const std::vector<Token>& tokens, std::size_t position) {
  if (position >= tokens.size()) return {};
  if (!isWhereToken(tokens[position])) {
    throw unexpectedToken(tokens[position].value);
  }
  return parseFiltering(tokens, position + 1);
}
