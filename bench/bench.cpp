// Side-by-side benchmark: quorvel driven through its C interface against
// SQLite driven the same way (one SQL text per sqlite3_exec call, autocommit,
// a WAL file with synchronous=OFF), with SQLite in memory, SQLite with
// prepared statements, and SQLite with synchronous=NORMAL as reference lines.
// The last keeps quorvel's promise: a power cut may lose the commits since
// the last checkpoint, and its checkpoint syncs what it writes.
//
//   quorvel_bench [N ...]      (default: 100000 1000000)
//
// Every engine runs in a child process of its own, started afresh from this
// program, in a fresh temporary directory: its peak memory is then its own,
// and the engine's process-wide state cannot leak from one run to the next.
// Children report "BENCH <key> <value>" lines on standard output.

#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quorvel.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kChildren = 1000;  // child rows, each joined to a parent
constexpr std::int64_t kJoins = 20;
constexpr std::int64_t kFilters = 100;
constexpr std::int64_t kReplayed = 100000;  // commands only in the log at a restart
constexpr const char* kPrefix = "BENCH ";

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "quorvel_bench: %s\n", what.c_str());
  fflush(stdout);
  _exit(2);
}

void check(bool holds, const std::string& what) {
  if (!holds) fail("check failed: " + what);
}

// Kilobytes of a "VmRSS:" or "VmHWM:" line of /proc/self/status.
std::int64_t statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + strlen(field));
  }
  fail(std::string("no ") + field + " in /proc/self/status");
}

void report(const std::string& key, double value) {
  printf("%s%s %.3f\n", kPrefix, key.c_str(), value);
  fflush(stdout);
}

// Runs `body` once and reports its time per operation under `key`.
void timed(const std::string& key, std::int64_t ops, const std::function<void()>& body) {
  const auto start = Clock::now();
  body();
  const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  report(key, ns / static_cast<double>(ops));
}

// The keys the workloads touch, in a fixed shuffled order. Parents are
// 1..n; children point at parents 10j+1, updates go to 10j+3 and deletes to
// 10j+5, so that no delete hits a referenced parent.
std::vector<std::int64_t> keys(std::int64_t count, std::int64_t offset, std::uint32_t seed) {
  std::vector<std::int64_t> out;
  for (std::int64_t j = 0; j < count; ++j) out.push_back(10 * j + offset);
  std::shuffle(out.begin(), out.end(), std::mt19937(seed));
  return out;
}

std::vector<std::int64_t> lookupKeys(std::int64_t n) {
  std::mt19937_64 random(7);
  std::vector<std::int64_t> out;
  for (std::int64_t i = 0; i < n / 10; ++i)
    out.push_back(1 + static_cast<std::int64_t>(random() % n));
  return out;
}

std::string name(std::int64_t id) { return "n" + std::to_string(id); }
std::int64_t valueOf(std::int64_t id) { return id % 100; }
std::int64_t childParent(std::int64_t j) { return 10 * j + 1; }

// --- quorvel ---

struct Answer {
  bool success = false;
  std::int64_t rows = -1;
  const char* text = nullptr;
};

Answer run(const std::string& command) {
  const char* text = ExecuteQuery(command.c_str());
  Answer answer;
  answer.text = text;
  answer.success = strncmp(text, "{\n  \"success\": true", 19) == 0;
  if (const char* at = strstr(text, "\"rows_affected\": ")) answer.rows = std::atoll(at + 17);
  return answer;
}

void expect(const std::string& command, std::int64_t rows) {
  const Answer answer = run(command);
  if (!answer.success || answer.rows != rows) fail(command + " answered " + answer.text);
}

void expectHolds(const std::string& command, std::int64_t rows, const std::string& part) {
  const Answer answer = run(command);
  if (!answer.success || answer.rows != rows || strstr(answer.text, part.c_str()) == nullptr) {
    fail(command + " answered " + answer.text + " (wanted " + part + ")");
  }
}

std::string insertParent(std::int64_t id) {
  return "INSERT INTO p name = '" + name(id) + "' val = " + std::to_string(valueOf(id));
}

void quorvelCreate() {
  expect("CREATE TABLE p id ApexInt name string val int", 0);
  expect("CREATE TABLE c cid ApexInt pid int", 0);
  expect("LINK c . pid --> p . id", 0);
}

