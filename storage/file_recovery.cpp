// What the start-up does to the directory before it reads anything: finish
// or drop the checkpoint's journal, and remove what a command interrupted by
// a crash left behind. It knows the files only, never the engine.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/relation_header.h"
#include "storage/storage.h"

namespace {

// The name `path` carries before `extension`.
std::string_view stem(std::string_view path, std::string_view extension) {
  return path.substr(0, path.size() - extension.size());
}

// Whether the table `name` has no data file. A name that is no table name
// can never have one; an entry that cannot be examined counts as there.
bool hasNoDataFile(std::string_view name) {
  return !isSafeTableName(name) || entryKind(dataFilePath(name)) == EntryKind::None;
}

void removeOrThrow(const std::string& path, std::string_view reported) {
  if (!removeFile(path)) throw failedToWrite(reported);
}

}  // namespace

void Storage::removeRelationFiles(const std::string& child) {
  for (const std::string& path : listFiles(kRelationFileExtension)) {
    const std::optional<RelationNames> names = readRelationNames(path);
    if (names && names->foreignTable == child) removeOrThrow(path, path);
  }
}

void Storage::recoverFiles() {
  bool committed = false;
  finishJournal(committed);
  for (const std::string& path : listFiles(kTemporarySuffix)) {
    // Messages name the file the temporary one was to become.
    removeOrThrow(path, stem(path, kTemporarySuffix));
  }
  for (const std::string_view extension : {kDeletionMapExtension, kRuleFileExtension}) {
    for (const std::string& path : listFiles(extension)) {
      if (hasNoDataFile(stem(path, extension))) removeOrThrow(path, path);
    }
  }
  // A DROP TABLE interrupted after its data file went leaves its child's
  // relation files. A file whose header does not give its own name was
  // damaged: the child it names says nothing, and its link is kept to fail
  // at start where it can be seen.
  for (const std::string& path : listFiles(kRelationFileExtension)) {
    const std::optional<RelationNames> names = readRelationNames(path);
    if (names && namesItsOwnFile(*names, path) && hasNoDataFile(names->foreignTable)) {
      removeOrThrow(path, path);
    }
  }
}
