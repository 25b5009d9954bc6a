// The interactive shell: one command per line on standard input, each result
// as JSON on standard output. It works on a database of its own that starts
// empty: nothing is restored at start and nothing is checkpointed at the end.
// Before the first command it takes the working directory's lock, held until
// it ends, and brings the directory's files back to what the last completed
// command left; a directory in use, or one it cannot recover, ends the shell.

#include <exception>
#include <iostream>
#include <string>

#include "engine/database.h"
#include "language/parser.h"
#include "storage/directory_lock.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

constexpr const char* kPrompt = "quorvel> ";

bool isExitWord(const std::string& line) { return line == "exit" || line == "quit"; }

// The handler never throws; the guard keeps the shell reading even if
// something below it breaks that promise.
std::string runLine(Parser& parser, const std::string& line) {
  try {
    return parser.handleCommand(line).toJson();
  } catch (const std::exception& error) {
    return internalError(error.what()).toJson();
  } catch (...) {
    return internalError("unknown exception").toJson();
  }
}

// What the log holds now: lines of an earlier run, which this shell's
// catalogue knows nothing of.
std::string earlierLog() {
  std::string log;
  readFile(std::string(kLogFileName), log);
  return log;
}

}  // namespace

int main() {
  FileLock directoryLock;
  try {
    lockWorkingDirectory(directoryLock);
    Storage::recoverFiles();
  } catch (const std::exception& error) {
    std::cout << failedResult(std::string("Error: ") + error.what()).toJson() << "\n\n";
    return 1;
  }
  Database db;
  Parser parser(&db);
  parser.earlierLog = earlierLog();
  std::string line;
  while (true) {
    std::cout << kPrompt << std::flush;
    // The end of input ends the shell as "exit" does, so a closed pipe never
    // makes it spin on prompts.
    if (!std::getline(std::cin, line)) break;
    if (line.empty()) continue;
    if (isExitWord(line)) break;
    std::cout << runLine(parser, line) << "\n\n";
  }
  // The lock goes last, once nothing of the shell is open in the directory.
  closeLineStream();
  return 0;
}
