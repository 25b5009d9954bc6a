#include "storage/slot_encoding.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/storage.h"

std::int64_t spanOf(std::int64_t count, std::int64_t stride) {
  std::int64_t span = 0;
  if (__builtin_mul_overflow(count, stride, &span)) return std::numeric_limits<std::int64_t>::max();
  return span;
}

std::string ruleRecordBytes(std::int32_t rIdx, std::int32_t cIdx, const TempRule& rule,
                            int maxStates) {
  const auto stateCount =
      static_cast<std::int32_t>(std::min<std::size_t>(rule.states.size(), maxStates));
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(Storage::ruleRecordSize(maxStates)));
  appendInt32(bytes, rIdx);
  appendInt32(bytes, cIdx);
  bytes.push_back(rule.isCycle ? 1 : 0);
  appendInt64(bytes, rule.insTime);
  appendInt64(bytes, rule.preCalc);
  appendInt32(bytes, stateCount);
  for (std::int32_t j = 0; j < stateCount; ++j) {
    appendInt64(bytes, rule.states[j].duration);
    appendPadded(bytes, rule.states[j].value, kStateValueBytes);
  }
  bytes.resize(static_cast<std::size_t>(Storage::ruleRecordSize(maxStates)), '\0');
  return bytes;
}

RecordAllocator::RecordAllocator(FileReader& ruleFile, std::string path, int maxStates)
    : file(ruleFile),
      path(std::move(path)),
      size(Storage::ruleRecordSize(maxStates)),
      maxStates(maxStates) {
  existing = size > 0 ? (ruleFile.size() + size - 1) / size : 0;
  next = existing;
}

std::int64_t RecordAllocator::claim(std::optional<std::int32_t> named) {
  if (named && isReadable(*named) && claimed.insert(*named).second) return *named;
  return next++;
}

bool RecordAllocator::isReadable(std::int64_t record) {
  // Only a whole record is readable.
  if (record < 0 || record >= existing || (record + 1) * size > file.size()) return false;
  std::string count;
  // The file holds the bytes: a read that fails is no answer.
  if (!file.readAt(record * size + kStateCountOffset, 4, count)) throw failedToOpen(path);
  const std::int32_t states = int32At(count);
  return states > 0 && states <= maxStates;
}

void openRuleFile(FileReader& reader, const std::string& path) {
  if (reader.open(path) == ReadStatus::Failed) throw failedToOpen(path);
}

void requireRuleOffsets(const RecordAllocator& records, int maxStates, const std::string& path) {
  if (records.appends()) {
    requireFileOffsets(0, spanOf(records.end(), Storage::ruleRecordSize(maxStates)), path);
  }
}
