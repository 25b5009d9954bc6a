#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/file_system.h"
#include "storage_tables.h"
#include "support/test_support.h"

namespace {

using namespace storage_tables;

class SlotWriterTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }

  // Creates the table's files as CREATE TABLE does.
  static void create(const Table& table) { Storage::saveTable(table.name + ".bin", table, "data"); }
};

TEST_F(SlotWriterTest, InsertRowWithoutADataFileWritesNothing) {
  Table table = makeTable("t", {makeColumn("a", "int", 2)});
  appendRow(table, {""}).cells[0].rule = makeRule({{"1", 1}}, 0);
  Storage::insertRow(table, table.rows[0], 75, std::ios_base::beg);
  Storage::insertRow(table, table.rows[0], 0, std::ios_base::end);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(SlotWriterTest, AppendModeAddsASlotAMapByteAndANewRecord) {
  Table table = makeTable("t", {makeColumn("a", "int", 1)});
  create(table);
  appendRow(table, {""}).cells[0].rule = makeRule({{"7", 0}}, 0);
  writeAllRows(table);
  Storage::insertRow(table, table.rows[0], 0, std::ios_base::end);

  EXPECT_EQ(readFile("t.del"), bytesOf({0, 0}));
  const std::string bytes = readFile("t.bin");
  ASSERT_EQ(bytes.size(), 75U + 2 * 5);
  EXPECT_EQ(bytes.substr(75), bytesOf({1, 0, 0, 0, 0}) + bytesOf({1, 1, 0, 0, 0}));
  EXPECT_EQ(readFile("t.tmp").size(), 2U * (29 + 68));
}

TEST_F(SlotWriterTest, TemporalCellKeepsItsRecordAcrossRewrites) {
  Table table = makeTable("t", {makeColumn("a", "string", 2, 10)});
  create(table);
  appendRow(table, {""}).cells[0].rule = makeRule({{"x", 5}}, 100);
  appendRow(table, {""}).cells[0].rule = makeRule({{"y", 5}}, 100);
  writeAllRows(table);
  const std::size_t recordSize = 29 + 68 * 2;
  ASSERT_EQ(readFile("t.tmp").size(), 2 * recordSize);

  // Flag, record number, then zero bytes up to the value width of 10.
  const std::string padding(6, '\0');
  const std::string ruleSlots =
      bytesOf({1, 0, 0, 0, 0}) + padding + bytesOf({1, 1, 0, 0, 0}) + padding;
  EXPECT_EQ(readFile("t.bin").substr(75), ruleSlots);

  // Same record number, overwritten in place.
  table.rows[0].cells[0].rule = makeRule({{"changed", 1}, {"again", 2}}, 200);
  writeAllRows(table);
  EXPECT_EQ(readFile("t.tmp").size(), 2 * recordSize);
  const std::string slots = readFile("t.bin").substr(75);
  EXPECT_EQ(slots, ruleSlots);
  EXPECT_EQ(slots.substr(0, 5), bytesOf({1, 0, 0, 0, 0}));
  EXPECT_EQ(slots.substr(11, 5), bytesOf({1, 1, 0, 0, 0}));
  const auto reread = Storage::readTempRule("t", 0, 2);
  ASSERT_NE(reread, nullptr);
  ASSERT_EQ(reread->states.size(), 2U);
  EXPECT_EQ(reread->states[1].value, "again");
  EXPECT_EQ(reread->insTime, 200);

  // A slot that held a plain value gets a new record; the old one stays.
  table.rows[0].cells[0].rule.reset();
  table.rows[0].cells[0].value = "plain";
  writeAllRows(table);
  EXPECT_EQ(readFile("t.bin").substr(75, 6), bytesOf({0}) + "plain");
  table.rows[0].cells[0].rule = makeRule({{"z", 5}}, 300);
  writeAllRows(table);
  EXPECT_EQ(readFile("t.tmp").size(), 3 * recordSize);
  EXPECT_EQ(readFile("t.bin").substr(75, 5), bytesOf({1, 2, 0, 0, 0}));
  EXPECT_EQ(Storage::loadTable("t", "").rows[0].cells[0].rule->states[0].value, "z");
}

TEST_F(SlotWriterTest, RuleWithoutStatesIsStoredAsItsValue) {
  Table table = makeTable("t", {makeColumn("a", "int", 2)});
  create(table);
  appendRow(table, {"9"}).cells[0].rule = std::make_unique<TempRule>();
  writeAllRows(table);
  EXPECT_FALSE(std::filesystem::exists("t.tmp"));
  EXPECT_EQ(Storage::loadTable("t", "").rows[0].cells[0].value, "9");
}

TEST_F(SlotWriterTest, SlotBeyondThirtyTwoBitOffsetsFailsAndWritesNothing) {
  Table table = makeTable("t", {makeColumn("a", "int"), makeColumn("b", "string", 0, 25)});
  create(table);
  appendRow(table, {"1", "x"});
  const std::string before = readFile("t.bin");
  for (const int offset : {std::numeric_limits<std::int32_t>::max() - 10, -1}) {
    SCOPED_TRACE(offset);
    try {
      Storage::insertRow(table, table.rows[0], offset, std::ios_base::beg);
      FAIL() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "File offset out of range: t.bin");
    }
    EXPECT_EQ(readFile("t.bin"), before);
  }
}

