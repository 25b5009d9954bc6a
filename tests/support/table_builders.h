#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/cell.h"
#include "model/table.h"

// Tables, rows and state chains that tests put together by hand.

inline Column makeColumn(std::string name, std::string type, std::int32_t maxStates = 0,
                         std::int32_t size = 60) {
  return Column{std::move(name), std::move(type), maxStates, size};
}

// A table with its column maps, no rows and no primary key.
inline Table makeTable(const std::string& name, const std::vector<Column>& columns) {
  Table table;
  table.name = name;
  table.columns = columns;
  for (const Column& column : columns) {
    table.columnTypes[column.name] = column.type;
    table.maxStatesByColumn[column.name] = column.maxStates;
  }
  return table;
}

// Appends a live row holding `values` in column order ("#/#?" for the
// columns past them) and returns it.
inline Row& appendRow(Table& table, const std::vector<std::string>& values) {
  Row row;
  row.tableName = table.name;
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    Cell cell;
    cell.column = table.columns[i].name;
    cell.type = table.columns[i].type;
    cell.value = i < values.size() ? values[i] : kMissingValue;
    row.cells.push_back(std::move(cell));
  }
  table.rows.push_back(std::move(row));
  return table.rows.back();
}

// The position of the table's last row.
inline std::int32_t lastPosition(const Table& table) {
  return static_cast<std::int32_t>(table.rows.size()) - 1;
}

inline void markDeleted(Table& table, std::int32_t position) {
  table.rows[static_cast<std::size_t>(position)].deleted = true;
  table.deletedRows.insert(position);
}

// A state chain over `states`, started at `insTime`; preCalc is their sum.
inline std::unique_ptr<TempRule> makeRule(const std::vector<TempState>& states,
                                          std::int64_t insTime, bool isCycle = false) {
  auto rule = std::make_unique<TempRule>();
  rule->states = states;
  rule->insTime = insTime;
  rule->isCycle = isCycle;
  for (const TempState& state : states) rule->preCalc += state.duration;
  return rule;
}

// A primary-key index as (key text, position) pairs, in key order.
using IndexEntries = std::vector<std::pair<std::string, std::int32_t>>;

inline IndexEntries indexEntries(const PrimaryKeyIndex& index) {
  IndexEntries entries;
  for (const auto& [key, position] : index) entries.emplace_back(key.text(), position);
  return entries;
}
