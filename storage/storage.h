#pragma once

#include <cstdint>
#include <fstream>
#include <ios>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/cell.h"
#include "model/table.h"

class Database;

// Every file the engine keeps in the current working directory. Each function
// opens the files it needs, uses them and closes them before it returns.
// Numbers are little-endian, fields packed, texts in zero-padded fixed-width
// fields.
class Storage {
 public:
  // On-disk value width of each column type. A "string" column's own width is
  // its Column::size; 60 is only the default.
  static const std::map<std::string, int> typeSizes;

  // --- Table data file "<table>.bin" ---

  // Creates the data file with the table header, and the deletion map.
  // Throws "Failed to open file: <path>" when the data file can be neither
  // opened nor created, and "Column size error", writing nothing, when the
  // file already holds a header with columns.
  static void saveTable(const std::string& path, const Table& table, const std::string& unused);

  // Writes one row slot. With std::ios_base::beg, `offset` is the slot's
  // position and each temporal value keeps the rule record its slot already
  // names; with std::ios_base::end the row is appended and the deletion map
  // gains a 0 byte. A missing data file is not created: nothing is written.
  static void insertRow(const Table& table, const Row& row, int offset, std::ios_base::seekdir dir);

  // The bytes a column takes in a row slot, the temporal flag byte included.
  static int getColumnBinSize(const Column& column);

  // Reads a table back from "<name>.bin" (or `name` itself when it already
  // holds ".bin") and its deletion map. A missing file gives a table with
  // that name and neither columns nor rows. The primary key is not set up.
  static Table loadTable(const std::string& name, const std::string& unused);

  static std::vector<Column> getColumns(std::fstream& file);
  static std::vector<Row> getRows(std::fstream& file, const std::vector<Column>& columns);
  // The text field of `length` bytes at absolute `offset`, up to its first zero.
  static std::string read(std::fstream& file, int offset, int length);

  // Rewrites each given row of `table` in its own slot.
  static void update(const Table& table, const std::vector<Row*>& rows);

  // --- Deletion map "<table>.del" and temporal-rule file "<table>.tmp" ---

  // Writes a 0 byte per row of the table from the start of its deletion map.
  static void setUpDeletesFile(const Table& table);

  // Writes one rule record and returns its number: record `recordNumber`, or
  // a new one at the end of the file when it is -1.
  static int writeTempRule(const std::string& tableName, int rIdx, int cIdx, const TempRule* rule,
                           int maxStates, int recordNumber);

  // Reads one rule record back; null when the file is missing or the record
  // is damaged (past the end, no states, more than `maxStates`).
  static std::unique_ptr<TempRule> readTempRule(const std::string& tableName, int recordNumber,
                                                int maxStates);

  static void deleteAt(const std::string& tableName, int slot);
  static void deleteBatch(const std::string& tableName, const std::vector<int>& slots);

  // --- Relation file "<child>-<fk>_<parent>-<pk>.rel" ---

  // Writes the link's header and a snapshot of which parent row each live
  // child row points at.
  static void linkTables(Table& foreign, Table& parent, const std::string& foreignKeyCol);

  // --- Write-ahead log "vesk.wal" ---

  // Appends one line for `command`: the text with each line feed turned into
  // a blank, the time marker and the current time. Never throws; a log that
  // cannot be opened loses the line.
  static void appendToWAL(const std::string& command);

  // Empties the log.
  static void clearWAL();

  // --- Start-up recovery (storage/recovery.cpp): these drive the engine ---

  // Makes every link recorded in a relation file again; a link that fails
  // prints its message on a line of its own.
  static void loadRelations(Database* db);
};

// Writes the whole text, then zero bytes up to `width` (table and relation headers).
void writeWithPadding(std::ostream& out, const std::string& text, int width);
// Writes at most `width` bytes of the text, then zero bytes up to `width`.
void writePad(std::ostream& out, const std::string& text, int width);
