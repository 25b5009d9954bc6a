// Kills a host with SIGKILL in the middle of a random mix of changes, starts
// the engine again in the same directory and compares every table, and the
// webhook tasks in the webhook file, with a model built from the results the
// host had received. Each trial runs one to three killed rounds, then a start
// that only looks. The one command in flight at a kill may have happened or
// not, with every webhook task it queues or with none; everything
// acknowledged before it must be there, each task once, and nothing rolled
// back, dropped or refused may come back. The model also says what each
// command it knows must be answered, live and after every start: which
// refusal, how many rows, which rows a SELECT gives, so that a refusal that
// names another parent after a restart, or a WHERE that reads a number out
// of its column's range wrongly, shows as well. The host's StopEngine and
// start in mid-round is checked the same way.
//
// QUORVEL_CRASH_TRIALS sets the number of trials (default 200),
// QUORVEL_CRASH_SEED the first seed (default 1).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <compare>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "storage/log_line.h"
#include "storage/webhook_record.h"
#include "support/number_reference.h"
#include "support/process.h"

extern char** environ;

namespace {

std::vector<std::string> wordsOf(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// What the tables hold, as the host's dump shows it: per existing table the
// lines of its live rows, sorted (SELECT gives rows in no defined order).
using Contents = std::map<std::string, std::vector<std::string>>;

// What `found` holds that `allowed` does not ("+") and the reverse ("-").
std::string difference(const Contents& found, const Contents& allowed) {
  std::string text;
  const auto side = [&text](const Contents& from, const Contents& other, const char* sign) {
    for (const auto& [table, rows] : from) {
      const auto there = other.find(table);
      if (there == other.end()) {
        text += std::string("  ") + sign + " table " + table + "\n";
        continue;
      }
      std::vector<std::string> extra;
      std::set_difference(rows.begin(), rows.end(), there->second.begin(), there->second.end(),
                          std::back_inserter(extra));
      for (const std::string& row : extra)
        text += std::string("  ") + sign + " " + table + " " + row + "\n";
    }
  };
  side(found, allowed, "+");
  side(allowed, found, "-");
  return text;
}

// One webhook task as its record shows it, its due time counted from the
// start time of its chain.
struct Task {
  std::string table;
  std::int32_t row = 0;
  std::string column;
  std::string value;
  bool isCycle = false;
  std::int64_t period = 0;
  std::int64_t delay = 0;
  auto operator<=>(const Task&) const = default;
};

std::string describeTask(const Task& task) {
  return task.table + "[" + std::to_string(task.row) + "]." + task.column + " -> " + task.value +
         " after " + std::to_string(task.delay) + (task.isCycle ? " repeating" : "") + " every " +
         std::to_string(task.period);
}

// The tasks of one command, sorted: the order among them is the engine's.
using TaskGroup = std::vector<Task>;

// Whether the webhook file holds exactly the tasks of `groups`: record after
// record in the order of the commands, each command's tasks once, all of one
// command with the same start time, and no command's earlier than the one
// before. Says why not in `why`.
bool holdsTasks(const std::optional<std::string>& file, const std::vector<TaskGroup>& groups,
                std::string& why) {
  const std::string bytes = file.value_or("");
  std::size_t expected = 0;
  for (const TaskGroup& group : groups) expected += group.size();
  if (bytes.size() % kWebhookRecordSize != 0 || bytes.size() / kWebhookRecordSize != expected) {
    why = std::to_string(bytes.size()) + " bytes of records for " + std::to_string(expected) +
          " tasks";
    return false;
  }
  std::size_t at = 0;
  std::int64_t lastStart = std::numeric_limits<std::int64_t>::min();
  for (std::size_t g = 0; g < groups.size(); ++g) {
    TaskGroup found;
    std::set<std::int64_t> starts;
    for (std::size_t k = 0; k < groups[g].size(); ++k, at += kWebhookRecordSize) {
      const WebhookRecord record = decodeWebhookRecord(std::string_view(bytes).substr(at));
      const WebhookTask& task = record.task;
      found.push_back({task.tableName, task.rowIndex, task.column, task.value, task.isCycle,
                       task.period, task.fireTime - task.insTime});
      starts.insert(task.insTime);
      if (record.fired) why = "a record marked fired";
    }
    std::sort(found.begin(), found.end());
    if (found != groups[g]) {
      why = "command " + std::to_string(g) + "'s tasks:";
      for (const Task& task : found) why += "\n    found " + describeTask(task);
      for (const Task& task : groups[g]) why += "\n    wanted " + describeTask(task);
      return false;
    }
    if (starts.size() > 1 || (!starts.empty() && *starts.begin() < lastStart)) {
      why = "command " + std::to_string(g) + "'s tasks start at other times";
      return false;
    }
    if (!starts.empty()) lastStart = *starts.begin();
  }
  return why.empty();
}

// What the host was answered: "< 1 <rows>" then a SELECT's "R <row>"
// lines, or "< 0 <message>".
struct Answer {
  bool ok = false;
  std::string message;        // of a refusal
  std::int64_t affected = 0;  // of a success
  // A SELECT's rows, sorted; none when the kill cut the record short.
  std::optional<std::vector<std::string>> rows;
};

// What a command must be answered, as far as the model knows.
struct Expectation {
  enum class Outcome { kUnknown, kSuccess, kRefusal };
  Outcome outcome = Outcome::kUnknown;
  std::string message;                           // of a refusal
  std::optional<std::int64_t> affected;          // of a success
  std::optional<std::vector<std::string>> rows;  // of a SELECT, sorted
};

Expectation refused(std::string message) {
  return {Expectation::Outcome::kRefusal, std::move(message), std::nullopt, std::nullopt};
}

Expectation succeeds(std::optional<std::int64_t> affected = std::nullopt) {
  return {Expectation::Outcome::kSuccess, "", affected, std::nullopt};
}

std::string describe(const Answer& answer) {
  return answer.ok ? "success, " + std::to_string(answer.affected) + " rows"
                   : "\"" + answer.message + "\"";
}

// Why `answer` is not what `expected` says; "" when it is.
std::string mismatch(const Expectation& expected, const Answer& answer) {
  using Outcome = Expectation::Outcome;
  if (expected.outcome == Outcome::kUnknown) return "";
  if (expected.outcome == Outcome::kRefusal) {
    if (!answer.ok && answer.message == expected.message) return "";
    return "answered " + describe(answer) + " where the model expects \"" + expected.message + "\"";
  }
  if (!answer.ok) return "answered " + describe(answer) + " where the model expects success";
  if (expected.affected && *expected.affected != answer.affected) {
    return "answered " + describe(answer) + " where the model expects " +
           std::to_string(*expected.affected) + " rows";
  }
  if (expected.rows && answer.rows && *expected.rows != *answer.rows) {
    std::string text = "gave other rows than the model:";
    for (const std::string& row : *answer.rows) text += "\n    found  " + row;
    for (const std::string& row : *expected.rows) text += "\n    wanted " + row;
    return text;
  }
  return "";
}

const std::string kMissing = "#/#?";  // the text of a cell given no value

// The tables as the acknowledged commands made them, the links between them
// and the webhook tasks they queued, knowing only the command forms the
// crash host writes; and, read straight from the rules of each command,
// what a command will be answered.
class Model {
 public:
  // What `command` must be answered now.
  Expectation expect(const std::string& command) const {
    const std::vector<std::string> words = wordsOf(command);
    const std::string& verb = words[0];
    if (verb == "BEGIN") {
      return inTransaction ? refused("Error: Transaction is already active!") : succeeds();
    }
    if (verb == "COMMIT") {
      return inTransaction ? succeeds() : refused("Error: No active transaction to commit!");
    }
    if (verb == "ROLLBACK") {
      return inTransaction ? succeeds() : refused("Error: No active transaction to rollback!");
    }
    if (verb == "INSERT") return expectInsert(words);
    if (verb == "UPDATE") return expectUpdate(words);
    if (verb == "DELETE") return expectDelete(words);
    if (verb == "SELECT") return expectSelect(words);
    if (verb == "LINK") return expectLink(words);
    if (verb == "DROP") return expectDrop(words[2]);
    if (verb == "StopEngine") return succeeds(0);
    return {};  // CREATE TABLE, CHECKPOINT
  }

  // Applies a command that succeeded (or, for the one in flight, would
  // have): what it changes in the tables, the links and the transaction.
  void apply(const std::string& command) {
    const std::vector<std::string> words = wordsOf(command);
    const std::string& verb = words[0];
    if (verb == "BEGIN") {
      atBegin = tables;
      inTransaction = true;
    } else if (verb == "COMMIT") {
      inTransaction = false;
    } else if (verb == "ROLLBACK") {
      rollBack();
    } else if (verb == "CREATE") {
      if (!tables.contains(words[2])) tables[words[2]] = declared(words);
    } else if (verb == "DROP") {
      drop(words[2]);
    } else if (verb == "INSERT") {
      insert(words);
    } else if (verb == "UPDATE") {
      update(words);
    } else if (verb == "DELETE") {
      Table& table = tables.at(words[2]);
      for (const std::size_t position : selection(table, conditionsOf(words))) {
        table.rows[position].deleted = true;
      }
    } else if (verb == "LINK") {
      links[words[1]][words[5]] = {words[3], words[7]};
    } else if (verb == "StopEngine") {
      kill();
    }
  }

  // Whether applying `command` can change anything the model holds.
  static bool changesState(const std::string& command) {
    const std::string verb = wordsOf(command)[0];
    return verb != "SELECT" && verb != "CHECKPOINT" && verb != "StopEngine";
  }

  // A kill closes the open transaction with its changes: the log holds
  // every change the moment it succeeded, and the replay keeps them.
  void kill() { inTransaction = false; }

  // The tasks of every command that queued any, in command order. None is
  // ever taken back: not by a rollback, not by a drop.
  const std::vector<TaskGroup>& tasks() const { return taskGroups; }

  Contents contents() const {
    Contents contents;
    for (const auto& [name, table] : tables) {
      std::vector<std::string>& rows = contents[name];
      for (const Row& row : table.rows) {
        if (!row.deleted) rows.push_back(render(table, row));
      }
      std::sort(rows.begin(), rows.end());
    }
    return contents;
  }

 private:
  struct Column {
    std::string name;
    std::string type;
    int width = 0;  // a "string" column's declared width; 0 for the default
    int limit = 0;  // state limit
  };
  struct Row {
    std::map<std::string, std::string> values;  // given ones, a chain by its first state
    bool deleted = false;
  };
  struct Table {
    std::vector<Column> columns;
    std::vector<Row> rows;  // deleted ones too: they keep their place

    const Column* find(const std::string& name) const {
      const auto found = std::find_if(columns.begin(), columns.end(),
                                      [&](const Column& column) { return column.name == name; });
      return found == columns.end() ? nullptr : &*found;
    }
  };
  // One `column = value` of a command, a chain by its first state.
  struct Assignment {
    std::string column;
    std::string value;
    bool chain = false;
  };
  // One `column op value` of a WHERE; a WHERE is the OR of blocks of ANDs.
  struct Comparison {
    std::string column;
    std::string op;
    std::string bound;
  };
  using Blocks = std::vector<std::vector<Comparison>>;
  // A child's foreign-key column and the parent's key column.
  struct Link {
    std::string column;
    std::string parentColumn;
  };

  std::map<std::string, Table> tables;
  std::map<std::string, Table> atBegin;
  bool inTransaction = false;
  std::vector<TaskGroup> taskGroups;
  // By child, then by parent in byte order: the order in which a child's
  // row is checked against its parents.
  std::map<std::string, std::map<std::string, Link>> links;

  static std::string unquoted(const std::string& word) {
    return word.size() >= 2 && word.front() == '\'' ? word.substr(1, word.size() - 2) : word;
  }

  static std::string noSuchTable(const std::string& name) {
    return "Error: Syntax Error: Table '" + name + "' does not exist.";
  }

  // The state chain written `column = <first> --> <second> @ <n> h`, then
  // "c" when it repeats.
  struct Chain {
    std::string column;
    std::string first;
    std::string second;
    std::int64_t length = 0;  // of each state, in seconds
    bool repeats = false;
  };
  static std::optional<Chain> chainOf(const std::vector<std::string>& words) {
    for (std::size_t at = 0; at + 7 < words.size(); ++at) {
      if (words[at + 1] == "=" && words[at + 3] == "-->") {
        const bool repeats = at + 8 < words.size() && words[at + 8] == "c";
        return Chain{words[at], unquoted(words[at + 2]), unquoted(words[at + 4]),
                     std::stoll(words[at + 6]) * 3600, repeats};
      }
    }
    return std::nullopt;
  }

  // The tasks that the command's chain queues for these rows: each state
  // lasts the chain's length, and a repeating chain announces its return to
  // the first state too.
  void queueChainTasks(const std::string& name, const std::vector<std::string>& words,
                       const std::vector<std::int32_t>& rows) {
    const std::optional<Chain> chain = chainOf(words);
    if (!chain || rows.empty() || tables.at(name).find(chain->column) == nullptr) return;
    const std::int64_t length = chain->length;
    TaskGroup group;
    for (const std::int32_t row : rows) {
      group.push_back(
          {name, row, chain->column, chain->second, chain->repeats, 2 * length, length});
      if (chain->repeats) {
        group.push_back(
            {name, row, chain->column, chain->first, chain->repeats, 2 * length, 2 * length});
      }
    }
    std::sort(group.begin(), group.end());
    taskGroups.push_back(std::move(group));
  }

  static Table declared(const std::vector<std::string>& words) {
    Table table;
    for (std::size_t at = 3; at + 1 < words.size();) {
      Column column{words[at], words[at + 1]};
      at += 2;
      if (at + 2 < words.size() && words[at] == "(") {
        column.width = std::stoi(words[at + 1]);
        at += 3;
      }
      if (at < words.size() && std::isdigit(static_cast<unsigned char>(words[at][0]))) {
        column.limit = std::stoi(words[at++]);
      }
      table.columns.push_back(column);
    }
    return table;
  }

  // The `column = value` pairs from `from` on, up to WHERE, in order; a
  // chain's later states are passed over (its first state shows for a
  // hundred hours at least).
  static std::vector<Assignment> assignments(const std::vector<std::string>& words,
                                             std::size_t from) {
    std::vector<Assignment> values;
    for (std::size_t at = from; at + 2 < words.size() && words[at] != "WHERE"; ++at) {
      if (words[at + 1] != "=") continue;
      const bool chain = at + 3 < words.size() && words[at + 3] == "-->";
      values.push_back({words[at], unquoted(words[at + 2]), chain});
      at += 2;
    }
    return values;
  }

  // The WHERE of the command: AND binds tighter than OR. No WHERE gives one
  // empty block, which every row satisfies.
  static Blocks conditionsOf(const std::vector<std::string>& words) {
    Blocks blocks(1);
    auto at = std::find(words.begin(), words.end(), std::string("WHERE"));
    if (at == words.end()) return blocks;
    for (++at; words.end() - at >= 3;) {
      blocks.back().push_back({at[0], at[1], unquoted(at[2])});
      at += 3;
      if (at == words.end()) break;
      if (*at == "||") blocks.emplace_back();
      ++at;
    }
    return blocks;
  }

  // The cell's text: its value, or what a cell given none holds.
  static std::string textOf(const Column& column, const Row& row) {
    const auto value = row.values.find(column.name);
    if (value != row.values.end()) return value->second;
    return column.type == "int" ? "0" : kMissing;
  }

  // Whether the row's cell compares with the bound as the operator asks,
  // by value: an integer bound at whatever size it has (every number lies
  // below 99999999999), a float one as single precision reads it or, where
  // single precision cannot hold it, as the number itself. A bound without
  // a leading number equals no number and lies on neither side of one; a
  // float cell given no value has no number either.
  static bool holds(const Table& table, const Row& row, const Comparison& comparison) {
    const Column* column = table.find(comparison.column);
    if (column == nullptr) return false;
    const std::string text = textOf(*column, row);
    const std::string& bound = comparison.bound;
    std::partial_ordering order = std::partial_ordering::unordered;
    bool equal = false;
    if (column->type == "int" || column->type == "ApexInt") {
      const std::optional<WideInteger> cell = wideInteger(text);
      const std::optional<WideInteger> value = wideInteger(bound);
      if (cell && value) {
        order = *cell < *value   ? std::partial_ordering::less
                : *cell > *value ? std::partial_ordering::greater
                                 : std::partial_ordering::equivalent;
        equal = order == 0;
      }
    } else if (column->type == "float") {
      if (text != kMissing) {
        const long double cell = std::strtof(text.c_str(), nullptr);
        const std::optional<long double> value = wideFloat(bound);
        const std::optional<float> single = toFloat(bound);
        if (value) order = cell <=> *value;
        equal = single && cell == *single;
      }
    } else {
      order = text <=> bound;
      equal = text == bound;
    }
    const std::string& op = comparison.op;
    if (op == "=") return equal;
    if (op == "!=") return !equal;
    if (op == "<") return order < 0;
    if (op == ">") return order > 0;
    if (op == "<=") return order < 0 || equal;
    if (op == ">=") return order > 0 || equal;
    return false;
  }

  // The live rows the WHERE selects, block by block, each in row order.
  static std::vector<std::size_t> selection(const Table& table, const Blocks& blocks) {
    std::vector<std::size_t> positions;
    std::vector<bool> listed(table.rows.size(), false);
    for (const std::vector<Comparison>& block : blocks) {
      for (std::size_t position = 0; position < table.rows.size(); ++position) {
        const Row& row = table.rows[position];
        if (row.deleted || listed[position]) continue;
        if (!std::all_of(block.begin(), block.end(), [&](const Comparison& comparison) {
              return holds(table, row, comparison);
            })) {
          continue;
        }
        listed[position] = true;
        positions.push_back(position);
      }
    }
    return positions;
  }

  // A "string" value of a declared width is refused when it is longer, and
  // when it is what a cell of that width keeps of the missing-value marker.
  static std::optional<std::string> unstorable(const Column& column, const std::string& value) {
    if (column.type != "string" || column.width == 0) return std::nullopt;
    if (static_cast<int>(value.size()) > column.width) {
      return "Error: Value too long for column: " + column.name;
    }
    if (column.width < static_cast<int>(kMissing.size()) &&
        value == kMissing.substr(0, static_cast<std::size_t>(column.width))) {
      return "Error: Value reserved for a missing value in column: " + column.name;
    }
    return std::nullopt;
  }

  // The first refusal of a parent of `child` for this row, parents in byte
  // order: an empty parent table (no row at all, deleted ones counted), or
  // no live parent row with the row's key.
  std::optional<std::string> parentRefusal(const std::string& child, const Row& row) const {
    const auto parents = links.find(child);
    if (parents == links.end()) return std::nullopt;
    const Table& table = tables.at(child);
    for (const auto& [name, link] : parents->second) {
      const Table& parent = tables.at(name);
      if (parent.rows.empty()) return "Error: Primary table is empty";
      const std::string key = textOf(*table.find(link.column), row);
      if (!holdsKey(parent, link.parentColumn, key)) {
        return "Error: Primary table is missing required future key: " + key;
      }
    }
    return std::nullopt;
  }

  static bool holdsKey(const Table& table, const std::string& column, const std::string& key) {
    const Column& keyColumn = *table.find(column);
    return std::any_of(table.rows.begin(), table.rows.end(), [&](const Row& row) {
      return !row.deleted && textOf(keyColumn, row) == key;
    });
  }

  // Whether a live row of a linked child holds the key of this parent row.
  bool referenced(const std::string& parentName, const Row& parentRow) const {
    const Table& parent = tables.at(parentName);
    for (const auto& [childName, parents] : links) {
      const auto link = parents.find(parentName);
      if (link == parents.end() || childName == parentName) continue;
      const std::string key = textOf(*parent.find(link->second.parentColumn), parentRow);
      if (holdsKey(tables.at(childName), link->second.column, key)) return true;
    }
    return false;
  }

  // Whether every assigned column is one of the table's: no value fits a
  // column the table lacks.
  static bool assignsOwnColumns(const Table& table, const std::vector<Assignment>& given) {
    return std::all_of(given.begin(), given.end(), [&](const Assignment& assignment) {
      return table.find(assignment.column) != nullptr;
    });
  }

  // The row an INSERT of these values appends: an "ApexInt" counts on from
  // the last row, deleted or not.
  static Row newRow(const Table& table, const std::vector<Assignment>& given) {
    Row row;
    for (const Assignment& assignment : given) row.values[assignment.column] = assignment.value;
    for (const Column& column : table.columns) {
      if (column.type != "ApexInt") continue;
      row.values[column.name] =
          table.rows.empty()
              ? "1"
              : std::to_string(std::stoll(table.rows.back().values.at(column.name)) + 1);
    }
    return row;
  }

  Expectation expectInsert(const std::vector<std::string>& words) const {
    const auto found = tables.find(words[2]);
    if (found == tables.end()) return refused(noSuchTable(words[2]));
    const Table& table = found->second;
    const std::vector<Assignment> given = assignments(words, 3);
    if (!assignsOwnColumns(table, given)) return refused("Error: Unmatching type to column");
    const Row row = newRow(table, given);
    for (const Column& column : table.columns) {
      const auto value =
          std::find_if(given.begin(), given.end(), [&](const Assignment& assignment) {
            return assignment.column == column.name && !assignment.chain;
          });
      if (value == given.end()) continue;
      if (const auto refusal = unstorable(column, value->value)) return refused(*refusal);
    }
    if (const auto refusal = parentRefusal(words[2], row)) return refused(*refusal);
    return succeeds(1);
  }

  // Each assignment in turn: its value is checked, then set in every
  // selected row, which its parents must then still hold.
  Expectation expectUpdate(const std::vector<std::string>& words) const {
    const auto found = tables.find(words[1]);
    if (found == tables.end()) return refused(noSuchTable(words[1]));
    const Table& table = found->second;
    const std::vector<Assignment> given = assignments(words, 3);
    if (!assignsOwnColumns(table, given)) return refused("Error: Unmatching type to column");
    std::vector<Row> rows;
    for (const std::size_t position : selection(table, conditionsOf(words))) {
      rows.push_back(table.rows[position]);
    }
    for (const Assignment& assignment : given) {
      if (!assignment.chain) {
        if (const auto refusal = unstorable(*table.find(assignment.column), assignment.value)) {
          return refused(*refusal);
        }
      }
      for (Row& row : rows) {
        row.values[assignment.column] = assignment.value;
        if (const auto refusal = parentRefusal(words[1], row)) return refused(*refusal);
      }
    }
    return succeeds(static_cast<std::int64_t>(rows.size()));
  }

  Expectation expectDelete(const std::vector<std::string>& words) const {
    const auto found = tables.find(words[2]);
    if (found == tables.end()) return refused(noSuchTable(words[2]));
    const std::vector<std::size_t> positions = selection(found->second, conditionsOf(words));
    for (const std::size_t position : positions) {
      if (referenced(words[2], found->second.rows[position])) {
        return refused("Error: Foreign key points at rows that were meant for deletion");
      }
    }
    return succeeds(static_cast<std::int64_t>(positions.size()));
  }

  Expectation expectSelect(const std::vector<std::string>& words) const {
    const auto found = tables.find(words[3]);
    if (found == tables.end()) return refused(noSuchTable(words[3]));
    std::vector<std::string> rows;
    for (const std::size_t position : selection(found->second, conditionsOf(words))) {
      rows.push_back(render(found->second, found->second.rows[position]));
    }
    std::sort(rows.begin(), rows.end());
    Expectation expectation = succeeds(static_cast<std::int64_t>(rows.size()));
    expectation.rows = std::move(rows);
    return expectation;
  }

  // The parent's key column: its first "ApexInt", or the one its links use.
  std::string keyOf(const std::string& parentName) const {
    const Table& parent = tables.at(parentName);
    for (const Column& column : parent.columns) {
      if (column.type == "ApexInt") return column.name;
    }
    for (const auto& [child, parents] : links) {
      const auto link = parents.find(parentName);
      if (link != parents.end()) return link->second.parentColumn;
    }
    return "";
  }

  // `LINK <child> . <column> --> <parent> . <key>`
  Expectation expectLink(const std::vector<std::string>& words) const {
    const std::string& childName = words[1];
    const std::string& column = words[3];
    const std::string& parentName = words[5];
    const std::string& key = words[7];
    if (inTransaction) return refused("Error: Cannot link tables while a transaction is active");
    if (!tables.contains(childName) || !tables.contains(parentName)) {
      return refused("Error: None existant table");
    }
    const Table& child = tables.at(childName);
    const Table& parent = tables.at(parentName);
    const Column* from = child.find(column);
    const Column* to = parent.find(key);
    if (from == nullptr || to == nullptr) return refused("Error: Key does not exist");
    const bool sameKind = from->type == to->type ||
                          (from->type == "int" && to->type == "ApexInt") ||
                          (from->type == "ApexInt" && to->type == "int");
    if (!sameKind) return refused("Error: Type mismatch: Cannot link different data types");
    const std::string held = keyOf(parentName);
    if (!held.empty() && held != key) return refused("Error: Can't have two primary keys at once");
    if (to->limit > 0) return refused("Error: Primary key column cannot hold state chains: " + key);
    if (const auto linked = links.find(childName); linked != links.end()) {
      const auto before = linked->second.find(parentName);
      if (before != linked->second.end() && before->second.column != column) {
        return refused("Error: Table already linked to this parent through another column");
      }
    }
    for (const Row& row : child.rows) {
      if (row.deleted) continue;
      const std::string text = textOf(*from, row);
      if (!holdsKey(parent, key, text)) {
        return refused("Error: CRITICAL CORRUPTION: Missing active parent key: " + text);
      }
    }
    return succeeds();
  }

  Expectation expectDrop(const std::string& name) const {
    if (!tables.contains(name)) return refused(noSuchTable(name));
    if (inTransaction) return refused("Error: Cannot drop a table while a transaction is active");
    for (const auto& [child, parents] : links) {
      if (child != name && tables.contains(child) && parents.contains(name)) {
        return refused("Error: Cannot drop a table that other tables reference");
      }
    }
    return succeeds();
  }

  void drop(const std::string& name) {
    tables.erase(name);
    links.erase(name);
    for (auto& [child, parents] : links) parents.erase(name);
  }

  void insert(const std::vector<std::string>& words) {
    Table& table = tables.at(words[2]);
    table.rows.push_back(newRow(table, assignments(words, 3)));
    queueChainTasks(words[2], words, {static_cast<std::int32_t>(table.rows.size() - 1)});
  }

  void update(const std::vector<std::string>& words) {
    const std::vector<Assignment> given = assignments(words, 3);
    Table& table = tables.at(words[1]);
    std::vector<std::int32_t> positions;
    for (const std::size_t position : selection(table, conditionsOf(words))) {
      for (const Assignment& assignment : given) {
        table.rows[position].values[assignment.column] = assignment.value;
      }
      positions.push_back(static_cast<std::int32_t>(position));
    }
    queueChainTasks(words[1], words, positions);
  }

  // Rows come back as they were at BEGIN; a table created since keeps no row.
  void rollBack() {
    for (auto& [name, table] : tables) {
      const auto before = atBegin.find(name);
      if (before == atBegin.end()) {
        table.rows.clear();
      } else {
        table.rows = before->second.rows;
      }
    }
    inTransaction = false;
  }

  // The row as SELECT * renders it: a cell that holds the missing-value
  // marker (a "string" or "float" given no value, or a "string" given the
  // marker) shows as null.
  static std::string render(const Table& table, const Row& row) {
    std::string text = "{";
    for (const Column& column : table.columns) {
      if (text.size() > 1) text += ", ";
      text += "\"" + column.name + "\": ";
      const std::string value = textOf(column, row);
      if (value == kMissing) {
        text += "null";
      } else if (column.type == "string") {
        text += "\"" + value + "\"";
      } else {
        text += value;
      }
    }
    return text + "}";
  }
};

// What a dump holds: the tables, and the webhook file beside it (none: no file).
struct Snapshot {
  Contents tables;
  std::optional<std::string> webhooks;
};

// One command the host issued, with its answer (none for the one in flight)
// and, after a StopEngine, the dump of the start that followed.
struct Step {
  std::string command;
  std::optional<Answer> answer;
  std::optional<Snapshot> after;
};

// One run of the host, read back from its record file.
struct Round {
  std::optional<Snapshot> start;  // none when the start failed
  std::vector<Step> steps;
};

std::optional<std::string> fileBytes(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Round readRecord(const std::filesystem::path& path) {
  std::ifstream in(path);
  Round round;
  Contents dump;
  std::string current;
  int dumps = 0;
  for (std::string line; std::getline(in, line);) {
    if (in.eof()) break;  // a line the kill cut short was never finished
    const std::string rest = line.size() > 2 ? line.substr(2) : "";
    switch (line[0]) {
      case 'D':
        current = rest;
        dump[current];
        break;
      case 'W':
        dump[current].push_back(rest);
        break;
      case 'E': {
        for (auto& [table, rows] : dump) std::sort(rows.begin(), rows.end());
        const std::string suffix = dumps == 0 ? "" : "-" + std::to_string(dumps);
        Snapshot snapshot{std::exchange(dump, {}), fileBytes(path.string() + ".webhooks" + suffix)};
        if (dumps++ == 0) {
          round.start = std::move(snapshot);
        } else if (!round.steps.empty()) {
          round.steps.back().after = std::move(snapshot);
        }
        break;
      }
      case '>':
        round.steps.push_back({rest, std::nullopt, std::nullopt});
        break;
      case '<': {
        Answer answer;
        answer.ok = line.starts_with("< 1 ");
        if (answer.ok) {
          answer.affected = std::stoll(line.substr(4));
          if (round.steps.back().command.starts_with("SELECT")) answer.rows.emplace();
        } else {
          answer.message = line.size() > 4 ? line.substr(4) : "";
        }
        round.steps.back().answer = std::move(answer);
        break;
      }
      case 'R':
        round.steps.back().answer->rows->push_back(rest);
        break;
      default:
        break;
    }
  }
  for (Step& step : round.steps) {
    if (!step.answer || !step.answer->rows) continue;
    std::vector<std::string>& rows = *step.answer->rows;
    if (static_cast<std::int64_t>(rows.size()) != step.answer->affected) {
      step.answer->rows.reset();  // the kill cut them short
    } else {
      std::sort(rows.begin(), rows.end());
    }
  }
  return round;
}

const char* const kHost = QUORVEL_CRASH_HOST_PATH;

// Runs the host to its end; its wait status, or none when it hung.
std::optional<int> runHost(const std::filesystem::path& trial, const std::filesystem::path& record,
                           unsigned seed, const char* mode) {
  const std::string db = (trial / "db").string();
  const std::string recordPath = record.string();
  const std::string seedText = std::to_string(seed);
  const std::string output = (trial / "output").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  char* const args[] = {const_cast<char*>(kHost),
                        const_cast<char*>(db.c_str()),
                        const_cast<char*>(recordPath.c_str()),
                        const_cast<char*>(seedText.c_str()),
                        const_cast<char*>(mode),
                        nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, kHost, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  return waitForStatus(pid, std::chrono::seconds(60));
}

// What the trials met: how many kills found each kind of command in flight
// ("-" for none) and each kind of edge command, how many stopped a command
// between its log line and its webhook records, and the refusals that the
// model foresaw and the engine gave, by kind.
struct Reach {
  std::map<std::string, int> killsByCommand;
  std::map<std::string, int> killsByEdge;
  int betweenLineAndRecords = 0;
  std::map<std::string, int> refusals;

  void add(const Reach& other) {
    for (const auto& [word, count] : other.killsByCommand) killsByCommand[word] += count;
    for (const auto& [edge, count] : other.killsByEdge) killsByEdge[edge] += count;
    betweenLineAndRecords += other.betweenLineAndRecords;
    for (const auto& [kind, count] : other.refusals) refusals[kind] += count;
  }
};

// A refusal's message without "Error: " and without what it names.
std::string refusalKind(const std::string& message) {
  std::string kind = message.starts_with("Error: ") ? message.substr(7) : message;
  return kind.substr(0, kind.find(": "));
}

// Whether a WHERE value of the command reads as a number that its column's
// type cannot hold: an integer beyond 32 bits, or a number that single
// precision cannot hold.
bool hasFarBound(const std::vector<std::string>& words) {
  const auto where = std::find(words.begin(), words.end(), std::string("WHERE"));
  for (auto at = where; at != words.end() && words.end() - at > 3; at += 4) {
    std::string bound = at[3];
    if (bound.size() >= 2 && bound.front() == '\'') bound = bound.substr(1, bound.size() - 2);
    const std::optional<WideInteger> integer = wideInteger(bound);
    if (integer && (*integer > std::numeric_limits<std::int32_t>::max() ||
                    *integer < std::numeric_limits<std::int32_t>::min())) {
      return true;
    }
    if (wideFloat(bound) && !toFloat(bound)) return true;
  }
  return false;
}

// The kind of edge the host's command reaches, or "" for none.
std::string edgeOf(const std::string& command) {
  const std::vector<std::string> words = wordsOf(command);
  if (words[0] == "StopEngine") return "StopEngine";
  if (words[0] == "LINK") {
    if (words[5] == "ch") return "link to a key with chains";
    return words[3] == "qid" ? "link through qid" : "";
  }
  if ((words[0] == "INSERT" && words[2] == "n") || (words[0] == "UPDATE" && words[1] == "n")) {
    return "narrow values";
  }
  return hasFarBound(words) ? "out-of-range WHERE" : "";
}

// Whether the kill left the command in flight, which queues `tasks` tasks,
// with its whole line as the log's last and fewer records than that where
// its line says they go.
bool killedBetweenLineAndRecords(const std::filesystem::path& db, const std::string& inFlight,
                                 std::size_t tasks) {
  const std::string log = fileBytes(db / "vesk.wal").value_or("");
  const std::size_t end = log.rfind('\n');
  if (tasks == 0 || end == std::string::npos) return false;
  const std::size_t start = log.rfind('\n', end - 1);
  const std::string line = log.substr(start == std::string::npos ? 0 : start + 1,
                                      end - (start == std::string::npos ? 0 : start + 1));
  const std::optional<std::int64_t> offset = webhookOffsetOf(line);
  if (!line.starts_with(inFlight + " #TIME# ") || !offset) return false;
  const auto records =
      static_cast<std::int64_t>(fileBytes(db / "webhooks.bin").value_or("").size());
  return records < *offset + static_cast<std::int64_t>(tasks) * kWebhookRecordSize;
}

// The candidates that hold what the snapshot shows, the tables and the
// webhook tasks; when none does, `why` says how each differs.
std::vector<Model> matching(const std::vector<Model>& candidates, const Snapshot& snapshot,
                            std::string& why) {
  std::vector<Model> kept;
  std::string differences;
  for (const Model& model : candidates) {
    std::string tasks;
    const bool sameTables = model.contents() == snapshot.tables;
    if (sameTables && holdsTasks(snapshot.webhooks, model.tasks(), tasks)) {
      kept.push_back(model);
      continue;
    }
    differences += "\nagainst an allowed one:\n" + difference(snapshot.tables, model.contents());
    if (!tasks.empty()) differences += "  tasks: " + tasks + "\n";
  }
  if (kept.empty()) why = differences;
  return kept;
}

// One trial: killed rounds, then a look. Returns what went wrong, or "".
// Every outcome that the commands in flight allow is kept as a candidate
// until a start or an answer rules it out.
std::string runTrial(const std::filesystem::path& trial, unsigned seed, Reach& reach) {
  using Outcome = Expectation::Outcome;
  std::filesystem::create_directories(trial / "db");
  const int killedRounds = 1 + static_cast<int>(seed % 3);
  std::vector<Model> candidates(1);
  for (int round = 0; round <= killedRounds; ++round) {
    const bool look = round == killedRounds;
    const std::filesystem::path record = trial / ("round-" + std::to_string(round));
    const std::optional<int> status =
        runHost(trial, record, seed * 7919 + static_cast<unsigned>(round), look ? "check" : "run");
    const std::string where = "round " + std::to_string(round) + ": ";
    if (!status) return where + "the host hung or did not start";
    const bool expected = look ? WIFEXITED(*status) && WEXITSTATUS(*status) == 0
                               : WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
    const Round found = readRecord(record);
    if (!found.start) return where + "the start failed (see output)";
    if (!expected) return where + "the host ended with status " + std::to_string(*status);
    std::string why;
    candidates = matching(candidates, *found.start, why);
    if (candidates.empty()) {
      return where + "the tables and tasks after the start match no allowed outcome" + why;
    }
    const Step* inFlight = nullptr;
    for (std::size_t index = 0; index < found.steps.size(); ++index) {
      const Step& step = found.steps[index];
      if (!step.answer) {
        inFlight = &step;
        break;
      }
      const std::string at =
          where + "command " + std::to_string(index) + " `" + step.command + "` ";
      std::vector<Model> kept;
      why.clear();
      bool foreseenRefusal = false;
      for (Model& model : candidates) {
        const Expectation expectation = model.expect(step.command);
        const std::string wrong = mismatch(expectation, *step.answer);
        if (!wrong.empty()) {
          why += "\n  " + wrong;
          continue;
        }
        foreseenRefusal = foreseenRefusal || expectation.outcome == Outcome::kRefusal;
        if (step.answer->ok) model.apply(step.command);
        kept.push_back(std::move(model));
      }
      if (kept.empty()) return at + why;
      if (foreseenRefusal) ++reach.refusals[refusalKind(step.answer->message)];
      candidates = std::move(kept);
      if (!step.after) continue;
      candidates = matching(candidates, *step.after, why);
      if (candidates.empty()) {
        return at + "the tables and tasks after the start that followed match no allowed outcome" +
               why;
      }
    }
    if (!look) ++reach.killsByCommand[inFlight ? wordsOf(inFlight->command)[0] : "-"];
    if (inFlight == nullptr) {
      for (Model& model : candidates) model.kill();
      continue;
    }
    const std::string& command = inFlight->command;
    if (const std::string edge = edgeOf(command); !edge.empty()) ++reach.killsByEdge[edge];
    std::vector<Model> outcomes;
    for (const Model& model : candidates) {
      // A command the model knows to be refused cannot have happened.
      if (Model::changesState(command) && model.expect(command).outcome != Outcome::kRefusal) {
        Model after = model;
        after.apply(command);
        after.kill();
        if (&model == &candidates.front()) {
          const std::size_t queued =
              after.tasks().size() > model.tasks().size() ? after.tasks().back().size() : 0;
          if (killedBetweenLineAndRecords(trial / "db", command, queued)) {
            ++reach.betweenLineAndRecords;
          }
        }
        outcomes.push_back(std::move(after));
      }
      outcomes.push_back(model);
      outcomes.back().kill();
    }
    candidates = std::move(outcomes);
  }
  return "";
}

unsigned fromEnvironment(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text == nullptr ? fallback : static_cast<unsigned>(std::strtoul(text, nullptr, 10));
}

TEST(CrashRecovery, NothingAcknowledgedIsLostAndNothingUndoneComesBack) {
  const unsigned trials = fromEnvironment("QUORVEL_CRASH_TRIALS", 200);
  const unsigned firstSeed = fromEnvironment("QUORVEL_CRASH_SEED", 1);
  std::string base = (std::filesystem::temp_directory_path() / "quorvel-crash-XXXXXX").string();
  ASSERT_NE(::mkdtemp(base.data()), nullptr);

  std::atomic<unsigned> nextTrial{0};
  std::mutex failuresMutex;
  std::vector<std::string> failures;
  Reach reach;
  const auto work = [&] {
    for (unsigned index = nextTrial++; index < trials; index = nextTrial++) {
      const unsigned seed = firstSeed + index;
      const std::filesystem::path trial =
          std::filesystem::path(base) / ("seed-" + std::to_string(seed));
      Reach trialReach;
      const std::string failure = runTrial(trial, seed, trialReach);
      {
        const std::lock_guard<std::mutex> guard(failuresMutex);
        reach.add(trialReach);
      }
      if (failure.empty()) {
        std::filesystem::remove_all(trial);
        continue;
      }
      const std::lock_guard<std::mutex> guard(failuresMutex);
      failures.push_back("seed " + std::to_string(seed) + " (kept in " + trial.string() +
                         "): " + failure);
    }
  };
  std::vector<std::thread> workers;
  const unsigned count = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
  for (unsigned worker = 0; worker < count; ++worker) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();

  std::cout << trials << " trials; kills by the command in flight (- for none):";
  for (const auto& [word, count] : reach.killsByCommand) std::cout << " " << word << " " << count;
  std::cout << "; between a log line and its webhook records: " << reach.betweenLineAndRecords
            << "\nkills by the edge in flight:";
  for (const auto& [edge, count] : reach.killsByEdge)
    std::cout << " " << edge << " " << count << ";";
  std::cout << "\nrefusals foreseen and given:\n";
  for (const auto& [kind, count] : reach.refusals)
    std::cout << "  " << count << "  " << kind << "\n";
  std::cout << std::flush;
  if (trials >= 50) {
    // The kills at a chosen file operation reach that gap in a good share of
    // the rounds that aim at chain commands.
    EXPECT_GT(reach.betweenLineAndRecords, 0) << "no kill fell between a line and its records";
    // The generator reaches the refusals of the edges it aims at.
    for (const char* kind :
         {"Value reserved for a missing value in column", "Value too long for column",
          "Primary key column cannot hold state chains",
          "Table already linked to this parent through another column",
          "Primary table is missing required future key",
          "Foreign key points at rows that were meant for deletion"}) {
      EXPECT_GT(reach.refusals[kind], 0) << "no command met the refusal " << kind;
    }
  }
  for (std::size_t shown = 0; shown < failures.size() && shown < 5; ++shown) {
    ADD_FAILURE() << failures[shown];
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << trials << " trials failed";
  if (failures.empty()) std::filesystem::remove_all(base);
}

}  // namespace
