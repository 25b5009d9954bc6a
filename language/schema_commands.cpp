#include "language/schema_commands.h"

#include <cassert>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "language/token_cursor.h"
#include "model/column_type.h"
#include "model/number.h"
#include "storage/file_names.h"

namespace {

// A width or state limit written as a number: its leading integer, which
// must fit the column's 32-bit fields.
std::int32_t readColumnNumber(const Token& token) {
  const std::optional<std::int32_t> number = toInt32(token.value);
  if (!number) throw std::runtime_error("Number out of range: " + token.value);
  return *number;
}

// One column declaration at the cursor.
Column readColumn(TokenCursor& cursor) {
  Column column;
  column.name = cursor.take().value;
  column.type = cursor.take("Mismatched column name and type").value;
  column.maxStates = 0;  // the width keeps its default
  if (valueKindOf(column.type) == ValueKind::kString && cursor.skipIf("(")) {
    if (cursor.nextIs(TokenType::NUMBER)) column.size = readColumnNumber(cursor.take());
    cursor.skipIf(")");
  }
  if (cursor.nextIs(TokenType::NUMBER)) column.maxStates = readColumnNumber(cursor.take());
  return column;
}

}  // namespace

CreateTableCall parseCreateTable(const std::vector<Token>& tokens) {
  TokenCursor cursor(tokens, 2);
  CreateTableCall call;
  call.name = cursor.take().value;
  if (isReservedTableName(call.name)) throw std::runtime_error("Forbidden table name");
  while (!cursor.atEnd()) call.columns.push_back(readColumn(cursor));
  return call;
}

LinkCall parseLink(const std::vector<Token>& tokens) {
  assert(tokens.size() >= 8);
  if (tokens[4].value != "-->") throw std::runtime_error("Expected -->");
  return LinkCall{tokens[1].value, tokens[3].value, tokens[5].value, tokens[7].value};
}
