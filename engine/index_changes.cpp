#include "engine/index_changes.h"

#include <optional>
#include <utility>

namespace {

std::optional<std::pair<std::string, std::int32_t>> entryOf(const PrimaryKeyIndex& index,
                                                            const std::string& key) {
  const auto found = index.find(key);
  if (found == index.end()) return std::nullopt;
  return std::pair{found->first, found->second};
}

}  // namespace

IndexChange setIndexEntry(PrimaryKeyIndex& index, const std::string& key, std::int32_t position) {
  IndexChange change{key, entryOf(index, key)};
  index.erase(key);
  index.emplace(key, position);
  return change;
}

IndexChange eraseIndexEntry(PrimaryKeyIndex& index, const std::string& key) {
  IndexChange change{key, entryOf(index, key)};
  index.erase(key);
  return change;
}

void undoIndexChange(PrimaryKeyIndex& index, const IndexChange& change) {
  index.erase(change.key);
  if (change.previous) index.emplace(change.previous->first, change.previous->second);
}
