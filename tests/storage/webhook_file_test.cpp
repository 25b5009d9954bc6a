#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "storage/file_system.h"
#include "storage/storage.h"
#include "storage/webhook_record.h"
#include "support/file_sweep.h"
#include "support/test_support.h"

namespace {

class WebhookFileTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }
};

// Appends the one task's record; its offset, or -1 when the append fails.
std::int32_t appendWebhook(const WebhookTask& task) {
  std::vector<WebhookTask> tasks{task};
  return Storage::appendWebhooks(tasks) ? tasks[0].fileOffset : -1;
}

WebhookTask task(std::string value) {
  WebhookTask t;
  t.fireTime = 1005;
  t.tableName = "t";
  t.rowIndex = 2;
  t.column = "s";
  t.value = std::move(value);
  t.isCycle = true;
  t.period = 25;
  t.insTime = 1000;
  return t;
}

TEST_F(WebhookFileTest, RecordBytesFollowTheFileOrder) {
  WebhookTask t;
  t.fireTime = 0x0102030405060708;
  t.insTime = -2;
  t.rowIndex = 0x0A0B0C0D;
  t.isCycle = true;
  t.period = 25;
  t.tableName = std::string(20, 't');  // cut to 15
  t.column = "col";
  t.value = std::string(30, 'v');  // cut to 25
  const std::string expected = std::string("\0", 1) + "\x08\x07\x06\x05\x04\x03\x02\x01" +
                               "\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF" + "\x0D\x0C\x0B\x0A" + "\x01" +
                               std::string("\x19\0\0\0\0\0\0\0", 8) + std::string(15, 't') + "col" +
                               std::string(12, '\0') + std::string(25, 'v');
  ASSERT_EQ(expected.size(), 85u);
  EXPECT_EQ(appendWebhook(t), 0);
  EXPECT_EQ(readFile(dir / "webhooks.bin"), expected);

  const WebhookRecord back = decodeWebhookRecord(expected);
  EXPECT_FALSE(back.fired);
  EXPECT_EQ(back.task.fireTime, t.fireTime);
  EXPECT_EQ(back.task.insTime, -2);
  EXPECT_EQ(back.task.rowIndex, t.rowIndex);
  EXPECT_TRUE(back.task.isCycle);
  EXPECT_EQ(back.task.period, 25);
  EXPECT_EQ(back.task.tableName, std::string(15, 't'));
  EXPECT_EQ(back.task.column, "col");
  EXPECT_EQ(back.task.value, std::string(25, 'v'));
}

TEST_F(WebhookFileTest, RecordsFollowOneAnother) {
  EXPECT_EQ(appendWebhook(task("a")), 0);
  EXPECT_EQ(appendWebhook(task("b")), 85);
  EXPECT_EQ(appendWebhook(task("c")), 170);
  const std::string bytes = readFile(dir / "webhooks.bin");
  ASSERT_EQ(bytes.size(), 255u);
  EXPECT_EQ(decodeWebhookRecord(bytes.substr(85)).task.value, "b");
}

// A kill in the middle of an append leaves part of a record; the next one
// covers it so that every record stays at a multiple of 85.
TEST_F(WebhookFileTest, AppendGoesOverARecordCutShort) {
  const std::string first = encodeWebhookRecord(task("a"));
  writeFile(dir / "webhooks.bin", first + std::string(60, 'x'));
  EXPECT_EQ(appendWebhook(task("b")), 85);
  EXPECT_EQ(readFile(dir / "webhooks.bin"), first + encodeWebhookRecord(task("b")));
}

// Whichever operation fails, the append either lands whole where it should
// or reports -1 and leaves the file as it was.
TEST_F(WebhookFileTest, AFailedAppendReturnsMinusOne) {
  const std::string first = encodeWebhookRecord(task("a"));
  for (const bool existing : {false, true}) {
    for (std::int64_t at = 0;; ++at) {
      SCOPED_TRACE(testing::Message() << "existing " << existing << ", operation " << at);
      std::filesystem::remove(dir / "webhooks.bin");
      if (existing) writeFile(dir / "webhooks.bin", first);
      const std::string before = existing ? first : "";
      setFileFaultForTesting(FileFault{at, false});
      const std::int32_t offset = appendWebhook(task("b"));
      const bool reached = fileOperationsForTesting() > at;
      setFileFaultForTesting(std::nullopt);
      if (offset < 0) {
        EXPECT_EQ(std::filesystem::exists(dir / "webhooks.bin"), existing);
        EXPECT_EQ(readFile(dir / "webhooks.bin"), before);
      } else {
        EXPECT_EQ(offset, static_cast<std::int32_t>(before.size()));
        EXPECT_EQ(readFile(dir / "webhooks.bin"), before + encodeWebhookRecord(task("b")));
      }
      if (!reached) break;
    }
  }
  std::filesystem::remove(dir / "webhooks.bin");
  std::filesystem::create_directory(dir / "webhooks.bin");
  EXPECT_EQ(appendWebhook(task("a")), -1);
}

