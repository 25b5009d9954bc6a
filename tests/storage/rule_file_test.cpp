#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage_tables.h"
#include "support/test_support.h"

namespace {

using namespace storage_tables;

using RuleFileTest = TempDirTest;

// One record as the format lays it out.
std::string recordBytes(std::int32_t rIdx, std::int32_t cIdx, bool isCycle, std::int64_t insTime,
                        std::int64_t preCalc, const std::vector<TempState>& states, int maxStates) {
  std::string bytes = le32(rIdx) + le32(cIdx) + bytesOf({isCycle ? 1 : 0}) + le64(insTime) +
                      le64(preCalc) + le32(static_cast<std::int64_t>(states.size()));
  for (int j = 0; j < maxStates; ++j) {
    const bool used = j < static_cast<int>(states.size());
    bytes += le64(used ? states[j].duration : 0) + field(used ? states[j].value : "", 60);
  }
  return bytes;
}

TEST_F(RuleFileTest, RecordIsByteExactWithZeroEntriesBeyondTheChain) {
  const auto rule = makeRule({{"warm", 30}, {"cold", 0}}, 1700000000, true);
  EXPECT_EQ(Storage::writeTempRule("t", 4, 1, rule.get(), 3, -1), 0);
  const std::string expected =
      recordBytes(4, 1, true, 1700000000, 30, {{"warm", 30}, {"cold", 0}}, 3);
  ASSERT_EQ(expected.size(), 29U + 68 * 3);
  EXPECT_EQ(readFile("t.tmp"), expected);

  const auto back = Storage::readTempRule("t", 0, 3);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->currentIndex, 0);
  EXPECT_TRUE(back->isCycle);
  EXPECT_EQ(back->insTime, 1700000000);
  EXPECT_EQ(back->preCalc, 30);
  ASSERT_EQ(back->states.size(), 2U);
  EXPECT_EQ(back->states[0].value, "warm");
  EXPECT_EQ(back->states[0].duration, 30);
  EXPECT_EQ(back->states[1].value, "cold");
}

TEST_F(RuleFileTest, SixtyFourBitFieldsKeepAllTheirBytes) {
  // A start before the epoch and a duration beyond 32 bits.
  const std::int64_t duration = 5000000000;
  const auto rule = makeRule({{"long", duration}}, -5);
  EXPECT_EQ(Storage::writeTempRule("t", 0, 0, rule.get(), 1, -1), 0);
  EXPECT_EQ(readFile("t.tmp"), recordBytes(0, 0, false, -5, duration, {{"long", duration}}, 1));

  const auto back = Storage::readTempRule("t", 0, 1);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->insTime, -5);
  EXPECT_EQ(back->preCalc, duration);
  ASSERT_EQ(back->states.size(), 1U);
  EXPECT_EQ(back->states[0].duration, duration);
}

TEST_F(RuleFileTest, EveryRecordHasRoomForTheTablesLongestChain) {
  Table table = makeTable("t", {makeColumn("a", "int", 3), makeColumn("b", "int", 5)});
  Storage::saveTable("t.bin", table, "data");
  appendRow(table, {"", "1"}).cells[0].rule = makeRule({{"1", 1}}, 0);
  appendRow(table, {"", ""}).cells[1].rule = makeRule({{"2", 1}}, 0);
  writeAllRows(table);
  EXPECT_EQ(readFile("t.tmp").size(), 2U * 369);
  // The rule of the column limited to 3 states, at slot 0, column 0.
  EXPECT_EQ(readFile("t.tmp").substr(0, 369), recordBytes(0, 0, false, 0, 1, {{"1", 1}}, 5));
  // The second row's rule names its row and column.
  EXPECT_EQ(readFile("t.tmp").substr(369, 8), le32(1) + le32(1));
}

TEST_F(RuleFileTest, RecordNumbersReuseExistingRecordsAndAppendOtherwise) {
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

TEST_F(RuleFileTest, StatesAreCutToTheLimitAndValuesToSixtyBytes) {
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

TEST_F(RuleFileTest, RecordBeyondThirtyTwoBitOffsetsFailsBeforeWriting) {
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

TEST_F(RuleFileTest, NewRecordBeyondThirtyTwoBitOffsetsFailsAndLeavesTheFile) {
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

TEST_F(RuleFileTest, DamagedRecordsReadAsNoRule) {
  const std::string good = recordBytes(0, 0, false, 5, 1, {{"a", 1}}, 2);
  std::string noStates = good;
  noStates.replace(25, 4, le32(0));
  std::string negativeStates = good;
  negativeStates.replace(25, 4, le32(-1));
  std::string tooManyStates = good;
  tooManyStates.replace(25, 4, le32(3));
  std::string hugeCount = good;
  hugeCount.replace(25, 4, le32(2000000000));

  struct Case {
    const char* name;
    std::string file;
    int record;
    int maxStates;
  };
  const Case cases[] = {
      {"record past the end", good, 1, 2},
      {"header cut short", good.substr(0, 20), 0, 2},
      {"states cut short", good.substr(0, 29 + 30), 0, 2},
      {"no states", noStates, 0, 2},
      {"negative state count", negativeStates, 0, 2},
      {"more states than the limit", tooManyStates, 0, 2},
      {"state count bounded only by a huge limit", hugeCount, 0, 2000000000},
      {"negative record", good, -1, 2},
      {"largest record number", good, 2147483647, 2},
      {"no limit", good, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile("t.tmp", c.file);
    EXPECT_EQ(Storage::readTempRule("t", c.record, c.maxStates), nullptr);
  }
  EXPECT_EQ(Storage::readTempRule("missing", 0, 2), nullptr);
  writeFile("t.tmp", good);
  EXPECT_NE(Storage::readTempRule("t", 0, 2), nullptr);
}

TEST_F(RuleFileTest, DeletionMapWritersNeverCreateTheMap) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  appendRow(table, {"1"});
  Storage::setUpDeletesFile(table);
  Storage::deleteAt("t", 0);
  Storage::deleteBatch("t", {0, 1});
  Storage::deleteBatch("t", {});
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(RuleFileTest, DeletionMapThatCannotBeSetUpFails) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  appendRow(table, {"1"});
  writeFile("t.del", bytesOf({1, 1}));
  try {
    const ScopedFileFault fault(FileFault{0, false});
    Storage::setUpDeletesFile(table);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Failed to write file: t.del");
  }
  EXPECT_EQ(readFile("t.del"), bytesOf({1, 1}));
}

TEST_F(RuleFileTest, DeletionMapWritersSetTheirBytes) {
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

}  // namespace
