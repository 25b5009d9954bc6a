#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage_tables.h"
#include "support/file_sweep.h"
#include "support/test_support.h"

namespace {

using namespace storage_tables;

class TableFileTest : public TempDirTest {
 protected:
  // Creates the table's files as CREATE TABLE does.
  static void create(const Table& table) { Storage::saveTable(table.name + ".bin", table, "data"); }
};

Table lampTable() {
  return makeTable("lamp", {makeColumn("id", "ApexInt"), makeColumn("name", "string", 0, 20),
                            makeColumn("price", "float"), makeColumn("ok", "bool")});
}

// A header as the format lays it out, from its field texts.
std::string headerBytes(const std::string& name, const std::vector<std::string>& types,
                        const std::vector<std::string>& names,
                        const std::vector<std::string>& maxStates,
                        const std::vector<std::string>& sizes) {
  std::string bytes = field(name);
  for (const auto* block : {&types, &names, &maxStates, &sizes}) {
    for (const std::string& text : *block) bytes += field(text);
  }
  return bytes;
}

TEST_F(TableFileTest, HeaderAndSlotsAreByteExact) {
  Table table = lampTable();
  create(table);
  const std::string header =
      headerBytes("lamp", {"ApexInt", "string", "float", "bool"}, {"id", "name", "price", "ok"},
                  {"0", "0", "0", "0"}, {"60", "20", "60", "60"});
  ASSERT_EQ(header.size(), 255U);
  EXPECT_EQ(readFile("lamp.bin"), header);
  EXPECT_TRUE(std::filesystem::exists("lamp.del"));
  EXPECT_EQ(readFile("lamp.del"), "");

  appendRow(table, {"1", "first", "1.0", "false"});
  appendRow(table, {"2", "second", "0.5", "true"});
  appendRow(table, {"3", "abc", "2.5", "true"});
  writeAllRows(table);

  const std::string bytes = readFile("lamp.bin");
  ASSERT_EQ(bytes.size(), 255U + 3 * 29);
  EXPECT_EQ(bytes.substr(0, 255), header);
  const std::string slot2 =
      bytesOf({3, 0, 0, 0}) + field("abc", 20) + bytesOf({0, 0, 0x20, 0x40}) + bytesOf({1});
  ASSERT_EQ(slot2.size(), 29U);
  EXPECT_EQ(bytes.substr(313), slot2);
}

TEST_F(TableFileTest, ColumnWidthCountsTheFlagByteAndTheStringWidth) {
  struct Case {
    const char* name;
    Column column;
    int width;
  };
  const Case cases[] = {
      {"int", makeColumn("c", "int"), 4},
      {"int with a state limit of 3", makeColumn("c", "int", 3), 5},
      {"bool", makeColumn("c", "bool"), 1},
      {"float", makeColumn("c", "float"), 4},
      {"ApexInt", makeColumn("c", "ApexInt"), 4},
      {"default string", makeColumn("c", "string"), 60},
      {"default string with a state limit", makeColumn("c", "string", 2), 61},
      {"declared string", makeColumn("c", "string", 0, 20), 20},
      {"string width zero holds the default", makeColumn("c", "string", 0, 0), 60},
      {"negative string width holds the default", makeColumn("c", "string", 1, -5), 61},
      {"negative state limit adds no flag", makeColumn("c", "int", -1), 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Storage::getColumnBinSize(c.column), c.width);
  }
}

// A "string" column narrower than "#/#?" holds only the marker's first bytes;
// they read back as the marker, so a missing value stays missing.
TEST_F(TableFileTest, MissingValueSurvivesNarrowStringColumns) {
  struct Case {
    const char* name;
    int width;
    std::string written;
    std::string read;
  };
  const Case cases[] = {
      {"one byte", 1, kMissingValue, kMissingValue},
      {"two bytes", 2, kMissingValue, kMissingValue},
      {"three bytes", 3, kMissingValue, kMissingValue},
      {"four bytes hold the whole marker", 4, kMissingValue, kMissingValue},
      {"a value that is the marker's start reads as missing", 2, "#/", kMissingValue},
      {"a shorter start is a value", 3, "#/", "#/"},
      {"another value", 3, "#/x", "#/x"},
      {"an empty value", 2, "", ""},
  };
  std::vector<Column> columns;
  std::vector<std::string> values;
  for (const Case& c : cases) {
    columns.push_back(makeColumn("c" + std::to_string(columns.size()), "string", 0, c.width));
    values.push_back(c.written);
  }
  Table table = makeTable("narrow", columns);
  create(table);
  appendRow(table, values);
  writeAllRows(table);

  const Table loaded = Storage::loadTable("narrow", "");
  ASSERT_EQ(loaded.rows.size(), 1U);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(loaded.rows[0].cells[i].value, cases[i].read);
  }
}

