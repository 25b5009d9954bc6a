#include <cstdint>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "language/lexer.h"
#include "language/parser.h"
#include "model/number.h"
#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_format.h"
#include "storage/file_listing.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/listener_record.h"
#include "storage/log_line.h"
#include "storage/relation_header.h"
#include "storage/storage.h"
#include "storage/webhook_record.h"

namespace {

// Reads the listener or webhook file whole: false when there is none. One
// that exists but cannot be read (a FIFO, a directory) refuses the start: a
// missing one would be started afresh and its records lost.
bool readSideFile(const std::string& path, std::string& bytes) {
  const ReadStatus status = readFile(path, bytes);
  if (status == ReadStatus::Failed) throw failedToOpen(path);
  return status == ReadStatus::Done;
}

}  // namespace

void Storage::loadRelations(Database* db) {
  for (const std::string& path : getRelFiles()) {
    // Read before linking: the link replaces this same file. One that
    // cannot be read gives empty names, so its link fails and reports itself
    // like any other.
    const RelationNames names = readRelationNames(path).value_or(RelationNames{});
    try {
      db->linkAtStart(names.foreignTable, names.foreignKey, names.primaryTable, names.primaryKey);
    } catch (const std::runtime_error& error) {
      std::cout << error.what() << '\n' << std::flush;
    }
  }
}

void Storage::loadListeners(Database* db) {
  std::string bytes;
  if (!readSideFile(kListenerFileName, bytes)) return;
  std::cout << "[STORAGE] Reloading Webhook Listeners...\n" << std::flush;
  std::size_t offset = 0;
  while (std::optional<ListenerRecord> record = decodeListenerRecord(bytes, offset)) {
    db->addListener(record->table, record->column, record->url, record->conditions, true);
  }
}

void Storage::loadWebhooks(Database* db) {
  std::string bytes;
  if (!readSideFile(kWebhookFileName, bytes)) return;
  std::cout << "[STORAGE] Sweeping webhooks.bin for pending events...\n" << std::flush;
  std::int64_t revived = 0;
  const auto size = static_cast<std::int64_t>(bytes.size());
  // Past 2^31 bytes an offset no longer fits a task; this engine never
  // writes a record there.
  for (std::int64_t offset = 0;
       size - offset >= kWebhookRecordSize && fitsFileOffsets(offset, kWebhookRecordSize);
       offset += kWebhookRecordSize) {
    WebhookRecord record = decodeWebhookRecord(std::string_view(bytes).substr(offset));
    if (record.fired) continue;
    record.task.fileOffset = static_cast<std::int32_t>(offset);
    const std::lock_guard<std::mutex> guard(db->webhookMutex);
    db->webhookQueue.push(std::move(record.task));
    ++revived;
  }
  if (revived > 0) {
    std::cout << "[STORAGE] Revived " << revived << " pending webhooks from the grave!\n"
              << std::flush;
  }
}

namespace {

// A line the replay may run: complete (its line feed was written) and ending
// in a time marker with a number. Anything else is the torn tail of an
// append that never returned, or a fragment; no such command was ever
// acknowledged.
bool isWholeLogLine(std::string_view line) {
  const std::size_t marker = findTimeMarker(line);
  return marker != std::string_view::npos &&
         toInt64(line.substr(marker + kTimeMarker.size())).has_value();
}

bool opensTransaction(std::string_view line) {
  const std::vector<Token> tokens =
      Lexer(std::string(line.substr(0, findTimeMarker(line)))).tokenize();
  return !tokens.empty() && tokens.front().value == "BEGIN";
}

// Runs the log's last line, whose command a kill may have stopped between
// its line and its webhook records, and writes the records its tasks lack.
void replayLastLine(Database* db, Parser& parser, std::string_view line,
                    std::int64_t webhookOffset) {
  std::vector<WebhookTask> tasks;
  db->replayedTasks = &tasks;
  const bool succeeded = parser.handleCommand(line).success;
  db->replayedTasks = nullptr;
  if (!succeeded) return;
  for (WebhookTask& task : Storage::writeMissingWebhooks(std::move(tasks), webhookOffset)) {
    const std::lock_guard<std::mutex> guard(db->webhookMutex);
    db->webhookQueue.push(std::move(task));
  }
}

}  // namespace

void Storage::replayWAL(Database* db) {
  std::string log;
  const ReadStatus status = readFile(kLogFileName, log);
  if (status == ReadStatus::Missing) return;
  // A log that exists but cannot be read holds acknowledged commands: the
  // start must not go on without them (a checkpoint would then drop them).
  if (status == ReadStatus::Failed) {
    throw failedToOpen(kLogFileName);
  }
  std::cout << "[BOOTLOADER] Replaying Write-Ahead Log...\n";
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', start)) {
    const std::string_view line = std::string_view(log).substr(start, end - start);
    start = end + 1;
    if (!line.empty() && isWholeLogLine(line)) lines.push_back(line);
  }
  Parser parser(db);
  parser.replaying = true;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    // Every change is durable once it succeeded: a transaction left open by
    // an earlier run is closed with its changes before the next one opens.
    if (db->inTransaction && opensTransaction(line)) db->commitTransaction();
    const bool last = i + 1 == lines.size();
    if (const std::optional<std::int64_t> offset = last ? webhookOffsetOf(line) : std::nullopt) {
      replayLastLine(db, parser, line, *offset);
    } else {
      parser.handleCommand(line);
    }
  }
  if (db->inTransaction) db->commitTransaction();
  std::cout << "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n";
}
