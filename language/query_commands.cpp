#include "language/query_commands.h"

#include <cassert>
#include <stdexcept>

#include "language/conditions.h"
#include "language/token_cursor.h"

namespace {

constexpr const char* kIncompleteJoin = "Incomplete JOIN ON clause";

// The requested column names, leaving the cursor on the token that should be
// FROM. A "*" stands for the columns of the table named two tokens after it,
// looked up before FROM is checked.
std::vector<std::string> readColumnList(TokenCursor& cursor, Database& db) {
  std::vector<std::string> names;
  if (cursor.nextIs("*")) {
    const std::vector<Column>& columns = db.getTable(cursor.peek(2)->value).columns;
    names.reserve(columns.size());
    for (const Column& column : columns) names.push_back(column.name);
    cursor.take();
    return names;
  }
  // Commas, dots and any other token between the names are passed over, so
  // a qualified name requests both of its parts.
  while (!cursor.atEnd() && !cursor.nextIs("FROM")) {
    const Token& token = cursor.take();
    if (token.type == TokenType::IDENTIFIER) names.push_back(token.value);
  }
  return names;
}

struct JoinSide {
  std::string table;
  std::string column;
};

// One side of an ON clause: a table, an optional ".", a column.
JoinSide readJoinSide(TokenCursor& cursor) {
  JoinSide side;
  side.table = cursor.take(kIncompleteJoin).value;
  cursor.skipIf(".");
  side.column = cursor.take(kIncompleteJoin).value;
  return side;
}

// The column of the ON side that names `table`, the left side first; "" when
// neither does.
std::string joinColumnOf(const std::string& table, const JoinSide& left, const JoinSide& right) {
  if (left.table == table) return left.column;
  if (right.table == table) return right.column;
  return "";
}

// `JOIN other ON left = right`, with the cursor after JOIN. The sides may come
// in either order; a join of a table with itself takes the left side twice.
void readJoin(TokenCursor& cursor, SelectCall& call) {
  call.joinTable = cursor.take("Expected table name after JOIN").value;
  cursor.expect("ON", "Expected ON");
  const JoinSide left = readJoinSide(cursor);
  if (cursor.atEnd()) throw std::runtime_error(kIncompleteJoin);
  cursor.expect("=", "Expected '=' in JOIN ON");
  const JoinSide right = readJoinSide(cursor);
  call.primaryJoinCol = joinColumnOf(call.table, left, right);
  call.secondaryJoinCol = joinColumnOf(*call.joinTable, left, right);
}

}  // namespace

SelectCall parseSelect(const std::vector<Token>& tokens, Database& db) {
  assert(tokens.size() >= 4);
  TokenCursor cursor(tokens, 1);
  SelectCall call;
  call.requestedColumns = readColumnList(cursor, db);
  cursor.expect("FROM", "Expected FROM");
  call.table = cursor.take("Expected table name after FROM").value;
  if (cursor.skipIf("JOIN")) readJoin(cursor, call);
  call.conditions = parseOptionalWhere(tokens, cursor.position());
  return call;
}

DeleteCall parseDelete(const std::vector<Token>& tokens) {
  assert(tokens.size() >= 3);
  return DeleteCall{tokens[2].value, parseOptionalWhere(tokens, 3)};
}
