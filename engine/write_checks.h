#pragma once

#include <cstdint>
#include <string>

#include "model/cell.h"
#include "model/table.h"

// What insert and update check and shape before they change a row, so that
// a value never changes under its user at the next restart and no row
// acknowledged now can make a later checkpoint fail.

// The first column of `table` named `name`, or null.
const Column* findColumn(const Table& table, const std::string& name);

// Puts the cell's value and every state of its chain in their stored form
// for a column of type `type`.
void toStoredForm(Cell& cell, const std::string& type);

// Refuses a value given for `column` that the table file would not give
// back as it is: "Value too long for column: <column>" for a plain "string"
// value longer than the column's width or a chain state longer than a rule
// record holds of it; then "Value reserved for a missing value in column:
// <column>" for a plain "string" value that the column's field would read
// back as "#/#?" (in a column narrower than the marker, exactly the
// marker's first bytes: '#', '#/' or '#/#'). A cell given no value is not
// checked: it holds "#/#?", which such a column keeps as its first bytes.
void requireStorableValue(const Cell& cell, const Column& column);

// Throws "File offset out of range: <table>.bin" unless the next checkpoint
// can address the row slot at `position` with the data file's 32-bit offsets.
void requireRowSlot(const Table& table, std::int64_t position);

// Throws "File offset out of range: <table>.tmp" unless the rule file can
// address a record for every cell of the temporal columns of `rowCount`
// rows: a chain needs at most one record of its own, so this bounds what any
// later checkpoint appends for the table's chains.
void requireRuleRecords(const Table& table, std::int64_t rowCount);
