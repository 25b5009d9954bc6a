#include <cstdint>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>

#include "engine/database.h"
#include "storage/bytes.h"
#include "storage/file_format.h"
#include "storage/file_listing.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/listener_record.h"
#include "storage/storage.h"
#include "storage/webhook_record.h"

namespace {

// The header of a relation file: four fixed-width name fields.
struct RelationNames {
  std::string foreignTable;
  std::string primaryTable;
  std::string foreignKey;
  std::string primaryKey;
};

// Empty names for a file that cannot be opened: its link then fails and
// reports itself like any other.
RelationNames readRelationNames(const std::string& path) {
  std::string file;
  if (readFile(path, file) != ReadStatus::Done) return {};
  const auto name = [&file](int index) {
    return std::string(fieldAt(file, index * kNameFieldBytes, kNameFieldBytes));
  };
  return {name(0), name(1), name(2), name(3)};
}

}  // namespace

void Storage::loadRelations(Database* db) {
  for (const std::string& path : getRelFiles()) {
    // Read whole before linking: the link replaces this same file.
    const RelationNames names = readRelationNames(path);
    try {
      db->link(names.foreignTable, names.foreignKey, names.primaryTable, names.primaryKey);
    } catch (const std::runtime_error& error) {
      std::cout << error.what() << '\n' << std::flush;
    }
  }
}

void Storage::loadListeners(Database* db) {
  std::string bytes;
  if (readFile(kListenerFileName, bytes) != ReadStatus::Done) return;
  std::cout << "[STORAGE] Reloading Webhook Listeners...\n" << std::flush;
  std::size_t offset = 0;
  while (std::optional<ListenerRecord> record = decodeListenerRecord(bytes, offset)) {
    db->addListener(record->table, record->column, record->url, record->conditions, true);
  }
}

void Storage::loadWebhooks(Database* db) {
  std::string bytes;
  if (readFile(kWebhookFileName, bytes) != ReadStatus::Done) return;
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
