#include "support/file_sweep.h"

#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
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
