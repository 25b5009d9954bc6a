// Runs random command sequences on a database that is never restarted and,
// side by side, on one that is restarted at random points: from the log
// alone (a copy of its directory taken without a checkpoint), after a
// checkpoint as StopEngine takes one, and again right after a restart. Every
// command must get the same answer from both, and after every restart both
// must hold the same rows: a row that a restart loses or brings back, a
// constraint that lapses, or a refusal that names another parent shows as a
// difference.
//
// QUORVEL_RESTART_TRIALS sets the number of trials (default 30),
// QUORVEL_RESTART_SEED the first seed (default 1).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/database.h"
#include "language/parser.h"
#include "model/result_set.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

struct ColumnDecl {
  std::string name;
  std::string type;
  int limit = 0;  // state limit
  int width = 0;  // a "string" column's width; 0 for the default
};

using Schema = std::vector<ColumnDecl>;

// Per table name, the layouts a CREATE TABLE may give it: parents with key
// candidates that hold chains and ones that do not, a child with two
// foreign-key candidates, a table that can link to itself, and narrow
// strings.
const std::map<std::string, std::vector<Schema>>& schemas() {
  static const std::map<std::string, std::vector<Schema>> all = {
      {"p",
       {{{"id", "ApexInt"}, {"k", "int", 2}, {"v", "int"}},
        {{"k", "int"}, {"v", "int", 2}, {"name", "string", 0, 3}}}},
      {"q",
       {{{"k", "int"}, {"s", "string", 0, 2}, {"f", "float"}},
        {{"k", "string", 0, 3}, {"b", "bool"}, {"n", "int", 3}}}},
      {"c",
       {{{"cid", "ApexInt"}, {"x", "int", 3}, {"y", "int", 3}, {"s", "string", 2, 8}},
        {{"x", "int"}, {"y", "int", 2}, {"s", "string", 0, 3}}}},
      {"t",
       {{{"k", "int"}, {"up", "int", 2}, {"s", "string", 0, 1}},
        {{"id", "ApexInt"}, {"up", "int"}, {"k", "int", 1}}}},
      {"n", {{{"s", "string", 0, 1}, {"m", "string", 0, 2}, {"w", "string", 0, 3}, {"i", "int"}}}},
  };
  return all;
}

std::string declaration(const std::string& name, const Schema& schema) {
  std::string text = "CREATE TABLE " + name;
  for (const ColumnDecl& column : schema) {
    text += " " + column.name + " " + column.type;
    if (column.width > 0) text += " ( " + std::to_string(column.width) + " )";
    if (column.limit > 0) text += " " + std::to_string(column.limit);
  }
  return text;
}

bool linkable(const std::string& child, const std::string& parent) {
  if (child == parent) return child != "float" && child != "bool";
  return (child == "int" && parent == "ApexInt") || (child == "ApexInt" && parent == "int");
}

// Random commands over the tables of schemas(), knowing which of them the
// live database holds.
class Generator {
 public:
  explicit Generator(unsigned seed) : random(seed) {}

  // The next command; "" to move the clock instead.
  std::string next() {
    const int roll = below(100);
    if (roll < 6 || tables.empty()) return create();
    if (roll < 8) return "DROP TABLE " + existingTable();
    if (roll < 36) return insert();
    if (roll < 48) return update();
    if (roll < 57) return remove();
    if (roll < 65) return select();
    if (roll < 68) return join();
    if (roll < 78) return link();
    // A LINK is refused inside a transaction: most of them end soon.
    if (roll < 88) return transactionCommand();
    if (roll < 93) return "CHECKPOINT";
    return "";
  }

  // What a command that succeeded on the live database declared, dropped,
  // linked or opened.
  void succeeded(const std::string& command) {
    const std::vector<std::string> words = wordsOf(command);
    if (words[0] == "DROP") {
      tables.erase(words[2]);
      keys.erase(words[2]);
    } else if (command == pendingCreate.first) {
      tables[pendingName] = pendingCreate.second;
      keys.erase(pendingName);
      for (const ColumnDecl& column : pendingCreate.second) {
        if (column.type == "ApexInt") keys[pendingName] = column.name;
      }
    } else if (words[0] == "LINK") {
      keys[words[5]] = words[7];
    } else if (words[0] == "BEGIN") {
      inTransaction = true;
    } else if (words[0] == "COMMIT" || words[0] == "ROLLBACK") {
      inTransaction = false;
    }
  }

  // The live database's transaction was closed by other means.
  void closedTransaction() { inTransaction = false; }

