// A host that runs a seeded random mix of changes against the engine and is
// killed with SIGKILL in the middle of one of them: at a random moment, or
// right after a chosen file operation of the command, which the file-system
// seam's test hook "crashes" (nothing after it reaches the disk). It writes
// every command it issues, and every result it got, to a record file with a
// plain write(2), so the record holds exactly what the host saw before the
// kill.
//
//   crash_host <directory> <record> <seed> run     start, dump, run until killed
//   crash_host <directory> <record> <seed> check   start, dump, exit
//
// Record lines: "D <table>" then "W <row>" per row it holds, or "M <table>"
// for a table that does not exist, then "E" (the dump after the start); "S
// <output>" when the start failed; "> <command>" before a command is issued
// and "< 1" or "< 0 <message>" once its result is back. After the dump the
// webhook file as the start left it is copied to "<record>.webhooks" (no
// copy when there is none).

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quorvel.h"
#include "storage/file_system.h"

namespace {

const std::vector<std::string> kTables = {"t0", "t1", "t2", "c"};
const std::vector<std::string> kParents = {"t0", "t1", "t2"};

int record = -1;

void put(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(record, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::_Exit(4);
  }
}

bool succeeded(const std::string& result) {
  return result.find("\"success\": true") != std::string::npos;
}

std::string messageOf(const std::string& result) {
  const std::string key = "\"message\": \"";
  const std::size_t start = result.find(key);
  if (start == std::string::npos) return result;
  const std::size_t end = result.find("\",\n", start);
  return result.substr(start + key.size(), end - start - key.size());
}

// Copies the webhook file beside the record, before any command adds to it.
void copyWebhooks(const std::string& recordPath) {
  const int from = ::open("webhooks.bin", O_RDONLY | O_CLOEXEC);
  if (from < 0) return;
  const int to =
      ::open((recordPath + ".webhooks").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (to < 0) std::_Exit(4);
  char buffer[65536];
  for (ssize_t got; (got = ::read(from, buffer, sizeof buffer)) != 0;) {
    if (got < 0 || ::write(to, buffer, static_cast<std::size_t>(got)) != got) std::_Exit(4);
  }
  ::close(from);
  ::close(to);
}

// Records what every table holds, as SELECT * shows it: one line per row.
// False when the engine did not start.
bool dump() {
  for (const std::string& table : kTables) {
    const std::string result = ExecuteQuery(("SELECT * FROM " + table).c_str());
    if (messageOf(result) == "Engine not started.") return false;
    if (!succeeded(result)) {
      put("M " + table);
      continue;
    }
    put("D " + table);
    std::size_t at = 0;
    while ((at = result.find("\n    {", at)) != std::string::npos) {
      const std::size_t begin = at + 5;
      const std::size_t end = result.find('}', begin);
      put("W " + result.substr(begin, end - begin + 1));
      at = end;
    }
  }
  put("E");
  return true;
}

class Workload {
 public:
  explicit Workload(unsigned seed) : random(seed) {}

  // Learns from the dump which tables exist and how far their keys go.
  void learn(const std::string& table, bool exists, int rows) {
    known[table] = exists;
    keys[table] = rows;
  }

  // Runs commands until the kill lands.
  [[noreturn]] void run() {
    const int killAt = pick(0, 3) == 0 ? pick(0, 40) : pick(5, 400);
    const bool anyKind = pick(0, 3) == 0;
    // A kill at a file operation hits the gaps between two writes of one
    // command, such as a chain's log line and its webhook records, which a
    // kill on a timer would rarely meet.
    const bool atFileOperation = pick(0, 2) == 0;
    const bool chainsOnly = atFileOperation && pick(0, 1) == 0;
    int count = 0;
    bool armed = false;
    while (true) {
      for (const std::string& command : next()) {
        const std::string word = command.substr(0, command.find(' '));
        const bool target = chainsOnly ? isChain(command) : anyKind || isHeavy(word);
        if (!armed && count >= killAt && target) {
          if (atFileOperation) issueKilledAtFileOperation(command, word);
          arm(word);
          armed = true;
        }
        issue(command, word);
        ++count;
      }
    }
  }

 private:
  std::mt19937 random;
  std::map<std::string, bool> known;
  std::map<std::string, int> keys;
  std::map<std::string, double> durations;         // microseconds, by first word
  std::map<std::string, std::int64_t> operations;  // file operations, by kind

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
  const std::string& any(const std::vector<std::string>& names) {
    return names[static_cast<std::size_t>(pick(0, static_cast<int>(names.size()) - 1))];
  }

  static bool isChain(const std::string& command) {
    return command.find("-->") != std::string::npos && command.rfind("LINK", 0) != 0;
  }

  // Commands of one kind make about as many file operations: a chain writes
  // webhook records besides its line.
  static std::string kindOf(const std::string& command, const std::string& word) {
    return isChain(command) ? word + " chain" : word;
  }

  static bool isHeavy(const std::string& word) {
    return word == "CHECKPOINT" || word == "DROP" || word == "LINK" || word == "ROLLBACK" ||
           word == "CREATE" || word == "COMMIT";
  }

  // Kills the process at a random moment within about the time the command
  // took the last time, so that the kill lands inside it more often than not.
  void arm(const std::string& word) {
    const auto known = durations.find(word);
    const double span = known == durations.end() ? 3000.0 : known->second * 1.3 + 30.0;
    const auto delay = std::chrono::microseconds(pick(0, static_cast<int>(span)));
    std::thread([delay] {
      std::this_thread::sleep_for(delay);
      ::kill(::getpid(), SIGKILL);
    }).detach();
  }

  // Issues the command with one of its file operations crashed, at random
  // among as many as the last command of its kind made, and is killed as
  // soon as the command returns, before the result is recorded. A command
  // that made fewer operations has its result recorded before the kill.
  [[noreturn]] void issueKilledAtFileOperation(const std::string& command,
                                               const std::string& word) {
    const auto known = operations.find(kindOf(command, word));
    const int span = known == operations.end() ? 8 : static_cast<int>(known->second);
    const std::int64_t at = pick(0, std::max(span - 1, 0));
    put("> " + command);
    setFileFaultForTesting(FileFault{at, true});
    const std::string result = ExecuteQuery(command.c_str());
    if (fileOperationsForTesting() <= at) {
      put(succeeded(result) ? "< 1" : "< 0 " + messageOf(result));
    }
    ::kill(::getpid(), SIGKILL);
    std::abort();
  }

  void issue(const std::string& command, const std::string& word) {
    put("> " + command);
    setFileFaultForTesting(std::nullopt);  // counts this command's operations from 0
    const auto start = std::chrono::steady_clock::now();
    const std::string result = ExecuteQuery(command.c_str());
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    durations[word] = took.count();
    operations[kindOf(command, word)] = fileOperationsForTesting();
    const bool ok = succeeded(result);
    put(ok ? "< 1" : "< 0 " + messageOf(result));
    if (!ok) return;
    const std::string table = tableOf(command);
    if (word == "CREATE") {
      known[table] = true;
      keys[table] = 0;
    } else if (word == "DROP") {
      known[table] = false;
    } else if (word == "INSERT") {
      ++keys[table];
    }
  }

  static std::string tableOf(const std::string& command) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < command.size()) {
      const std::size_t end = command.find(' ', at);
      words.push_back(command.substr(at, end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (words[0] == "UPDATE") return words[1];
    return words.size() > 2 ? words[2] : "";
  }

  std::string createTable(const std::string& table) {
    if (table == "c") return "CREATE TABLE c cid ApexInt pid int w int";
    static const int widths[] = {16, 200, 1000};
    std::string command = "CREATE TABLE " + table + " id ApexInt v int s string ( " +
                          std::to_string(widths[pick(0, 2)]) + " )";
    if (pick(0, 1) == 0) command += " k string 2";
    return command;
  }

  std::string value() { return std::to_string(pick(0, 99)); }
  std::string word() {
    static const char* words[] = {"ann", "bob", "cy", "dee", "eve", "fay"};
    return std::string("'") + words[pick(0, 5)] + std::to_string(pick(0, 999)) + "'";
  }
  std::string key(const std::string& table) { return std::to_string(pick(1, keys[table] + 2)); }

  // A chain whose first state shows for at least a hundred hours, with its
  // webhook tasks due then and, when it repeats, a pass later.
  std::string chain() {
    return "'p' --> 'q' @ " + std::to_string(pick(100, 999)) + " h" + (pick(0, 2) == 0 ? " c" : "");
  }

  std::string insert(const std::string& table) {
    if (table == "c") {
      return "INSERT INTO c pid = " + std::to_string(pick(1, keys["t0"] + 2)) + " w = " + value();
    }
    // A value for a column the table lacks fails the insert, which is fine:
    // the record says so.
    std::string command = "INSERT INTO " + table + " v = " + value() + " s = " + word();
    if (pick(0, 1) == 0) command += " k = " + chain();
    return command;
  }

  // The next command, or a few that belong together.
  std::vector<std::string> next() {
    for (const std::string& table : kTables) {
      if (known[table]) continue;
      std::vector<std::string> setup = {createTable(table)};
      const int rows = table == "c" ? pick(0, 20) : pick(0, 300);
      for (int row = 0; row < rows; ++row) setup.push_back(insert(table));
      if (table == "c") setup.push_back("LINK c . pid --> t0 . id");
      known[table] = true;  // tried; a refusal is learnt from the result
      return setup;
    }
    const std::string& table = any(kParents);
    const int roll = pick(0, 99);
    if (roll < 35) return {insert(pick(0, 5) == 0 ? "c" : table)};
    if (roll < 42) return {"UPDATE " + table + " SET v = " + value() + " WHERE id = " + key(table)};
    if (roll < 46) return {"UPDATE " + table + " SET k = " + chain() + " WHERE id = " + key(table)};
    if (roll < 48) {
      return {"UPDATE " + table + " SET s = " + word() + " v = " + value() + " WHERE v < " +
              std::to_string(pick(0, 20))};
    }
    if (roll < 50) {
      return {"UPDATE " + table + " SET k = " + chain() + " v = " + value() + " WHERE v < " +
              std::to_string(pick(0, 30))};
    }
    if (roll < 58) return {"DELETE FROM " + table + " WHERE id = " + key(table)};
    if (roll < 60) return {"DELETE FROM " + table + " WHERE v > " + std::to_string(pick(90, 99))};
    if (roll < 62) return {"DELETE FROM c WHERE cid = " + key("c")};
    if (roll < 70) return {"BEGIN"};
    if (roll < 75) return {"COMMIT"};
    if (roll < 81) return {"ROLLBACK"};
    if (roll < 89) return {"CHECKPOINT"};
    if (roll < 93) {
      const std::string& dropped = pick(0, 3) == 0 ? std::string("c") : table;
      return {"DROP TABLE " + dropped, createTable(dropped)};
    }
    if (roll < 96) return {"LINK c . pid --> " + table + " . id"};
    return {createTable(table)};
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || ::chdir(argv[1]) != 0) return 2;
  record = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (record < 0) return 2;
  StartEngine();
  if (!dump()) {
    put("S start-up failed");
    return 3;
  }
  copyWebhooks(argv[2]);
  if (std::string(argv[4]) == "check") return 0;
  Workload workload(static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
  for (const std::string& table : kTables) {
    const std::string result = ExecuteQuery(("SELECT * FROM " + table).c_str());
    const std::size_t rows = result.find("\"rows_affected\": ");
    workload.learn(table, succeeded(result),
                   succeeded(result) ? std::atoi(result.c_str() + rows + 17) : 0);
  }
  workload.run();
}
