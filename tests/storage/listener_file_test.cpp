#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "model/condition.h"
#include "storage/file_system.h"
#include "storage/listener_record.h"
#include "storage/storage.h"
#include "support/test_support.h"

namespace {

class ListenerFileTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }

  std::string listenerFile() const { return readFile(dir / "listeners.bin"); }
};

std::string field(const std::string& text, std::size_t width) {
  return text + std::string(width - text.size(), '\0');
}

const std::vector<Condition> kConditions = {{"", "age", "30", "<=", 'o'},
                                            {"t", "name", "bo", "=", 'a'}};

TEST_F(ListenerFileTest, RecordBytes) {
  Storage::saveListener("t", "col", "http://x", kConditions);
  const std::string expected = field("t", 15) + field("col", 15) + field("http://x", 100) +
                               std::string("\x02\0\0\0", 4) + field("age", 15) + field("30", 25) +
                               field("<=", 3) + "o" + field("name", 15) + field("bo", 25) +
                               field("=", 3) + "a";
  ASSERT_EQ(expected.size(), 134u + 2 * 44u);
  EXPECT_EQ(listenerFile(), expected);
}

TEST_F(ListenerFileTest, LongerTextsAreCutToTheirFields) {
  const Condition wide{"", std::string(20, 'c'), std::string(30, 'v'), "<=>", 'a'};
  Storage::saveListener(std::string(16, 't'), std::string(15, 'k'), std::string(120, 'u'), {wide});
  const std::string expected = std::string(15, 't') + std::string(15, 'k') + std::string(100, 'u') +
                               std::string("\x01\0\0\0", 4) + std::string(15, 'c') +
                               std::string(25, 'v') + "<=>" + "a";
  EXPECT_EQ(listenerFile(), expected);
}

TEST_F(ListenerFileTest, RecordsReadBackWithTheTableAsPrefix) {
  const std::string bytes =
      encodeListenerRecord("t", "col", "u", kConditions) + encodeListenerRecord("w", "c", "v", {});
  std::size_t offset = 0;
  const auto first = decodeListenerRecord(bytes, offset);
  ASSERT_TRUE(first);
  EXPECT_EQ(offset, 134u + 88u);
  EXPECT_EQ(first->table, "t");
  EXPECT_EQ(first->column, "col");
  EXPECT_EQ(first->url, "u");
  const std::vector<Condition> prefixed = {{"t", "age", "30", "<=", 'o'},
                                           {"t", "name", "bo", "=", 'a'}};
  EXPECT_EQ(first->conditions, prefixed);
  const auto second = decodeListenerRecord(bytes, offset);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->table, "w");
  EXPECT_TRUE(second->conditions.empty());
  EXPECT_EQ(offset, bytes.size());
  EXPECT_FALSE(decodeListenerRecord(bytes, offset));
}

// A record is whole or it is not there: a damaged count cannot send the
// reader past the bytes, and a negative one means no conditions.
TEST_F(ListenerFileTest, RecordsCutShortOrDamagedAreNotRead) {
  const std::string record = encodeListenerRecord("t", "col", "u", kConditions);
  std::string negative = encodeListenerRecord("t", "col", "u", {});
  negative.replace(130, 4, "\xFF\xFF\xFF\xFF");
  std::string huge = negative;
  huge.replace(130, 4, "\xFF\xFF\xFF\x7F");
  struct Case {
    const char* shows;
    std::string bytes;
    std::size_t end;  // where the whole records end
  } cases[] = {
      {"nothing", "", 0},
      {"a table field cut short", "t", 0},
      {"a condition cut short", record.substr(0, record.size() - 1), 0},
      {"a whole record, then part of one", record + record.substr(0, 140), record.size()},
      {"a negative count", negative + record, negative.size() + record.size()},
      {"a count far past the end", record + huge + std::string(100, 'x'), record.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    std::size_t offset = 0;
    while (decodeListenerRecord(c.bytes, offset)) {
    }
    EXPECT_EQ(offset, c.end);
  }
}

TEST_F(ListenerFileTest, AppendGoesOverARecordCutShort) {
  const std::string first = encodeListenerRecord("t", "col", "u", kConditions);
  writeFile(dir / "listeners.bin", first + std::string(300, 'x'));
  Storage::saveListener("t", "c", "v", {});
  EXPECT_EQ(listenerFile(), first + encodeListenerRecord("t", "c", "v", {}));
}

// Whichever operation fails, the listener record is either appended whole
// or refused with the file's whole records as they were.
TEST_F(ListenerFileTest, AFailedWriteIsReportedAndLeavesTheRecords) {
  const std::string first = encodeListenerRecord("t", "col", "u", kConditions);
  const std::string added = encodeListenerRecord("t", "c", "v", {});
  struct Case {
    const char* shows;
    bool exists;
    std::string bytes;
    std::string records;  // the whole records among them
  } cases[] = {
      {"no file", false, "", ""},
      {"one record", true, first, first},
      {"a record, then part of one", true, first + "torn", first},
  };
  for (const Case& c : cases) {
    for (const bool crash : {false, true}) {
      for (std::int64_t at = 0;; ++at) {
        SCOPED_TRACE(testing::Message() << c.shows << ", crash " << crash << ", operation " << at);
        std::filesystem::remove(dir / "listeners.bin");
        if (c.exists) writeFile(dir / "listeners.bin", c.bytes);
        setFileFaultForTesting(FileFault{at, crash});
        std::string message;
        try {
          Storage::saveListener("t", "c", "v", {});
        } catch (const std::runtime_error& error) {
          message = error.what();
        }
        const bool reached = fileOperationsForTesting() > at;
        setFileFaultForTesting(std::nullopt);
        if (!reached) {
          EXPECT_EQ(message, "");
          EXPECT_EQ(listenerFile(), c.records + added);
          break;
        }
        if (message.empty()) {
          EXPECT_EQ(listenerFile(), c.records + added);
          continue;
        }
        EXPECT_EQ(message, "Failed to write file: listeners.bin");
        // A crash stops the clean-up too; what it left is never read as a record.
        const std::string left = listenerFile();
        std::size_t offset = 0;
        while (decodeListenerRecord(left, offset)) {
        }
        EXPECT_EQ(left.substr(0, offset), c.records);
        if (!crash) {
          EXPECT_EQ(std::filesystem::exists(dir / "listeners.bin"), c.exists);
          EXPECT_TRUE(left == c.bytes || left == c.records);
        }
        if (!c.exists) {
          // A new file appears only with its record whole: whatever a failure
          // or a crash left is gone once the start-up recovery has run.
          Storage::recoverFiles();
          EXPECT_EQ(fileNames(), std::set<std::string>{});
        }
      }
    }
  }
  std::filesystem::remove(dir / "listeners.bin");
  std::filesystem::create_directory(dir / "listeners.bin");
  EXPECT_THROW(Storage::saveListener("t", "c", "v", {}), std::runtime_error);
}

}  // namespace
