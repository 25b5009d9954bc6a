#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/staged_file.h"
#include "storage/storage.h"
#include "storage/webhook_record.h"

namespace {

constexpr std::size_t kNameField = 15;
constexpr std::size_t kValueField = 25;

// Writes `bytes` at `field` of the record at `offset`, which must lie whole
// in the file: a stray offset must not grow the file or hit the middle of
// a record.
bool writeIntoRecord(std::int32_t offset, std::int64_t field, std::string_view bytes) {
  if (offset < 0 || offset % kWebhookRecordSize != 0) return false;
  const std::optional<std::int64_t> size = fileSize(kWebhookFileName);
  if (!size || *size - offset < kWebhookRecordSize) return false;
  return writeFileAt(kWebhookFileName, offset + field, bytes, false);
}

// Writes `records`, one command's, in one write where the file's whole
// records end (`end`), so that a kill keeps a first part of them and never
// splits them over writes. A missing file is written whole under its
// temporary name and renamed into place: it never exists empty or with a
// part of them, which a removal that fails after a failed write would leave.
bool writeRecords(const Storage::WebhookFileEnd& end, std::string_view records) {
  if (!end.exists) {
    return stageFile(kWebhookFileName, records) == StageResult::Done &&
           commitStagedFile(kWebhookFileName);
  }
  return writeFileAt(kWebhookFileName, end.length, records, false);
}

}  // namespace

std::string encodeWebhookRecord(const WebhookTask& task) {
  std::string record;
  record.reserve(static_cast<std::size_t>(kWebhookRecordSize));
  record.push_back('\0');
  appendInt64(record, task.fireTime);
  appendInt64(record, task.insTime);
  appendInt32(record, task.rowIndex);
  record.push_back(task.isCycle ? '\1' : '\0');
  appendInt64(record, task.period);
  appendPadded(record, task.tableName, kNameField);
  appendPadded(record, task.column, kNameField);
  appendPadded(record, task.value, kValueField);
  return record;
}

WebhookRecord decodeWebhookRecord(std::string_view bytes) {
  WebhookRecord record;
  record.fired = bytes[kWebhookFiredAt] != '\0';
  WebhookTask& task = record.task;
  task.fireTime = int64At(bytes.substr(kWebhookFireTimeAt));
  task.insTime = int64At(bytes.substr(9));
  task.rowIndex = int32At(bytes.substr(17));
  task.isCycle = bytes[21] == '\1';
  task.period = int64At(bytes.substr(22));
  task.tableName = textOf(bytes.substr(30, kNameField));
  task.column = textOf(bytes.substr(45, kNameField));
  task.value = textOf(bytes.substr(60, kValueField));
  return record;
}

std::optional<Storage::WebhookFileEnd> Storage::webhookFileEnd() {
  if (const std::optional<std::int64_t> size = fileSize(kWebhookFileName)) {
    return WebhookFileEnd{true, *size - *size % kWebhookRecordSize};
  }
  if (entryKind(kWebhookFileName) == EntryKind::None) return WebhookFileEnd{false, 0};
  return std::nullopt;
}

bool Storage::restoreWebhookFile(const WebhookFileEnd& end) {
  if (!end.exists) return removeFile(kWebhookFileName);
  return resizeFile(kWebhookFileName, end.length);
}

bool Storage::appendWebhooks(std::vector<WebhookTask>& tasks) {
  const std::optional<WebhookFileEnd> end = webhookFileEnd();
  if (!end) return false;
  std::string records;
  records.reserve(tasks.size() * static_cast<std::size_t>(kWebhookRecordSize));
  for (const WebhookTask& task : tasks) records += encodeWebhookRecord(task);
  if (!fitsFileOffsets(end->length, static_cast<std::int64_t>(records.size()))) return false;
  // A record cut short is shorter than a record, so these cover it.
  if (!writeRecords(*end, records)) {
    // Whole records that a failed write put down would name tasks nobody
    // queued, and a restart would revive them. A cut that fails leaves them.
    if (end->exists) restoreWebhookFile(*end);
    return false;
  }
  for (std::size_t k = 0; k < tasks.size(); ++k) {
    tasks[k].fileOffset =
        static_cast<std::int32_t>(end->length + static_cast<std::int64_t>(k) * kWebhookRecordSize);
  }
  return true;
}

std::vector<WebhookTask> Storage::writeMissingWebhooks(std::vector<WebhookTask> tasks,
                                                       std::int64_t offset) {
  std::vector<WebhookTask> written;
  if (tasks.empty()) return written;
  const std::optional<WebhookFileEnd> end = webhookFileEnd();
  if (!end) throw failedToOpen(kWebhookFileName);
  if (end->length < offset || offset % kWebhookRecordSize != 0) return written;
  // The file holds the first records whole, up to its whole end; the rest go
  // down in one write, so that a write that fails leaves the file as it was.
  const auto count = static_cast<std::int64_t>(tasks.size());
  const std::int64_t held = std::min((end->length - offset) / kWebhookRecordSize, count);
  if (held == count) return written;
  const std::int64_t at = offset + held * kWebhookRecordSize;
  std::string records;
  for (std::int64_t k = held; k < count; ++k) {
    records += encodeWebhookRecord(tasks[static_cast<std::size_t>(k)]);
  }
  // The whole records end at `offset` or past it, so these start there.
  if (!fitsFileOffsets(at, static_cast<std::int64_t>(records.size())) ||
      !writeRecords(WebhookFileEnd{end->exists, at}, records)) {
    throw failedToWrite(kWebhookFileName);
  }
  for (std::int64_t k = held; k < count; ++k) {
    WebhookTask& task = tasks[static_cast<std::size_t>(k)];
    task.fileOffset = static_cast<std::int32_t>(at + (k - held) * kWebhookRecordSize);
    written.push_back(std::move(task));
  }
  return written;
}

bool Storage::updateCycleTime(std::int32_t offset, std::int64_t time) {
  std::string bytes;
  appendInt64(bytes, time);
  return writeIntoRecord(offset, kWebhookFireTimeAt, bytes);
}

bool Storage::markWebhookFired(std::int32_t offset) {
  return writeIntoRecord(offset, kWebhookFiredAt, std::string(1, '\1'));
}