void quorvelWorkloads(std::int64_t n) {
  StartEngine();
  quorvelCreate();
  const std::int64_t baseKb = statusKb("VmRSS:");
  timed("insert", n, [&] {
    for (std::int64_t id = 1; id <= n; ++id) expect(insertParent(id), 1);
  });
  report("rss_bytes_per_row", (statusKb("VmHWM:") - baseKb) * 1024.0 / static_cast<double>(n));
  for (std::int64_t j = 0; j < kChildren; ++j) {
    expect("INSERT INTO c pid = " + std::to_string(childParent(j)), 1);
  }
  const std::vector<std::int64_t> looked = lookupKeys(n);
  timed("lookup", static_cast<std::int64_t>(looked.size()), [&] {
    for (std::size_t i = 0; i < looked.size(); ++i) {
      const std::string command = "SELECT * FROM p WHERE id = " + std::to_string(looked[i]);
      if (i % 1000 == 0) {
        expectHolds(command, 1, "\"name\": \"" + name(looked[i]) + "\"");
      } else {
        expect(command, 1);
      }
    }
  });
  timed("filter", kFilters, [&] {
    for (std::int64_t v = 0; v < kFilters; ++v) {
      const std::string command = "SELECT * FROM p WHERE val = " + std::to_string(v);
      if (v % 10 == 0) {
        expectHolds(command, n / 100, "\"val\": " + std::to_string(v) + "}");
      } else {
        expect(command, n / 100);
      }
    }
  });
  const std::vector<std::int64_t> updated = keys(n / 10, 3, 11);
  timed("update", static_cast<std::int64_t>(updated.size()), [&] {
    for (const std::int64_t id : updated) {
      expect("UPDATE p SET name = 'u" + std::to_string(id) + "' WHERE id = " + std::to_string(id),
             1);
    }
  });
  expectHolds("SELECT * FROM p WHERE id = " + std::to_string(updated[0]), 1,
              "\"name\": \"u" + std::to_string(updated[0]) + "\"");
  timed("join", kJoins, [&] {
    for (std::int64_t i = 0; i < kJoins; ++i) {
      expectHolds("SELECT * FROM c JOIN p ON c.pid = p.id", kChildren,
                  "\"p.id\": " + std::to_string(childParent(kChildren - 1)) + ", \"p.name\": \"" +
                      name(childParent(kChildren - 1)) + "\"");
    }
  });
  const std::vector<std::int64_t> deleted = keys(n / 10, 5, 13);
  timed("delete", static_cast<std::int64_t>(deleted.size()), [&] {
    for (const std::int64_t id : deleted)
      expect("DELETE FROM p WHERE id = " + std::to_string(id), 1);
  });
  expect("SELECT * FROM p WHERE id = " + std::to_string(deleted[0]), 0);
  timed("checkpoint", n, [&] { expect("CHECKPOINT", 0); });
  const std::vector<std::int64_t> touched = keys(n / 100, 7, 17);
  for (const std::int64_t id : touched) {
    expect("UPDATE p SET val = 100 WHERE id = " + std::to_string(id), 1);
  }
  timed("checkpoint_1pct", n, [&] { expect("CHECKPOINT", 0); });
  const auto stopStart = Clock::now();
  StopEngine();
  report("stop_ms", std::chrono::duration<double, std::milli>(Clock::now() - stopStart).count());
}

// The restart from table files, in a process of its own so that its peak
// memory is what the loaded rows take.
void quorvelRestart(std::int64_t n) {
  const std::int64_t baseKb = statusKb("VmRSS:");
  timed("restart", n, [&] {
    StartEngine();
    expectHolds("SELECT * FROM p WHERE id = 1", 1, "\"name\": \"n1\"");
  });
  report("rss_bytes_per_row_loaded",
         (statusKb("VmHWM:") - baseKb) * 1024.0 / static_cast<double>(n));
  expect("SELECT * FROM p WHERE val = 100", n / 100);
  StopEngine();
}

// Leaves a directory whose log holds the last kReplayed commands, as a
// process that ends without stopping the engine leaves it.
void quorvelReplayPrepare() {
  StartEngine();
  quorvelCreate();
  expect("CHECKPOINT", 0);
  for (std::int64_t id = 1; id <= kReplayed; ++id) expect(insertParent(id), 1);
  fflush(stdout);
  _exit(0);
}

