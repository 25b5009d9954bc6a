#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "storage/file_system.h"
#include "storage/storage.h"
#include "support/file_sweep.h"
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

// A kill cut the last append short: that command was never acknowledged,
// and the next append cuts its fragment away.
TEST_F(WalTest, TornLastLineIsCutAwayByTheNextAppend) {
  writeFile("vesk.wal", "A #TIME# 1\nINSERT INTO t VAL");
  Storage::appendToWAL("B");
  Storage::appendToWAL("C");
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1\nB #TIME# 1700000000\nC #TIME# 1700000000\n");
}

TEST_F(WalTest, AnAppendCutShortFailsAndIsCutAwayByTheNextOne) {
  Storage::appendToWAL("A");
  const std::int64_t operations = countFileOperations([] { Storage::appendToWAL("X"); });
  writeFile("vesk.wal", "A #TIME# 1700000000\n");
  {
    // A crash at the append itself leaves half the line.
    const ScopedFileFault fault(FileFault{operations - 1, true});
    EXPECT_EQ(thrownMessage([] { Storage::appendToWAL("INSERT INTO t"); }),
              "Failed to write file: vesk.wal");
  }
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\nINSERT INTO t #T");
  Storage::appendToWAL("B");
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\nB #TIME# 1700000000\n");
}

// A command that fails after its line went down takes the line back; a log
// that changed since (a checkpoint emptied it) is left alone.
TEST_F(WalTest, TakingBackALineRestoresTheLogAsItWas) {
  std::filesystem::remove("vesk.wal");
  const Storage::LogMark first = Storage::appendToWAL("A");
  Storage::cutWAL(first);
  EXPECT_FALSE(std::filesystem::exists("vesk.wal")) << "there was no log before";
  Storage::appendToWAL("A");
  const Storage::LogMark second = Storage::appendToWAL("B");
  Storage::cutWAL(second);
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\n");
  const Storage::LogMark third = Storage::appendToWAL("C");
  Storage::clearWAL();
  Storage::cutWAL(third);
  EXPECT_EQ(readFile("vesk.wal"), "");
}

TEST_F(WalTest, ALogThatCannotBeOpenedRefusesTheLine) {
  std::filesystem::remove("vesk.wal");
  std::filesystem::create_directory("vesk.wal");
  EXPECT_EQ(thrownMessage([] { Storage::appendToWAL("A"); }), "Failed to open file: vesk.wal");
  EXPECT_FALSE(Storage::clearWAL());
  EXPECT_TRUE(std::filesystem::is_directory("vesk.wal"));
  EXPECT_TRUE(std::filesystem::is_empty("vesk.wal"));
}

}  // namespace
