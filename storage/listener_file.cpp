#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/listener_record.h"
#include "storage/staged_file.h"
#include "storage/storage.h"

namespace {

constexpr std::size_t kNameField = 15;
constexpr std::size_t kUrlField = 100;
constexpr std::size_t kConditionValueField = 25;
constexpr std::size_t kOperatorField = 3;
constexpr std::size_t kFixedPart = 2 * kNameField + kUrlField + 4;
constexpr std::size_t kConditionSize = kNameField + kConditionValueField + kOperatorField + 1;

// Where the last whole record of `bytes` ends.
std::size_t wholeRecordsEnd(std::string_view bytes) {
  std::size_t offset = 0;
  while (decodeListenerRecord(bytes, offset)) {
  }
  return offset;
}

}  // namespace

std::string encodeListenerRecord(const std::string& table, const std::string& column,
                                 const std::string& url, const std::vector<Condition>& conditions) {
  std::string record;
  record.reserve(kFixedPart + kConditionSize * conditions.size());
  appendPadded(record, table, kNameField);
  appendPadded(record, column, kNameField);
  appendPadded(record, url, kUrlField);
  appendInt32(record, static_cast<std::int32_t>(conditions.size()));
  for (const Condition& condition : conditions) {
    appendPadded(record, condition.column, kNameField);
    appendPadded(record, condition.value, kConditionValueField);
    appendPadded(record, condition.op, kOperatorField);
    record.push_back(condition.gate);
  }
  return record;
}

std::optional<ListenerRecord> decodeListenerRecord(std::string_view bytes, std::size_t& offset) {
  if (offset > bytes.size() || bytes.size() - offset < kFixedPart) return std::nullopt;
  const std::string_view fixed = bytes.substr(offset, kFixedPart);
  const std::int32_t count = int32At(fixed.substr(kFixedPart - 4));
  const std::size_t conditions = count > 0 ? static_cast<std::size_t>(count) : 0;
  // 64-bit: a damaged count cannot wrap the size below what the file holds.
  const std::uint64_t size = kFixedPart + std::uint64_t{kConditionSize} * conditions;
  if (bytes.size() - offset < size) return std::nullopt;

  ListenerRecord record;
  record.table = textOf(fixed.substr(0, kNameField));
  record.column = textOf(fixed.substr(kNameField, kNameField));
  record.url = textOf(fixed.substr(2 * kNameField, kUrlField));
  record.conditions.reserve(conditions);
  for (std::size_t i = 0; i < conditions; ++i) {
    const std::string_view entry = bytes.substr(offset + kFixedPart + i * kConditionSize);
    Condition condition;
    condition.table = record.table;
    condition.column = textOf(entry.substr(0, kNameField));
    condition.value = textOf(entry.substr(kNameField, kConditionValueField));
    condition.op = textOf(entry.substr(kNameField + kConditionValueField, kOperatorField));
    condition.gate = entry[kConditionSize - 1];
    record.conditions.push_back(std::move(condition));
  }
  offset += static_cast<std::size_t>(size);
  return record;
}

void Storage::saveListener(const std::string& table, const std::string& column,
                           const std::string& url, const std::vector<Condition>& conditions) {
  const std::string path = kListenerFileName;
  const std::string record = encodeListenerRecord(table, column, url, conditions);
  std::string bytes;
  const ReadStatus status = readFile(path, bytes);
  if (status == ReadStatus::Failed) throw failedToWrite(path);
  if (status == ReadStatus::Missing) {
    // The file appears with its first record whole or not at all: an append
    // creates it before it writes, and a removal that fails after a write
    // that failed would leave a file where none was.
    if (stageFile(path, record) != StageResult::Done || !commitStagedFile(path)) {
      throw failedToWrite(path);
    }
    return;
  }
  const std::size_t end = wholeRecordsEnd(bytes);
  // A record cut short goes first, so that the new one starts aligned.
  if (end < bytes.size() && !resizeFile(path, static_cast<std::int64_t>(end))) {
    throw failedToWrite(path);
  }
  if (!appendToFile(path, record, nullptr)) {
    // What a failed append put down would be read as a record cut short;
    // take it away so the file is as it was.
    resizeFile(path, static_cast<std::int64_t>(end));
    throw failedToWrite(path);
  }
}
