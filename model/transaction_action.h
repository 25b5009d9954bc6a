#pragma once

#include <cstdint>
#include <string>

#include "model/table.h"

// One change recorded while a transaction is open.
struct TransactionAction {
  std::string action;  // "INSERT", "DELETE" or "UPDATE"
  std::string tableName;
  std::int32_t rowIndex = 0;
  Row before;  // for "UPDATE" the whole row as it was; empty otherwise
};
