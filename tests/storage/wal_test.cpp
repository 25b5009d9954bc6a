#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "storage/storage.h"
#include "support/test_support.h"

namespace {

// Each test starts from an emptied log, as after a checkpoint.
class WalTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    Storage::clearWAL();
  }

  ScopedClock clock{1700000000};
};

TEST_F(WalTest, EachAppendIsOneLineWithTheTimeMarker) {
  struct Case {
    const char* name;
    std::string command;
    std::string line;
  };
  const Case cases[] = {
      {"plain command", "INSERT INTO t VALUES (1)", "INSERT INTO t VALUES (1) #TIME# 1700000000\n"},
      {"line feeds become blanks", "INSERT INTO t\nVALUES (1)\n",
       "INSERT INTO t VALUES (1)  #TIME# 1700000000\n"},
      {"carriage return stays", "A\r\nB", "A\r B #TIME# 1700000000\n"},
      {"a marker already there gets a second one", "DELETE FROM t #TIME# 5",
       "DELETE FROM t #TIME# 5 #TIME# 1700000000\n"},
      {"empty command", "", " #TIME# 1700000000\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Storage::clearWAL();
    Storage::appendToWAL(c.command);
    EXPECT_EQ(readFile("vesk.wal"), c.line);
  }
}

TEST_F(WalTest, AppendsFollowEachOtherWithTheirOwnTimes) {
  Storage::appendToWAL("A");
  clock.set(1700000005);
  Storage::appendToWAL("B");
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\nB #TIME# 1700000005\n");
}

TEST_F(WalTest, ClearLeavesAnEmptyLogAndTheNextLineStartsAtOffsetZero) {
  std::filesystem::remove("vesk.wal");
  Storage::clearWAL();
  EXPECT_TRUE(std::filesystem::exists("vesk.wal"));
  EXPECT_EQ(readFile("vesk.wal"), "");

  Storage::appendToWAL("A");
  Storage::appendToWAL("B");
  Storage::clearWAL();
  EXPECT_EQ(readFile("vesk.wal"), "");
  Storage::appendToWAL("C");
  EXPECT_EQ(readFile("vesk.wal"), "C #TIME# 1700000000\n");
}

TEST_F(WalTest, FirstAppendCreatesTheLog) {
  std::filesystem::remove("vesk.wal");
  Storage::appendToWAL("A");
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\n");
}

TEST_F(WalTest, TornLastLineIsEndedBeforeTheNextLine) {
  // A crash cut the last append short, after the clear of this process.
  writeFile("vesk.wal", "A #TIME# 1\nINSERT INTO t VAL");
  Storage::appendToWAL("B");
  Storage::appendToWAL("C");
  EXPECT_EQ(readFile("vesk.wal"),
            "A #TIME# 1\nINSERT INTO t VAL\nB #TIME# 1700000000\nC #TIME# 1700000000\n");
}

TEST_F(WalTest, AppendCutShortIsEndedByTheNextOne) {
  Storage::appendToWAL("A");
  {
    // The first append looked at the log's end; this one only appends, and
    // a crash cuts it in half.
    const ScopedFileFault fault(FileFault{0, true});
    EXPECT_NO_THROW(Storage::appendToWAL("INSERT INTO t"));
  }
  Storage::appendToWAL("B");
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\nINSERT INTO t #T\nB #TIME# 1700000000\n");
}

TEST_F(WalTest, LogThatCannotBeOpenedLosesTheLineWithoutThrowing) {
  std::filesystem::remove("vesk.wal");
  std::filesystem::create_directory("vesk.wal");
  EXPECT_NO_THROW(Storage::appendToWAL("A"));
  EXPECT_NO_THROW(Storage::clearWAL());
  EXPECT_TRUE(std::filesystem::is_directory("vesk.wal"));
  EXPECT_TRUE(std::filesystem::is_empty("vesk.wal"));
}

}  // namespace