TEST_F(TableFileTest, ValuesComeBackInTheirStoredForm) {
  struct Case {
    const char* name;
    Column column;
    std::string written;
    std::string read;
  };
  const Case cases[] = {
      {"int leading zeros", makeColumn("a", "int"), "007", "7"},
      {"int from a decimal", makeColumn("b", "int"), "1.5", "1"},
      {"negative int", makeColumn("c", "int"), "-42", "-42"},
      {"int that does not convert", makeColumn("d", "int"), "abc", "0"},
      {"ApexInt", makeColumn("e", "ApexInt"), "12", "12"},
      {"float", makeColumn("f", "float"), "2.5", "2.500000"},
      {"float one tenth", makeColumn("g", "float"), "0.1", "0.100000"},
      {"missing float", makeColumn("h", "float"), kMissingValue, kMissingValue},
      {"float that does not convert", makeColumn("i", "float"), "x", "0.000000"},
      {"missing bool", makeColumn("j", "bool"), kMissingValue, "false"},
      {"bool upper case", makeColumn("k", "bool"), "TRUE", "true"},
      {"string", makeColumn("l", "string"), "hello", "hello"},
      {"8-byte string cut", makeColumn("m", "string", 0, 8), "0123456789", "01234567"},
      {"8-byte string filled", makeColumn("n", "string", 0, 8), "abcdefgh", "abcdefgh"},
      {"plain value in a temporal column", makeColumn("o", "int", 3), "5", "5"},
      {"plain string in a temporal column", makeColumn("p", "string", 2, 6), "xyz", "xyz"},
  };
  std::vector<Column> columns;
  std::vector<std::string> values;
  for (const Case& c : cases) {
    columns.push_back(c.column);
    values.push_back(c.written);
  }
  Table table = makeTable("vals", columns);
  create(table);
  appendRow(table, values);
  writeAllRows(table);

  const Table loaded = Storage::loadTable("vals", "");
  ASSERT_EQ(loaded.rows.size(), 1U);
  ASSERT_EQ(loaded.rows[0].cells.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(loaded.rows[0].cells[i].value, cases[i].read);
    EXPECT_EQ(loaded.rows[0].cells[i].rule, nullptr);
  }
}