void quorvelReplay() {
  const auto start = Clock::now();
  StartEngine();
  expectHolds("SELECT * FROM p WHERE id = " + std::to_string(kReplayed), 1,
              "\"name\": \"" + name(kReplayed) + "\"");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  report("replay_commands_per_s", static_cast<double>(kReplayed) / seconds);
  StopEngine();
}

// What the log pays per line when it opens a stream for each: the figure a
// log that keeps its stream open saves on every change.
void logLineCost() {
  const std::string line = "INSERT INTO p name = 'n12345' val = 45 #TIME# 1765400000\n";
  constexpr std::int64_t kLines = 100000;
  timed("log_line_open_per_line", kLines, [&] {
    for (std::int64_t i = 0; i < kLines; ++i) {
      std::ofstream out("log", std::ios::app | std::ios::binary);
      out << line << std::flush;
    }
  });
  std::ofstream open("log2", std::ios::app | std::ios::binary);
  timed("log_line_open_once", kLines, [&] {
    for (std::int64_t i = 0; i < kLines; ++i) open << line << std::flush;
  });
}

// --- SQLite ---

class Sqlite {
 public:
  // `synchronous` is the setting of the WAL file: "OFF" or "NORMAL".
  Sqlite(bool inMemory, bool prepared, std::string synchronous)
      : inMemory_(inMemory), prepared_(prepared), synchronous_(std::move(synchronous)) {
    open();
  }
  ~Sqlite() { close(); }

  void open() {
    if (sqlite3_open(inMemory_ ? ":memory:" : "bench.db", &db_) != SQLITE_OK) fail("sqlite open");
    exec("PRAGMA foreign_keys = ON");
    if (!inMemory_) {
      exec("PRAGMA journal_mode = WAL");
      exec("PRAGMA synchronous = " + synchronous_);
    }
  }

  void close() {
    for (auto& [text, statement] : statements_) sqlite3_finalize(statement);
    statements_.clear();
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
  }

  // Runs `sql`; returns the rows it produced and checks the changes it made.
  std::int64_t exec(const std::string& sql, std::int64_t changes = -1,
                    std::vector<std::string>* firstRow = nullptr) {
    Rows rows{0, firstRow};
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), &Sqlite::collect, &rows, &error) != SQLITE_OK) {
      fail(sql + ": " + (error != nullptr ? error : "?"));
    }
    if (changes >= 0) check(sqlite3_changes(db_) == changes, sql + " changed rows");
    return rows.count;
  }

  // The same statement with its parameters bound, prepared once per text.
  std::int64_t step(const std::string& sql, const std::vector<std::int64_t>& numbers,
                    const std::string& text, std::int64_t changes = -1,
                    std::vector<std::string>* firstRow = nullptr) {
    sqlite3_stmt*& statement = statements_[sql];
    if (statement == nullptr &&
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      fail("prepare " + sql);
    }
    int at = 1;
    if (!text.empty()) sqlite3_bind_text(statement, at++, text.c_str(), -1, SQLITE_TRANSIENT);
    for (const std::int64_t number : numbers) sqlite3_bind_int64(statement, at++, number);
    std::int64_t count = 0;
    int rc = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      if (count++ == 0 && firstRow != nullptr) {
        firstRow->clear();
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
          const auto* value = sqlite3_column_text(statement, i);
          firstRow->push_back(value != nullptr ? reinterpret_cast<const char*>(value) : "NULL");
        }
      }
    }
    if (rc != SQLITE_DONE) fail(sql + ": " + sqlite3_errmsg(db_));
    sqlite3_reset(statement);
    if (changes >= 0) check(sqlite3_changes(db_) == changes, sql + " changed rows");
    return count;
  }

  bool prepared() const { return prepared_; }
  bool inMemory() const { return inMemory_; }

 private:
  struct Rows {
    std::int64_t count;
    std::vector<std::string>* first;
  };

  static int collect(void* context, int columns, char** values, char**) {
    auto* rows = static_cast<Rows*>(context);
    if (rows->count++ == 0 && rows->first != nullptr) {
      rows->first->clear();
      for (int i = 0; i < columns; ++i) rows->first->push_back(values[i] ? values[i] : "NULL");
    }
    return 0;
  }

  bool inMemory_;
  bool prepared_;
  std::string synchronous_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

