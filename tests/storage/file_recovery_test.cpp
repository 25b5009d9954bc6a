#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "storage/file_system.h"
#include "storage/journal.h"
#include "storage/storage.h"
#include "storage_tables.h"
#include "support/file_sweep.h"
#include "support/test_support.h"

namespace {

using namespace storage_tables;

class FileRecoveryTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }
};

// A relation file's header: child, parent, foreign key, parent key. Its own
// file name is "<child>-k_<parent>-id.rel".
std::string relationHeader(const std::string& child, const std::string& parent) {
  return field(child) + field(parent) + field("k") + field("id");
}

TEST_F(FileRecoveryTest, RemovesWhatInterruptedCommandsLeftBehind) {
  const Directory kept = {
      {"t.bin", "data"},
      {"t.del", bytesOf({0})},
      {"t.tmp", "rules"},
      {"t-k_t-id.rel", relationHeader("t", "t")},
      // Named like a file of u's, but its header names t as the child.
      {"u-k_x-id.rel", field("t") + field("x") + field("k") + field("id")},
      {"vesk.wal", "BEGIN #TIME# 1\n"},
      {"listeners.bin", "l"},
  };
  Directory files = kept;
  files["u.del"] = bytesOf({1});  // its data file is gone
  files["u.tmp"] = "rules";
  files["u-k_t-id.rel"] = relationHeader("u", "t");  // its child is gone
  files["u-k_u-id.rel"] = relationHeader("u", "u");
  files["v.bin.quorvel-new"] = "header";  // a CREATE TABLE cut short
  files["v.del.quorvel-new"] = "";
  files["w-k_t-id.rel.quorvel-new"] = relationHeader("w", "t");
  files["vesk.journal"] = "QVJ1W";  // a journal without its commit record
  restoreDirectory(files);
  Storage::recoverFiles();
  EXPECT_EQ(snapshotDirectory(), kept);
}

// Only a relation file whose header gives its own name speaks for its
// child: a damaged header names a child that may never have been there, and
// the link it held must stay to fail at start where it can be seen.
TEST_F(FileRecoveryTest, RelationFilesWhoseHeaderIsNotTheirNameStay) {
  struct Case {
    const char* shows;
    std::string name;
    std::string bytes;
  };
  const std::string whole = relationHeader("u", "t");
  std::string changed = whole;
  changed[0] = 'v';  // names v, which has no data file either
  const std::vector<Case> cases = {
      {"a damaged child name", "u-k_t-id.rel", changed},
      {"a damaged parent name", "u-k_t-id.rel", field("u") + field("q") + field("k") + field("id")},
      {"a header cut short", "u-k_t-id.rel", whole.substr(0, 40)},
      {"a file cut short inside its first field", "u-k_t-id.rel", "u"},
      {"an empty file", "u-k_t-id.rel", ""},
      {"a renamed file", "renamed.rel", whole},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    const Directory files = {{"t.bin", "data"}, {c.name, c.bytes}};
    restoreDirectory(files);
    Storage::recoverFiles();
    EXPECT_EQ(snapshotDirectory(), files);
  }
}

TEST_F(FileRecoveryTest, CommittedJournalIsCompletedAgain) {
  writeFile("t.bin", "0123456789");
  writeFile("vesk.wal", "INSERT INTO t #TIME# 1\n");
  Journal journal;
  journal.write("t.bin", 2, "ab");
  journal.cut("t.bin", 6);
  journal.write("t.del", 0, bytesOf({1, 0}));
  journal.commit();
  EXPECT_EQ(readFile("t.bin"), "0123456789");  // nothing applied at the commit
  const Directory committed = snapshotDirectory();

  const Directory done = {{"t.bin", "01ab45"}, {"t.del", bytesOf({1, 0})}, {"vesk.wal", ""}};
  journal.complete();
  EXPECT_EQ(snapshotDirectory(), done);

  // Applied once already, or part-way: completing it again ends the same.
  for (const bool partly : {false, true}) {
    SCOPED_TRACE(partly ? "part-way" : "already done");
    restoreDirectory(committed);
    if (partly)
      writeFile("t.bin", "01ab456789");
    else
      writeFile("t.bin", "01ab45");
    Storage::recoverFiles();
    EXPECT_EQ(snapshotDirectory(), done);
  }
}

TEST_F(FileRecoveryTest, DamagedJournalIsNeverApplied) {
  writeFile("t.bin", "0123456789");
  Journal journal;
  journal.write("t.bin", 0, "abcdef");
  journal.commit();
  const std::string whole = readFile("vesk.journal");
  for (std::size_t at = 0; at < whole.size(); ++at) {
    SCOPED_TRACE(at);
    for (const bool cut : {false, true}) {
      std::string damaged = whole;
      if (cut) {
        damaged.resize(at);
      } else {
        damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
      }
      restoreDirectory({{"t.bin", "0123456789"}, {"vesk.journal", damaged}});
      Storage::recoverFiles();
      EXPECT_EQ(snapshotDirectory(), (Directory{{"t.bin", "0123456789"}}));
    }
  }
}

TEST_F(FileRecoveryTest, FailuresNameTheFilesOwnNames) {
  struct Case {
    const char* shows;
    Directory files;
    std::set<std::string> messages;  // what some failing operation gives
  };
  Journal journal;
  journal.write("t.bin", 0, "x");
  writeFile("t.bin", "");
  journal.commit();
  const std::string committed = readFile("vesk.journal");
  const std::vector<Case> cases = {
      {"a temporary file", {{"v.bin.quorvel-new", ""}}, {"Failed to write file: v.bin"}},
      {"a journal", {{"vesk.journal", "torn"}}, {"Failed to write file: vesk.wal"}},
      {"a committed journal: its file, the log or its removal",
       {{"t.bin", ""}, {"vesk.journal", committed}},
       {"Failed to write file: t.bin", "Failed to write file: vesk.wal"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    restoreDirectory(c.files);
    const std::int64_t operations = countFileOperations([] { Storage::recoverFiles(); });
    std::set<std::string> messages;
    for (std::int64_t n = 0; n < operations; ++n) {
      restoreDirectory(c.files);
      setFileFaultForTesting(FileFault{n, false});
      messages.insert(thrownMessage([] { Storage::recoverFiles(); }));
      setFileFaultForTesting(std::nullopt);
    }
    messages.erase("");
    messages.erase("Failed to open file: vesk.wal");  // the journal cannot be read
    EXPECT_EQ(messages, c.messages);
  }
}

}  // namespace
