#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/condition.h"

// One record of the listener file: the table (15 bytes), the watched column
// (15), the URL (100), the number of conditions (signed 32-bit) and per
// condition its column (15), value (25), operator (3) and connector (1).
// Records follow one another from offset 0, without a header.
struct ListenerRecord {
  std::string table;
  std::string column;
  std::string url;
  std::vector<Condition> conditions;
};

// The record's bytes; a text longer than its field is cut to the field.
// A condition's table prefix is not stored.
std::string encodeListenerRecord(const std::string& table, const std::string& column,
                                 const std::string& url, const std::vector<Condition>& conditions);

// The record that starts at `offset` of `bytes`, and `offset` moved past
// it; none, leaving `offset` alone, when the bytes end inside the record (an
// append cut short). A negative condition count reads as none. Every
// condition gets the record's table as its prefix.
std::optional<ListenerRecord> decodeListenerRecord(std::string_view bytes, std::size_t& offset);
