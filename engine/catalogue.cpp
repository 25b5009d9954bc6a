#include <algorithm>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>

#include "engine/database.h"
#include "engine/declaration.h"
#include "model/column_type.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/staged_file.h"
#include "storage/storage.h"

const std::unordered_set<std::string> Database::types = columnTypeNames();

namespace {

std::runtime_error noSuchTable(const std::string& name) {
  return std::runtime_error("Syntax Error: Table '" + name + "' does not exist.");
}

// Whether two column lists lay rows out alike in a data file: the same
// names, types, state limits and widths, in the same order.
bool sameLayout(const std::vector<Column>& a, const std::vector<Column>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Column& x, const Column& y) {
    return x.name == y.name && x.type == y.type && x.maxStates == y.maxStates &&
           Storage::getColumnBinSize(x) == Storage::getColumnBinSize(y);
  });
}

// Another table whose name differs from `name` only in letter case: the two
// would share their files where file names ignore case.
bool hasCaseTwin(const std::map<std::string, Table>& tables, const std::string& name) {
  return std::ranges::any_of(tables, [&](const auto& entry) {
    return entry.first != name && namesShareFiles(entry.first, name);
  });
}

// The new table with its column maps and, for an "ApexInt" column, its
// (empty) primary-key index.
Table buildTable(const std::string& name, const std::vector<Column>& columns) {
  Table table;
  table.name = name;
  table.columns = columns;
  const Column* identity = nullptr;
  for (const Column& column : columns) {
    table.columnTypes[column.name] = column.type;
    table.maxStatesByColumn[column.name] = column.maxStates;
    if (isIdentityType(column.type)) identity = &column;
  }
  if (identity != nullptr) table.setUpPrimaryKeyMap(identity->name);
  return table;
}

// Whether the start gives `table` its key by itself: its first "ApexInt"
// column is the key.
bool keyedByIdentity(const Table& table) {
  const auto identity =
      std::find_if(table.columns.begin(), table.columns.end(),
                   [](const Column& column) { return isIdentityType(column.type); });
  return identity != table.columns.end() && identity->name == table.primaryKey;
}

}  // namespace

Table& Database::getTable(const std::string& name) {
  const auto found = tables.find(name);
  if (found == tables.end()) throw noSuchTable(name);
  return found->second;
}

bool Database::checkTypes(const std::vector<Column>& columns) {
  for (const Column& column : columns) {
    if (!types.contains(column.type) || types.contains(column.name)) return false;
  }
  return true;
}

void Database::refuseDeclaration(const std::string& name, const std::vector<Column>& columns) {
  if (!checkTypes(columns)) throw std::runtime_error("Unknown type");
  checkDeclaration(name, columns);
}

void Database::refuseExistingName(const std::string& name) const {
  if (tables.contains(name) || hasCaseTwin(tables, name)) throw existingTableFiles();
}

void Database::checkCreateTable(const std::string& name, const std::vector<Column>& columns) {
  const std::shared_lock lock(rwLock);
  refuseDeclaration(name, columns);
  refuseExistingName(name);
  Storage::checkNewTableFiles(name);
}

void Database::createTable(const std::string& name, const std::vector<Column>& columns) {
  const std::unique_lock lock(rwLock);
  refuseDeclaration(name, columns);
  // Refused in the replay too: where file names ignore case, the replayed
  // table would take over its twin's files.
  if (hasCaseTwin(tables, name)) throw existingTableFiles();
  Table table = buildTable(name, columns);
  const std::string path = dataFilePath(name);
  if (recovering) {
    // A logged CREATE TABLE wrote the very header that was loaded. When the
    // two disagree one of them is damaged: the table keeps the layout of
    // its data file, which is what a checkpoint writes its rows into.
    const auto loaded = tables.find(name);
    if (loaded != tables.end() && !sameLayout(loaded->second.columns, columns)) {
      throw existingTableFiles();
    }
    // The replayed command meets the data file it wrote when it first ran
    // and fails in storage; the table it leaves is the one the later log
    // lines were run against.
    Table& stored = tables[name] = std::move(table);
    Storage::saveTable(path, stored, "data");
    return;
  }
  // Storage refuses the name when any of the table's files exists.
  refuseExistingName(name);
  Storage::saveTable(path, table, "data");
  tables.emplace(name, std::move(table));
}

void Database::refuseDrop(const std::string& name) const {
  const auto found = tables.find(name);
  if (found == tables.end()) throw noSuchTable(name);
  if (inTransaction) throw std::runtime_error("Cannot drop a table while a transaction is active");
  for (const auto& [child, column] : found->second.children) {
    if (child != name && tables.contains(child)) {
      throw std::runtime_error("Cannot drop a table that other tables reference");
    }
  }
}

void Database::checkDropTable(const std::string& name) {
  const std::shared_lock lock(rwLock);
  refuseDrop(name);
}

void Database::dropTable(const std::string& name) {
  const std::unique_lock lock(rwLock);
  refuseDrop(name);
  // The data file is the table's commit point: once it is durably gone the
  // drop has happened, and what is left of the other files the recovery
  // step removes.
  const std::string dataFile = dataFilePath(name);
  if (!removeFileDurably(dataFile)) throw failedToWrite(dataFile);
  tables.erase(name);
  listeners.erase(name);
  forgetChildTable(name);
  removeFile(deletionMapPath(name));
  removeFile(ruleFilePath(name));
  try {
    Storage::removeRelationFiles(name);
  } catch (const std::runtime_error&) {
    // The drop stands; the recovery step removes a relation file whose child
    // has no data file.
  }
}

void Database::forgetChildTable(const std::string& name) {
  for (auto& [parentName, parent] : tables) {
    if (parent.children.erase(name) == 0) continue;
    for (Row& row : parent.rows) {
      std::erase_if(row.links, [&](const auto& link) { return link.first.table == name; });
    }
    // A key that only links gave goes with the last of them: no relation
    // file is left to give it back at the next start.
    if (parent.children.empty() && !keyedByIdentity(parent)) {
      parent.primaryKey.clear();
      parent.pkIndex = 0;
      parent.pkMap = PrimaryKeyIndex();
    }
  }
}
