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
// Besides commands the mix holds "StopEngine": StopEngine, then StartEngine
// and a dump, as a host that closes and opens the engine again would.
//
// Record lines: "D <table>" then "W <row>" per row it holds, or "M <table>"
// for a table that does not exist, then "E" (a dump: after the start and
// after each StopEngine); "S <output>" when a start failed; "> <command>"
// before a command is issued and "< 1 <rows affected>" or "< 0 <message>"
// once its result is back, followed for a SELECT by "R <row>" per row it
// gave. Before each dump's "E" the webhook file as the start left it is copied to
// "<record>.webhooks" (after the start) or "<record>.webhooks-<n>" (after
// the n-th StopEngine); no copy when there is none.

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

// t0..t2 are parents of c, through c's pid and qid; n holds narrow strings;
// the key column k of ch holds state chains, so no link may use it.
const std::vector<std::string> kTables = {"t0", "t1", "t2", "c", "n", "ch"};
const std::vector<std::string> kParents = {"t0", "t1", "t2"};
const std::string kRestart = "StopEngine";

int record = -1;
std::string recordPath;

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

int affectedOf(const std::string& result) {
  const std::string key = "\"rows_affected\": ";
  const std::size_t at = result.find(key);
  return at == std::string::npos ? 0 : std::atoi(result.c_str() + at + key.size());
}

// The rows of a result, one text per row as SELECT * shows it.
std::vector<std::string> rowsOf(const std::string& result) {
  std::vector<std::string> rows;
  std::size_t at = 0;
  while ((at = result.find("\n    {", at)) != std::string::npos) {
    const std::size_t begin = at + 5;
    const std::size_t end = result.find('}', begin);
    rows.push_back(result.substr(begin, end - begin + 1));
    at = end;
  }
  return rows;
}

// Copies the webhook file beside the record, before any command adds to it.
void copyWebhooks(const std::string& to) {
  const int from = ::open("webhooks.bin", O_RDONLY | O_CLOEXEC);
  if (from < 0) return;
  const int copy = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (copy < 0) std::_Exit(4);
  char buffer[65536];
  for (ssize_t got; (got = ::read(from, buffer, sizeof buffer)) != 0;) {
    if (got < 0 || ::write(copy, buffer, static_cast<std::size_t>(got)) != got) std::_Exit(4);
  }
  ::close(from);
  ::close(copy);
}

