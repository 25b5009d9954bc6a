#include <exception>
#include <mutex>
#include <optional>
#include <string>

#include "model/clock.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/log_line.h"
#include "storage/storage.h"

namespace {

// Covers one append (and one clear, one cut). Lock order: Database::rwLock
// before walMutex; nothing that holds walMutex asks for another lock but
// the seam's own.
std::mutex walMutex;

// The line of a failed command that a cut could not take back: until a cut
// succeeds, or a checkpoint empties the log, nothing more may be appended,
// or the line would be replayed as if its command had succeeded.
std::optional<Storage::LogMark> pendingCut;

// The line being appended, kept with its capacity so that an append
// allocates nothing. Guarded by walMutex.
std::string lineBuffer;

// Takes back the line `mark` appended; false when it stays. A log that a
// checkpoint emptied since, or one that has grown, is left alone: that line
// is no longer there to take.
bool cutLine(const Storage::LogMark& mark) {
  const std::optional<std::int64_t> size = fileSize(kLogFileName);
  if (!size) return entryKind(kLogFileName) == EntryKind::None;
  if (*size < mark.before || (mark.after >= 0 && *size != mark.after)) return true;
  if (mark.existed) return resizeFile(kLogFileName, mark.before);
  // Windows removes no file that is still open: the kept stream goes first.
  closeLineStream();
  return removeFile(kLogFileName);
}

// cutLine, keeping the mark for a later retry when it fails.
bool cutOrKeep(const Storage::LogMark& mark) {
  if (cutLine(mark)) return true;
  pendingCut = mark;
  return false;
}

bool settle() {
  if (pendingCut && !cutLine(*pendingCut)) return false;
  pendingCut.reset();
  return true;
}

}  // namespace

Storage::LogMark Storage::appendToWAL(std::string_view command,
                                      std::optional<std::int64_t> webhookOffset) {
  const std::lock_guard<std::mutex> guard(walMutex);
  if (!settle()) throw failedToWrite(kLogFileName);
  writeLogLine(lineBuffer, command, currentTime(), webhookOffset);
  const std::string& line = lineBuffer;
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
      cutOrKeep(LogMark{end.existed, end.length, -1});
      throw failedToWrite(kLogFileName);
  }
  return LogMark{end.existed, end.length, end.length + static_cast<std::int64_t>(line.size())};
}

bool Storage::cutWAL(const LogMark& mark) {
  const std::lock_guard<std::mutex> guard(walMutex);
  return cutOrKeep(mark);
}

bool Storage::settleWAL() {
  const std::lock_guard<std::mutex> guard(walMutex);
  return settle();
}

bool Storage::clearWAL() {
  try {
    const std::lock_guard<std::mutex> guard(walMutex);
    // The next line opens the log afresh, whatever became of it.
    closeLineStream();
    if (!replaceFile(kLogFileName, "")) return false;
    // The line a cut could not take back went with the rest.
    pendingCut.reset();
    return true;
  } catch (const std::exception&) {
    // The old lines stay and are replayed at the next start.
    return false;
  }
}
