#include "storage/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/file_sweep.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

class FileSystemTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }

  // A directory, a FIFO, a dangling link and a link to a regular file.
  void makeSpecialEntries() {
    fs::create_directory("dir");
    ASSERT_EQ(::mkfifo("fifo", 0600), 0);
    fs::create_symlink("nowhere", "dangling");
    writeFile("target", "abc");
    fs::create_symlink("target", "link");
  }
};

TEST_F(FileSystemTest, KindsOfEntries) {
  makeSpecialEntries();
  const struct {
    const char* name;
    EntryKind kind;
  } cases[] = {{"none", EntryKind::None},  {"target", EntryKind::File},
               {"link", EntryKind::File},  {"dir", EntryKind::Other},
               {"fifo", EntryKind::Other}, {"dangling", EntryKind::Other}};
  for (const auto& c : cases) EXPECT_EQ(entryKind(c.name), c.kind) << c.name;
}

// Nothing but a regular file is ever opened: a FIFO would block the reader
// and a dangling link would let a write escape the directory.
TEST_F(FileSystemTest, OnlyRegularFilesAreOpened) {
  makeSpecialEntries();
  std::string bytes = "stale";
  EXPECT_EQ(readFile("none", bytes), ReadStatus::Missing);
  EXPECT_EQ(bytes, "");
  for (const char* name : {"dir", "fifo", "dangling"}) {
    EXPECT_EQ(readFile(name, bytes), ReadStatus::Failed) << name;
    EXPECT_FALSE(replaceFile(name, "x")) << name;
    EXPECT_FALSE(writeFileAt(name, 0, "x", true)) << name;
    EXPECT_FALSE(appendToFile(name, "x", nullptr)) << name;
    EXPECT_FALSE(fileSize(name)) << name;
    FileWriter writer;
    EXPECT_FALSE(writer.open(name, FileWriter::Mode::Update)) << name;
    FileLock lock;
    EXPECT_EQ(lock.take(name), LockStatus::OpenFailed) << name;
  }
  EXPECT_FALSE(fs::exists("nowhere"));
  EXPECT_EQ(readFile("link", bytes), ReadStatus::Done);
  EXPECT_EQ(bytes, "abc");
  EXPECT_FALSE(removeFile("dir"));
  EXPECT_TRUE(fs::is_directory("dir"));
}

TEST_F(FileSystemTest, WritesLandWhereAsked) {
  EXPECT_FALSE(writeFileAt("f", 0, "x", false));
  EXPECT_FALSE(fs::exists("f"));
  EXPECT_TRUE(writeFileAt("f", 2, "ab", true));
  EXPECT_EQ(readFile("f"), std::string("\0\0ab", 4));
  EXPECT_TRUE(writeFileAt("f", 1, "Z", false));
  EXPECT_EQ(readFile("f"), std::string("\0Zab", 4));

  std::int64_t offset = -1;
  EXPECT_TRUE(appendToFile("f", "cd", &offset));
  EXPECT_EQ(offset, 4);
  EXPECT_EQ(fileSize("f"), 6);

  EXPECT_TRUE(resizeFile("f", 3));
  EXPECT_EQ(readFile("f"), std::string("\0Za", 3));
  EXPECT_TRUE(replaceFile("f", "new"));
  EXPECT_EQ(readFile("f"), "new");

  EXPECT_TRUE(renameFile("f", "g"));
  EXPECT_EQ(readFile("g"), "new");
  EXPECT_FALSE(fs::exists("f"));
  EXPECT_TRUE(removeFile("g"));
  EXPECT_TRUE(removeFile("g"));  // nothing left to remove is no failure
}

TEST_F(FileSystemTest, WriterWritesInSequenceAndAtOffsets) {
  writeFile("f", "0123456789");
  FileWriter update;
  ASSERT_TRUE(update.open("f", FileWriter::Mode::Update));
  EXPECT_TRUE(update.write("ab"));
  EXPECT_TRUE(update.writeAt(8, "XY"));
  EXPECT_TRUE(update.write("Z"));
  EXPECT_TRUE(update.close());
  EXPECT_EQ(readFile("f"), "ab234567XYZ");

  FileWriter replace;
  ASSERT_TRUE(replace.open("f", FileWriter::Mode::Replace));
  EXPECT_TRUE(replace.write("q"));
  EXPECT_TRUE(replace.close());
  EXPECT_EQ(readFile("f"), "q");
}

