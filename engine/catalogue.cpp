#include <mutex>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>

#include "engine/database.h"
#include "model/column_type.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

const std::unordered_set<std::string> Database::types = columnTypeNames();

namespace {

// Bounds that keep every row slot and rule record a reasonable size: a
// checkpoint writes one slot per row and one record of room for the longest
// chain per temporal cell.
constexpr std::int32_t kMaxStringWidth = 1048576;
constexpr std::int32_t kMaxStateLimit = 4096;

std::runtime_error noSuchTable(const std::string& name) {
  return std::runtime_error("Syntax Error: Table '" + name + "' does not exist.");
}

void requireShortName(const std::string& name) {
  if (name.size() > kMaxNameBytes) throw std::runtime_error("Name longer than 15 bytes: " + name);
}

// Names, widths and the single identity column: everything that can be
// refused from the declaration alone.
void checkDeclaration(const std::string& name, const std::vector<Column>& columns) {
  if (!isSafeTableName(name)) throw std::runtime_error("Forbidden table name");
  requireShortName(name);
  std::set<std::string> names;
  for (const Column& column : columns) {
    if (!isSafeColumnName(column.name)) throw std::runtime_error("Forbidden column name");
    requireShortName(column.name);
    // Values, maps and conditions find a column by its name.
    if (!names.insert(column.name).second) {
      throw std::runtime_error("Duplicate column name: " + column.name);
    }
    if (column.type == "string" && (column.size <= 0 || column.size > kMaxStringWidth)) {
      throw std::runtime_error("Invalid string width: " + column.name);
    }
    // An identity key whose states could collide would make the key set-up
    // at start refuse the table.
    if (column.maxStates > kMaxStateLimit || (column.type == "ApexInt" && column.maxStates > 0)) {
      throw std::runtime_error("Invalid state limit: " + column.name);
    }
    // A column with a state limit takes its value width plus the flag byte.
    if (column.maxStates > 0 && Storage::getColumnBinSize(column) - 1 < kRecordNumberBytes) {
      throw std::runtime_error("Column too narrow for state chains: " + column.name);
    }
  }
  int identityColumns = 0;
  for (const Column& column : columns) {
    if (column.type == "ApexInt" && ++identityColumns > 1) {
      throw std::runtime_error("A table can only have one ApexInt column");
    }
  }
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
    if (column.type == "ApexInt") identity = &column;
  }
  if (identity != nullptr) table.setUpPrimaryKeyMap(identity->name);
  return table;
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

void Database::checkCreateTable(const std::string& name, const std::vector<Column>& columns) {
  const std::shared_lock lock(rwLock);
  refuseDeclaration(name, columns);
  if (tables.contains(name)) throw existingTableFiles();
  Storage::checkNewTableFiles(name);
}

void Database::createTable(const std::string& name, const std::vector<Column>& columns) {
  const std::unique_lock lock(rwLock);
  refuseDeclaration(name, columns);
  Table table = buildTable(name, columns);
  const std::string path = dataFilePath(name);
  if (recovering) {
    // The replayed command meets the data file it wrote when it first ran
    // and fails in storage; the table it leaves is the one the later log
    // lines were run against.
    Table& stored = tables[name] = std::move(table);
    Storage::saveTable(path, stored, "data");
    return;
  }
  // Storage refuses the name when any of the table's files exists.
  if (tables.contains(name)) throw existingTableFiles();
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
  // The data file is the table's commit point: once it is gone the drop has
  // happened, and what is left of the other files the recovery step removes.
  const std::string dataFile = dataFilePath(name);
  if (!removeFile(dataFile)) throw std::runtime_error("Failed to write file: " + dataFile);
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
  }
}
