#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/webhook.h"

// One record of the webhook file, kWebhookRecordSize bytes: the fired flag
// (1 byte), the due time (signed 64-bit), the start time (64), the row
// position (32), the repeat flag (1 byte), the period (64), the table (15
// bytes), the column (15) and the value (25). Record k starts at k times
// the record size; its offset is the task's identity.
inline constexpr std::int64_t kWebhookRecordSize = 85;
inline constexpr std::int64_t kWebhookFiredAt = 0;
inline constexpr std::int64_t kWebhookFireTimeAt = 1;

// The bytes of the task's record, not fired; a text longer than its field
// is cut to the field.
std::string encodeWebhookRecord(const WebhookTask& task);

// A record as the file holds it. The task's fileOffset is left 0.
struct WebhookRecord {
  bool fired = false;  // any first byte but 0
  WebhookTask task;
};

// The record in the first kWebhookRecordSize bytes of `bytes`, which the
// caller makes sure are there. The repeat flag holds only when its byte is 1.
WebhookRecord decodeWebhookRecord(std::string_view bytes);
