#include "support/file_sweep.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "storage/file_system.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

Directory snapshotDirectory() {
  Directory files;
  for (const auto& entry : fs::directory_iterator(fs::current_path())) {
    if (entry.is_regular_file()) {
      files[entry.path().filename().string()] = readFile(entry.path());
    }
  }
  return files;
}

void restoreDirectory(const Directory& files) {
  for (const auto& entry : fs::directory_iterator(fs::current_path())) fs::remove_all(entry.path());
  for (const auto& [name, bytes] : files) writeFile(name, bytes);
}

namespace {

void describeRow(std::ostringstream& out, const Row& row) {
  out << "  row" << (row.deleted ? " deleted" : "") << (row.isReferenced ? " referenced" : "")
      << ":";
  for (const Cell& cell : row.cells) {
    out << " [" << cell.column << "=" << cell.value;
    if (cell.rule) {
      out << " rule " << cell.rule->insTime << "/" << cell.rule->preCalc << "/"
          << cell.rule->isCycle;
      for (const TempState& state : cell.rule->states)
        out << " " << state.value << "@" << state.duration;
    }
    out << "]";
  }
  // Back-references in a fixed order.
  std::map<std::string, std::set<std::int32_t>> links;
  for (const auto& [relation, positions] : row.links) {
    links[relation.table + "." + relation.column] = positions;
  }
  for (const auto& [relation, positions] : links) {
    out << " " << relation << "<-";
    for (const std::int32_t position : positions) out << position << ",";
  }
  out << "\n";
}

}  // namespace

std::string describe(const Database& db) {
  std::ostringstream out;
  out << "transaction " << db.inTransaction << " entries " << db.transactionLog.size() << "\n";
  for (const auto& [name, table] : db.tables) {
    out << "table " << name << " key " << table.primaryKey << "@" << table.pkIndex << "\n";
    for (const Column& column : table.columns) {
      out << "  column " << column.name << " " << column.type << " " << column.maxStates << " "
          << column.size << "\n";
    }
    for (const Row& row : table.rows) describeRow(out, row);
    const std::set<std::int32_t> deleted(table.deletedRows.begin(), table.deletedRows.end());
    out << "  deleted";
    for (const std::int32_t position : deleted) out << " " << position;
    out << "\n  index";
    for (const auto& [key, position] : table.pkMap) out << " " << key.text() << "->" << position;
    const std::map<std::string, std::string> children(table.children.begin(), table.children.end());
    out << "\n  children";
    for (const auto& [child, column] : children) out << " " << child << "." << column;
    out << "\n  parents";
    for (const std::string& parent : table.parents) out << " " << parent;
    out << "\n";
  }
  return out.str();
}

std::int64_t countFileOperations(const std::function<void()>& action) {
  setFileFaultForTesting(FileFault{std::numeric_limits<std::int64_t>::max(), false});
  action();
  const std::int64_t operations = fileOperationsForTesting();
  setFileFaultForTesting(std::nullopt);
  return operations;
}

std::string describeStart() {
  Database db;
  std::string refused;
  ::testing::internal::CaptureStdout();
  try {
    db.loadFromDisk();
  } catch (const std::exception& error) {
    refused = error.what();
  }
  ::testing::internal::GetCapturedStdout();
  if (!refused.empty()) return "start refused: " + refused;
  std::ostringstream out;
  out << describe(db);
  for (const auto& [table, listeners] : db.listeners) {
    for (const WebhookListener& listener : listeners) {
      out << "listener " << table << "." << listener.column << " " << listener.url;
      for (const Condition& condition : listener.conditions) {
        out << " " << condition.column << condition.op << condition.value << condition.gate;
      }
      out << "\n";
    }
  }
  std::vector<std::string> tasks;
  for (auto queue = db.webhookQueue; !queue.empty(); queue.pop()) {
    const WebhookTask& task = queue.top();
    std::ostringstream text;
    text << "task " << task.fireTime << " " << task.tableName << "[" << task.rowIndex << "]."
         << task.column << "=" << task.value << " cycle " << task.isCycle << "/" << task.period
         << " from " << task.insTime << " at " << task.fileOffset << "\n";
    tasks.push_back(text.str());
  }
  std::sort(tasks.begin(), tasks.end());
  for (const std::string& task : tasks) out << task;
  return out.str();
}

namespace {

// The file operations made before the command and by it.
struct Operations {
  std::int64_t before = 0;
  std::int64_t during = 0;
};

// Prepares the directory afresh, cuts the power at operation `at` of what
// follows, and leaves the directory as the cut kept it.
Operations runWithCut(const PowerCutSweep& sweep, std::int64_t at) {
  restoreDirectory({});
  sweep.prepare();
  setPowerCutForTesting(at);
  try {
    sweep.unsynced();
  } catch (const std::exception&) {
    // Only a cut inside these makes them fail, and the sweep cuts later.
  }
  Operations operations;
  operations.before = fileOperationsForTesting();
  try {
    sweep.command();
  } catch (const std::exception&) {
    // The process stops with the power; what it answered is never seen.
  }
  operations.during = fileOperationsForTesting() - operations.before;
  restoreAfterPowerCutForTesting();
  return operations;
}

// runWithCut in a child process, which hands its counts back through a pipe
// and says nothing on standard output.
Operations runWithCutInChild(const PowerCutSweep& sweep, std::int64_t at) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("no pipe");
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(2);
    const Operations operations = runWithCut(sweep, at);
    const bool sent = ::write(ends[1], &operations, sizeof operations) == sizeof operations;
    ::_exit(sent ? 0 : 2);
  }
  ::close(ends[1]);
  Operations operations;
  const bool received = ::read(ends[0], &operations, sizeof operations) == sizeof operations;
  ::close(ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(received && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return operations;
}

// What a start finds after a cut at `at`; sets `operations` when given.
std::string cutAt(const PowerCutSweep& sweep, std::int64_t at, Operations* operations = nullptr) {
  const Operations made = sweep.ownProcess ? runWithCutInChild(sweep, at) : runWithCut(sweep, at);
  if (operations != nullptr) *operations = made;
  return describeStart();
}

}  // namespace

PowerCutStates sweepPowerCuts(const PowerCutSweep& sweep) {
  Operations operations;
  PowerCutStates states;
  states.after = cutAt(sweep, std::numeric_limits<std::int64_t>::max(), &operations);
  const std::int64_t first = operations.before;
  states.before = cutAt(sweep, first);
  EXPECT_NE(states.before, states.after) << "the command changes nothing that lasts";
  for (const std::string* state : {&states.before, &states.after}) {
    EXPECT_EQ(state->rfind("start refused: ", 0), std::string::npos) << *state;
  }
  for (std::int64_t n = 1; n < operations.during; ++n) {
    SCOPED_TRACE("power cut at the command's file operation " + std::to_string(n));
    const std::string found = cutAt(sweep, first + n);
    EXPECT_TRUE(found == states.before || found == states.after) << found;
  }
  return states;
}