TEST_F(FileSystemTest, ListsRegularFilesByExactExtension) {
  makeSpecialEntries();
  for (const char* name : {"a.bin", "b.BIN", ".bin", "c.bin.x", "d.rel"}) writeFile(name, "");
  fs::create_directory("e.bin");
  fs::create_symlink("a.bin", "f.bin");
  std::vector<std::string> names = listFiles(".bin");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "f.bin"}));
}

TEST_F(FileSystemTest, AFaultFailsOneOperation) {
  writeFile("f", "abc");
  setFileFaultForTesting(FileFault{1, false});
  EXPECT_TRUE(writeFileAt("f", 0, "x", false));   // operation 0
  EXPECT_FALSE(writeFileAt("f", 1, "y", false));  // operation 1 fails, writing nothing
  EXPECT_TRUE(writeFileAt("f", 2, "z", false));   // operation 2
  EXPECT_EQ(fileOperationsForTesting(), 3);
  setFileFaultForTesting(std::nullopt);
  EXPECT_EQ(readFile("f"), "xbz");
}

TEST_F(FileSystemTest, ACrashTearsItsWriteAndStopsEverythingAfter) {
  writeFile("f", "........");
  setFileFaultForTesting(FileFault{0, true});
  EXPECT_FALSE(writeFileAt("f", 0, "abcd", false));
  EXPECT_FALSE(replaceFile("g", "x"));
  EXPECT_FALSE(removeFile("f"));
  std::string bytes;
  EXPECT_EQ(readFile("f", bytes), ReadStatus::Failed);
  setFileFaultForTesting(std::nullopt);
  EXPECT_EQ(readFile("f"), "ab......");
  EXPECT_FALSE(fs::exists("g"));

  // A writer's buffered bytes before the crash reach the file; the torn
  // write leaves its first half.
  setFileFaultForTesting(FileFault{2, true});
  FileWriter writer;
  ASSERT_TRUE(writer.open("h", FileWriter::Mode::Replace));
  EXPECT_TRUE(writer.write("1234"));
  EXPECT_FALSE(writer.write("5678"));
  EXPECT_FALSE(writer.write("9"));
  EXPECT_FALSE(writer.close());
  setFileFaultForTesting(std::nullopt);
  EXPECT_EQ(readFile("h"), "123456");
}

}  // namespace

