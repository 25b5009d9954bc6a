#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "storage/file_system.h"
#include "storage/log_line.h"
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

// The line of a command that may queue webhook tasks says where their
// records go, after its time; the dispatcher reads no further than the time.
TEST_F(WalTest, AWebhookOffsetFollowsTheTime) {
  struct Case {
    const char* name;
    std::string command;
    std::int64_t offset;
    std::string line;
  };
  const Case cases[] = {
      {"first record of the file", "INSERT INTO c s = 'x' --> 'y' @ 1 m", 0,
       "INSERT INTO c s = 'x' --> 'y' @ 1 m #TIME# 1700000000 0\n"},
      {"after two records", "UPDATE c SET s = 'x' --> 'y' @ 1 m", 170,
       "UPDATE c SET s = 'x' --> 'y' @ 1 m #TIME# 1700000000 170\n"},
      {"behind a marker of the command's own", "INSERT INTO c s = 'x' #TIME# 5", 85,
       "INSERT INTO c s = 'x' #TIME# 5 #TIME# 1700000000 85\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Storage::clearWAL();
    Storage::appendToWAL(c.command, c.offset);
    const std::string log = readFile("vesk.wal");
    EXPECT_EQ(log, c.line);
    EXPECT_EQ(webhookOffsetOf(std::string_view(log).substr(0, log.size() - 1)), c.offset);
  }
}

TEST(LogLineTest, OnlyAnOffsetRightAfterTheLastTimeIsOne) {
  struct Case {
    const char* line;
    std::optional<std::int64_t> offset;
  };
  const Case cases[] = {
      {"INSERT INTO c a = 1 #TIME# 1700000000", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 255", 255},
      {"INSERT INTO c a = 1 #TIME# -5 0", 0},
      {"INSERT INTO c a = 1 #TIME# 5 #TIME# 1700000000 85", 85},
      {"INSERT INTO c a = 1 #TIME# 5 85 #TIME# 1700000000", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 ", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000  85", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 85 ", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 +85", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 -85", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 8x", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 17000x0000 85", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 9223372036854775808", std::nullopt},
      {"INSERT INTO c a = 1 #TIME# 1700000000 9223372036854775807", INT64_MAX},
      {"INSERT INTO c a = 1", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(webhookOffsetOf(c.line), c.offset);
  }
}

// Texts made of the marker's pieces, so that near misses abound.
TEST(LogLineTest, FindsTheFirstTimeMarkerAsASearchForTheWholeMarker) {
  std::mt19937 random(5);
  const std::string pieces[] = {" ", "#", "TIME", "#TIME#", " #TIME# ", "x", "\n", " #TIME"};
  for (int run = 0; run < 5000; ++run) {
    std::string text;
    for (std::uint32_t i = random() % 12; i > 0; --i) text += pieces[random() % std::size(pieces)];
    SCOPED_TRACE(text);
    EXPECT_EQ(findTimeMarker(text), text.find(kTimeMarker));
    std::string blanked = text;
    blankLineFeeds(blanked);
    std::replace(text.begin(), text.end(), '\n', ' ');
    EXPECT_EQ(blanked, text);
  }
}

// The line as std::to_string formats its numbers, against the one writer,
// which keeps a buffer from line to line: a long line before a short one
// must leave nothing of itself behind.
TEST(LogLineTest, LinesMatchTheirFormattingByTheStandardLibrary) {
  std::mt19937_64 random(2105);
  const std::int64_t edges[] = {
      0,   1,          -1,          9,         10,        -10,           99,
      100, 1700000000, -1700000000, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1};
  const std::string pieces[] = {"INSERT INTO c a = 1", "\n", " ", "'x\ny'", "#TIME#", ""};
  const auto number = [&] {
    if (random() % 3 == 0) return edges[random() % std::size(edges)];
    // Every width: a random value cut to a random number of bits.
    const auto bits = static_cast<int>(random() % 64);
    return static_cast<std::int64_t>(random() >> bits) * (random() % 2 == 0 ? 1 : -1);
  };
  std::string line;
  for (int run = 0; run < 20000; ++run) {
    std::string command;
    for (std::uint64_t i = random() % 6; i > 0; --i)
      command += pieces[random() % std::size(pieces)];
    const std::int64_t time = number();
    std::optional<std::int64_t> offset;
    if (random() % 2 == 0) offset = number();
    std::string expected = command;
    std::replace(expected.begin(), expected.end(), '\n', ' ');
    expected += " #TIME# " + std::to_string(time);
    if (offset) expected += " " + std::to_string(*offset);
    expected += "\n";
    writeLogLine(line, command, time, offset);
    ASSERT_EQ(line, expected);
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

// A cut that fails keeps the line: no line may follow it until a retry
// takes it back, or a checkpoint empties the log.
TEST_F(WalTest, ALineThatCannotBeTakenBackHoldsBackEveryAppend) {
  const std::string a = "A #TIME# 1700000000\n";
  struct Case {
    const char* fails;
    bool logBefore;         // "A" is in the log before "B"
    std::int64_t failedOp;  // of the cut: the size look, then the cut or removal
  };
  const Case cases[] = {
      {"the size look", true, 0},
      {"the truncate", true, 1},
      {"the removal of a log that was not there", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fails);
    std::filesystem::remove("vesk.wal");
    if (c.logBefore) Storage::appendToWAL("A");
    const std::string before = c.logBefore ? a : "";
    const Storage::LogMark mark = Storage::appendToWAL("B");
    const std::string withB = readFile("vesk.wal");
    {
      const ScopedFileFault fault(FileFault{c.failedOp, false});
      EXPECT_FALSE(Storage::cutWAL(mark));
    }
    EXPECT_EQ(readFile("vesk.wal"), withB);
    {
      // The retry before the append fails as well: nothing is appended.
      const ScopedFileFault fault(FileFault{1, false});
      EXPECT_EQ(thrownMessage([] { Storage::appendToWAL("C"); }), "Failed to write file: vesk.wal");
      EXPECT_EQ(readFile("vesk.wal"), withB);
    }
    {
      const ScopedFileFault fault(FileFault{1, false});
      EXPECT_FALSE(Storage::settleWAL());
    }
    Storage::appendToWAL("C");
    EXPECT_EQ(readFile("vesk.wal"), before + "C #TIME# 1700000000\n");
    EXPECT_TRUE(Storage::settleWAL());

    // Emptying the log takes such a line with it.
    const Storage::LogMark next = Storage::appendToWAL("D");
    {
      const ScopedFileFault fault(FileFault{1, false});
      EXPECT_FALSE(Storage::cutWAL(next));
    }
    EXPECT_TRUE(Storage::clearWAL());
    {
      const ScopedFileFault fault(FileFault{0, false});
      EXPECT_TRUE(Storage::settleWAL()) << "nothing is left to retry";
    }
    Storage::appendToWAL("E");
    EXPECT_EQ(readFile("vesk.wal"), "E #TIME# 1700000000\n");
  }
}

TEST_F(WalTest, ALogThatCannotBeOpenedRefusesTheLine) {
  std::filesystem::remove("vesk.wal");
  std::filesystem::create_directory("vesk.wal");
  EXPECT_EQ(thrownMessage([] { Storage::appendToWAL("A"); }), "Failed to open file: vesk.wal");
  EXPECT_FALSE(Storage::clearWAL());
  EXPECT_TRUE(std::filesystem::is_directory("vesk.wal"));
  EXPECT_TRUE(std::filesystem::is_empty("vesk.wal"));
}

// The log's stream stays open between appends; whatever another process or
// a person does to the file under its name, the next line lands in the file
// the name leads to, at its end.
TEST_F(WalTest, TheNextLineFollowsTheFileUnderTheName) {
  struct Case {
    const char* name;
    std::function<void()> meanwhile;
    std::string log;  // after "A" then the change then "B"
  };
  const std::string a = "A #TIME# 1700000000\n";
  const std::string b = "B #TIME# 1700000000\n";
  const Case cases[] = {
      {"emptied in place by another checkpoint",
       [] { std::ofstream("vesk.wal", std::ios::binary | std::ios::trunc); }, b},
      {"grown by another process",
       [] { std::ofstream("vesk.wal", std::ios::binary | std::ios::app) << "X #TIME# 1\n"; },
       a + "X #TIME# 1\n" + b},
      {"removed", [] { std::filesystem::remove("vesk.wal"); }, b},
      {"replaced by another file of the same length",
       [&] {
         std::filesystem::remove("vesk.wal");
         writeFile("vesk.wal", "Z #TIME# 1700000009\n");
       },
       "Z #TIME# 1700000009\n" + b},
      {"moved away and recreated",
       [] {
         std::filesystem::rename("vesk.wal", "old.wal");
         writeFile("vesk.wal", "");
       },
       b},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("old.wal");
    Storage::clearWAL();
    Storage::appendToWAL("A");
    c.meanwhile();
    Storage::appendToWAL("B");
    EXPECT_EQ(readFile("vesk.wal"), c.log);
  }
  EXPECT_EQ(readFile("old.wal"), a) << "the moved file gains nothing";
}

TEST_F(WalTest, AnotherWorkingDirectoryGetsItsOwnLog) {
  Storage::appendToWAL("A");
  const std::filesystem::path first = std::filesystem::current_path();
  std::filesystem::create_directory("other");
  std::filesystem::current_path("other");
  writeFile("vesk.wal", "Z #TIME# 1700000009\n");  // as long as the first log
  Storage::appendToWAL("B");
  EXPECT_EQ(readFile("vesk.wal"), "Z #TIME# 1700000009\nB #TIME# 1700000000\n");
  std::filesystem::current_path(first);
  EXPECT_EQ(readFile("vesk.wal"), "A #TIME# 1700000000\n");
}

// Several processes append to one log at once, each through its own kept
// stream: every line arrives whole, none inside another.
TEST_F(WalTest, LinesOfSeveralProcessesNeverInterleave) {
  constexpr int kProcesses = 4;
  constexpr int kLines = 300;
  // Lines of 256 bytes, so that no append crosses a page of the file: a
  // reader may see such an append half made, and the cut of a torn line
  // cannot tell an append in flight from one a kill interrupted.
  const std::string padding(230, 'x');
  const auto text = [&](int p, int i) {
    const std::string number = std::to_string(i);
    return "P" + std::to_string(p) + " " + padding + " " + std::string(3 - number.size(), '0') +
           number;
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      closeLineStream();  // the parent's stream is not this process's own
      int status = 0;
      for (int i = 0; i < kLines && status == 0; ++i) {
        try {
          Storage::appendToWAL(text(p, i));
        } catch (...) {
          status = 1;
        }
      }
      _exit(status);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream log(readFile("vesk.wal"));
  std::vector<int> next(kProcesses, 0);
  int lines = 0;
  for (std::string line; std::getline(log, line); ++lines) {
    const int p = line[1] - '0';
    ASSERT_TRUE(p >= 0 && p < kProcesses) << line;
    EXPECT_EQ(line, text(p, next[p]++) + " #TIME# 1700000000");
  }
  EXPECT_EQ(lines, kProcesses * kLines);
}

}  // namespace
