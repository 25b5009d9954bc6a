#include <exception>
#include <mutex>
#include <string>

#include "model/clock.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

// Covers one append (and one clear). Lock order: Database::rwLock before
// walMutex; nothing that holds walMutex asks for another lock.
std::mutex walMutex;

std::string walLine(const std::string& command) {
  std::string line;
  line.reserve(command.size() + 32);
  for (const char c : command) line.push_back(c == '\n' ? ' ' : c);
  line += kTimeMarker;
  line += std::to_string(currentTime());
  line.push_back('\n');
  return line;
}

}  // namespace

Storage::LogMark Storage::appendToWAL(const std::string& command) {
  const std::lock_guard<std::mutex> guard(walMutex);
  const std::string line = walLine(command);
  LineEnd end;
  // A kill in the middle of an append leaves a last line without its line
  // feed. That command was never acknowledged and the replay never runs it:
  // the append cuts it away, so that no fragment stays in front of this line.
  switch (appendLine(kLogFileName, line, end)) {
    case AppendStatus::Done:
      break;
    case AppendStatus::OpenFailed:
      throw failedToOpen(kLogFileName);
    case AppendStatus::WriteFailed:
      cutWAL(LogMark{end.existed, end.length, -1});
      throw failedToWrite(kLogFileName);
  }
  return LogMark{end.existed, end.length, end.length + static_cast<std::int64_t>(line.size())};
}

void Storage::cutWAL(const LogMark& mark) {
  // Only the line this mark appended is taken back: a log that a checkpoint
  // emptied since, or one that has grown, is left alone.
  const std::optional<std::int64_t> size = fileSize(kLogFileName);
  if (!size || *size < mark.before || (mark.after >= 0 && *size != mark.after)) return;
  if (mark.existed) {
    resizeFile(kLogFileName, mark.before);
  } else {
    removeFile(kLogFileName);
  }
}

bool Storage::clearWAL() {
  try {
    const std::lock_guard<std::mutex> guard(walMutex);
    // The next line opens the log afresh, whatever became of it.
    closeLineStream();
    return replaceFile(kLogFileName, "");
  } catch (const std::exception&) {
    // The old lines stay and are replayed at the next start.
    return false;
  }
}