TEST_F(TableFileTest, LoadRebuildsColumnsRowsDeletionsAndRules) {
  ScopedClock clock(1000);
  Table table =
      makeTable("dev", {makeColumn("id", "ApexInt"), makeColumn("state", "string", 3),
                        makeColumn("level", "int", 2), makeColumn("note", "string", 0, 8)});
  create(table);
  appendRow(table, {"1", "", "5", "a"}).cells[1].rule = makeRule({{"on", 10}, {"off", 0}}, 1000);
  appendRow(table, {"2", "idle", "6", "b"});
  appendRow(table, {"3", "", "", "c"}).cells[2].rule =
      makeRule({{"1", 5}, {"2", 5}, {"3", 5}}, 990, true);
  markDeleted(table, 1);
  writeAllRows(table);

  const Table loaded = Storage::loadTable("dev", "");
  EXPECT_EQ(loaded.name, "dev");
  ASSERT_EQ(loaded.columns.size(), 4U);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(loaded.columns[i].name, table.columns[i].name);
    EXPECT_EQ(loaded.columns[i].type, table.columns[i].type);
    EXPECT_EQ(loaded.columns[i].maxStates, table.columns[i].maxStates);
    EXPECT_EQ(loaded.columns[i].size, table.columns[i].size);
    EXPECT_EQ(loaded.columnTypes.at(table.columns[i].name), table.columns[i].type);
    EXPECT_EQ(loaded.maxStatesByColumn.at(table.columns[i].name), table.columns[i].maxStates);
  }
  ASSERT_EQ(loaded.rows.size(), 3U);
  EXPECT_EQ(loaded.deletedRows, (std::unordered_set<std::int32_t>{1}));
  EXPECT_TRUE(loaded.primaryKey.empty());
  EXPECT_TRUE(loaded.pkMap.empty());
  for (std::size_t r = 0; r < 3; ++r) {
    SCOPED_TRACE(r);
    const Row& row = loaded.rows[r];
    EXPECT_EQ(row.tableName, "dev");
    EXPECT_EQ(row.deleted, r == 1);
    EXPECT_TRUE(row.links.empty());
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(row.cells[i].column, table.columns[i].name);
      EXPECT_EQ(row.cells[i].type, table.columns[i].type);
      EXPECT_EQ(row.cells[i].rowIndex, static_cast<std::int32_t>(r));
    }
  }

  const Cell& chain = loaded.rows[0].cells[1];
  ASSERT_NE(chain.rule, nullptr);
  EXPECT_EQ(chain.value, "");
  EXPECT_EQ(chain.rule->currentIndex, 0);
  EXPECT_EQ(chain.rule->insTime, 1000);
  EXPECT_EQ(chain.rule->preCalc, 10);
  EXPECT_FALSE(chain.rule->isCycle);
  ASSERT_EQ(chain.rule->states.size(), 2U);
  EXPECT_EQ(chain.rule->states[0].value, "on");
  EXPECT_EQ(chain.rule->states[0].duration, 10);
  EXPECT_EQ(chain.rule->states[1].value, "off");

  const Cell& cycle = loaded.rows[2].cells[2];
  ASSERT_NE(cycle.rule, nullptr);
  EXPECT_TRUE(cycle.rule->isCycle);
  EXPECT_EQ(cycle.rule->states.size(), 3U);
  EXPECT_EQ(loaded.rows[1].cells[1].value, "idle");
  EXPECT_EQ(loaded.rows[1].cells[1].rule, nullptr);

  // The reloaded chains follow the clock from their stored start times.
  EXPECT_EQ(chain.getVal(), "on");
  EXPECT_EQ(cycle.getVal(), "3");
  clock.set(1010);
  EXPECT_EQ(chain.getVal(), "off");
  EXPECT_EQ(cycle.getVal(), "2");
}

TEST_F(TableFileTest, SaveTableOverAnExistingHeaderFailsAndChangesNothing) {
  Table table = lampTable();
  create(table);
  appendRow(table, {"1", "x", "1", "true"});
  writeAllRows(table);
  std::filesystem::remove("lamp.del");
  const std::string before = readFile("lamp.bin");

  const Table other = makeTable("lamp", {makeColumn("a", "int")});
  try {
    Storage::saveTable("lamp.bin", other, "data");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Column size error");
  }
  EXPECT_EQ(readFile("lamp.bin"), before);
  EXPECT_FALSE(std::filesystem::exists("lamp.del"));
}

TEST_F(TableFileTest, SaveTableOverAFileWithoutHeaderFailsAndChangesNothing) {
  writeFile("t.bin", "garbage");
  const Table table = makeTable("t", {makeColumn("a", "int")});
  try {
    create(table);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Column size error");
  }
  EXPECT_EQ(readFile("t.bin"), "garbage");
  EXPECT_EQ(fileNames(), std::set<std::string>{"t.bin"});
}

TEST_F(TableFileTest, SaveTableWritesAZeroPerRowIntoTheNewMap) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  appendRow(table, {"1"});
  markDeleted(table, 0);
  appendRow(table, {"2"});
  create(table);
  EXPECT_EQ(readFile("t.del"), bytesOf({0, 0}));
  EXPECT_EQ(fileNames(), (std::set<std::string>{"t.bin", "t.del"}));
}

