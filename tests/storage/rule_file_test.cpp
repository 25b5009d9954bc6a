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

}  // namespace
