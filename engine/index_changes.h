#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "model/table.h"
#include "model/transaction_action.h"

// Changes of a primary-key index that report what they replaced, so that a
// failed command or a rollback can put the index back as it was instead of
// recomputing it from rows whose keys may have moved on (a chain in the key
// column shows another state by then).

// Points `key` at `position`; the entry holding an equal key before, if any,
// is replaced, its key text included.
IndexChange setIndexEntry(PrimaryKeyIndex& index, const std::string& key, std::int32_t position);
// The same for a key already read, which the index takes over.
IndexChange setIndexEntry(PrimaryKeyIndex& index, IndexKey key, std::int32_t position);

// setIndexEntry for a change that nothing will undo: returns the entry it
// replaced (its key text and position) instead of a whole report, so that a
// plain insert builds no report only to drop it.
std::optional<std::pair<std::string, std::int32_t>> putIndexEntry(PrimaryKeyIndex& index,
                                                                  IndexKey key,
                                                                  std::int32_t position);

// Removes the entry holding `key`, if any.
IndexChange eraseIndexEntry(PrimaryKeyIndex& index, const std::string& key);

// Undoes `change`; changes must be undone newest first.
void undoIndexChange(PrimaryKeyIndex& index, const IndexChange& change);
