#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "language/lexer.h"
#include "language/parser.h"
#include "model/number.h"
#include "storage/file_listing.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

// The header of a relation file: four fixed-width name fields.
struct RelationNames {
  std::string foreignTable;
  std::string primaryTable;
  std::string foreignKey;
  std::string primaryKey;
};

// Empty names for a file that cannot be opened: its link then fails and
// reports itself like any other.
RelationNames readRelationNames(const std::string& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file.is_open()) return {};
  constexpr int width = static_cast<int>(kMaxNameBytes);
  return {Storage::read(file, 0, width), Storage::read(file, width, width),
          Storage::read(file, 2 * width, width), Storage::read(file, 3 * width, width)};
}

}  // namespace

void Storage::loadRelations(Database* db) {
  for (const std::string& path : getRelFiles()) {
    // Read and close before linking: the link rewrites this same file.
    const RelationNames names = readRelationNames(path);
    try {
      db->link(names.foreignTable, names.foreignKey, names.primaryTable, names.primaryKey);
    } catch (const std::runtime_error& error) {
      std::cout << error.what() << '\n' << std::flush;
    }
  }
}

namespace {

// A line the replay may run: complete (its line feed was written) and ending
// in a time marker with a number. Anything else is the torn tail of an
// append that never returned, or a fragment; no such command was ever
// acknowledged.
bool isWholeLogLine(std::string_view line) {
  const std::size_t marker = line.find(kTimeMarker);
  return marker != std::string_view::npos &&
         toInt64(line.substr(marker + kTimeMarker.size())).has_value();
}

bool opensTransaction(std::string_view line) {
  const std::vector<Token> tokens =
      Lexer(std::string(line.substr(0, line.find(kTimeMarker)))).tokenize();
  return !tokens.empty() && tokens.front().value == "BEGIN";
}

}  // namespace

void Storage::replayWAL(Database* db) {
  std::string log;
  const ReadStatus status = readFile(std::string(kLogFileName), log);
  if (status == ReadStatus::Missing) return;
  // A log that exists but cannot be read holds acknowledged commands: the
  // start must not go on without them (a checkpoint would then drop them).
  if (status == ReadStatus::Failed) {
    throw std::runtime_error("Failed to open file: " + std::string(kLogFileName));
  }
  std::cout << "[BOOTLOADER] Replaying Write-Ahead Log...\n";
  Parser parser(db);
  parser.replaying = true;
  std::size_t start = 0;
  for (std::size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', start)) {
    const std::string_view line = std::string_view(log).substr(start, end - start);
    start = end + 1;
    if (line.empty() || !isWholeLogLine(line)) continue;
    // Every change is durable once it succeeded: a transaction left open by
    // an earlier run is closed with its changes before the next one opens.
    if (db->inTransaction && opensTransaction(line)) db->commitTransaction();
    parser.handleCommand(std::string(line));
  }
  if (db->inTransaction) db->commitTransaction();
  std::cout << "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n";
}