  int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }
  bool chance(int percent) { return below(100) < percent; }

 private:
  template <typename T>
  const T& pick(const std::vector<T>& pool) {
    return pool[static_cast<std::size_t>(below(static_cast<int>(pool.size())))];
  }

  static std::vector<std::string> wordsOf(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
  }

  std::string transactionCommand() {
    const int roll = below(100);
    if (inTransaction) return roll < 5 ? "BEGIN" : roll < 55 ? "COMMIT" : "ROLLBACK";
    return roll < 70 ? "BEGIN" : roll < 85 ? "COMMIT" : "ROLLBACK";
  }

  std::string create() {
    std::vector<std::string> names;
    for (const auto& [name, layouts] : schemas()) names.push_back(name);
    pendingName = pick(names);
    const Schema& schema = pick(schemas().at(pendingName));
    pendingCreate = {declaration(pendingName, schema), schema};
    return pendingCreate.first;
  }

  std::string existingTable() {
    if (tables.empty() || chance(3)) return "nosuch";
    auto entry = tables.begin();
    std::advance(entry, below(static_cast<int>(tables.size())));
    return entry->first;
  }

  const Schema& schemaOf(const std::string& table) {
    static const Schema none;
    const auto found = tables.find(table);
    return found == tables.end() ? none : found->second;
  }

  std::string plainValue(const ColumnDecl& column) {
    if (column.type == "int" || column.type == "ApexInt") {
      return pick(std::vector<std::string>{"0", "1", "2", "3", "5", "-1"});
    }
    if (column.type == "float") return pick(std::vector<std::string>{"1.5", "2", "-0.5", "0"});
    if (column.type == "bool") return pick(std::vector<std::string>{"true", "false"});
    // '#', '#/' and '#/#' are what a column of width 1 to 3 keeps of the
    // missing-value marker.
    return pick(std::vector<std::string>{"'a'", "'b'", "'ab'", "'abc'", "'#/#?'", "''", "'#'",
                                         "'#/'", "'#/#'"});
  }

  // A plain value, or a chain of up to the column's limit of states.
  std::string value(const ColumnDecl& column) {
    std::string text = plainValue(column);
    if (column.limit == 0 || !chance(35)) return text;
    const int states = 1 + below(column.limit);
    for (int i = 1; i < states; ++i) {
      text += " --> " + plainValue(column) + " @ " + std::to_string(1 + below(20)) + " s";
    }
    if (states > 1 && chance(30)) text += " c";
    return text;
  }

  std::string assignments(const Schema& schema, bool atLeastOne) {
    std::string text;
    for (const ColumnDecl& column : schema) {
      if (column.type == "ApexInt" && !chance(5)) continue;
      if (!chance(60)) continue;
      text += " " + column.name + " = " + value(column);
    }
    if (text.empty() && atLeastOne && !schema.empty()) {
      const ColumnDecl& column = pick(schema);
      text = " " + column.name + " = " + value(column);
    }
    return text;
  }

  std::string comparedValue(const ColumnDecl& column) {
    const bool number = column.type == "int" || column.type == "ApexInt" || column.type == "float";
    if (number && chance(20)) {
      std::vector<std::string> far{"99999999999", "-99999999999"};
      if (column.type == "float") far.emplace_back("1000000000000000000000000000000000000000");
      return pick(far);
    }
    return plainValue(column);
  }

  std::string conditions(const Schema& schema, const std::string& prefix = "") {
    if (schema.empty()) return " WHERE zz = 1";
    std::string text = " WHERE";
    const int count = 1 + (chance(25) ? 1 : 0);
    for (int i = 0; i < count; ++i) {
      if (i > 0) text += chance(50) ? " &&" : " ||";
      const ColumnDecl& column = pick(schema);
      text += " " + prefix + column.name + " " +
              pick(std::vector<std::string>{"=", "=", "!=", "<", ">", "<=", ">="}) + " " +
              comparedValue(column);
    }
    return text;
  }

  std::string insert() {
    const std::string table = existingTable();
    return "INSERT INTO " + table + assignments(schemaOf(table), false);
  }

  std::string update() {
    const std::string table = existingTable();
    const Schema& schema = schemaOf(table);
    return "UPDATE " + table + " SET" + assignments(schema, true) +
           (chance(15) ? "" : conditions(schema));
  }

  std::string remove() {
    const std::string table = existingTable();
    return "DELETE FROM " + table + (chance(10) ? "" : conditions(schemaOf(table)));
  }

  std::string select() {
    const std::string table = existingTable();
    return "SELECT * FROM " + table + conditions(schemaOf(table));
  }

  std::string join() {
    const std::string first = existingTable();
    const std::string second = existingTable();
    const Schema& left = schemaOf(first);
    const Schema& right = schemaOf(second);
    if (left.empty() || right.empty()) return "SELECT * FROM " + first + " JOIN " + second;
    std::string text = "SELECT * FROM " + first + " JOIN " + second + " ON " + first + "." +
                       pick(left).name + " = " + second + "." + pick(right).name;
    if (chance(50)) text += conditions(left, first + ".");
    return text;
  }

  // Mostly a pair of columns whose types can link, from one table to
  // another or to itself.
  std::string link() {
    const std::string child = existingTable();
    const std::string parent = existingTable();
    const Schema& from = schemaOf(child);
    const Schema& to = schemaOf(parent);
    if (from.empty() || to.empty()) return "LINK " + child + " . x --> " + parent + " . k";
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const ColumnDecl& a : from) {
      for (const ColumnDecl& b : to) {
        if (linkable(a.type, b.type) && !(child == parent && a.name == b.name)) {
          pairs.emplace_back(a.name, b.name);
        }
      }
    }
    // Often to the parent's key, so that second links of one child reach
    // the parent.
    const auto key = keys.find(parent);
    std::vector<std::pair<std::string, std::string>> toKey;
    for (const auto& candidate : pairs) {
      if (key != keys.end() && candidate.second == key->second) toKey.push_back(candidate);
    }
    std::pair<std::string, std::string> chosen{pick(from).name, pick(to).name};
    if (!toKey.empty() && chance(60)) {
      chosen = pick(toKey);
    } else if (!pairs.empty() && chance(85)) {
      chosen = pick(pairs);
    }
    return "LINK " + child + " . " + chosen.first + " --> " + parent + " . " + chosen.second;
  }

  std::mt19937 random;
  std::map<std::string, Schema> tables;     // what the live database holds
  std::map<std::string, std::string> keys;  // a table's key column, once it has one
  bool inTransaction = false;
  std::string pendingName;
  std::pair<std::string, Schema> pendingCreate;
};

