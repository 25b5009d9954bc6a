// The interactive shell: one command per line on standard input, each result
// as JSON on standard output. It works on a database of its own that starts
// empty: nothing is restored at start and nothing is checkpointed at the end.

#include <exception>
#include <iostream>
#include <string>

#include "engine/database.h"
#include "language/parser.h"

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

}  // namespace

int main() {
  Database db;
  Parser parser(&db);
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
  return 0;
}