// The offset of a record is a signed 32-bit field: the last record whose
// every byte is addressable still goes in, the next one is refused.
TEST_F(WebhookFileTest, NoRecordPastTheThirtyTwoBitOffsets) {
  constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t lastFitting = (limit - 84) / 85 * 85;
  writeFile(dir / "webhooks.bin", "");
  std::filesystem::resize_file(dir / "webhooks.bin", lastFitting);
  EXPECT_EQ(appendWebhook(task("a")), lastFitting);
  EXPECT_EQ(appendWebhook(task("b")), -1);
  EXPECT_EQ(std::filesystem::file_size(dir / "webhooks.bin"), lastFitting + 85);
}

TEST_F(WebhookFileTest, DueTimeAndFiredFlagAreWrittenIntoWholeRecords) {
  const std::string first = encodeWebhookRecord(task("a"));
  const std::string second = encodeWebhookRecord(task("b"));
  writeFile(dir / "webhooks.bin", first + second + "torn");
  EXPECT_TRUE(Storage::updateCycleTime(85, 0x0102030405060708));
  EXPECT_TRUE(Storage::markWebhookFired(0));
  std::string expected = first + second + "torn";
  expected[0] = '\1';
  expected.replace(86, 8, "\x08\x07\x06\x05\x04\x03\x02\x01");
  EXPECT_EQ(readFile(dir / "webhooks.bin"), expected);
  const WebhookRecord fired = decodeWebhookRecord(expected);
  EXPECT_TRUE(fired.fired);

  // Offsets that name no whole record change nothing.
  for (const std::int32_t offset : {-85, 1, 170, 255}) {
    SCOPED_TRACE(offset);
    EXPECT_FALSE(Storage::updateCycleTime(offset, 7));
    EXPECT_FALSE(Storage::markWebhookFired(offset));
  }
  EXPECT_EQ(readFile(dir / "webhooks.bin"), expected);
  std::filesystem::remove(dir / "webhooks.bin");
  EXPECT_FALSE(Storage::markWebhookFired(0));
  EXPECT_FALSE(std::filesystem::exists(dir / "webhooks.bin"));
}

TEST_F(WebhookFileTest, TheFileCanBePutBackToWhereItsRecordsEnded) {
  const auto missing = Storage::webhookFileEnd();
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->exists);
  appendWebhook(task("a"));
  EXPECT_TRUE(Storage::restoreWebhookFile(*missing));
  EXPECT_FALSE(std::filesystem::exists(dir / "webhooks.bin"));

  const std::string first = encodeWebhookRecord(task("a"));
  writeFile(dir / "webhooks.bin", first + "torn");
  const auto end = Storage::webhookFileEnd();
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->exists);
  EXPECT_EQ(end->length, 85);
  appendWebhook(task("b"));
  appendWebhook(task("c"));
  EXPECT_TRUE(Storage::restoreWebhookFile(*end));
  EXPECT_EQ(readFile(dir / "webhooks.bin"), first);

  std::filesystem::remove(dir / "webhooks.bin");
  std::filesystem::create_directory(dir / "webhooks.bin");
  EXPECT_FALSE(Storage::webhookFileEnd());
}

// One command's records: a kill anywhere leaves a missing file missing (a
// temporary file it leaves is the start-up's to remove) or holding every
// record whole, and an existing file its old records followed by the first
// part of the new ones, which one write put down.
TEST_F(WebhookFileTest, AKillLeavesTheRecordsOfOneAppendWholeOrAFirstPartOfOneWrite) {
  const std::vector<WebhookTask> tasks = {task("a"), task("b"), task("c")};
  std::string records;
  for (const WebhookTask& t : tasks) records += encodeWebhookRecord(t);
  const std::string earlier = encodeWebhookRecord(task("e"));
  for (const bool existing : {false, true}) {
    const auto prepare = [&] {
      for (const std::string& name : fileNames()) std::filesystem::remove(dir / name);
      if (existing) writeFile(dir / "webhooks.bin", earlier);
    };
    prepare();
    std::vector<WebhookTask> counted = tasks;
    const std::int64_t operations = countFileOperations([&] { Storage::appendWebhooks(counted); });
    for (std::int64_t n = 0; n < operations; ++n) {
      SCOPED_TRACE(testing::Message() << "existing " << existing << ", kill at operation " << n);
      prepare();
      std::vector<WebhookTask> appended = tasks;
      {
        const ScopedFileFault kill(FileFault{n, true});
        EXPECT_FALSE(Storage::appendWebhooks(appended));
      }
      if (!existing) {
        if (std::filesystem::exists(dir / "webhooks.bin")) {
          EXPECT_EQ(readFile(dir / "webhooks.bin"), records);
        }
        continue;
      }
      const std::string left = readFile(dir / "webhooks.bin");
      ASSERT_TRUE(left.starts_with(earlier));
      const std::string added = left.substr(earlier.size());
      // A torn write keeps the first half of what it was handed.
      EXPECT_TRUE(added.empty() || added == records.substr(0, records.size() / 2)) << added.size();
    }
  }
}

}  // namespace
