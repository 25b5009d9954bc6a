#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

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
