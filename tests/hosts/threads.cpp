// A host that calls ExecuteQuery from eight threads at once, each on a table
// of its own, and checks every text it gets back. Built with the thread
// sanitizer it shows that the engine functions serialise every call and that
// each thread's result text stays its own until its next call.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "quorvel.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRows = 100;

bool holds(const char* text, const std::string& part) {
  return std::string(text).find(part) != std::string::npos;
}

// The number of failed checks of one thread.
int work(int id) {
  const std::string table = "t" + std::to_string(id);
  int failures = 0;
  const auto expect = [&](const std::string& command, const std::string& part) {
    const char* text = ExecuteQuery(command.c_str());
    if (!holds(text, part)) {
      std::fprintf(stderr, "%s\n  gave %s\n  wanted %s\n", command.c_str(), text, part.c_str());
      ++failures;
    }
  };
  expect("CREATE TABLE " + table + " id ApexInt v int", "\"success\": true");
  for (int row = 0; row < kRows; ++row) {
    expect("INSERT INTO " + table + " v = " + std::to_string(row), "\"rows_affected\": 1");
  }
  expect("SELECT * FROM " + table + " WHERE v >= 0", "\"rows_affected\": " + std::to_string(kRows));
  expect("SELECT v FROM " + table + " WHERE id = 7", "{\"v\": 6}");
  return failures;
}

}  // namespace

int main() {
  // The engine keeps its files in the working directory: a fresh one.
  std::string directory =
      (std::filesystem::temp_directory_path() / "quorvel-threads-XXXXXX").string();
  if (::mkdtemp(directory.data()) == nullptr) return 2;
  std::filesystem::current_path(directory);
  StartEngine();
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) {
    threads.emplace_back([id, &failures] { failures[static_cast<std::size_t>(id)] = work(id); });
  }
  for (std::thread& thread : threads) thread.join();
  StopEngine();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(directory);
  int total = 0;
  for (const int count : failures) total += count;
  std::printf("%d passed, %d failed\n", kThreads * (kRows + 3) - total, total);
  return total == 0 ? 0 : 1;
}