// Records what every table holds, as SELECT * shows it: one line per row,
// and copies the webhook file to the record's path with `suffix`. False
// when the engine did not start.
bool dump(const std::string& suffix) {
  for (const std::string& table : kTables) {
    const std::string result = ExecuteQuery(("SELECT * FROM " + table).c_str());
    if (messageOf(result) == "Engine not started.") return false;
    if (!succeeded(result)) {
      put("M " + table);
      continue;
    }
    put("D " + table);
    for (const std::string& row : rowsOf(result)) put("W " + row);
  }
  // The copy comes before the line that closes the dump: a kill in the
  // middle of the copy then leaves a dump the test does not read, never a
  // closed one beside a cut copy.
  copyWebhooks(recordPath + ".webhooks" + suffix);
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
    // What the kill aims at: any command (a round in five), a command of
    // edge() (a round in five), or one of the commands that write much.
    const int aim = pick(0, 4);
    // A kill at a file operation hits the gaps between two writes of one
    // command, such as a chain's log line and its webhook records, which a
    // kill on a timer would rarely meet.
    const bool atFileOperation = pick(0, 2) == 0;
    const bool chainsOnly = atFileOperation && pick(0, 1) == 0;
    int count = 0;
    bool armed = false;
    while (true) {
      const Batch batch = next();
      for (const std::string& command : batch.commands) {
        const std::string word = command.substr(0, command.find(' '));
        const bool target =
            chainsOnly ? isChain(command)
                       : aim == 0 || (aim == 1 && batch.edge) || (aim > 1 && isHeavy(word));
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
  // The next command, or a few that belong together.
  struct Batch {
    std::vector<std::string> commands;
    bool edge = false;  // a command of edge()
  };

  std::mt19937 random;
  std::map<std::string, bool> known;
  std::map<std::string, int> keys;
  std::map<std::string, double> durations;         // microseconds, by first word
  std::map<std::string, std::int64_t> operations;  // file operations, by kind
  int restarts = 0;

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
  template <typename T>
  const T& any(const std::vector<T>& pool) {
    return pool[static_cast<std::size_t>(pick(0, static_cast<int>(pool.size()) - 1))];
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
           word == "CREATE" || word == "COMMIT" || word == kRestart;
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

  // Runs one entry of the mix: a command, or StopEngine and a start, which
  // give no result text.
  static std::string perform(const std::string& command) {
    if (command != kRestart) return ExecuteQuery(command.c_str());
    StopEngine();
    StartEngine();
    return "";
  }

  static void recordResult(const std::string& command, const std::string& result) {
    if (command == kRestart || succeeded(result)) {
      put("< 1 " + std::to_string(affectedOf(result)));
    } else {
      put("< 0 " + messageOf(result));
      return;
    }
    if (command.rfind("SELECT", 0) != 0) return;
    for (const std::string& row : rowsOf(result)) put("R " + row);
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
    const std::string result = perform(command);
    if (fileOperationsForTesting() <= at) recordResult(command, result);
    ::kill(::getpid(), SIGKILL);
    std::abort();
  }

  void issue(const std::string& command, const std::string& word) {
    put("> " + command);
    setFileFaultForTesting(std::nullopt);  // counts this command's operations from 0
    const auto start = std::chrono::steady_clock::now();
    const std::string result = perform(command);
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    durations[word] = took.count();
    operations[kindOf(command, word)] = fileOperationsForTesting();
    recordResult(command, result);
    if (command == kRestart) {
      if (!dump("-" + std::to_string(++restarts))) {
        put("S start-up failed");
        std::_Exit(3);
      }
      return;
    }
    if (!succeeded(result)) return;
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
    if (table == "c") return "CREATE TABLE c cid ApexInt pid int qid int w int";
    // Widths 1 to 3 keep only the start of the missing-value marker, width 4
    // all of it.
    if (table == "n") {
      return "CREATE TABLE n id ApexInt w1 string ( 1 ) w2 string ( 2 ) w3 string ( 3 ) w4 string "
             "( 4 ) v int f float";
    }
    if (table == "ch") return "CREATE TABLE ch k int 3 v int";
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
  std::string chain(const std::string& first, const std::string& second) {
    return first + " --> " + second + " @ " + std::to_string(pick(100, 999)) + " h" +
           (pick(0, 2) == 0 ? " c" : "");
  }
  std::string chain() { return chain("'p'", "'q'"); }

  // A value for the narrow column of width `width`: the start of the
  // missing-value marker that the width keeps (refused), other starts of
  // it, plain texts and texts too long for it.
  std::string narrow(int width) {
    static const std::vector<std::vector<std::string>> pools = {
        {"'#'", "'x'", "''", "'#/'", "'ab'"},
        {"'#/'", "'#'", "'xy'", "'/#'", "'#/#'"},
        {"'#/#'", "'#/'", "'#'", "'xyz'", "'#/x'", "'#/#?'"},
        {"'#/#?'", "'#/#'", "'wxyz'", "'#'"},
    };
    return any(pools[static_cast<std::size_t>(width - 1)]);
  }

  // Numbers that the columns' types cannot hold, or only just, and texts
  // whose leading number is all that counts.
  std::string farInteger() {
    static const std::vector<std::string> far = {
        "99999999999", "-99999999999", "2147483648",    "-2147483649",
        "2147483647",  "-2147483648",  "'99999999999'", "123456789012345678901234",
        "'12abc'",     "'+7'",         "'abc'"};
    return any(far);
  }
  std::string floatValue() {
    static const std::vector<std::string> plain = {"1.5", "0", "-0.5", "2", "0.25"};
    return any(plain);
  }
  std::string farFloat() {
    static const std::vector<std::string> far = {
        "1000000000000000000000000000000000000000",
        "-1000000000000000000000000000000000000000",
        "'1e39'",
        "'-1e39'",
        "'1e-50'",
        "0.00000000000000000000000000000000000000000000001",
        "'abc'"};
    return any(far);
  }

  // The columns a WHERE of `table` compares, with the kind of value each
  // takes: 'i' a number, 'f' a float, '1' to '4' a narrow text.
  static std::vector<std::pair<std::string, char>> comparedColumns(const std::string& table) {
    if (table == "c") return {{"cid", 'i'}, {"pid", 'i'}, {"qid", 'i'}, {"w", 'i'}};
    if (table == "n") {
      return {{"id", 'i'}, {"v", 'i'},  {"f", 'f'}, {"w1", '1'},
              {"w2", '2'}, {"w3", '3'}, {"w4", '4'}};
    }
    if (table == "ch") return {{"k", 'i'}, {"v", 'i'}};
    return {{"id", 'i'}, {"v", 'i'}};
  }

  std::string comparison(const std::string& table) {
    static const std::vector<std::string> operators = {"=", "!=", "<", ">", "<=", ">="};
    const std::vector<std::pair<std::string, char>> columns = comparedColumns(table);
    const auto& [column, kind] = any(columns);
    std::string bound;
    if (kind == 'i') {
      bound = pick(0, 1) == 0 ? farInteger() : value();
    } else if (kind == 'f') {
      bound = pick(0, 1) == 0 ? farFloat() : floatValue();
    } else {
      bound = narrow(kind - '0');
    }
    return column + " " + any(operators) + " " + bound;
  }

  std::string where(const std::string& table) {
    std::string text = " WHERE " + comparison(table);
    if (pick(0, 3) == 0) text += (pick(0, 1) == 0 ? " && " : " || ") + comparison(table);
    return text;
  }

  std::string insert(const std::string& table) {
    if (table == "c") {
      // Mostly one key that both parents may hold.
      const std::string pid = std::to_string(pick(1, keys["t0"] + 2));
      const int roll = pick(0, 19);
      std::string command = "INSERT INTO c pid = " + pid;
      if (roll < 10) command += " qid = " + pid;
      if (roll >= 10 && roll < 17) command += " qid = " + std::to_string(pick(1, keys["t1"] + 2));
      return command + " w = " + value();
    }
    if (table == "n") {
      std::string command = "INSERT INTO n";
      for (int width = 1; width <= 4; ++width) {
        if (pick(0, 9) < 7) command += " w" + std::to_string(width) + " = " + narrow(width);
      }
      // An INSERT needs one value at least.
      if (pick(0, 9) < 9 || command == "INSERT INTO n") command += " v = " + value();
      if (pick(0, 9) < 7) command += " f = " + floatValue();
      return command;
    }
    if (table == "ch") {
      const std::string k = std::to_string(pick(0, 9));
      return "INSERT INTO ch k = " + (pick(0, 2) == 0 ? chain(k, value()) : k) + " v = " + value();
    }
    // A value for a column the table lacks fails the insert, which is fine:
    // the record says so.
    std::string command = "INSERT INTO " + table + " v = " + value() + " s = " + word();
    if (pick(0, 1) == 0) command += " k = " + chain();
    return command;
  }

  Batch next() {
    for (const std::string& table : kTables) {
      if (known[table]) continue;
      std::vector<std::string> setup = {createTable(table)};
      // A parent sometimes starts empty, so that a second parent of c may
      // be the one that refuses its row.
      const int rows = table == "n"                    ? pick(0, 40)
                       : table == "c" || table == "ch" ? pick(0, 20)
                       : pick(0, 4) == 0               ? 0
                                                       : pick(1, 300);
      for (int row = 0; row < rows; ++row) setup.push_back(insert(table));
      if (table == "c") {
        setup.push_back("LINK c . pid --> t0 . id");
        if (pick(0, 1) == 0) setup.push_back("LINK c . qid --> " + any(kParents) + " . id");
      }
      known[table] = true;  // tried; a refusal is learnt from the result
      return {setup};
    }
    if (pick(0, 9) < 3) return {{edge()}, true};
    const std::string& table = any(kParents);
    const int roll = pick(0, 99);
    if (roll < 35) return {{insert(pick(0, 5) == 0 ? "c" : table)}};
    if (roll < 42)
      return {{"UPDATE " + table + " SET v = " + value() + " WHERE id = " + key(table)}};
    if (roll < 46)
      return {{"UPDATE " + table + " SET k = " + chain() + " WHERE id = " + key(table)}};
    if (roll < 48) {
      return {{"UPDATE " + table + " SET s = " + word() + " v = " + value() + " WHERE v < " +
               std::to_string(pick(0, 20))}};
    }
    if (roll < 50) {
      return {{"UPDATE " + table + " SET k = " + chain() + " v = " + value() + " WHERE v < " +
               std::to_string(pick(0, 30))}};
    }
    if (roll < 58) return {{"DELETE FROM " + table + " WHERE id = " + key(table)}};
    if (roll < 60) return {{"DELETE FROM " + table + " WHERE v > " + std::to_string(pick(90, 99))}};
    if (roll < 62) return {{"DELETE FROM c WHERE cid = " + key("c")}};
    if (roll < 70) return {{"BEGIN"}};
    if (roll < 75) return {{"COMMIT"}};
    if (roll < 81) return {{"ROLLBACK"}};
    if (roll < 89) return {{"CHECKPOINT"}};
    if (roll < 93) {
      const std::string& dropped = pick(0, 3) == 0 ? std::string("c") : table;
      return {{"DROP TABLE " + dropped, createTable(dropped)}};
    }
    if (roll < 96) return {{"LINK c . pid --> " + table + " . id"}};
    return {{createTable(table)}};
  }

  // A command at one of the edges: narrow values, numbers out of a column's
  // range in WHERE, links a child may not add, a restart.
  std::string edge() {
    const std::string& parent = any(kParents);
    const std::string& table = any(kTables);
    const std::string linked = pick(0, 1) == 0 ? "pid" : "qid";
    const int roll = pick(0, 99);
    if (roll < 20) return insert("n");
    if (roll < 26) return insert("ch");
    if (roll < 34) return insert("c");
    if (roll < 40) {
      const std::string width = std::to_string(pick(1, 4));
      return "UPDATE n SET w" + width + " = " + narrow(width[0] - '0') +
             (pick(0, 1) == 0 ? " v = " + value() : "") + where("n");
    }
    if (roll < 45) {
      return "UPDATE " + table + " SET " + (table == "c" ? "w" : "v") + " = " + value() +
             where(table);
    }
    if (roll < 48) return "UPDATE c SET pid = " + key("t0") + " WHERE cid = " + key("c");
    if (roll < 51) {
      return "UPDATE ch SET k = " + chain(std::to_string(pick(0, 9)), value()) + where("ch");
    }
    if (roll < 67) return "SELECT * FROM " + table + where(table);
    // Mostly narrowed to a few rows, so that tables do not empty at once.
    if (roll < 76) {
      const std::string few =
          (table == "c" ? "w" : "v") + std::string(" > ") + std::to_string(pick(90, 99)) + " && ";
      return "DELETE FROM " + table + " WHERE " + (pick(0, 3) == 0 ? "" : few) + comparison(table);
    }
    if (roll < 86) return "LINK c . " + linked + " --> " + parent + " . id";
    if (roll < 97) return "LINK c . " + linked + " --> ch . k";
    return kRestart;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || ::chdir(argv[1]) != 0) return 2;
  recordPath = argv[2];
  record = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (record < 0) return 2;
  StartEngine();
  if (!dump("")) {
    put("S start-up failed");
    return 3;
  }
  if (std::string(argv[4]) == "check") return 0;
  Workload workload(static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
  for (const std::string& table : kTables) {
    const std::string result = ExecuteQuery(("SELECT * FROM " + table).c_str());
    workload.learn(table, succeeded(result), succeeded(result) ? affectedOf(result) : 0);
  }
  workload.run();
}