std::string render(const ResultValue& value) {
  if (const auto* number = std::get_if<std::int32_t>(&value)) return std::to_string(*number);
  if (const auto* real = std::get_if<float>(&value)) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(*real));
    return text;
  }
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "true" : "false";
  return "'" + std::get<std::string>(value) + "'";
}

// A result as text, its rows sorted: rows come in no defined order.
std::string render(const ResultSet& result) {
  std::string text = std::string(result.success ? "ok" : "failed") + " \"" + result.message +
                     "\" affected " + std::to_string(result.rows_affected) + " [";
  for (const std::string& column : result.columns) text += " " + column;
  text += " ]";
  std::vector<std::string> rows;
  for (const std::vector<ResultValue>& row : result.rows) {
    std::string line;
    for (const ResultValue& value : row) line += " " + render(value);
    rows.push_back(line);
  }
  std::sort(rows.begin(), rows.end());
  for (const std::string& row : rows) text += "\n   " + row;
  return text;
}

// One database with its parser, in a directory of its own.
struct Side {
  fs::path dir;
  std::unique_ptr<Database> db;
  std::unique_ptr<Parser> parser;

  std::string run(const std::string& command) {
    const InDirectory in(dir);
    return render(parser->handleCommand(command));
  }

  // Every table's name and SELECT * rows.
  std::string contents() {
    std::string text;
    std::vector<std::string> names;
    for (const auto& [name, table] : db->tables) names.push_back(name);
    for (const std::string& name : names) text += name + ": " + run("SELECT * FROM " + name) + "\n";
    return text;
  }
};

// Starts a database from the files in `dir`, as StartEngine does; the
// start-up's lines go to `printed`.
Side startIn(const fs::path& dir, std::string& printed) {
  Side side{dir, std::make_unique<Database>(), nullptr};
  const InDirectory in(dir);
  ::testing::internal::CaptureStdout();
  try {
    side.db->loadFromDisk();
  } catch (...) {
    printed = ::testing::internal::GetCapturedStdout();
    throw;
  }
  printed = ::testing::internal::GetCapturedStdout();
  side.parser = std::make_unique<Parser>(side.db.get());
  return side;
}

enum class Restart { FromLogAlone, AfterCheckpoint };

// Counts of what the trials met, shown once at the end.
struct Reach {
  std::map<std::string, int> refusals;  // failure messages of the live database
  int fromLog = 0;
  int afterCheckpoint = 0;
  int twice = 0;
};

