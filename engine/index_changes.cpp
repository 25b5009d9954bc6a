#include "engine/index_changes.h"

#include <optional>
#include <utility>

namespace {

std::optional<std::pair<std::string, std::int32_t>> entryOf(PrimaryKeyIndex::const_iterator at) {
  return std::pair{at->first.text(), at->second};
}

}  // namespace

IndexChange setIndexEntry(PrimaryKeyIndex& index, const std::string& key, std::int32_t position) {
  return setIndexEntry(index, IndexKey(key), position);
}

IndexChange setIndexEntry(PrimaryKeyIndex& index, IndexKey key, std::int32_t position) {
  IndexChange change{key.text(), std::nullopt};
  auto [at, added] = addIndexEntry(index, std::move(key), position);
  if (!added) {
    change.previous = entryOf(at);
    // The key text is replaced too: "07" may take the place of "7". The
    // search used up `key`; replacing an entry is the rare case.
    const auto next = index.erase(at);
    index.emplace_hint(next, IndexKey(change.key), position);
  }
  return change;
}

IndexChange eraseIndexEntry(PrimaryKeyIndex& index, const std::string& key) {
  IndexChange change{key, std::nullopt};
  const auto at = index.find(key);
  if (at != index.end()) {
    change.previous = entryOf(at);
    index.erase(at);
  }
  return change;
}

void undoIndexChange(PrimaryKeyIndex& index, const IndexChange& change) {
  const auto at = index.find(change.key);
  const auto next = at == index.end() ? at : index.erase(at);
  if (change.previous) index.emplace_hint(next, change.previous->first, change.previous->second);
}