void sqliteWorkloads(std::int64_t n, bool inMemory, bool prepared,
                     const std::string& synchronous = "OFF") {
  Sqlite db(inMemory, prepared, synchronous);
  db.exec("CREATE TABLE p(id INTEGER PRIMARY KEY, name TEXT, val INTEGER)");
  db.exec("CREATE TABLE c(cid INTEGER PRIMARY KEY, pid INTEGER REFERENCES p(id))");
  db.exec("CREATE INDEX c_pid ON c(pid)");
  const auto one = [&](const std::string& sqlText, const std::string& sqlPrepared,
                       const std::vector<std::int64_t>& numbers, const std::string& text,
                       std::int64_t changes, std::vector<std::string>* firstRow = nullptr) {
    return prepared ? db.step(sqlPrepared, numbers, text, changes, firstRow)
                    : db.exec(sqlText, changes, firstRow);
  };
  const std::int64_t baseKb = statusKb("VmRSS:");
  timed("insert", n, [&] {
    for (std::int64_t id = 1; id <= n; ++id) {
      one("INSERT INTO p(name, val) VALUES('" + name(id) + "', " + std::to_string(valueOf(id)) +
              ")",
          "INSERT INTO p(name, val) VALUES(?, ?)", {valueOf(id)}, name(id), 1);
    }
  });
  report("rss_bytes_per_row", (statusKb("VmHWM:") - baseKb) * 1024.0 / static_cast<double>(n));
  for (std::int64_t j = 0; j < kChildren; ++j) {
    db.exec("INSERT INTO c(pid) VALUES(" + std::to_string(childParent(j)) + ")", 1);
  }
  std::vector<std::string> row;
  const std::vector<std::int64_t> looked = lookupKeys(n);
  timed("lookup", static_cast<std::int64_t>(looked.size()), [&] {
    for (std::size_t i = 0; i < looked.size(); ++i) {
      const std::int64_t id = looked[i];
      check(one("SELECT * FROM p WHERE id = " + std::to_string(id), "SELECT * FROM p WHERE id = ?",
                {id}, "", -1, &row) == 1,
            "lookup");
      if (i % 1000 == 0) check(row[1] == name(id), "looked-up name");
    }
  });
  timed("filter", kFilters, [&] {
    for (std::int64_t v = 0; v < kFilters; ++v) {
      check(one("SELECT * FROM p WHERE val = " + std::to_string(v), "SELECT * FROM p WHERE val = ?",
                {v}, "", -1, &row) == n / 100,
            "filter");
      check(row[2] == std::to_string(v), "filtered value");
    }
  });
  const std::vector<std::int64_t> updated = keys(n / 10, 3, 11);
  timed("update", static_cast<std::int64_t>(updated.size()), [&] {
    for (const std::int64_t id : updated) {
      one("UPDATE p SET name = 'u" + std::to_string(id) + "' WHERE id = " + std::to_string(id),
          "UPDATE p SET name = ? WHERE id = ?", {id}, "u" + std::to_string(id), 1);
    }
  });
  timed("join", kJoins, [&] {
    for (std::int64_t i = 0; i < kJoins; ++i) {
      check(one("SELECT * FROM c JOIN p ON c.pid = p.id", "SELECT * FROM c JOIN p ON c.pid = p.id",
                {}, "", -1, &row) == kChildren,
            "join");
      check(row[1] == row[2], "joined key");
    }
  });
  const std::vector<std::int64_t> deleted = keys(n / 10, 5, 13);
  timed("delete", static_cast<std::int64_t>(deleted.size()), [&] {
    for (const std::int64_t id : deleted) {
      one("DELETE FROM p WHERE id = " + std::to_string(id), "DELETE FROM p WHERE id = ?", {id}, "",
          1);
    }
  });
  if (inMemory) return;
  timed("checkpoint", n, [&] { db.exec("PRAGMA wal_checkpoint(TRUNCATE)"); });
  for (const std::int64_t id : keys(n / 100, 7, 17)) {
    db.exec("UPDATE p SET val = 100 WHERE id = " + std::to_string(id), 1);
  }
  timed("checkpoint_1pct", n, [&] { db.exec("PRAGMA wal_checkpoint(TRUNCATE)"); });
  db.close();
  timed("restart", n, [&] {
    db.open();
    check(db.exec("SELECT * FROM p WHERE id = 1", -1, &row) == 1 && row[1] == "n1", "restart");
  });
}