TEST_F(SlotWriterTest, RuleRecordBeyondThirtyTwoBitOffsetsFailsAndLeavesTheSlot) {
  Table table = makeTable("t", {makeColumn("a", "int"), makeColumn("b", "int", 1)});
  create(table);
  appendRow(table, {"1", "2"});
  writeAllRows(table);
  const std::string before = readFile("t.bin");
  // The rule file is just short of 2 GiB (sparse): a new record cannot fit.
  writeFile("t.tmp", "");
  std::filesystem::resize_file("t.tmp", 2147483647 - 50);
  table.rows[0].cells[0].value = "9";
  table.rows[0].cells[1].rule = makeRule({{"3", 1}}, 0);
  try {
    Storage::insertRow(table, table.rows[0], 15 + 60 * 2, std::ios_base::beg);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "File offset out of range: t.tmp");
  }
  EXPECT_EQ(readFile("t.bin"), before);
}

TEST_F(SlotWriterTest, UpdateRewritesOnlyTheGivenRowsOfTheTable) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  create(table);
  for (const char* value : {"1", "2", "3"}) appendRow(table, {value});
  writeAllRows(table);
  table.rows[0].cells[0].value = "10";
  table.rows[2].cells[0].value = "30";
  table.rows[1].cells[0].value = "20";
  Row stranger = table.rows[1];
  Storage::update(table, {&table.rows[2], &stranger});

  const Table loaded = Storage::loadTable("t", "");
  ASSERT_EQ(loaded.rows.size(), 3U);
  EXPECT_EQ(loaded.rows[0].cells[0].value, "1");
  EXPECT_EQ(loaded.rows[1].cells[0].value, "2");
  EXPECT_EQ(loaded.rows[2].cells[0].value, "30");
}

TEST_F(SlotWriterTest, RecordNumbersReuseExistingRecordsAndAppendOtherwise) {
  const auto rule = makeRule({{"v", 1}}, 0);
  const std::size_t size = 29 + 68;
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, -1), 0);
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, -1), 1);
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, 0), 0);
  EXPECT_EQ(readFile("t.tmp").size(), 2 * size);
  // A number the file does not hold gets a new record instead of a far seek.
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, 1000000), 2);
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, -7), 3);
  EXPECT_EQ(readFile("t.tmp").size(), 4 * size);
  // A record cut short at the end still counts: a new one comes after it.
  writeFile("t.tmp", readFile("t.tmp").substr(0, 3 * size + 10));
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, -1), 4);
  EXPECT_EQ(readFile("t.tmp").size(), 5 * size);
  EXPECT_NE(Storage::readTempRule("t", 4, 1), nullptr);
}

TEST_F(SlotWriterTest, StatesAreCutToTheLimitAndValuesToSixtyBytes) {
  const std::string longValue(70, 'v');
  const auto rule = makeRule({{longValue, 1}, {"b", 2}, {"c", 3}}, 0);
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 2, -1), 0);
  EXPECT_EQ(readFile("t.tmp").size(), 29U + 68 * 2);
  const auto back = Storage::readTempRule("t", 0, 2);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->states.size(), 2U);
  EXPECT_EQ(back->states[0].value, longValue.substr(0, 60));
  EXPECT_EQ(back->states[1].value, "b");
}

TEST_F(SlotWriterTest, RecordBeyondThirtyTwoBitOffsetsFailsBeforeWriting) {
  const auto rule = makeRule({{"v", 1}}, 0);
  // 29 + 68 * 40000000 bytes cannot be addressed with signed 32-bit offsets.
  try {
    Storage::writeTempRule("t", 0, 0, rule.get(), 40000000, -1);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "File offset out of range: t.tmp");
  }
  EXPECT_FALSE(std::filesystem::exists("t.tmp"));
}

TEST_F(SlotWriterTest, NewRecordBeyondThirtyTwoBitOffsetsFailsAndLeavesTheFile) {
  const auto rule = makeRule({{"v", 1}}, 0);
  // A sparse file just short of 2 GiB: a record after it would end beyond.
  const std::uintmax_t length = 2147483647 - 50;
  writeFile("t.tmp", "");
  std::filesystem::resize_file("t.tmp", length);
  try {
    Storage::writeTempRule("t", 0, 0, rule.get(), 1, -1);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "File offset out of range: t.tmp");
  }
  EXPECT_EQ(std::filesystem::file_size("t.tmp"), length);
  // A record that the file already holds is still rewritten in place.
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, 0), 0);
  EXPECT_EQ(std::filesystem::file_size("t.tmp"), length);
}