TEST_F(TableFileTest, SaveTableThatCannotCreateItsFileFailsAndCreatesNothing) {
  const Table table = makeTable("t", {makeColumn("a", "int")});
  try {
    Storage::saveTable("nowhere/t.bin", table, "data");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Failed to open file: nowhere/t.bin");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

// What no CREATE TABLE and no checkpoint leaves is damage, and never loads:
// read with a wrong layout, its rows would come back mis-sliced and the next
// checkpoint would write them back so. Loading reads, and changes nothing.
TEST_F(TableFileTest, FilesOfNoTableShapeAreRefused) {
  Table table = makeTable("t", {makeColumn("a", "int"), makeColumn("b", "string", 0, 4)});
  create(table);
  appendRow(table, {"1", "ab"});
  appendRow(table, {"2", "cd"});
  writeAllRows(table);
  const std::string whole = readFile("t.bin");
  const std::string header = whole.substr(0, 15 + 60 * 2);
  std::string otherName = whole;
  otherName.replace(0, 15, field("u"));
  std::string pathName = whole;
  pathName.replace(0, 15, field("sub/x"));
  std::string manyTypes = field("t");
  for (int i = 0; i < 1000; ++i) manyTypes += field("int");

  const std::string shape =
      "Damaged table file t.bin: its length is not its header and whole row slots";
  const std::string named = "Damaged table file t.bin: its header names another table";
  struct Case {
    const char* shows;
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {"last slot cut by 1 byte", whole.substr(0, whole.size() - 1), shape},
      {"last slot cut by 4 bytes", whole.substr(0, whole.size() - 4), shape},
      {"last slot cut by 7 bytes", whole.substr(0, whole.size() - 7), shape},
      {"a byte past the last slot", whole + "x", shape},
      {"header cut short", header.substr(0, 100), shape},
      {"an empty file", "", shape},
      {"no type name at all", std::string(200, 'x'), shape},
      {"type fields up to the end", manyTypes, shape},
      {"header of another table", otherName, named},
      {"header name that is a path", pathName, named},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    writeFile("t.bin", c.bytes);
    try {
      Storage::loadTable("t", "");
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.message);
    }
    EXPECT_EQ(readFile("t.bin"), c.bytes);
  }
}

// A file that exists but cannot be read is never taken for a missing one: a
// missing deletion map leaves every row live, a missing rule file every rule
// cell empty, and the next checkpoint would write that back.
TEST_F(TableFileTest, TableFilesThatCannotBeReadAreRefused) {
  Table table = makeTable("t", {makeColumn("a", "int", 2)});
  create(table);
  appendRow(table, {""}).cells[0].rule = makeRule({{"1", 5}}, 0);
  writeAllRows(table);
  const std::string data = readFile("t.bin");
  for (const char* name : {"t.bin", "t.del", "t.tmp"}) {
    for (const bool fifo : {false, true}) {
      SCOPED_TRACE(std::string(name) + (fifo ? " as a FIFO" : " as a directory"));
      const std::string bytes = readFile(name);
      std::filesystem::remove(name);
      if (fifo) {
        ASSERT_EQ(::mkfifo(name, 0600), 0);
      } else {
        std::filesystem::create_directory(name);
      }
      try {
        Storage::loadTable("t", "");
        ADD_FAILURE() << "loaded";
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), "Failed to open file: " + std::string(name));
      }
      std::filesystem::remove(name);
      writeFile(name, bytes);
    }
  }
  EXPECT_EQ(readFile("t.bin"), data);
}

// A read that fails anywhere in a load, of a data file read in several
// pieces, its rule file or its deletion map, refuses the load with the
// file's message.
TEST_F(TableFileTest, EveryReadThatFailsRefusesTheLoad) {
  Table table = makeTable("t", {makeColumn("note", "string"), makeColumn("level", "int", 2)});
  create(table);
  appendRow(table, {"n", ""}).cells[1].rule = makeRule({{"1", 5}}, 0);
  writeAllRows(table);
  const std::string written = readFile("t.bin");
  const std::size_t header = 15 + 60 * 2;
  constexpr int kRows = 5000;  // more slot bytes than the loader reads at once
  std::string bytes = written.substr(0, header);
  for (int i = 0; i < kRows; ++i) bytes += written.substr(header);
  writeFile("t.bin", bytes);
  writeFile("t.del", std::string(kRows, '\0'));
  ASSERT_EQ(Storage::loadTable("t", "").rows.size(), static_cast<std::size_t>(kRows));

  const std::int64_t operations = countFileOperations([] { Storage::loadTable("t", ""); });
  std::vector<std::string> refusals;
  for (std::int64_t n = 0; n < operations; ++n) {
    const ScopedFileFault fault(FileFault{n, false});
    try {
      Storage::loadTable("t", "");
      refusals.push_back("loaded");
    } catch (const std::runtime_error& error) {
      refusals.push_back(error.what());
    }
  }
  // The open and the first piece, the slots after it, the rule file at the
  // first rule cell, the second run of slots, the map.
  const std::string bin = "Failed to open file: t.bin";
  EXPECT_EQ(refusals, (std::vector<std::string>{bin, bin, bin, "Failed to open file: t.tmp", bin,
                                                "Failed to open file: t.del"}));
  EXPECT_EQ(readFile("t.bin"), bytes);
}

