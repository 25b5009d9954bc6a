// Instructions per operation, through the host library, as valgrind's
// callgrind counts them: unlike a time, the count neither depends on what
// else the machine runs nor on first-touch memory, so one run is enough.
//
//   quorvel_instructions [N]   (default: 20000 rows)
//
// The program runs itself under valgrind --tool=callgrind in a fresh
// temporary directory. The child zeroes the counters before each phase and
// dumps them after it (a client request), so that each dump holds one phase
// alone; every command text is built before its phase starts. The parent
// reads the dumps' totals and divides by what the child reports it ran.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#if !__has_include(<valgrind/callgrind.h>)
#error "the instruction counts need valgrind's client requests: install the Debian package valgrind"
#endif
#include <valgrind/callgrind.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quorvel.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kChildren = 1000;  // child rows, each joined to a parent
constexpr std::int64_t kJoins = 3;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "quorvel_instructions: %s\n", what.c_str());
  exit(2);
}

// --- The child, under callgrind ---

void run(const std::string& command) {
  const char* text = ExecuteQuery(command.c_str());
  if (strncmp(text, "{\n  \"success\": true", 19) != 0) fail(command + " answered " + text);
}

// Runs `commands` as one phase, dumped under `phase`, and reports how many
// operations it stands for.
void phase(const char* name, const std::vector<std::string>& commands, std::int64_t ops) {
  CALLGRIND_ZERO_STATS;
  for (const std::string& command : commands) run(command);
  CALLGRIND_DUMP_STATS_AT(name);
  printf("OPS %s %lld\n", name, static_cast<long long>(ops));
}

std::vector<std::string> numbered(const std::string& prefix, const std::vector<std::int64_t>& ids,
                                  const std::string& suffix = "") {
  std::vector<std::string> out;
  out.reserve(ids.size());
  for (const std::int64_t id : ids) out.push_back(prefix + std::to_string(id) + suffix);
  return out;
}

// `count` distinct keys of 1..n in a fixed shuffled order, one in ten from `offset`.
std::vector<std::int64_t> keys(std::int64_t count, std::int64_t offset, std::uint32_t seed) {
  std::vector<std::int64_t> out;
  for (std::int64_t j = 0; j < count; ++j) out.push_back(10 * j + offset);
  std::shuffle(out.begin(), out.end(), std::mt19937(seed));
  return out;
}

// Bytes this process has handed to write calls so far.
std::int64_t bytesWritten() {
  std::ifstream in("/proc/self/io");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("wchar: ", 0) == 0) return std::atoll(line.c_str() + 7);
  }
  fail("no wchar in /proc/self/io");
}

// Each file of the working directory: its inode, length and change time.
std::map<std::string, std::string> directoryState() {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("callgrind.", 0) == 0) continue;
    struct stat info {};
    if (stat(entry.path().c_str(), &info) != 0) continue;
    state[name] = std::to_string(info.st_ino) + " " + std::to_string(info.st_size) + " " +
                  std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  }
  return state;
}

int child(std::int64_t n) {
  StartEngine();
  run("CREATE TABLE p id ApexInt name string val int");
  run("CREATE TABLE c cid ApexInt pid int");
  run("LINK c . pid --> p . id");

  std::vector<std::string> inserts;
  for (std::int64_t id = 1; id <= n; ++id) {
    inserts.push_back("INSERT INTO p name = 'n" + std::to_string(id) +
                      "' val = " + std::to_string(id % 100));
  }
  phase("insert", inserts, n);
  std::vector<std::int64_t> parents;
  for (std::int64_t j = 0; j < kChildren; ++j) parents.push_back(10 * j + 1);
  for (const std::string& command : numbered("INSERT INTO c pid = ", parents)) run(command);

  std::mt19937_64 random(7);
  std::vector<std::int64_t> looked;
  for (std::int64_t i = 0; i < n / 10; ++i)
    looked.push_back(1 + static_cast<std::int64_t>(random() % n));
  phase("lookup", numbered("SELECT * FROM p WHERE id = ", looked), n / 10);
  phase("join", std::vector<std::string>(kJoins, "SELECT * FROM c JOIN p ON c.pid = p.id"), kJoins);
  std::vector<std::string> updates;
  for (const std::int64_t id : keys(n / 10, 3, 11)) {
    updates.push_back("UPDATE p SET name = 'u" + std::to_string(id) +
                      "' WHERE id = " + std::to_string(id));
  }
  phase("update", updates, n / 10);
  phase("delete", numbered("DELETE FROM p WHERE id = ", keys(n / 10, 5, 13)), n / 10);
  phase("checkpoint", {"CHECKPOINT"}, n);
  StopEngine();

  CALLGRIND_ZERO_STATS;
  StartEngine();
  run("SELECT * FROM p WHERE id = 1");
  CALLGRIND_DUMP_STATS_AT("restart");
  printf("OPS restart %lld\n", static_cast<long long>(n));

  const std::map<std::string, std::string> before = directoryState();
  const std::int64_t written = bytesWritten();
  CALLGRIND_ZERO_STATS;
  StopEngine();
  const std::int64_t stopWritten = bytesWritten() - written;
  CALLGRIND_DUMP_STATS_AT("stop");
  printf("OPS stop 1\n");
  printf("STOP_BYTES %lld\n", static_cast<long long>(stopWritten));
  const std::map<std::string, std::string> after = directoryState();
  std::string changed;
  for (const auto& [name, state] : after) {
    const auto found = before.find(name);
    if (found == before.end() || found->second != state) changed += " " + name;
  }
  for (const auto& [name, state] : before) {
    if (!after.contains(name)) changed += " " + name + "(removed)";
  }
  printf("STOP_FILES%s\n", changed.c_str());
  fflush(stdout);
  return 0;
}

