#pragma once

#include <string>
#include <string_view>

// A file written whole under its temporary name (temporaryPath), synced,
// and then renamed over its final name, so that the final name only ever
// shows a complete file: the old one or the new, also after a power cut. A
// crash leaves at most the temporary file, which the start-up recovery
// removes. The rename itself is durable once the caller has synced the
// directory (syncDirectory).

enum class StageResult {
  Done,
  OpenFailed,   // the temporary file could not be created
  WriteFailed,  // a write, the flush, the close or the sync failed
};

// Writes `bytes` under the temporary name of `path`, replacing a leftover
// one, and makes them durable. On failure the temporary file is removed
// again.
StageResult stageFile(const std::string& path, std::string_view bytes);

// Renames the staged file over `path`. On failure the staged file is removed
// and `path` is as it was.
bool commitStagedFile(const std::string& path);

// Removes the staged file of `path`, if there is one.
void discardStagedFile(const std::string& path);

// Removes `path` so that the removal is durable when this returns: the file
// is moved to its temporary name, the directory synced, and the moved file
// removed (one that stays is the start-up recovery's to remove). True when
// there was no entry under the name; false, with `path` moved back, when
// the move or the sync fails.
bool removeFileDurably(const std::string& path);
