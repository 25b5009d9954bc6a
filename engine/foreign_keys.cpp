#include <algorithm>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "engine/database.h"
#include "engine/live_rows.h"
#include "engine/refusals.h"
#include "engine/row_filter.h"
#include "model/column_type.h"
#include "storage/storage.h"

namespace {

// Which states of a chain a key check looks at: the link and the restriction
// check care about what a value can still become, an insert or update of a
// child row about everything it ever shows.
enum class Reach { StillReachable, EveryState };

// The distinct key texts a foreign-key cell stands for. A repeating chain
// comes back to every state, so it stands for all of them either way.
std::set<std::string> keyTexts(const Cell& cell, Reach reach) {
  if (!cell.rule) return {cell.getVal()};
  TempRule& rule = *cell.rule;
  std::size_t first = 0;
  if (reach == Reach::StillReachable && !rule.isCycle) {
    rule.calculateIndex();
    first = static_cast<std::size_t>(std::max<std::int32_t>(rule.currentIndex, 0));
  }
  std::set<std::string> keys;
  for (std::size_t i = first; i < rule.states.size(); ++i) keys.insert(rule.states[i].value);
  return keys;
}

// The position of the first column named `name`, or columns.size().
std::size_t columnPosition(const Table& table, const std::string& name) {
  const auto found = std::find_if(table.columns.begin(), table.columns.end(),
                                  [&](const Column& column) { return column.name == name; });
  return static_cast<std::size_t>(found - table.columns.begin());
}

std::int32_t rowPosition(const Table& table, const Row* row) {
  return static_cast<std::int32_t>(row - table.rows.data());
}

bool isKeyType(const std::string& type) {
  const ValueKind kind = valueKindOf(type);
  return kind != ValueKind::kFloat && kind != ValueKind::kBool;
}

// A type links to itself, and the two integer types to each other.
bool linkableTypes(const std::string& child, const std::string& parent) {
  return child == parent || (isIntegerType(child) && isIntegerType(parent));
}

// The parent's key as it stood before a link set it up again. The index is
// taken over rather than copied: the set-up builds a new one from the rows
// anyway, and every way out of a link either restores this or drops it.
struct KeyState {
  std::string primaryKey;
  std::int32_t pkIndex;
  PrimaryKeyIndex pkMap;

  explicit KeyState(Table& table)
      : primaryKey(table.primaryKey), pkIndex(table.pkIndex), pkMap(std::move(table.pkMap)) {}

  void restore(Table& table) {
    table.primaryKey = std::move(primaryKey);
    table.pkIndex = pkIndex;
    table.pkMap = std::move(pkMap);
  }
};

}  // namespace

Row* Database::findParentRow(Table& parent, const std::string& key) {
  if (parent.primaryKey.empty()) {
    const std::vector<Condition> byKey{Condition{"", parent.primaryKey, key, "=", 'o'}};
    const std::vector<Row*> found = getRequestedRows(byKey, parent);
    return found.empty() ? nullptr : found.front();
  }
  // The selection of that equality, without a condition built for it.
  const std::string_view value = key;
  return keyEqualityMatches(std::span(&value, 1), parent).front();
}

void Database::link(const std::string& foreignTable, const std::string& foreignKeyCol,
                    const std::string& primaryTable, const std::string& primaryKeyCol) {
  const std::unique_lock lock(rwLock);
  makeLink(foreignTable, foreignKeyCol, primaryTable, primaryKeyCol, true);
}

void Database::linkAtStart(const std::string& foreignTable, const std::string& foreignKeyCol,
                           const std::string& primaryTable, const std::string& primaryKeyCol) {
  const std::unique_lock lock(rwLock);
  makeLink(foreignTable, foreignKeyCol, primaryTable, primaryKeyCol, true, true);
}

void Database::checkLink(const std::string& foreignTable, const std::string& foreignKeyCol,
                         const std::string& primaryTable, const std::string& primaryKeyCol) {
  const std::unique_lock lock(rwLock);
  makeLink(foreignTable, foreignKeyCol, primaryTable, primaryKeyCol, false);
}

