// What the start-up does to the directory before it reads anything: finish
// or drop the checkpoint's journal, and remove what a command interrupted by
// a crash left behind. It knows the files only, never the engine.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "storage/bytes.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

std::runtime_error writeFailure(std::string_view path) {
  return std::runtime_error("Failed to write file: " + std::string(path));
}

// The name `path` carries before `extension`.
std::string_view stem(std::string_view path, std::string_view extension) {
  return path.substr(0, path.size() - extension.size());
}

// Whether the table `name` has no data file. A name that is no table name
// can never have one; an entry that cannot be examined counts as there.
bool hasNoDataFile(std::string_view name) {
  return !isSafeTableName(name) || entryKind(dataFilePath(name)) == EntryKind::None;
}

// The child table a relation file's header names; none when the file cannot
// be read.
std::optional<std::string> relationChild(const std::string& path) {
  FileReader file;
  if (file.open(path) != ReadStatus::Done) return std::nullopt;
  std::string field;
  // A file shorter than its first field names what it holds.
  const std::int64_t length = std::min<std::int64_t>(file.size(), kMaxNameBytes);
  if (!file.readAt(0, length, field)) return std::nullopt;
  return std::string(textOf(field));
}

void removeOrThrow(const std::string& path, std::string_view reported) {
  if (!removeFile(path)) throw writeFailure(reported);
}

}  // namespace

void Storage::removeRelationFiles(const std::string& child) {
  for (const std::string& path : listFiles(kRelationFileExtension)) {
    if (relationChild(path) == child) removeOrThrow(path, path);
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
  for (const std::string& path : listFiles(kRelationFileExtension)) {
    const std::optional<std::string> child = relationChild(path);
    if (child && hasNoDataFile(*child)) removeOrThrow(path, path);
  }
}
