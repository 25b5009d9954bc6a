#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest table, column or type name that the byte files can hold.
inline constexpr std::size_t kMaxNameBytes = 15;

// Table names become file names and column names become parts of relation
// file names. These keep every such file a bare name in the working
// directory: a name is non-empty and holds no "/", "\\" or byte below 0x20,
// and a table name holds no "." either (its files add their own extension).
bool isSafeTableName(std::string_view name);
bool isSafeColumnName(std::string_view name);

// The extensions of a table's three files and of a relation file.
inline constexpr std::string_view kDataFileExtension = ".bin";
inline constexpr std::string_view kDeletionMapExtension = ".del";
inline constexpr std::string_view kRuleFileExtension = ".tmp";
inline constexpr std::string_view kRelationFileExtension = ".rel";

inline std::string dataFileName(std::string_view table) {
  return std::string(table) + std::string(kDataFileExtension);
}
inline std::string deletionMapName(std::string_view table) {
  return std::string(table) + std::string(kDeletionMapExtension);
}
inline std::string ruleFileName(std::string_view table) {
  return std::string(table) + std::string(kRuleFileExtension);
}

// The write-ahead log.
inline constexpr std::string_view kLogFileName = "vesk.wal";

// The checkpoint's redo journal: an extension no loader lists.
inline constexpr std::string_view kJournalFileName = "vesk.journal";

// A file written under its final name followed by this suffix and renamed
// into place once complete; whatever still carries it after a crash is
// thrown away at the next start.
inline constexpr std::string_view kTemporarySuffix = ".quorvel-new";