namespace {

// Whether a process of its own could take the lock on `path` now.
bool anotherProcessCanLock(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    FileLock lock;
    ::_exit(lock.take(path) == LockStatus::Taken ? 0 : 1);
  }
  int status = -1;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One holder at a time, whether the others are processes of their own or
// other locks of this one, and the file itself is never written nor removed.
TEST_F(FileSystemTest, ALockHasOneHolderAtATime) {
  writeFile("lk", "abc");
  FileLock first;
  FileLock second;
  ASSERT_EQ(first.take("lk"), LockStatus::Taken);
  EXPECT_FALSE(anotherProcessCanLock("lk"));
  EXPECT_EQ(second.take("lk"), LockStatus::Busy);
  EXPECT_EQ(first.take("lk"), LockStatus::Taken) << "taking again lets go first";
  first.release();
  EXPECT_TRUE(anotherProcessCanLock("lk"));
  EXPECT_EQ(second.take("lk"), LockStatus::Taken);
  EXPECT_EQ(first.take("lk"), LockStatus::Busy);
  second.release();
  {
    FileLock scoped;
    EXPECT_EQ(scoped.take("lk"), LockStatus::Taken);
  }
  EXPECT_EQ(first.take("lk"), LockStatus::Taken) << "a lock that goes lets go";
  EXPECT_EQ(readFile("lk"), "abc");

  FileLock fresh;
  EXPECT_EQ(fresh.take("new"), LockStatus::Taken);
  EXPECT_TRUE(fs::is_regular_file("new"));
  EXPECT_EQ(readFile("new"), "");
}

// A program started while the lock is held gets no copy of it: otherwise it
// would keep the lock after its holder let it go, or died.
TEST_F(FileSystemTest, AStartedProgramDoesNotInheritALock) {
  FileLock lock;
  ASSERT_EQ(lock.take("lk"), LockStatus::Taken);
  RunningProgram cat({"/bin/cat"});
  cat.send("x");
  ASSERT_EQ(cat.read(1), "x") << "the program runs, so its start is over";
  lock.release();
  EXPECT_TRUE(anotherProcessCanLock("lk"));
  EXPECT_EQ(cat.finish(), std::optional<int>(0));
}

// Taking a lock is an operation the hook can fail, which leaves nothing.
TEST_F(FileSystemTest, AFaultFailsTakingALock) {
  setFileFaultForTesting(FileFault{0, false});
  FileLock lock;
  EXPECT_EQ(lock.take("lk"), LockStatus::OpenFailed);
  EXPECT_FALSE(fs::exists("lk"));
  EXPECT_EQ(lock.take("lk"), LockStatus::Taken);
  EXPECT_EQ(fileOperationsForTesting(), 2);
}

TEST_F(FileSystemTest, ReaderReadsWholeRangesOnly) {
  writeFile("f", "abcdef");
  FileReader missing;
  EXPECT_EQ(missing.open("none"), ReadStatus::Missing);
  std::string bytes = "stale";
  EXPECT_FALSE(missing.readAt(0, 1, bytes));
  EXPECT_EQ(bytes, "");

  FileReader reader;
  ASSERT_EQ(reader.open("f"), ReadStatus::Done);
  EXPECT_EQ(reader.size(), 6);
  EXPECT_TRUE(reader.readAt(2, 3, bytes));
  EXPECT_EQ(bytes, "cde");
  EXPECT_FALSE(reader.readAt(4, 3, bytes));  // past the end
  EXPECT_FALSE(reader.readAt(-1, 1, bytes));
  EXPECT_TRUE(reader.readAt(6, 0, bytes));

  // The open and each read are operations the hook can fail.
  setFileFaultForTesting(FileFault{1, false});
  FileReader faulty;
  ASSERT_EQ(faulty.open("f"), ReadStatus::Done);
  EXPECT_FALSE(faulty.readAt(0, 1, bytes));
  EXPECT_TRUE(faulty.readAt(0, 1, bytes));
  EXPECT_EQ(fileOperationsForTesting(), 3);
}

}  // namespace

