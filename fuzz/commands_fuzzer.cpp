// Command texts through the dispatcher, on a database that already holds
// tables of every column type, a link, temporal chains and a listener. The
// input is a list of commands, one per line; after them the database is
// started again from the files they left, which replays their log.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "engine/database.h"
#include "fuzz_support.h"
#include "language/parser.h"
#include "model/clock.h"

namespace {

// Enough commands to build, change and undo something; more only slows a run.
constexpr std::size_t kMaxCommands = 48;

void preload(Parser& parser) {
  for (const std::string& command : preloadCommands()) {
    const ResultSet result = parser.handleCommand(command);
    if (!result.success) {
      std::fprintf(stderr, "preload failed: %s: %s\n", command.c_str(), result.message.c_str());
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enterFuzzDirectory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  resetFuzzState();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  {
    Database db;
    Parser parser(&db);
    preload(parser);
    std::size_t count = 0;
    for (const std::string_view line : splitInput(input, "\n")) {
      if (++count > kMaxCommands) break;
      // Each command a few seconds after the last, so that chains move on.
      setClockForTesting(kFuzzEpoch + 7 * static_cast<std::int64_t>(count));
      const ResultSet result = parser.handleCommand(std::string(line));
      (void)result.toJson();
    }
  }
  // The log and files those commands left must start again.
  Database restarted;
  try {
    restarted.loadFromDisk();
  } catch (const std::exception&) {
    // A refused start is an answer; only a crash or a hang is a finding.
  }
  return 0;
}
