#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/table.h"

// The rules a table's declaration obeys, whether it comes from CREATE TABLE
// or from the header of a data file found at start-up: one rule for both,
// so that no table loads that could not have been created.

// Why `name` cannot name a table: "Forbidden table name" or "Name longer
// than 15 bytes: <name>"; none when it can.
std::optional<std::string> tableNameFault(const std::string& name);

// Throws the first refusal of a table `name` with `columns`, in this order:
// the table name (tableNameFault); per column in order, "Forbidden column
// name", "Name longer than 15 bytes: <column>", "Duplicate column name:
// <column>", "Invalid string width: <column>" (a "string" width of 0 or
// less, or above 1,048,576), "Invalid state limit: <column>" (above 4,096,
// or any on an "ApexInt" column) and "Column too narrow for state chains:
// <column>"; then "A table can only have one ApexInt column". The column
// types are not looked at (Database::checkTypes does that).
void checkDeclaration(const std::string& name, const std::vector<Column>& columns);
