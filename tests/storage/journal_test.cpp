#include "storage/journal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "storage/file_system.h"
#include "storage/storage.h"
#include "support/file_sweep.h"
#include "support/test_support.h"

namespace {

class JournalTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }
};

// Bytes that are mostly zeros, as row slots are, with runs of every length.
std::string randomBytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size;) {
    const std::size_t run = 1 + random() % 300;
    if (random() % 2 == 0) {
      for (std::size_t j = i; j < std::min(size, i + run); ++j) {
        bytes[j] = static_cast<char>(random() % 256);
      }
    }
    i += run;
  }
  return bytes;
}

// A journal as checkpoints make them, and worse: per file, ranges close
// together in ascending order, far apart, going back, overlapping, past the
// end and empty, with cuts in between.
Journal randomJournal(std::mt19937& random, const std::vector<std::string>& paths) {
  Journal journal;
  const int changes = 1 + static_cast<int>(random() % 60);
  std::int64_t offset = 0;
  std::string path = paths[random() % paths.size()];
  for (int i = 0; i < changes; ++i) {
    if (random() % 8 == 0) path = paths[random() % paths.size()];
    switch (random() % 6) {
      case 0:
        offset = static_cast<std::int64_t>(random() % 400000);  // anywhere, also back
        break;
      case 1:
        offset += static_cast<std::int64_t>(random() % 100000);  // some way on
        break;
      default:
        offset += static_cast<std::int64_t>(random() % 200);  // close by
        break;
    }
    if (random() % 10 == 0) {
      journal.cut(path, static_cast<std::int64_t>(random() % 300000));
      continue;
    }
    const std::size_t size = random() % 5 == 0 ? 0 : random() % 3000;
    journal.write(path, offset, randomBytes(random, size));
    offset += static_cast<std::int64_t>(size);
  }
  return journal;
}

// What the journal leaves when each change is made alone, in order, by the
// plain file functions.
Directory appliedOneByOne(const Directory& before, const Journal& journal) {
  restoreDirectory(before);
  for (const Journal::Change& change : journal.changes) {
    const bool done = change.cut ? resizeFile(change.path, change.offset)
                                 : writeFileAt(change.path, change.offset, change.bytes, true);
    EXPECT_TRUE(done);
  }
  writeFile("vesk.wal", "");
  return snapshotDirectory();
}

// 64-bit FNV-1a, a byte at a time.
std::uint64_t fnv1a(std::string_view bytes) {
  std::uint64_t sum = 14695981039346656037ULL;
  for (const char c : bytes) {
    sum ^= static_cast<unsigned char>(c);
    sum *= 1099511628211ULL;
  }
  return sum;
}

TEST_F(JournalTest, CompletingLeavesWhatEachChangeAloneLeaves) {
  std::mt19937 random(29);
  const std::vector<std::string> paths = {"t.bin", "t.del", "t.tmp"};
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    // Every file exists, as a checkpoint's data file does: a cut does not
    // create one.
    Directory before;
    for (const std::string& path : paths) {
      before[path] = randomBytes(random, random() % 4 == 0 ? 0 : random() % 300000);
    }
    before["vesk.wal"] = "INSERT INTO t #TIME# 1\n";
    const Journal journal = randomJournal(random, paths);
    const Directory expected = appliedOneByOne(before, journal);

    restoreDirectory(before);
    journal.commit();
    journal.complete();
    EXPECT_EQ(snapshotDirectory(), expected);
  }
}

// A crash anywhere in completing leaves a journal whose completion at the
// next start ends the same.
TEST_F(JournalTest, CompletionCutShortAnywhereIsCompletedAtTheNextStart) {
  std::mt19937 random(31);
  const std::vector<std::string> paths = {"t.bin", "t.del"};
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    Directory before;
    for (const std::string& path : paths) before[path] = randomBytes(random, 100000);
    const Journal journal = randomJournal(random, paths);
    const Directory expected = appliedOneByOne(before, journal);
    restoreDirectory(before);
    journal.commit();
    const Directory committed = snapshotDirectory();
    const std::int64_t operations = countFileOperations([&] { journal.complete(); });
    for (std::int64_t n = 0; n < operations; ++n) {
      SCOPED_TRACE(n);
      restoreDirectory(committed);
      setFileFaultForTesting(FileFault{n, true});
      thrownMessage([&] { journal.complete(); });
      setFileFaultForTesting(std::nullopt);
      Storage::recoverFiles();
      EXPECT_EQ(snapshotDirectory(), expected);
    }
  }
}

// What a checkpoint journals of the listener and webhook files: the bytes
// past what its last committed checkpoint held, all of them when none did.
TEST_F(JournalTest, SideFilesAreJournaledPastTheirHeldEnd) {
  const struct {
    const char* shows;
    Directory files;
    Storage::SideFileEnds held;
    std::vector<Journal::Change> changes;
    Storage::SideFileEnds ends;
  } cases[] = {
      {"no file", {}, {}, {}, {}},
      {"held by none: the whole files",
       {{"listeners.bin", "LL"}, {"webhooks.bin", "abcdef"}},
       {},
       {{"listeners.bin", 0, "LL"}, {"webhooks.bin", 0, "abcdef"}},
       {{"listeners.bin", 2}, {"webhooks.bin", 6}}},
      {"records appended since",
       {{"webhooks.bin", "abcdef"}},
       {{"webhooks.bin", 4}},
       {{"webhooks.bin", 4, "ef"}},
       {{"webhooks.bin", 6}}},
      {"nothing since",
       {{"listeners.bin", "LL"}},
       {{"listeners.bin", 2}},
       {},
       {{"listeners.bin", 2}}},
      {"a file cut shorter than was held",
       {{"webhooks.bin", "abc"}},
       {{"webhooks.bin", 6}},
       {},
       {{"webhooks.bin", 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shows);
    restoreDirectory(c.files);
    Journal journal;
    Storage::SideFileEnds ends = c.held;
    Storage::journalSideFiles(journal, ends);
    ASSERT_EQ(journal.changes.size(), c.changes.size());
    for (std::size_t i = 0; i < c.changes.size(); ++i) {
      EXPECT_EQ(journal.changes[i].path, c.changes[i].path);
      EXPECT_EQ(journal.changes[i].offset, c.changes[i].offset);
      EXPECT_EQ(journal.changes[i].bytes, c.changes[i].bytes);
      EXPECT_FALSE(journal.changes[i].cut);
    }
    EXPECT_EQ(ends, c.ends);
  }
}

TEST_F(JournalTest, CommitRecordCarriesTheByteWiseChecksum) {
  std::mt19937 random(37);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    restoreDirectory({});
    const Journal journal = randomJournal(random, {"t.bin", "u.bin"});
    journal.commit();
    const std::string bytes = readFile("vesk.journal");
    ASSERT_GE(bytes.size(), 9U);
    const std::string_view body = std::string_view(bytes).substr(0, bytes.size() - 8);
    std::uint64_t stored = 0;
    for (int i = 7; i >= 0; --i) {
      stored = (stored << 8) | static_cast<unsigned char>(bytes[bytes.size() - 8 + i]);
    }
    EXPECT_EQ(body.back(), 'E');
    EXPECT_EQ(stored, fnv1a(body.substr(0, body.size() - 1)));
    Journal read;
    EXPECT_EQ(Journal::read(read), Journal::Found::Committed);
    EXPECT_EQ(read.changes.size(), journal.changes.size());
  }
}

}  // namespace
