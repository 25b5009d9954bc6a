#include "engine/index_changes.h"

#include <iterator>
#include <optional>
#include <utility>

namespace {

std::optional<std::pair<std::string, std::int32_t>> entryOf(PrimaryKeyIndex::const_iterator at) {
  return std::pair{at->first.text(), at->second};
}

}  // namespace

std::optional<std::pair<std::string, std::int32_t>> putIndexEntry(PrimaryKeyIndex& index,
                                                                  IndexKey key,
                                                                  std::int32_t position) {
  // A key past every key held, as identity keys are, goes in without a search.
  if (index.empty() || index.key_comp()(std::prev(index.end())->first, key)) {
    index.emplace_hint(index.end(), std::move(key), position);
    return std::nullopt;
  }
  auto at = index.lower_bound(key);
  if (at == index.end() || index.key_comp()(key, at->first)) {
    index.emplace_hint(at, std::move(key), position);
    return std::nullopt;
  }
  auto previous = entryOf(at);
  // The key text is replaced too: "07" may take the place of "7".
  at = index.erase(at);
  index.emplace_hint(at, std::move(key), position);
  return previous;
}

IndexChange setIndexEntry(PrimaryKeyIndex& index, const std::string& key, std::int32_t position) {
  return setIndexEntry(index, IndexKey(key), position);
}

IndexChange setIndexEntry(PrimaryKeyIndex& index, IndexKey key, std::int32_t position) {
  IndexChange change{key.text(), std::nullopt};
  change.previous = putIndexEntry(index, std::move(key), position);
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
