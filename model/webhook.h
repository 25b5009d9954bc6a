#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/condition.h"

// A URL attached to a column of a table, with conditions. The table is the
// key under which the database keeps its listeners.
struct WebhookListener {
  std::string column;
  std::string url;
  std::vector<Condition> conditions;

  bool operator==(const WebhookListener& other) const = default;
};

// One coming state change of a temporal value.
struct WebhookTask {
  std::int64_t fireTime = 0;  // due time, seconds since the epoch
  std::string tableName;
  std::int32_t rowIndex = 0;
  std::string column;
  std::string value;  // the state value it announces
  bool isCycle = false;
  std::int64_t period = 0;      // the chain's length of one pass
  std::int64_t insTime = 0;     // the chain's start time
  std::int32_t fileOffset = 0;  // offset of its record in the webhook file

  // Later due times order first, so a max-first priority queue has the
  // earliest due task on top.
  bool operator<(const WebhookTask& other) const { return fireTime > other.fireTime; }
};