// The stream readers read any stream whole from its start, wherever it
// stands and whatever its state, and leave it usable.
TEST_F(TableFileTest, StreamReadersReadAnyStreamWholeFromItsStart) {
  Table table = lampTable();
  create(table);
  appendRow(table, {"1", "first", "1.5", "true"});
  appendRow(table, {"2", "second", "0.5", "false"});
  writeAllRows(table);
  const std::string whole = readFile("lamp.bin");
  const Table loaded = Storage::loadTable("lamp", "");
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t rows;
  };
  const Case cases[] = {
      {"whole file", whole, 2},
      {"last slot cut short", whole.substr(0, whole.size() - 1), 1},
      {"header alone", whole.substr(0, 255), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream file(c.bytes);
    file.seekg(40);
    file.setstate(std::ios_base::eofbit);
    const std::vector<Column> columns = Storage::getColumns(file);
    EXPECT_TRUE(file.good());
    ASSERT_EQ(columns.size(), loaded.columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
      EXPECT_EQ(columns[i].name, loaded.columns[i].name);
      EXPECT_EQ(columns[i].type, loaded.columns[i].type);
      EXPECT_EQ(columns[i].size, loaded.columns[i].size);
    }
    file.setstate(std::ios_base::failbit);
    const std::vector<Row> rows = Storage::getRows(file, columns);
    EXPECT_TRUE(file.good());
    ASSERT_EQ(rows.size(), c.rows);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      EXPECT_EQ(rows[r].tableName, "lamp");
      for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(rows[r].cells[i].value, loaded.rows[r].cells[i].value) << r << " " << i;
        EXPECT_EQ(rows[r].cells[i].rowIndex, static_cast<std::int32_t>(r));
      }
    }
    EXPECT_EQ(Storage::read(file, 0, 15), "lamp");
  }
}

TEST_F(TableFileTest, DeletionMapMarksNonZeroBytesAndLeavesUncoveredRowsLive) {
  struct Case {
    const char* name;
    std::string map;
    bool missing;
    std::vector<bool> deleted;
  };
  const Case cases[] = {
      {"0 5 0", bytesOf({0, 5, 0}), false, {false, true, false, false}},
      {"two bytes for four rows", bytesOf({1, 1}), false, {true, true, false, false}},
      {"empty map", "", false, {false, false, false, false}},
      {"missing map", "", true, {false, false, false, false}},
      {"longer map", bytesOf({0, 0, 0, 1, 1, 1}), false, {false, false, false, true}},
  };
  Table table = makeTable("t", {makeColumn("a", "int")});
  create(table);
  for (const char* value : {"1", "2", "3", "4"}) appendRow(table, {value});
  writeAllRows(table);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.missing) {
      std::filesystem::remove("t.del");
    } else {
      writeFile("t.del", c.map);
    }
    const Table loaded = Storage::loadTable("t", "");
    ASSERT_EQ(loaded.rows.size(), 4U);
    for (std::size_t p = 0; p < 4; ++p) {
      EXPECT_EQ(loaded.rows[p].deleted, c.deleted[p]) << p;
      EXPECT_EQ(loaded.deletedRows.count(static_cast<std::int32_t>(p)) == 1, c.deleted[p]) << p;
    }
  }
}

TEST_F(TableFileTest, MissingOrHeaderlessFilesLoadAsEmptyTables) {
  EXPECT_TRUE(Storage::loadTable("none", "").columns.empty());
  EXPECT_EQ(Storage::loadTable("none", "").name, "none");

  const Table table = makeTable("fresh", {makeColumn("a", "int"), makeColumn("b", "bool")});
  create(table);
  const Table loaded = Storage::loadTable("fresh", "");
  EXPECT_EQ(loaded.columns.size(), 2U);
  EXPECT_TRUE(loaded.rows.empty());
  // A name that already carries the extension reads that file.
  EXPECT_EQ(Storage::loadTable("fresh.bin", "").columns.size(), 2U);
}

