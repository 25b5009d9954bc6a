#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/table.h"

// One change a command made to a primary-key index: the key it entered or
// erased, and the entry that held that key before (with its own key text),
// or none. Putting `previous` back undoes the change exactly.
struct IndexChange {
  std::string key;
  std::optional<std::pair<std::string, std::int32_t>> previous;

  bool operator==(const IndexChange& other) const = default;
};

// The kinds of change a transaction records, as TransactionAction::action
// holds them.
inline constexpr const char* kInsertAction = "INSERT";
inline constexpr const char* kUpdateAction = "UPDATE";
inline constexpr const char* kDeleteAction = "DELETE";

// One change recorded while a transaction is open.
struct TransactionAction {
  std::string action;  // kInsertAction, kDeleteAction or kUpdateAction
  std::string tableName;
  std::int32_t rowIndex = 0;
  Row before;  // for kUpdateAction the whole row as it was; empty otherwise
  // What the command did to the table's index for this row, in the order done.
  std::vector<IndexChange> indexChanges = {};
};
