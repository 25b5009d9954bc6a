#pragma once

#include <cstddef>
#include <string_view>

// The longest table, column or type name that the byte files can hold.
inline constexpr std::size_t kMaxNameBytes = 15;

// Table names become file names and column names become parts of relation
// file names. These keep every such file a bare name in the working
// directory: a name is non-empty and holds no "/", "\\" or byte below 0x20,
// and a table name holds no "." either (its files add their own extension).
bool isSafeTableName(std::string_view name);
bool isSafeColumnName(std::string_view name);

// The listener file and the webhook file. They end in ".bin" like table data
// files, which is why no table may take their names.
inline constexpr const char* kListenerFileName = "listeners.bin";
inline constexpr const char* kWebhookFileName = "webhooks.bin";