// --- the parent ---

using Results = std::map<std::string, double>;

// Runs this program as a child in `dir` and collects what it reports.
Results child(const std::string& role, std::int64_t n, const fs::path& dir) {
  const std::string command = "cd '" + dir.string() + "' && '" +
                              fs::read_symlink("/proc/self/exe").string() + "' --child " + role +
                              " " + std::to_string(n);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) fail("cannot start " + role);
  Results results;
  char line[4096];
  const std::size_t prefix = strlen(kPrefix);
  while (fgets(line, sizeof line, pipe) != nullptr) {
    if (strncmp(line, kPrefix, prefix) != 0) continue;  // the engine's own messages
    char key[256];
    double value = 0;
    if (sscanf(line + prefix, "%255s %lf", key, &value) == 2) results[key] = value;
  }
  if (pclose(pipe) != 0) fail("child " + role + " failed");
  return results;
}

struct Run {
  Results quorvel, wal, memory, prepared, normal, logCost;
};

Run runAll(std::int64_t n, const fs::path& root) {
  const auto fresh = [&](const std::string& name) {
    const fs::path dir = root / (name + "-" + std::to_string(n));
    fs::create_directories(dir);
    return dir;
  };
  Run run;
  const fs::path quorvelDir = fresh("quorvel");
  run.quorvel = child("quorvel", n, quorvelDir);
  run.quorvel.merge(child("quorvel-restart", n, quorvelDir));
  const fs::path replayDir = fresh("replay");
  child("quorvel-replay-prepare", n, replayDir);
  run.quorvel.merge(child("quorvel-replay", n, replayDir));
  run.wal = child("sqlite-wal", n, fresh("sqlite-wal"));
  run.memory = child("sqlite-memory", n, fresh("sqlite-memory"));
  run.prepared = child("sqlite-prepared", n, fresh("sqlite-prepared"));
  run.normal = child("sqlite-wal-normal", n, fresh("sqlite-wal-normal"));
  run.logCost = child("log-cost", n, fresh("log-cost"));
  return run;
}

std::string cell(const Results& results, const std::string& key, const char* format = "%.0f") {
  const auto found = results.find(key);
  if (found == results.end()) return "-";
  char text[64];
  snprintf(text, sizeof text, format, found->second);
  return text;
}

std::string ratio(const Results& a, const Results& b, const std::string& key) {
  const auto x = a.find(key);
  const auto y = b.find(key);
  if (x == a.end() || y == b.end() || y->second == 0) return "-";
  char text[64];
  snprintf(text, sizeof text, "%.2f", x->second / y->second);
  return text;
}

struct Workload {
  const char* key;
  const char* label;
  const char* target;
};

const Workload kWorkloads[] = {
    {"insert", "insert (ns/op)", "<=0.5"},
    {"lookup", "point look-up by key (ns/op)", "<=0.3"},
    {"filter", "filter, 1% of rows (ns/op)", "<=1.0"},
    {"update", "update by key (ns/op)", "<=0.5"},
    {"join", "join of 1,000 rows (ns/op)", "<=1.0"},
    {"delete", "delete by key (ns/op)", "<=0.5"},
    {"checkpoint", "checkpoint, all rows (ns/row)", "<=100 ns"},
    {"checkpoint_1pct", "checkpoint, 1% changed (ns/row)", "-"},
    {"restart", "restart from files (ns/row)", "<=300 ns"},
    {"rss_bytes_per_row", "peak RSS after N inserts (B/row)", "-"},
    {"rss_bytes_per_row_loaded", "peak RSS after restart (B/row)", "-"},
};

