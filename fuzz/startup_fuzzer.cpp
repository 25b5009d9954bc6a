// The start-up load of a working directory whose files come from the input:
// a table's data file, deletion map and temporal-rule file, a relation file,
// the listener file, the webhook file and the write-ahead log, in that
// order, separated by kFileSeparator. A start that succeeds is followed by a
// query and a checkpoint, and the files that checkpoint wrote must start
// again.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "fuzz_support.h"
#include "language/parser.h"

namespace {

void writeFiles(std::string_view input) {
  const std::vector<std::string_view> parts = splitInput(input, kFileSeparator);
  const std::vector<std::string>& names = startupFileNames();
  for (std::size_t i = 0; i < names.size() && i < parts.size(); ++i) {
    if (parts[i] != kMissingFile) writeFuzzFile(names[i], parts[i]);
  }
}

// Why the start was refused; empty when it succeeded.
std::string startFailure(Database& db) {
  try {
    db.loadFromDisk();
    return "";
  } catch (const std::exception& error) {
    return error.what();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enterFuzzDirectory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  resetFuzzState();
  writeFiles(std::string_view(reinterpret_cast<const char*>(data), size));
  {
    Database db;
    if (!startFailure(db).empty()) return 0;
    Parser parser(&db);
    (void)parser.handleCommand("SELECT * FROM t").toJson();
    (void)parser.handleCommand("SELECT * FROM t JOIN p ON t.pid = p.id").toJson();
    if (!parser.handleCommand("CHECKPOINT").success) return 0;
  }
  // What a successful checkpoint wrote is what the engine itself accepts.
  Database again;
  if (const std::string why = startFailure(again); !why.empty()) {
    std::fprintf(stderr, "a start refused the files its own checkpoint wrote: %s\n", why.c_str());
    std::abort();
  }
  return 0;
}
