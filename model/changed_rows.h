#pragma once

#include <cstdint>
#include <vector>

// Which rows of a table may differ from what its files hold, so that a
// checkpoint rewrites only those: a row's slot, its deletion-map byte and
// its rule records. Every command that changes a row (and every undo) marks
// it; a checkpoint whose journal commits starts the table afresh.
struct ChangedRows {
  // Every row: the files were not written from this memory (a table just
  // created, or loaded from files that a checkpoint would not write back as
  // they are, as a damaged rule record or a short deletion map).
  bool all = true;
  std::vector<bool> rows;  // by position; past its end nothing is marked
  // Rows whose slot shows a chain's current value (a chain in a column that
  // keeps no rule records): what they store changes with the clock, so
  // every checkpoint rewrites them.
  std::vector<std::int32_t> clockRows;
  // The row slots the files held after the last checkpoint.
  std::int64_t storedRows = 0;

  void mark(std::int32_t position) {
    if (all || position < 0) return;
    const auto at = static_cast<std::size_t>(position);
    if (at >= rows.size()) rows.resize(at + 1);
    rows[at] = true;
  }
};
