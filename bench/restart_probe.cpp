// The cost of a restart from the table files alone: checkpoints the rows of
// the benchmark's parent table (an identity key, a string and an int column)
// and then loads them into a fresh Database, with the log empty. Made for an
// instruction count of the load, not for a wall clock:
//   cmake --build build --target quorvel_core
//   g++ -O2 -g -std=c++20 -I. bench/restart_probe.cpp build/libquorvel_core.a \
//       -o build/restart_probe
//   valgrind --tool=callgrind --toggle-collect='Database::loadFromDisk()' \
//       build/restart_probe [rows]
// Run it from the checkout; it works in a fresh temporary directory.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/database.h"
#include "language/parser.h"

namespace {

void run(Parser& parser, const std::string& command) {
  const ResultSet result = parser.handleCommand(command);
  if (!result.success) {
    std::fprintf(stderr, "failed: %s -> %s\n", command.c_str(), result.message.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 20000;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("restart_probe_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  {
    Database db;
    Parser parser(&db);
    run(parser, "CREATE TABLE p id ApexInt name string val int");
    for (long i = 0; i < rows; ++i) {
      run(parser,
          "INSERT INTO p name = 'n" + std::to_string(i) + "' val = " + std::to_string(i % 1000));
    }
    run(parser, "CHECKPOINT");
  }
  Database restarted;
  restarted.loadFromDisk();
  const auto loaded = restarted.tables.at("p").rows.size();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  std::fprintf(stderr, "rows %ld, loaded %zu\n", rows, loaded);
  return loaded == static_cast<std::size_t>(rows) ? 0 : 1;
}
