// A quick probe of the storage costs: log appends, a full checkpoint, a
// checkpoint after a small change, a restart from the table files and a
// replay of the log. Not built by default:
//   g++ -O2 -std=c++20 -Iinclude bench/storage_probe.cpp -Lbuild -lquorvel \
//       -Wl,-rpath,$PWD/build -o build/storage_probe
//   build/storage_probe [rows]
// Run it from the checkout; it works in a fresh temporary directory.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "quorvel.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run(const std::string& command) {
  const char* result = ExecuteQuery(command.c_str());
  if (std::strstr(result, "\"success\": true") == nullptr) {
    std::fprintf(stderr, "failed: %s -> %s\n", command.c_str(), result);
    std::exit(1);
  }
}

template <typename Step>
double timed(Step step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return secondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("storage_probe_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  std::freopen("/dev/null", "w", stdout);

  StartEngine();
  run("CREATE TABLE p id ApexInt name string ( 20 ) n int w float");
  const double inserts = timed([&] {
    for (long i = 0; i < rows; ++i) {
      run("INSERT INTO p name = 'name" + std::to_string(i) + "' n = " + std::to_string(i % 1000) +
          " w = " + std::to_string(i) + ".25");
    }
  });
  const double full = timed([] { run("CHECKPOINT"); });
  for (long i = 1; i <= rows; i += 100) {
    run("UPDATE p SET n = 7 WHERE id = " + std::to_string(i));
  }
  const double partial = timed([] { run("CHECKPOINT"); });
  const double idle = timed([] { run("CHECKPOINT"); });
  StopEngine();
  const double restart = timed([] {
    StartEngine();
    run("SELECT * FROM p WHERE id = 1");
  });
  const long logged = rows < 100000 ? rows : 100000;
  for (long i = 0; i < logged; ++i) {
    run("UPDATE p SET n = 9 WHERE id = " + std::to_string(i + 1));
  }
  std::filesystem::copy_file("vesk.wal", "vesk.wal.keep");
  StopEngine();
  std::filesystem::rename("vesk.wal.keep", "vesk.wal");
  const double replay = timed([] {
    StartEngine();
    run("SELECT * FROM p WHERE id = 1");
  });
  StopEngine();

  std::fprintf(stderr, "rows %ld\n", rows);
  std::fprintf(stderr, "insert (with log line)  %8.0f ns/row\n", inserts / rows * 1e9);
  std::fprintf(stderr, "full checkpoint        %8.0f ns/row (%.1f ms)\n", full / rows * 1e9,
               full * 1e3);
  std::fprintf(stderr, "1%% changed checkpoint  %8.1f ms\n", partial * 1e3);
  std::fprintf(stderr, "unchanged checkpoint   %8.1f ms\n", idle * 1e3);
  std::fprintf(stderr, "restart from files     %8.0f ns/row\n", restart / rows * 1e9);
  std::fprintf(stderr, "replay (restart incl.) %8.0f commands/s\n", logged / replay);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  return 0;
}
