#include "support/rollback_state.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace {

void writeCell(std::ostream& out, const Cell& cell) {
  out << cell.column << ':' << cell.type << "='" << cell.value << "'";
  if (!cell.rule) return;
  const TempRule& rule = *cell.rule;
  out << "{";
  for (const TempState& state : rule.states) out << state.value << '/' << state.duration << ' ';
  out << "from " << rule.insTime << " pass " << rule.preCalc << (rule.isCycle ? " cycle" : "")
      << "}";
}

// The back-references of a row once the restriction check has pruned them:
// the check runs on a copy, so the database itself is not touched.
std::string prunedLinks(Database& copy, Table& table, Row& row) {
  std::string key;
  if (!table.primaryKey.empty() && table.pkIndex >= 0 &&
      static_cast<std::size_t>(table.pkIndex) < row.cells.size()) {
    key = row.cells[static_cast<std::size_t>(table.pkIndex)].getVal();
  }
  copy.isActivelyRestricted(&row, key);
  std::map<std::pair<std::string, std::string>, std::set<std::int32_t>> sorted;
  for (const auto& [relation, positions] : row.links) {
    sorted[{relation.table, relation.column}] = positions;
  }
  std::ostringstream out;
  for (const auto& [relation, positions] : sorted) {
    out << " " << relation.first << '.' << relation.second << '{';
    for (const std::int32_t position : positions) out << position << ' ';
    out << '}';
  }
  // Only a row that keeps back-references must keep its flag: without one,
  // the check it guards finds nothing either way.
  if (!sorted.empty()) out << (row.isReferenced ? " referenced" : " NOT referenced");
  return out.str();
}

void writeTable(std::ostream& out, Database& copy, Table& table) {
  out << "table " << table.name << " key '" << table.primaryKey << "' at " << table.pkIndex
      << " ordered as " << table.pkMap.key_comp().type << "\n  columns";
  for (const Column& column : table.columns) {
    out << ' ' << column.name << ':' << column.type << '/' << column.maxStates << '/'
        << column.size;
  }
  out << "\n  parents";
  for (const std::string& parent : table.parents) out << ' ' << parent;
  const std::map<std::string, std::string> children(table.children.begin(), table.children.end());
  out << "\n  children";
  for (const auto& [child, column] : children) out << ' ' << child << '.' << column;
  out << '\n';
  for (std::size_t i = 0; i < table.rows.size(); ++i) {
    Row& row = table.rows[i];
    out << "  row " << i << " of '" << row.tableName << "'" << (row.deleted ? " deleted" : "");
    for (const Cell& cell : row.cells) {
      out << " | ";
      writeCell(out, cell);
    }
    out << "\n    links" << prunedLinks(copy, table, row) << '\n';
  }
  const std::set<std::int32_t> deleted(table.deletedRows.begin(), table.deletedRows.end());
  out << "  deleted set";
  for (const std::int32_t position : deleted) out << ' ' << position;
  out << "\n  index";
  for (const auto& [key, position] : table.pkMap) out << " '" << key.text() << "'->" << position;
  out << '\n';
}

}  // namespace

std::string rollbackState(const Database& db, const std::vector<std::string>& tableNames) {
  Database copy;
  copy.tables = db.tables;
  std::ostringstream out;
  for (const std::string& name : tableNames) {
    const auto found = copy.tables.find(name);
    if (found == copy.tables.end()) {
      out << "table " << name << " missing\n";
      continue;
    }
    writeTable(out, copy, found->second);
  }
  return out.str();
}

std::vector<std::string> tableNames(const Database& db) {
  std::vector<std::string> names;
  for (const auto& [name, table] : db.tables) names.push_back(name);
  return names;
}

std::string wholeState(const Database& db) {
  std::ostringstream out;
  out << rollbackState(db, tableNames(db)) << "transaction " << db.inTransaction << " entries";
  for (const TransactionAction& entry : db.transactionLog) {
    out << ' ' << entry.action << ' ' << entry.tableName << ' ' << entry.rowIndex << '/'
        << entry.indexChanges.size();
  }
  out << "\nqueued tasks " << db.webhookQueue.size() << '\n';
  return out.str();
}