void Database::makeLink(const std::string& foreignTable, const std::string& foreignKeyCol,
                        const std::string& primaryTable, const std::string& primaryKeyCol,
                        bool apply, bool keepIndex) {
  if (inTransaction) throw std::runtime_error("Cannot link tables while a transaction is active");
  const auto childEntry = tables.find(foreignTable);
  const auto parentEntry = tables.find(primaryTable);
  if (childEntry == tables.end() || parentEntry == tables.end()) throw tableNotFound();
  Table& child = childEntry->second;
  Table& parent = parentEntry->second;
  const auto childType = child.columnTypes.find(foreignKeyCol);
  const auto parentType = parent.columnTypes.find(primaryKeyCol);
  const std::size_t keyPosition = columnPosition(child, foreignKeyCol);
  if (childType == child.columnTypes.end() || parentType == parent.columnTypes.end() ||
      keyPosition == child.columns.size()) {
    throw std::runtime_error("Key does not exist");
  }
  if (!linkableTypes(childType->second, parentType->second)) {
    throw std::runtime_error("Type mismatch: Cannot link different data types");
  }
  if (!isKeyType(childType->second) || !isKeyType(parentType->second)) {
    throw std::runtime_error(
        "Error: Floats and Booleans are volatile and cannot be used as Primary or Foreign Keys.");
  }
  if (!parent.primaryKey.empty() && parent.primaryKey != primaryKeyCol) {
    throw std::runtime_error("Can't have two primary keys at once");
  }
  // The index holds each key as it was when the row was indexed; a key
  // that moves on with the clock would leave it wrong.
  if (const auto limit = parent.maxStatesByColumn.find(primaryKeyCol);
      limit != parent.maxStatesByColumn.end() && limit->second > 0) {
    throw std::runtime_error("Primary key column cannot hold state chains: " + primaryKeyCol);
  }
  // A parent checks one column per child table: a second column would go
  // unchecked.
  if (const auto linked = parent.children.find(foreignTable);
      linked != parent.children.end() && linked->second != foreignKeyCol) {
    throw std::runtime_error("Table already linked to this parent through another column");
  }

  // A kept index is never touched, so there is nothing to put back.
  std::optional<KeyState> before;
  if (!keepIndex || parent.primaryKey != primaryKeyCol) before.emplace(parent);
  const auto restore = [&] {
    if (before) before->restore(parent);
  };
  std::vector<ParentLink> pending;
  try {
    if (before) parent.setUpPrimaryKeyMap(primaryKeyCol);
    const ForeignRelation relation{foreignTable, foreignKeyCol};
    for (std::size_t position = 0; position < child.rows.size(); ++position) {
      if (!isLiveRow(child, static_cast<std::int64_t>(position))) continue;
      const Row& row = child.rows[position];
      if (keyPosition >= row.cells.size()) continue;
      const auto need = [&](const std::string& text) {
        const std::string key = text.substr(0, text.find('\0'));
        // An empty key is a key like any other, as for an insert: were it
        // passed over, which parent rows it protects would depend on the
        // order of past commands, and a start would answer otherwise.
        Row* found = findParentRow(parent, key);
        if (found == nullptr) {
          throw std::runtime_error("CRITICAL CORRUPTION: Missing active parent key: " + key);
        }
        pending.push_back(
            {&parent, rowPosition(parent, found), relation, static_cast<std::int32_t>(position)});
      };
      const Cell& cell = row.cells[keyPosition];
      // A value without a chain stands for itself alone: no set to build.
      if (!cell.rule) {
        need(cell.value);
        continue;
      }
      for (const std::string& text : keyTexts(cell, Reach::StillReachable)) need(text);
    }
    if (!apply) {
      restore();
      return;
    }
    // Before anything else changes: a relation file that cannot be written
    // fails the link.
    Storage::linkTables(child, parent, foreignKeyCol);
  } catch (...) {
    restore();
    throw;
  }
  recordLinks(pending);
  // In byte order, not link order: nothing on disk records the order of the
  // links, and the first parent that refuses a row names the refusal.
  child.parents.insert(std::upper_bound(child.parents.begin(), child.parents.end(), primaryTable),
                       primaryTable);
  parent.children.emplace(foreignTable, foreignKeyCol);
}

