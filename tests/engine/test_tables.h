#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "model/cell.h"
#include "model/condition.h"
#include "model/table.h"
#include "support/rollback_state.h"
#include "support/table_builders.h"
#include "support/test_support.h"

// Conditions and checks that the engine tests share.

// A condition; the first of a list opens its block whatever its gate.
inline Condition where(const std::string& column, const std::string& op, const std::string& value,
                       char gate = 'a') {
  return Condition{"", column, value, op, gate};
}

// The texts of column `position` of `rows`, sorted.
inline std::vector<std::string> valuesOf(const std::vector<Row*>& rows, std::size_t position) {
  std::vector<std::string> values;
  for (const Row* row : rows) values.push_back(row->cells[position].getVal());
  std::sort(values.begin(), values.end());
  return values;
}

// A value of `column` as a command hands it to the engine.
inline Cell given(const std::string& column, const std::string& text) {
  Cell cell;
  cell.column = column;
  cell.value = text;
  return cell;
}

// A state chain given for `column`: the first state's text, and the rule.
inline Cell givenChain(const std::string& column, const std::vector<TempState>& states,
                       std::int64_t insTime, bool isCycle = false) {
  Cell cell = given(column, states.front().value);
  cell.rule = makeRule(states, insTime, isCycle);
  return cell;
}

// The values of an insert, by column.
inline std::map<std::string, Cell> row(std::initializer_list<Cell> cells) {
  std::map<std::string, Cell> values;
  for (const Cell& cell : cells) values[cell.column] = cell;
  return values;
}

// The stored texts of every row of `table`, in position order, a tombstone
// marked with a leading "x".
inline std::vector<std::vector<std::string>> storedRows(const Table& table) {
  std::vector<std::vector<std::string>> rows;
  for (const Row& stored : table.rows) {
    std::vector<std::string>& texts = rows.emplace_back();
    if (stored.deleted) texts.push_back("x");
    for (const Cell& cell : stored.cells) texts.push_back(cell.getVal());
  }
  return rows;
}

// Fails each file operation of `command` in turn, running `prepare` before
// every run: each run must either succeed or throw `message`, leaving
// `state()` and the file `path` as `prepare` left them. Returns the number
// of runs that failed.
inline int failEachFileOperation(const std::function<void()>& prepare,
                                 const std::function<void()>& command,
                                 const std::function<std::string()>& state,
                                 const std::string& message, const std::string& path) {
  prepare();
  setFileFaultForTesting(std::nullopt);
  command();
  const std::int64_t operations = fileOperationsForTesting();
  int failures = 0;
  for (std::int64_t n = 0; n < operations; ++n) {
    SCOPED_TRACE("file operation " + std::to_string(n));
    prepare();
    const std::string before = state() + readFile(path);
    std::string thrown;
    {
      const ScopedFileFault fault(FileFault{n, false});
      thrown = thrownMessage(command);
    }
    if (thrown.empty()) continue;
    ++failures;
    EXPECT_EQ(thrown, message);
    EXPECT_EQ(state() + readFile(path), before);
  }
  return failures;
}

// A database in a fresh working directory with its clock pinned, for the
// tests of the operations that write rows.
class WriterTest : public TempDirTest {
 protected:
  // Runs `command`, which must fail with `message` and change nothing.
  template <typename Command>
  void expectRefused(Command command, const std::string& message) {
    const std::string before = wholeState(db);
    EXPECT_EQ(thrownMessage(command), message);
    EXPECT_EQ(wholeState(db), before);
  }

  ScopedClock clock{1000};
  Database db;
};