TEST_F(TableFileTest, DamagedHeaderNumbersFallBack) {
  struct Case {
    const char* name;
    std::string type;
    std::string maxStates;
    std::string size;
    std::int32_t expectedMaxStates;
    std::int32_t expectedSize;
  };
  const Case cases[] = {
      {"string width not a number", "string", "0", "abc", 0, 60},
      {"negative string width", "string", "0", "-5", 0, 60},
      {"zero string width", "string", "0", "0", 0, 60},
      {"string width beyond 32 bits", "string", "0", "99999999999", 0, 60},
      {"largest string width", "string", "0", "2147483647", 0, 60},
      {"int size not a number", "int", "0", "x", 0, 4},
      {"bool size not a number", "bool", "0", "", 0, 1},
      {"state limit not a number", "int", "many", "4", 0, 4},
      {"negative state limit", "int", "-3", "4", -3, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile("t.bin", headerBytes("t", {c.type}, {"a"}, {c.maxStates}, {c.size}));
    const Table loaded = Storage::loadTable("t", "");
    ASSERT_EQ(loaded.columns.size(), 1U);
    EXPECT_EQ(loaded.columns[0].maxStates, c.expectedMaxStates);
    EXPECT_EQ(loaded.columns[0].size, c.expectedSize);
  }
}

TEST_F(TableFileTest, NarrowTemporalColumnKeepsPlainValuesWithinItsWidth) {
  ScopedClock clock(1000);
  Table table = makeTable("t", {makeColumn("flag", "bool", 2), makeColumn("n", "int"),
                                makeColumn("s", "string", 2, 3)});
  create(table);
  Row& row = appendRow(table, {"", "7", ""});
  row.cells[0].rule = makeRule({{"true", 100}, {"false", 0}}, 1000);
  row.cells[2].rule = makeRule({{"abc", 0}}, 1000);
  writeAllRows(table);

  EXPECT_FALSE(std::filesystem::exists("t.tmp"));
  const std::string slot = readFile("t.bin").substr(15 + 60 * 3);
  EXPECT_EQ(slot, bytesOf({0, 1, 7, 0, 0, 0, 0}) + "abc");

  // A flag byte of 1 that a damaged file left there reads as a plain value.
  writeFile("t.bin",
            readFile("t.bin").substr(0, 15 + 60 * 3) + bytesOf({1, 1, 7, 0, 0, 0, 1}) + "xyz");
  const Table loaded = Storage::loadTable("t", "");
  ASSERT_EQ(loaded.rows.size(), 1U);
  EXPECT_EQ(loaded.rows[0].cells[0].value, "true");
  EXPECT_EQ(loaded.rows[0].cells[0].rule, nullptr);
  EXPECT_EQ(loaded.rows[0].cells[1].value, "7");
  EXPECT_EQ(loaded.rows[0].cells[2].value, "xyz");
  EXPECT_EQ(loaded.rows[0].cells[2].rule, nullptr);
}

TEST_F(TableFileTest, TemporalCellWithoutAReadableRuleLoadsEmpty) {
  Table table = makeTable("t", {makeColumn("a", "int", 2)});
  create(table);
  appendRow(table, {""}).cells[0].rule = makeRule({{"1", 5}}, 0);
  writeAllRows(table);
  const std::string withRule = readFile("t.bin");
  const std::string rules = readFile("t.tmp");

  struct Case {
    const char* name;
    std::string slot;
    bool ruleFile;
  };
  const Case cases[] = {
      {"missing rule file", bytesOf({1, 0, 0, 0, 0}), false},
      {"record past the end", bytesOf({1, 5, 0, 0, 0}), true},
      {"negative record", bytesOf({1, 0xFF, 0xFF, 0xFF, 0xFF}), true},
      {"largest record number", bytesOf({1, 0xFF, 0xFF, 0xFF, 0x7F}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile("t.bin", withRule.substr(0, 75) + c.slot);
    if (c.ruleFile) {
      writeFile("t.tmp", rules);
    } else {
      std::filesystem::remove("t.tmp");
    }
    const Table loaded = Storage::loadTable("t", "");
    ASSERT_EQ(loaded.rows.size(), 1U);
    EXPECT_EQ(loaded.rows[0].cells[0].rule, nullptr);
    EXPECT_EQ(loaded.rows[0].cells[0].value, "");
  }
}

TEST_F(TableFileTest, ReadTakesTheFieldUpToItsFirstZeroOrTheFileEnd) {
  writeFile("f.bin", std::string("abc\0def", 7) + "0123456789");
  std::fstream file("f.bin", std::ios::in | std::ios::binary);
  struct Case {
    int offset;
    int length;
    std::string text;
  };
  const Case cases[] = {{0, 15, "abc"}, {4, 3, "def"}, {7, 15, "0123456789"},
                        {12, 3, "567"}, {40, 15, ""},  {-1, 15, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(Storage::read(file, c.offset, c.length), c.text);
  }
}

}  // namespace