void Database::visitParentKeys(const Row& row, const std::string& tableName,
                               const std::unordered_set<std::string>* assigned,
                               const std::function<void(const ParentKey&)>& visit) {
  const auto tableEntry = tables.find(tableName);
  if (tableEntry == tables.end()) return;
  const Table& table = tableEntry->second;
  for (const std::string& parentName : table.parents) {
    const auto parentEntry = tables.find(parentName);
    if (parentEntry == tables.end() || parentEntry->second.rows.empty()) {
      visit({nullptr, {}, {}, nullptr});
      continue;
    }
    Table& parent = parentEntry->second;
    const auto childColumn = parent.children.find(tableName);
    if (childColumn == parent.children.end()) continue;
    const std::size_t keyPosition = columnPosition(table, childColumn->second);
    if (keyPosition >= row.cells.size()) continue;
    const Reach reach = assigned == nullptr || assigned->contains(childColumn->second)
                            ? Reach::EveryState
                            : Reach::StillReachable;
    const ForeignRelation relation{tableName, childColumn->second};
    for (const std::string& key : keyTexts(row.cells[keyPosition], reach)) {
      visit({&parent, relation, key, findParentRow(parent, key)});
    }
  }
}

std::vector<Database::ParentLink> Database::requireParentLinks(
    const Row& row, std::int32_t position, const std::string& tableName,
    const std::unordered_set<std::string>* assigned) {
  std::vector<ParentLink> links;
  visitParentKeys(row, tableName, assigned, [&](const ParentKey& needed) {
    if (needed.parent == nullptr) throw std::runtime_error("Primary table is empty");
    if (needed.found == nullptr) {
      throw std::runtime_error("Primary table is missing required future key: " + needed.key);
    }
    links.push_back(
        {needed.parent, rowPosition(*needed.parent, needed.found), needed.relation, position});
  });
  return links;
}

void Database::recordLinks(const std::vector<ParentLink>& links) {
  for (const ParentLink& link : links) {
    Row& parentRow = link.parent->rows[static_cast<std::size_t>(link.parentRow)];
    parentRow.links[link.relation].insert(link.child);
    parentRow.isReferenced = true;
  }
}

void Database::linkRow(Row* row, const std::string& tableName, bool isInsert) {
  const auto tableEntry = tables.find(tableName);
  if (tableEntry == tables.end()) return;
  Table& table = tableEntry->second;
  const auto position = static_cast<std::int32_t>(row - table.rows.data());
  try {
    recordLinks(requireParentLinks(*row, position, tableName, nullptr));
  } catch (const std::runtime_error&) {
    if (isInsert && !table.rows.empty()) table.rows.pop_back();
    throw;
  }
}

void Database::relinkRow(Row* row, const std::string& tableName) {
  const auto tableEntry = tables.find(tableName);
  if (tableEntry == tables.end()) return;
  const auto position = static_cast<std::int32_t>(row - tableEntry->second.rows.data());
  std::vector<ParentLink> links;
  visitParentKeys(*row, tableName, nullptr, [&](const ParentKey& needed) {
    if (needed.found == nullptr) return;
    links.push_back(
        {needed.parent, rowPosition(*needed.parent, needed.found), needed.relation, position});
  });
  recordLinks(links);
}

bool Database::isActivelyRestricted(Row* row, const std::string& pkValue) {
  bool result = false;
  for (auto relation = row->links.begin(); relation != row->links.end();) {
    const auto childEntry = tables.find(relation->first.table);
    std::set<std::int32_t>& positions = relation->second;
    for (auto position = positions.begin(); position != positions.end();) {
      // A position the child table no longer holds (it was dropped, or made
      // again with fewer rows) is as stale as a tombstone.
      bool refers = false;
      bool keep = false;
      if (childEntry != tables.end() && isLiveRow(childEntry->second, *position)) {
        const Row& childRow = childEntry->second.rows[static_cast<std::size_t>(*position)];
        const Cell* cell = ColumnRef(childEntry->second, relation->first.column).cellIn(childRow);
        if (cell == nullptr) {
          keep = true;
        } else {
          refers = keyTexts(*cell, Reach::StillReachable).contains(pkValue);
          keep = refers;
        }
      }
      result = result || refers;
      position = keep ? std::next(position) : positions.erase(position);
    }
    relation = positions.empty() ? row->links.erase(relation) : std::next(relation);
  }
  if (!result) row->isReferenced = false;
  return result;
}
