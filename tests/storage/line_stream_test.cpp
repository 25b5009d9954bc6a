#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "storage/file_system.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kLog = "vesk.wal";

// The check the log's stream made before it knew its file's identity: the
// stream's descriptor entry ("/proc/self/fd/<n>", which leads to the open
// file even once it has been removed), found when the stream was opened as
// the one entry that is the same file as the name, compared with the name
// before each append. Without exactly one such entry the stream counts as
// stale.
class DescriptorEntryCheck {
 public:
  // After an append that opened the stream, if it did.
  void opened() {
    descriptor_.clear();
    int matches = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (fs::equivalent(entry.path(), kLog, error) && !error) {
        descriptor_ = entry.path();
        ++matches;
      }
    }
    if (matches != 1) descriptor_.clear();
  }
  void closed() { descriptor_.clear(); }
  bool holds() const {
    if (descriptor_.empty()) return false;
    std::error_code error;
    return fs::equivalent(descriptor_, kLog, error) && !error;
  }

 private:
  fs::path descriptor_;
};

// A regular file as the name leads to it: its inode and its bytes.
struct Seen {
  ino_t inode = 0;
  std::string bytes;
};

class LineStreamTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    closeLineStream();
    for (const char* sub : kDirectories) {
      if (*sub != '\0') fs::create_directory(dir / sub);
    }
  }
  void TearDown() override {
    closeLineStream();
    fs::current_path(dir);
    TempDirTest::TearDown();
  }

  // Every regular file of the three directories, links followed.
  std::map<fs::path, Seen> everyFile() const {
    std::map<fs::path, Seen> files;
    for (const char* sub : kDirectories) {
      for (const auto& entry : fs::directory_iterator(dir / sub)) {
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
          files[entry.path()] = {info.st_ino, readFile(entry.path())};
        }
      }
    }
    return files;
  }

  static constexpr const char* kDirectories[] = {"", "one", "two"};
};

// The log's part up to its last line feed: what an append keeps.
std::string wholeLines(const std::string& bytes) {
  const std::size_t feed = bytes.rfind('\n');
  return feed == std::string::npos ? "" : bytes.substr(0, feed + 1);
}

// Random file events between appends (the log removed, moved away and back,
// replaced, linked, emptied, grown by another writer, a directory or a link
// in its place, the working directory changed, the stream closed): before
// every append both checks give the same answer, and the line lands, after
// the whole lines it found, in the file the name leads to, and nowhere else.
TEST_F(LineStreamTest, TheIdentityCheckAgreesWithTheDescriptorEntryCheck) {
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 random(seed);
    const auto pick = [&](int count) { return static_cast<int>(random() % count); };
    const auto other = [&] { return pick(2) == 0 ? fs::path("a.wal") : fs::path("b.wal"); };
    const auto someLines = [&] {
      std::string bytes;
      for (int i = pick(3); i > 0; --i) bytes += "X " + std::to_string(random() % 1000) + "\n";
      // Now and then a torn last line.
      if (pick(3) == 0) bytes += "INSERT INTO t" + std::string(pick(5000), 'v');
      return bytes;
    };
    fs::current_path(dir);
    closeLineStream();
    for (const char* each : kDirectories) {
      for (const auto& entry : fs::directory_iterator(dir / each)) {
        if (entry.path().filename() != "one" && entry.path().filename() != "two") {
          fs::remove_all(entry.path());
        }
      }
    }
    DescriptorEntryCheck reference;
    const char* sub = kDirectories[0];  // the working directory
    std::string events;
    for (int step = 0; step < 250; ++step) {
      const fs::file_status status = fs::symlink_status(kLog);
      const bool present = fs::exists(status);
      std::error_code ignored;
      switch (pick(12)) {
        case 0:
          events += " remove";
          fs::remove_all(kLog);
          break;
        case 1: {
          const fs::path to = other();
          events += " move-away-to-" + to.string();
          if (present) fs::rename(kLog, to, ignored);
          break;
        }
        case 2: {
          const fs::path from = other();
          events += " move-back-from-" + from.string();
          if (fs::exists(fs::symlink_status(from))) fs::rename(from, kLog, ignored);
          break;
        }
        case 3:
          events += " new-file";
          fs::remove_all(kLog);
          writeFile(kLog, someLines());
          break;
        case 4:
          events += " replaced-by-rename";
          writeFile("fresh", someLines());
          fs::rename("fresh", kLog, ignored);
          break;
        case 5:
          events += " emptied-or-grown";
          if (fs::is_regular_file(status)) {
            if (pick(2) == 0) {
              fs::resize_file(kLog, 0);
            } else {
              std::ofstream(kLog, std::ios::binary | std::ios::app) << someLines();
            }
          }
          break;
        case 6: {
          const fs::path to = other();
          events += " hard-link-" + to.string();
          if (fs::is_regular_file(status)) {
            fs::remove(to);
            fs::create_hard_link(kLog, to);
          }
          break;
        }
        case 7: {
          const fs::path to = other();
          events += " link-to-" + to.string();
          fs::remove_all(kLog);
          fs::create_symlink(to, kLog);
          break;
        }
        case 8:
          events += " directory";
          if (!present) fs::create_directory(kLog);
          break;
        case 9: {
          sub = kDirectories[pick(3)];
          events += std::string(" cd-") + (*sub == '\0' ? "top" : sub);
          fs::current_path(dir / sub);
          break;
        }
        case 10:
          events += " close";
          closeLineStream();
          reference.closed();
          break;
        default:
          events += " append";
          break;
      }

      SCOPED_TRACE("seed " + std::to_string(seed) + ", events:" + events);
      const bool holds = reference.holds();
      ASSERT_EQ(lineStreamHoldsForTesting(kLog), holds);
      const std::map<fs::path, Seen> before = everyFile();
      const fs::path log = dir / sub / kLog;
      const bool logIsFile = before.contains(log);
      const bool logIsOther = fs::exists(fs::symlink_status(log)) && !logIsFile;
      const std::string line = "L " + std::to_string(step) + "\n";
      LineEnd end;
      const AppendStatus appended = appendLine(kLog, line, end);
      if (!holds) reference.opened();

      std::map<fs::path, Seen> expected = before;
      if (logIsOther) {
        ASSERT_EQ(appended, AppendStatus::OpenFailed) << "no regular file under the name";
      } else {
        ASSERT_EQ(appended, AppendStatus::Done);
        if (logIsFile) {
          const Seen found = before.at(log);
          ASSERT_EQ(end.existed, true);
          ASSERT_EQ(end.length, static_cast<std::int64_t>(wholeLines(found.bytes).size()));
          for (auto& [path, seen] : expected) {
            if (seen.inode == found.inode) seen.bytes = wholeLines(found.bytes) + line;
          }
        } else {
          ASSERT_EQ(end.existed, false);
          ASSERT_EQ(end.length, 0);
          expected[log].bytes = line;
        }
      }
      const std::map<fs::path, Seen> after = everyFile();
      ASSERT_EQ(after.size(), expected.size());
      for (const auto& [path, seen] : after) {
        ASSERT_TRUE(expected.contains(path)) << path;
        ASSERT_EQ(seen.bytes, expected.at(path).bytes) << path;
      }
    }
  }
}

}  // namespace
