#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "storage/bytes.h"
#include "storage/file_access.h"
#include "storage/file_names.h"
#include "storage/storage.h"
#include "storage/table_layout.h"

// Every record of a table has room for the longest chain any of its
// columns allows.
std::int64_t Storage::ruleRecordSize(int maxStates) {
  return kRuleHeaderBytes + kStateBytes * static_cast<std::int64_t>(maxStates);
}

void Storage::setUpDeletesFile(const Table& table) {
  std::fstream map = openForUpdate(deletionMapName(table.name), false);
  if (!map.is_open()) return;
  writeZeros(map, static_cast<std::int64_t>(table.rows.size()));
}

std::unique_ptr<TempRule> Storage::readTempRule(const std::string& tableName, int recordNumber,
                                                int maxStates) {
  if (recordNumber < 0 || maxStates <= 0) return nullptr;
  constexpr std::int64_t kLastOffset = std::numeric_limits<std::int32_t>::max();
  const std::int64_t size = Storage::ruleRecordSize(maxStates);
  if (recordNumber > kLastOffset / size) return nullptr;  // no such record can exist
  std::ifstream file(ruleFileName(tableName), std::ios::binary);
  if (!file.is_open()) return nullptr;

  file.seekg(recordNumber * size);
  std::string header(kRuleHeaderBytes, '\0');
  if (!file.read(header.data(), kRuleHeaderBytes)) return nullptr;
  const std::string_view fields(header);
  const std::int32_t stateCount = int32At(fields.substr(kStateCountOffset));
  if (stateCount <= 0 || stateCount > maxStates) return nullptr;

  auto rule = std::make_unique<TempRule>();
  rule->isCycle = fields[8] == 1;
  rule->insTime = int64At(fields.substr(9));
  rule->preCalc = int64At(fields.substr(17));
  // Entry by entry, so that a damaged count costs no more than the file holds.
  std::string entry(kStateBytes, '\0');
  for (std::int32_t j = 0; j < stateCount; ++j) {
    if (!file.read(entry.data(), kStateBytes)) return nullptr;
    const std::string_view bytes(entry);
    rule->states.push_back(
        TempState{std::string(textOf(bytes.substr(8))), int64At(bytes.substr(0, 8))});
  }
  return rule;
}
