#include <map>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database.h"
#include "storage/journal.h"
#include "storage/storage.h"

void Database::runCheckpoint(bool& committed) {
  committed = false;
  // A checkpoint that committed but did not complete goes first, whichever
  // run committed it: a new journal must never replace it.
  bool pending = false;
  try {
    Storage::finishJournal(pending);
  } catch (const std::runtime_error& error) {
    if (pending) unfinishedCheckpoint = error.what();
    throw;
  }
  unfinishedCheckpoint.clear();
  Journal journal;
  std::map<std::string, std::vector<std::int32_t>> clockRows;
  for (const auto& [name, table] : tables) clockRows[name] = Storage::journalTable(table, journal);
  Storage::SideFileEnds sideFileEnds = sideFilesCheckpointed;
  Storage::journalSideFiles(journal, sideFileEnds);
  Storage::checkLogCanBeEmptied();
  if (journal.changes.empty()) {
    Storage::emptyLogDurably();
    return;
  }
  journal.commit();
  // From here on the checkpoint has happened, whatever fails below: the
  // journal puts every row into the files, so each table starts afresh.
  committed = true;
  sideFilesCheckpointed = std::move(sideFileEnds);
  for (auto& [name, table] : tables) {
    table.changes = ChangedRows{
        false, {}, std::move(clockRows[name]), static_cast<std::int64_t>(table.rows.size())};
  }
  if (inTransaction) checkpointedInTransaction = true;
  try {
    journal.complete();
  } catch (const std::runtime_error& error) {
    unfinishedCheckpoint = error.what();
    throw;
  }
}

bool Database::checkpoint() {
  const std::unique_lock lock(rwLock);
  // A failed command's line that a cut could not take back refuses no
  // checkpoint: the log this empties takes the line with it.
  Storage::settleWAL();
  bool committed = false;
  runCheckpoint(committed);
  return inTransaction;
}

void Database::requireFinishedCheckpoint() {
  const std::shared_lock lock(rwLock);
  refuseUnfinishedCheckpoint();
}

void Database::refuseUnfinishedCheckpoint() const {
  if (!unfinishedCheckpoint.empty()) throw std::runtime_error(unfinishedCheckpoint);
}