TEST_F(SlotWriterTest, DeletionMapWritersNeverCreateTheMap) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  appendRow(table, {"1"});
  Storage::setUpDeletesFile(table);
  Storage::deleteAt("t", 0);
  Storage::deleteBatch("t", {0, 1});
  Storage::deleteBatch("t", {});
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(SlotWriterTest, DeletionMapWritersSetTheirBytes) {
  struct Case {
    const char* name;
    std::string before;
    void (*write)();
    std::string after;
  };
  const Case cases[] = {
      {"set-up writes a zero per row from the start", bytesOf({1, 1, 1, 1}),
       [] {
         Table table = makeTable("t", {makeColumn("a", "int")});
         appendRow(table, {"1"});
         appendRow(table, {"2"});
         Storage::setUpDeletesFile(table);
       },
       bytesOf({0, 0, 1, 1})},
      {"deleteAt marks one slot", bytesOf({0, 0, 0}), [] { Storage::deleteAt("t", 1); },
       bytesOf({0, 1, 0})},
      {"deleteAt past the end", bytesOf({0}), [] { Storage::deleteAt("t", 3); },
       bytesOf({0, 0, 0, 1})},
      {"negative slot", bytesOf({0}), [] { Storage::deleteAt("t", -1); }, bytesOf({0})},
      {"deleteBatch marks each slot", bytesOf({0, 0, 0, 0}),
       [] {
         Storage::deleteBatch("t", {3, 0, -2});
       },
       bytesOf({1, 0, 0, 1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile("t.del", c.before);
    c.write();
    EXPECT_EQ(readFile("t.del"), c.after);
  }
}

// Every write is checked: a write that fails ends the call with the file's
// name, whichever write it was.
TEST_F(SlotWriterTest, FailedWritesAreReported) {
  struct Case {
    const char* shows;
    std::function<void()> write;
    std::string message;
  };
  Table table = makeTable("t", {makeColumn("a", "int"), makeColumn("b", "int", 2)});
  create(table);
  appendRow(table, {"1", ""}).cells[1].rule = makeRule({{"3", 1}, {"4", 1}}, 0);
  writeFile("t.del", bytesOf({0}));
  const std::int64_t slot = headerBytes(table);
  const auto rule = makeRule({{"v", 1}}, 0);
  const std::vector<Case> cases = {
      {"a row slot", [&] { Storage::insertRow(table, table.rows[0], slot, std::ios_base::beg); },
       "Failed to write file: t.bin"},
      {"an appended row", [&] { Storage::insertRow(table, table.rows[0], 0, std::ios_base::end); },
       "Failed to write file: t.bin"},
      {"a rule record", [&] { Storage::writeTempRule("t", 0, 0, rule.get(), 2, -1); },
       "Failed to write file: t.tmp"},
      {"one deleted slot", [] { Storage::deleteAt("t", 0); }, "Failed to write file: t.del"},
      {"deleted slots",
       [] {
         Storage::deleteBatch("t", {0, 1});
       },
       "Failed to write file: t.del"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    // Count the operations of a clean run, then fail the last one, a write.
    setFileFaultForTesting(FileFault{1 << 30, false});
    const std::set<std::string> names = fileNames();
    std::map<std::string, std::string> before;
    for (const std::string& name : names) before[name] = readFile(name);
    ASSERT_EQ(thrownMessage(c.write), "");
    const std::int64_t operations = fileOperationsForTesting();
    for (const auto& [name, bytes] : before) writeFile(name, bytes);
    for (const std::string& name : fileNames()) {
      if (!names.contains(name)) std::filesystem::remove(name);
    }
    setFileFaultForTesting(FileFault{operations - 1, false});
    EXPECT_EQ(thrownMessage(c.write), c.message);
    setFileFaultForTesting(std::nullopt);
  }
}

// A slot that names a record the rule file does not hold whole and readable
// gets a fresh record at the end; one that names a readable record keeps it.
TEST_F(SlotWriterTest, SlotNamingAnUnreadableRecordGetsAFreshOne) {
  Table table = makeTable("t", {makeColumn("a", "int", 1)});
  create(table);
  appendRow(table, {""}).cells[0].rule = makeRule({{"7", 0}}, 0);
  const std::int64_t slot = headerBytes(table);
  const std::size_t size = 29 + 68;
  struct Case {
    const char* shows;
    std::string ruleFile;
    std::int32_t named;
    std::int32_t written;
  };
  std::string good = std::string(2 * size, '\0');
  good[25] = 1;
  good[size + 25] = 1;
  std::string damaged = good;
  damaged[size + 25] = 9;  // more states than the table allows
  const std::vector<Case> cases = {
      {"a readable record", good, 1, 1},
      {"a damaged record", damaged, 1, 2},
      {"a record past the end", good, 5, 2},
      {"a record cut short", good.substr(0, size + 10), 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    writeFile("t.tmp", c.ruleFile);
    writeFile("t.bin", readFile("t.bin").substr(0, slot) + bytesOf({1}) + le32(c.named));
    Storage::insertRow(table, table.rows[0], static_cast<int>(slot), std::ios_base::beg);
    EXPECT_EQ(readFile("t.bin").substr(slot), bytesOf({1}) + le32(c.written));
    const auto back = Storage::readTempRule("t", c.written, 1);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->states[0].value, "7");
  }
}

}  // namespace