class StartupDifferentialTest : public TempDirTest {
 protected:
  // One trial; "" when both sides agreed throughout, else what differed,
  // with the commands that led there.
  std::string runTrial(unsigned seed, Reach& reach) {
    const fs::path base = dir / ("seed-" + std::to_string(seed));
    fs::create_directories(base / "live");
    fs::create_directories(base / "restarted-0");
    std::string printed;
    Side live = startIn(base / "live", printed);
    Side restarted = startIn(base / "restarted-0", printed);
    int generation = 0;
    Generator generator(seed);
    std::vector<std::string> history;
    const auto note = [&history](const std::string& line) { history.push_back(line); };
    const auto failure = [&](const std::string& what) {
      std::string text = "seed " + std::to_string(seed) + ": " + what + "\ncommands:\n";
      for (const std::string& line : history) text += "  " + line + "\n";
      return text;
    };

    std::int64_t now = 1'000'000;
    clock.set(now);
    const int commands = 60 + generator.below(80);
    for (int step = 0; step < commands; ++step) {
      const std::string command = generator.next();
      if (command.empty()) {
        now += 1 + generator.below(12);
        clock.set(now);
        note("(clock " + std::to_string(now) + ")");
        continue;
      }
      const std::string expected = live.run(command);
      const std::string found = restarted.run(command);
      note(command + "  =>  " + expected.substr(0, expected.find('\n')));
      if (found != expected) {
        return failure("answers differ for " + command + "\nlive:      " + expected +
                       "\nrestarted: " + found);
      }
      if (expected.rfind("ok", 0) == 0) {
        generator.succeeded(command);
      } else {
        ++reach.refusals[expected.substr(0, expected.find('\n'))];
      }
      if (!generator.chance(7)) continue;

      // A restart: a kill, or StopEngine and a start; sometimes at once again.
      if (live.db->inTransaction) live.run("COMMIT");  // the replay keeps the changes
      generator.closedTransaction();
      const int restarts = generator.chance(25) ? 2 : 1;
      reach.twice += restarts - 1;
      for (int round = 0; round < restarts; ++round) {
        const Restart kind =
            generator.chance(50) ? Restart::FromLogAlone : Restart::AfterCheckpoint;
        if (kind == Restart::AfterCheckpoint) {
          ++reach.afterCheckpoint;
          const InDirectory in(restarted.dir);
          restarted.db->checkpoint();
        } else {
          ++reach.fromLog;
        }
        const fs::path next = base / ("restarted-" + std::to_string(++generation));
        fs::copy(restarted.dir, next, fs::copy_options::recursive);
        const fs::path previous = restarted.dir;
        restarted = Side{};
        fs::remove_all(previous);
        try {
          restarted = startIn(next, printed);
        } catch (const std::exception& error) {
          return failure(std::string("the start failed: ") + error.what() + "\n" + printed);
        }
        note(std::string(kind == Restart::FromLogAlone ? "(restart from the log alone)"
                                                       : "(checkpoint and restart)") +
             (printed.empty() ? "" : " printing: " + printed));
        const std::string expectedContents = live.contents();
        const std::string foundContents = restarted.contents();
        if (foundContents != expectedContents) {
          return failure("the tables differ after a restart\nlive:\n" + expectedContents +
                         "restarted:\n" + foundContents);
        }
      }
    }
    fs::remove_all(base);
    return "";
  }

  static unsigned fromEnvironment(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text == nullptr ? fallback : static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  }

  ScopedClock clock{1'000'000};
};

TEST_F(StartupDifferentialTest, ARestartGivesBackWhatTheLiveDatabaseHolds) {
  const unsigned trials = fromEnvironment("QUORVEL_RESTART_TRIALS", 30);
  const unsigned firstSeed = fromEnvironment("QUORVEL_RESTART_SEED", 1);
  Reach reach;
  std::vector<std::string> failures;
  for (unsigned seed = firstSeed; seed < firstSeed + trials; ++seed) {
    const std::string failure = runTrial(seed, reach);
    if (!failure.empty()) failures.push_back(failure);
  }
  std::cout << trials << " trials; restarts from the log " << reach.fromLog
            << ", after a checkpoint " << reach.afterCheckpoint << ", of which right after another "
            << reach.twice << "; live refusals:\n";
  for (const auto& [message, count] : reach.refusals) {
    std::cout << "  " << count << "  " << message << "\n";
  }
  for (std::size_t shown = 0; shown < failures.size() && shown < 3; ++shown) {
    ADD_FAILURE() << failures[shown];
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << trials << " trials failed";
}

}  // namespace
