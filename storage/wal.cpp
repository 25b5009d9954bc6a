#include <exception>
#include <mutex>
#include <string>

#include "model/clock.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

// Covers one append (and one clear). Lock order: Database::rwLock before
// walMutex; nothing that holds walMutex asks for another lock.
std::mutex walMutex;

// Whether this process has made sure the log ends in a line feed since it
// started or last emptied the log. Guarded by walMutex.
bool walTailChecked = false;

// A crash in the middle of an append leaves a last line without its line
// feed; the next line must not be glued onto it.
bool endsInsideLine() {
  std::string log;
  if (readFile(kLogFileName, log) != ReadStatus::Done || log.empty()) return false;
  return log.back() != '\n';
}

std::string walLine(const std::string& command) {
  std::string line;
  line.reserve(command.size() + 32);
  if (!walTailChecked && endsInsideLine()) line.push_back('\n');
  for (const char c : command) line.push_back(c == '\n' ? ' ' : c);
  line += kTimeMarker;
  line += std::to_string(currentTime());
  line.push_back('\n');
  return line;
}

}  // namespace

void Storage::appendToWAL(const std::string& command) {
  try {
    const std::lock_guard<std::mutex> guard(walMutex);
    const std::string line = walLine(command);
    // One append for the whole line keeps it in one piece next to the
    // appends of other processes. After a failed one the log may end inside
    // a line: the next append looks again.
    walTailChecked = appendToFile(kLogFileName, line, nullptr);
  } catch (const std::exception&) {
    // A line that cannot be built or written is lost, as one whose log
    // cannot be opened; the command's own result stands.
  }
}

bool Storage::clearWAL() {
  try {
    const std::lock_guard<std::mutex> guard(walMutex);
    if (!replaceFile(kLogFileName, "")) return false;
    walTailChecked = false;
    return true;
  } catch (const std::exception&) {
    // The old lines stay and are replayed at the next start.
    return false;
  }
}