void printRun(std::int64_t n, const Run& run) {
  printf("\nN = %lld\n\n", static_cast<long long>(n));
  printf(
      "| workload | quorvel | SQLite WAL (text) | quorvel / SQLite | target | SQLite memory (text) "
      "| SQLite WAL (prepared) | SQLite WAL, synchronous=NORMAL (text) | quorvel / NORMAL |\n");
  printf("|---|---:|---:|---:|---|---:|---:|---:|---:|\n");
  for (const Workload& w : kWorkloads) {
    printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", w.label,
           cell(run.quorvel, w.key).c_str(), cell(run.wal, w.key).c_str(),
           ratio(run.quorvel, run.wal, w.key).c_str(), w.target, cell(run.memory, w.key).c_str(),
           cell(run.prepared, w.key).c_str(), cell(run.normal, w.key).c_str(),
           ratio(run.quorvel, run.normal, w.key).c_str());
  }
  printf("| replay of the log (commands/s) | %s | - | - | >=300000 | - | - | - | - |\n",
         cell(run.quorvel, "replay_commands_per_s").c_str());
  printf("\nlog line, stream opened per line: %s ns; stream kept open: %s ns; stop: %s ms\n",
         cell(run.logCost, "log_line_open_per_line").c_str(),
         cell(run.logCost, "log_line_open_once").c_str(), cell(run.quorvel, "stop_ms").c_str());
}

void printGrowth(const std::vector<std::pair<std::int64_t, Run>>& runs) {
  if (runs.size() < 2) return;
  const auto& [smallN, small] = runs.front();
  const auto& [largeN, large] = runs.back();
  printf(
      "\nGrowth of the cost per operation (per row for checkpoint and restart), N = %lld vs N = "
      "%lld (target <=1.5)\n\n",
      static_cast<long long>(largeN), static_cast<long long>(smallN));
  printf("| workload | quorvel | SQLite WAL (text) |\n|---|---:|---:|\n");
  for (const Workload& w : kWorkloads) {
    const std::string key = w.key;
    if (key == "filter" || key == "join" || key.rfind("rss", 0) == 0) {
      // A filter returns N/100 rows: its per-row cost is what must stay flat.
      if (key == "filter") {
        const double scale = static_cast<double>(largeN) / static_cast<double>(smallN);
        const auto growth = [&](const Results& a, const Results& b) -> std::string {
          if (!a.contains(key) || !b.contains(key)) return "-";
          char text[32];
          snprintf(text, sizeof text, "%.2f", b.at(key) / a.at(key) / scale);
          return text;
        };
        printf("| filter (per row returned) | %s | %s |\n",
               growth(small.quorvel, large.quorvel).c_str(), growth(small.wal, large.wal).c_str());
      }
      if (key == "join") {
        printf("| %s | %s | %s |\n", w.label, ratio(large.quorvel, small.quorvel, key).c_str(),
               ratio(large.wal, small.wal, key).c_str());
      }
      continue;
    }
    printf("| %s | %s | %s |\n", w.label, ratio(large.quorvel, small.quorvel, key).c_str(),
           ratio(large.wal, small.wal, key).c_str());
  }
}

int childMain(const std::string& role, std::int64_t n) {
  if (role == "quorvel") {
    quorvelWorkloads(n);
  } else if (role == "quorvel-restart") {
    quorvelRestart(n);
  } else if (role == "quorvel-replay-prepare") {
    quorvelReplayPrepare();
  } else if (role == "quorvel-replay") {
    quorvelReplay();
  } else if (role == "sqlite-wal") {
    sqliteWorkloads(n, false, false);
  } else if (role == "sqlite-memory") {
    sqliteWorkloads(n, true, false);
  } else if (role == "sqlite-prepared") {
    sqliteWorkloads(n, false, true);
  } else if (role == "sqlite-wal-normal") {
    sqliteWorkloads(n, false, false, "NORMAL");
  } else if (role == "log-cost") {
    logLineCost();
  } else {
    fail("unknown role " + role);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--child") == 0) return childMain(argv[2], std::atoll(argv[3]));
  std::vector<std::int64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::int64_t n = std::atoll(argv[i]);
    if (n < 10000 || n % 1000 != 0) {
      fprintf(stderr, "usage: %s [N ...]  (each N a multiple of 1000, at least 10000)\n", argv[0]);
      return 1;
    }
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes = {100000, 1000000};

  char pattern[] = "/tmp/quorvel-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) fail("cannot make a temporary directory");
  const fs::path root = pattern;
  std::vector<std::pair<std::int64_t, Run>> runs;
  for (const std::int64_t n : sizes) {
    runs.emplace_back(n, runAll(n, root));
    printRun(n, runs.back().second);
  }
  printGrowth(runs);
  fs::remove_all(root);
  return 0;
}