// --- The parent ---

std::string fileText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The totals of each dump the child made, by its phase's name.
std::map<std::string, double> dumpTotals(const fs::path& dir) {
  std::map<std::string, double> totals;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("callgrind.out", 0) != 0) continue;
    const std::string text = fileText(entry.path());
    const std::string trigger = "desc: Trigger: Client Request: ";
    const std::size_t at = text.find(trigger);
    const std::size_t total = text.find("\ntotals: ");
    if (at == std::string::npos || total == std::string::npos) continue;
    const std::size_t start = at + trigger.size();
    totals[text.substr(start, text.find('\n', start) - start)] =
        std::atof(text.c_str() + total + 9);
  }
  return totals;
}

struct Row {
  const char* phase;
  const char* label;
  const char* target;
};

const Row kRows[] = {
    {"lookup", "look-up by key (per query)", "<= 9,000"},
    {"insert", "insert (per row)", "<= 12,000"},
    {"update", "update by key (per row)", "-"},
    {"delete", "delete by key (per row)", "-"},
    {"join", "join of 1,000 rows (per join)", "<= 3,500,000"},
    {"checkpoint", "checkpoint of every row (per row)", "<= 450"},
    {"restart", "restart from files, one look-up (per row)", "<= 2,000"},
    {"stop", "StopEngine after a start, nothing changed (per call)", "-"},
};

std::string grouped(double value) {
  std::string digits = std::to_string(static_cast<long long>(value + 0.5));
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

int parent(const char* self, std::int64_t n) {
  char pattern[] = "/tmp/quorvel-instructions-XXXXXX";
  if (mkdtemp(pattern) == nullptr) fail("cannot make a temporary directory");
  const fs::path dir = pattern;
  const std::string command = "cd '" + dir.string() +
                              "' && valgrind --tool=callgrind --callgrind-out-file=callgrind.out "
                              "--dump-line=no --log-file=valgrind.log '" +
                              fs::canonical(self).string() + "' --child " + std::to_string(n);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) fail("cannot start valgrind");
  std::map<std::string, double> ops;
  std::string stopBytes = "?";
  std::string stopFiles;
  char line[4096];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    char name[64];
    long long count = 0;
    if (sscanf(line, "OPS %63s %lld", name, &count) == 2) ops[name] = static_cast<double>(count);
    if (text.rfind("STOP_BYTES ", 0) == 0) stopBytes = text.substr(11);
    if (text.rfind("STOP_FILES", 0) == 0) stopFiles = text.substr(10);
  }
  if (pclose(pipe) != 0) {
    fprintf(stderr, "%s", fileText(dir / "valgrind.log").c_str());
    fail("the run under valgrind failed (is the Debian package valgrind installed?)");
  }
  const std::map<std::string, double> totals = dumpTotals(dir);
  printf("Instructions per operation at N = %lld rows (valgrind --tool=callgrind)\n\n",
         static_cast<long long>(n));
  printf("| operation | instructions | target |\n|---|---:|---|\n");
  for (const Row& row : kRows) {
    const auto total = totals.find(row.phase);
    const auto count = ops.find(row.phase);
    const std::string value =
        total == totals.end() || count == ops.end() ? "-" : grouped(total->second / count->second);
    printf("| %s | %s | %s |\n", row.label, value.c_str(), row.target);
  }
  printf(
      "\nStopEngine after a start and one look-up, nothing changed: %s bytes written; files "
      "changed:%s (target: no table file)\n",
      stopBytes.c_str(), stopFiles.empty() ? " none" : stopFiles.c_str());
  fs::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--child") == 0) return child(std::atoll(argv[2]));
  const std::int64_t n = argc > 1 ? std::atoll(argv[1]) : 20000;
  if (argc > 2 || n < 10000 || n % 10 != 0) {
    fprintf(stderr, "usage: %s [N]  (a multiple of 10, at least 10000)\n", argv[0]);
    return 1;
  }
  return parent(argv[0], n);
}
