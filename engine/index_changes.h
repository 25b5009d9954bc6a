#pragma once

#include <cstdint>
#include <string>

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

// Removes the entry holding `key`, if any.
IndexChange eraseIndexEntry(PrimaryKeyIndex& index, const std::string& key);

// Undoes `change`; changes must be undone newest first.
void undoIndexChange(PrimaryKeyIndex& index, const IndexChange& change);
