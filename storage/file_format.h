#pragma once

#include <cstdint>

// Layout constants that more than one byte file, or more than one writer
// and reader of a file, rely on. Numbers are little-endian (storage/bytes.h).

// Table, column and type names in every file that stores them: the text's
// bytes, then zero bytes up to the width; a name that fills the field has no
// terminating zero.
inline constexpr int kNameFieldBytes = 15;

// Deletion map "<table>.del": one byte per row position, in position order.
// The writers put these two values; the reader takes any non-zero byte as
// deleted.
inline constexpr char kLiveRowByte = 0;
inline constexpr char kDeletedRowByte = 1;
inline constexpr bool isDeletedRowByte(char byte) { return byte != kLiveRowByte; }

// A temporal cell of a row slot names its rule by a 32-bit record number.
inline constexpr std::int64_t kRecordNumberBytes = 4;

// Temporal-rule file "<table>.tmp": records of a header (rIdx, cIdx, the
// repeat flag, start time, sum of durations, state count) and a fixed number
// of state entries (a 64-bit duration and a 60-byte value).
inline constexpr std::int64_t kRuleHeaderBytes = 29;
inline constexpr std::int64_t kStateValueBytes = 60;
inline constexpr std::int64_t kStateBytes = 8 + kStateValueBytes;
