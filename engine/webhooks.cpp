#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "model/number.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/storage.h"

namespace {

// A URL given as a quoted literal loses its quotes. Only the first
// character is looked at: the last one goes whatever it is.
std::string withoutQuotes(const std::string& url) {
  if (url.size() > 1 && (url.front() == '\'' || url.front() == '"')) {
    return url.substr(1, url.size() - 2);
  }
  return url;
}

}  // namespace

void Database::addListener(const std::string& table, const std::string& column,
                           const std::string& url, const std::vector<Condition>& conditions,
                           bool fromDisk) {
  const std::unique_lock<std::shared_mutex> lock(rwLock);
  WebhookListener listener{column, withoutQuotes(url), conditions};
  // The record goes first: a listener that the file does not hold would be
  // gone after a restart.
  if (!fromDisk) Storage::saveListener(table, listener.column, listener.url, listener.conditions);
  std::vector<WebhookListener>& attached = listeners[table];
  std::erase(attached, listener);
  attached.push_back(std::move(listener));
}

std::vector<WebhookTask> Database::webhookTasks(const std::string& tableName, int rowIndex,
                                                const std::string& column, const TempRule& rule) {
  const std::size_t states = rule.states.size();
  // A chain that stops has no change after its last state; one that repeats
  // returns to its first state when its last one ends.
  const std::size_t count = rule.isCycle ? states : (states > 0 ? states - 1 : 0);
  std::vector<WebhookTask> tasks;
  tasks.reserve(count);
  std::int64_t time = rule.insTime;
  for (std::size_t i = 0; i < count; ++i) {
    time = saturatingAdd(time, rule.states[i].duration);
    WebhookTask task;
    task.fireTime = time;
    task.tableName = tableName;
    task.rowIndex = rowIndex;
    task.column = column;
    task.value = rule.states[(i + 1) % states].value;
    task.isCycle = rule.isCycle;
    task.period = rule.preCalc;
    task.insTime = rule.insTime;
    tasks.push_back(std::move(task));
  }
  return tasks;
}

void Database::registerWebhook(const std::string& tableName, int rowIndex,
                               const std::string& column, const TempRule* rule) {
  if (rule == nullptr) return;
  queueWebhooks(webhookTasks(tableName, rowIndex, column, *rule));
}

void Database::queueWebhooks(std::vector<WebhookTask> tasks) {
  const std::lock_guard<std::mutex> guard(webhookMutex);
  if (tasks.empty()) return;
  // All of the command's records or none: a task whose record is missing
  // would be lost at a restart, a record whose task is not queued revived.
  if (!Storage::appendWebhooks(tasks)) throw failedToWrite(kWebhookFileName);
  for (WebhookTask& task : tasks) webhookQueue.push(std::move(task));
}