namespace {

TEST_F(FileSystemTest, SyncsNeedWhatTheySync) {
  makeSpecialEntries();
  EXPECT_TRUE(syncFile("target"));
  EXPECT_TRUE(syncFile("link"));
  for (const char* name : {"none", "dir", "fifo", "dangling"}) EXPECT_FALSE(syncFile(name)) << name;
  EXPECT_TRUE(syncDirectory());

  // Both are operations the hook can fail.
  setFileFaultForTesting(FileFault{0, false});
  EXPECT_FALSE(syncFile("target"));
  EXPECT_TRUE(syncDirectory());
  setFileFaultForTesting(FileFault{1, false});
  EXPECT_TRUE(syncFile("target"));
  EXPECT_FALSE(syncDirectory());
}

// What a power cut keeps of the changes since the mode was switched on over
// "a" and "b": a file's content at its last sync, under the entries the last
// directory sync left.
TEST_F(FileSystemTest, APowerCutKeepsWhatWasSynced) {
  const auto write = [](const char* path, const char* bytes) {
    FileWriter writer;
    ASSERT_TRUE(writer.open(path, FileWriter::Mode::Replace));
    ASSERT_TRUE(writer.write(bytes));
    ASSERT_TRUE(writer.close());
  };
  const struct {
    const char* shows;
    std::function<void()> changes;
    Directory kept;
  } cases[] = {
      {"a write", [] { replaceFile("a", "A1"); }, {{"a", "A0"}, {"b", "B0"}}},
      {"a synced write",
       [] {
         replaceFile("a", "A1");
         syncFile("a");
       },
       {{"a", "A1"}, {"b", "B0"}}},
      {"a write after the sync",
       [] {
         replaceFile("a", "A1");
         syncFile("a");
         writeFileAt("a", 1, "xx", false);
       },
       {{"a", "A1"}, {"b", "B0"}}},
      {"a cut, then synced",
       [] {
         resizeFile("a", 1);
         syncFile("a");
       },
       {{"a", "A"}, {"b", "B0"}}},
      {"an append, a writer's writes",
       [&] {
         appendToFile("b", "+", nullptr);
         write("a", "W");
       },
       {{"a", "A0"}, {"b", "B0"}}},
      {"both synced",
       [&] {
         appendToFile("b", "+", nullptr);
         write("a", "W");
         syncFile("a");
         syncFile("b");
       },
       {{"a", "W"}, {"b", "B0+"}}},
      {"a new file synced, its directory not",
       [] {
         replaceFile("c", "C");
         syncFile("c");
       },
       {{"a", "A0"}, {"b", "B0"}}},
      {"a new file's directory synced, the file not",
       [] {
         replaceFile("c", "C");
         syncDirectory();
       },
       {{"a", "A0"}, {"b", "B0"}, {"c", ""}}},
      {"a new file and its directory synced",
       [] {
         replaceFile("c", "C");
         syncFile("c");
         syncDirectory();
       },
       {{"a", "A0"}, {"b", "B0"}, {"c", "C"}}},
      {"a rename over another file", [] { renameFile("a", "b"); }, {{"a", "A0"}, {"b", "B0"}}},
      {"a rename, the directory synced",
       [] {
         renameFile("a", "b");
         syncDirectory();
       },
       {{"b", "A0"}}},
      {"a file synced under the name it was renamed to",
       [] {
         replaceFile("a", "A1");
         renameFile("a", "c");
         syncFile("c");
       },
       {{"a", "A1"}, {"b", "B0"}}},
      {"another file created under a name renamed away, synced",
       [] {
         renameFile("a", "c");
         replaceFile("a", "N");
         syncFile("a");
       },
       {{"a", "A0"}, {"b", "B0"}}},
      {"a removal", [] { removeFile("a"); }, {{"a", "A0"}, {"b", "B0"}}},
      {"a removal, the directory synced",
       [] {
         removeFile("a");
         syncDirectory();
       },
       {{"b", "B0"}}},
      {"a file removed and created again, synced",
       [] {
         removeFile("a");
         replaceFile("a", "A2");
         syncFile("a");
       },
       {{"a", "A0"}, {"b", "B0"}}},
      {"... and the directory synced",
       [] {
         removeFile("a");
         replaceFile("a", "A2");
         syncFile("a");
         syncDirectory();
       },
       {{"a", "A2"}, {"b", "B0"}}},
      {"the log's kept stream",
       [] {
         LineEnd end;
         appendLine("c", "line\n", end);
         syncFile("c");
         syncDirectory();
         appendLine("c", "more\n", end);
       },
       {{"a", "A0"}, {"b", "B0"}, {"c", "line\n"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shows);
    restoreDirectory({{"a", "A0"}, {"b", "B0"}});
    setPowerCutForTesting(std::numeric_limits<std::int64_t>::max());
    c.changes();
    restoreAfterPowerCutForTesting();
    EXPECT_EQ(snapshotDirectory(), c.kept);
  }
}

TEST_F(FileSystemTest, NothingReachesTheDiskFromTheCutOn) {
  restoreDirectory({{"a", "A0"}, {"b", "B0"}});
  setPowerCutForTesting(2);
  EXPECT_TRUE(replaceFile("a", "A1"));   // operation 0
  EXPECT_TRUE(syncFile("a"));            // operation 1
  EXPECT_FALSE(replaceFile("b", "B1"));  // the cut
  EXPECT_FALSE(syncFile("b"));
  EXPECT_FALSE(removeFile("a"));
  EXPECT_FALSE(syncDirectory());
  EXPECT_EQ(fileOperationsForTesting(), 6);
  EXPECT_EQ(snapshotDirectory(), (Directory{{"a", "A1"}, {"b", "B0"}}));
  restoreAfterPowerCutForTesting();
  EXPECT_EQ(snapshotDirectory(), (Directory{{"a", "A1"}, {"b", "B0"}}));

  // Setting a fault ends the mode: the restore then leaves the directory be.
  setPowerCutForTesting(std::numeric_limits<std::int64_t>::max());
  replaceFile("a", "A2");
  setFileFaultForTesting(std::nullopt);
  EXPECT_TRUE(replaceFile("b", "B2"));
  restoreAfterPowerCutForTesting();
  EXPECT_EQ(snapshotDirectory(), (Directory{{"a", "A2"}, {"b", "B2"}}));
}

}  // namespace
