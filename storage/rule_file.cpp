#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "storage/bytes.h"
#include "storage/file_access.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

std::string ruleHeader(std::int32_t rIdx, std::int32_t cIdx, const TempRule& rule,
                       std::int32_t stateCount) {
  std::string bytes;
  bytes.reserve(kRuleHeaderBytes);
  appendInt32(bytes, rIdx);
  appendInt32(bytes, cIdx);
  bytes.push_back(rule.isCycle ? 1 : 0);
  appendInt64(bytes, rule.insTime);
  appendInt64(bytes, rule.preCalc);
  appendInt32(bytes, stateCount);
  return bytes;
}

void markDeleted(std::fstream& map, int slot) {
  if (slot < 0) return;
  map.seekp(slot);
  map.put(1);
}

}  // namespace

// Every record of a table has room for the longest chain any of its
// columns allows.
std::int64_t Storage::ruleRecordSize(int maxStates) {
  return kRuleHeaderBytes + kStateBytes * static_cast<std::int64_t>(maxStates);
}

void Storage::setUpDeletesFile(const Table& table) {
  if (table.rows.empty()) return;
  const std::string path = deletionMapPath(table.name);
  const std::string live(table.rows.size(), kLiveRowByte);
  if (!writeFileAt(path, 0, live, false) && entryKind(path) != EntryKind::None) {
    throw failedToWrite(path);
  }
}

void Storage::deleteAt(const std::string& tableName, int slot) {
  std::fstream map = openForUpdate(deletionMapPath(tableName), false);
  if (map.is_open()) markDeleted(map, slot);
}

void Storage::deleteBatch(const std::string& tableName, const std::vector<int>& slots) {
  if (slots.empty()) return;
  std::fstream map = openForUpdate(deletionMapPath(tableName), false);
  if (!map.is_open()) return;
  for (const int slot : slots) markDeleted(map, slot);
}

int Storage::writeTempRule(const std::string& tableName, int rIdx, int cIdx, const TempRule* rule,
                           int maxStates, int recordNumber) {
  if (rule == nullptr || maxStates <= 0) return -1;
  const std::string path = ruleFilePath(tableName);
  const std::int64_t size = Storage::ruleRecordSize(maxStates);
  requireFileOffsets(0, size, path);  // before the file is created
  std::fstream file = openForUpdate(path, true);
  if (!file.is_open()) return -1;
  // A partial record at the end still counts, so that a new record never
  // shares bytes with one that a slot may name.
  const std::int64_t records = (streamLength(file) + size - 1) / size;
  const std::int64_t record = recordNumber >= 0 && recordNumber < records ? recordNumber : records;
  requireFileOffsets(record * size, size, path);

  // A chain longer than the limit would spill into the next record.
  const auto stateCount =
      static_cast<std::int32_t>(std::min<std::size_t>(rule->states.size(), maxStates));
  std::string bytes = ruleHeader(rIdx, cIdx, *rule, stateCount);
  for (std::int32_t j = 0; j < stateCount; ++j) {
    appendInt64(bytes, rule->states[j].duration);
    appendPadded(bytes, rule->states[j].value, kStateValueBytes);
  }
  file.seekp(record * size);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  writeZeros(file, kStateBytes * (maxStates - stateCount));
  return static_cast<int>(record);
}

std::unique_ptr<TempRule> Storage::readTempRule(const std::string& tableName, int recordNumber,
                                                int maxStates) {
  std::string file;
  if (readFile(ruleFilePath(tableName), file) != ReadStatus::Done) return nullptr;
  return parseTempRule(file, recordNumber, maxStates);
}

std::unique_ptr<TempRule> Storage::parseTempRule(std::string_view ruleFile, int recordNumber,
                                                 int maxStates) {
  if (recordNumber < 0 || maxStates <= 0) return nullptr;
  constexpr std::int64_t kLastOffset = std::numeric_limits<std::int32_t>::max();
  const std::int64_t size = Storage::ruleRecordSize(maxStates);
  if (recordNumber > kLastOffset / size) return nullptr;  // no such record can exist
  const std::int64_t start = recordNumber * size;
  const auto length = static_cast<std::int64_t>(ruleFile.size());
  if (start + kRuleHeaderBytes > length) return nullptr;
  const std::string_view fields = ruleFile.substr(static_cast<std::size_t>(start));
  const std::int32_t stateCount = int32At(fields.substr(25));
  // A damaged count claims no more than the file holds.
  if (stateCount <= 0 || stateCount > maxStates ||
      start + kRuleHeaderBytes + stateCount * kStateBytes > length) {
    return nullptr;
  }

  auto rule = std::make_unique<TempRule>();
  rule->isCycle = fields[8] == 1;
  rule->insTime = int64At(fields.substr(9));
  rule->preCalc = int64At(fields.substr(17));
  for (std::int32_t j = 0; j < stateCount; ++j) {
    const std::string_view entry =
        fields.substr(static_cast<std::size_t>(kRuleHeaderBytes + j * kStateBytes), kStateBytes);
    rule->states.push_back(
        TempState{std::string(textOf(entry.substr(8))), int64At(entry.substr(0, 8))});
  }
  return rule;
}
