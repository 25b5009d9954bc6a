#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "storage/file_format.h"

// Every name the engine gives a file in the working directory.

// A table's data file, deletion map and temporal-rule file, and a foreign-key
// link's relation file.
inline constexpr const char* kDataFileExtension = ".bin";
inline constexpr const char* kDeletionMapExtension = ".del";
inline constexpr const char* kRuleFileExtension = ".tmp";
inline constexpr const char* kRelationFileExtension = ".rel";

inline constexpr const char* kLogFileName = "vesk.wal";
inline constexpr const char* kListenerFileName = "listeners.bin";
inline constexpr const char* kWebhookFileName = "webhooks.bin";

// Holds nothing: the engine's and the shell's start lock it, so that one
// process at a time works on the directory. Never removed.
inline constexpr const char* kLockFileName = "vesk.lock";

// A file being written whole lies under its final name followed by this
// suffix until it is renamed into place; one that a crash left behind is
// garbage, and the start-up recovery removes it by this suffix. No loader
// lists such a name.
inline constexpr const char* kTemporarySuffix = ".quorvel-new";

std::string dataFilePath(std::string_view table);
std::string deletionMapPath(std::string_view table);
std::string ruleFilePath(std::string_view table);
std::string temporaryPath(std::string_view path);
// The relation file of a link: "<child>-<foreign key>_<parent>-<parent key>.rel".
std::string relationFilePath(std::string_view foreignTable, std::string_view foreignKey,
                             std::string_view primaryTable, std::string_view primaryKey);

// The longest table, column or type name that the byte files can hold.
inline constexpr std::size_t kMaxNameBytes = kNameFieldBytes;

// Table names become file names and column names become parts of relation
// file names. These keep every such file a bare, portable name in the working
// directory on Linux and on Windows alike: a name is non-empty; holds no "/",
// "\\", ":", "<", ">", "\"", "|", "?", "*" or byte below 0x20; does not end in
// a blank or a dot; and is no device name (CON, PRN, AUX, NUL, COM1 to COM9,
// LPT1 to LPT9, in any letter case, with or without an extension). A table
// name holds no "." either (its files add their own extension) and is not
// "listeners" or "webhooks" in any letter case (those files end in the data
// files' extension). The one rule for creating a table and for accepting a
// listed data file's name.
bool isSafeTableName(std::string_view name);
// Whether `name` is "listeners" or "webhooks" in any letter case: a table's
// data file of that name would be the listener or the webhook file. The
// part of isSafeTableName that CREATE TABLE refuses before its columns.
bool isReservedTableName(std::string_view name);
bool isSafeColumnName(std::string_view name);

// Whether two names are one file name where file names ignore letter case
// (ASCII letters only), as on Windows.
bool namesShareFiles(std::string_view a, std::string_view b);

// The checkpoint's redo journal: an extension no loader lists.
inline constexpr const char* kJournalFileName = "vesk.journal";
