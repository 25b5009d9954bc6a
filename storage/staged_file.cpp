#include "storage/staged_file.h"

#include "storage/file_names.h"
#include "storage/file_system.h"

StageResult stageFile(const std::string& path, std::string_view bytes) {
  const std::string staged = temporaryPath(path);
  FileWriter writer;
  const bool opened = writer.open(staged, FileWriter::Mode::Replace);
  const bool written = opened && writer.write(bytes);
  if (opened && writer.close() && written && syncFile(staged)) return StageResult::Done;
  // Whatever reached the disk is garbage; a failed open may have created the file.
  removeFile(staged);
  return opened ? StageResult::WriteFailed : StageResult::OpenFailed;
}

bool commitStagedFile(const std::string& path) {
  if (renameFile(temporaryPath(path), path)) return true;
  discardStagedFile(path);
  return false;
}

void discardStagedFile(const std::string& path) { removeFile(temporaryPath(path)); }

bool removeFileDurably(const std::string& path) {
  const std::string aside = temporaryPath(path);
  // No entry under the name is no file to remove.
  if (!renameFile(path, aside)) return entryKind(path) == EntryKind::None;
  if (!syncDirectory()) {
    renameFile(aside, path);
    return false;
  }
  removeFile(aside);
  return true;
}
