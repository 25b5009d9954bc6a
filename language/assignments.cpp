#include "language/assignments.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

#include "language/column_values.h"
#include "language/conditions.h"
#include "language/state_chain.h"
#include "language/token_cursor.h"

namespace {

// What a table says about one of its columns; empty for a column it does not
// have, which no value fits. Reads the maps without adding to them.
struct ColumnFacts {
  const std::string* type = &kNoType;  // into the table, which outlives the facts
  std::int32_t maxStates = 0;

  static const std::string kNoType;
};

const std::string ColumnFacts::kNoType;

ColumnFacts factsOf(const Table& table, const std::string& column) {
  ColumnFacts facts;
  if (const auto type = table.columnTypes.find(column); type != table.columnTypes.end()) {
    facts.type = &type->second;
  }
  if (const auto limit = table.maxStatesByColumn.find(column);
      limit != table.maxStatesByColumn.end()) {
    facts.maxStates = limit->second;
  }
  return facts;
}

// The value token of an assignment, moving past it. A "(" may open the value
// (it is closed after a state chain); any other symbol is no value.
const Token& takeValue(TokenCursor& cursor) {
  static const std::string kNoValue = "Expected value";
  cursor.skipIf("(");
  const Token& value = cursor.take(kNoValue);
  if (value.type == TokenType::SYMBOL) throw std::runtime_error(kNoValue);
  return value;
}

// The table of a command's assignments, looked up at the first value read,
// so that a malformed first assignment is reported before a missing table.
class AssignedTable {
 public:
  AssignedTable(const std::string& name, Database& db) : name_(name), db_(db) {}
  const Table& get() {
    if (table_ == nullptr) table_ = &db_.getTable(name_);
    return *table_;
  }

 private:
  const std::string& name_;
  Database& db_;
  const Table* table_ = nullptr;
};

// One assignment `column = value [chain]` at the cursor.
Cell readAssignment(TokenCursor& cursor, AssignedTable& table, std::int64_t time) {
  Cell cell;
  cell.column = cursor.expect(TokenType::IDENTIFIER, "Expected column name").value;
  cursor.expect("=", "Expected '='");
  const Token& value = takeValue(cursor);
  const ColumnFacts facts = factsOf(table.get(), cell.column);
  cell.value = value.value;
  cell.type = *facts.type;
  if (!isValueOfType(cell.type, value)) throw std::runtime_error("Unmatching type to column");
  if (cursor.nextIs(TokenType::OPERATOR, "-->")) {
    cell.rule = parseStateChain(cursor, cell.value, cell.type, facts.maxStates, time);
  }
  return cell;
}

}  // namespace

InsertCall parseInsert(const std::vector<Token>& tokens, std::int64_t time, Database& db) {
  TokenCursor cursor(tokens, 2);
  InsertCall call;
  call.table = cursor.take().value;
  AssignedTable table(call.table, db);
  while (!cursor.atEnd()) {
    Cell cell = readAssignment(cursor, table, time);
    // A new entry's key is copied from the cell before the cell moves in.
    call.cells.insert_or_assign(cell.column, std::move(cell));
  }
  return call;
}

UpdateCall parseUpdate(const std::vector<Token>& tokens, std::int64_t time, Database& db) {
  TokenCursor cursor(tokens, 1);
  UpdateCall call;
  call.table = cursor.take().value;
  cursor.expect("SET", "Expected SET");
  AssignedTable table(call.table, db);
  while (!cursor.atEnd() && !isWhereToken(*cursor.peek())) {
    call.cells.push_back(readAssignment(cursor, table, time));
  }
  if (!cursor.atEnd()) call.conditions = parseFiltering(tokens, cursor.position() + 1);
  return call;
}
