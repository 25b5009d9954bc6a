#pragma once

#include <cstddef>
#include <cstdint>

#include "model/table.h"

// Positions come from indexes, back-references and the transaction log, which
// may outlive the rows they name; every reader asks here before it touches a
// row, so no position ever reads past the end of a row list.

// Whether `table` holds a row at `position`, live or not.
inline bool holdsRow(const Table& table, std::int64_t position) {
  return position >= 0 && static_cast<std::uint64_t>(position) < table.rows.size();
}

// Whether `table` holds a row at `position` that is not a tombstone (either
// the row's flag or the table's set of deleted positions marks one).
inline bool isLiveRow(const Table& table, std::int64_t position) {
  if (!holdsRow(table, position)) return false;
  return !table.rows[static_cast<std::size_t>(position)].deleted &&
         !table.deletedRows.contains(static_cast<std::int32_t>(position));
}
