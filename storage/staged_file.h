#pragma once

#include <string>
#include <string_view>

// A file written whole under its temporary name (temporaryPath) and then
// renamed over its final name, so that the final name only ever shows a
// complete file: the old one or the new. A crash leaves at most the
// temporary file, which the start-up recovery removes.

enum class StageResult {
  Done,
  OpenFailed,   // the temporary file could not be created
  WriteFailed,  // a write, the flush or the close failed
};

// Writes `bytes` under the temporary name of `path`, replacing a leftover
// one. On failure the temporary file is removed again.
StageResult stageFile(const std::string& path, std::string_view bytes);

// Renames the staged file over `path`. On failure the staged file is removed
// and `path` is as it was.
bool commitStagedFile(const std::string& path);

// Removes the staged file of `path`, if there is one.
void discardStagedFile(const std::string& path);
