#include "storage/file_names.h"

#include <algorithm>
#include <array>

namespace {

char toLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Windows opens these as devices, whatever extension follows them and
// whatever blanks end them.
bool isDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  static constexpr std::array<std::string_view, 4> kDevices = {"con", "prn", "aux", "nul"};
  if (std::ranges::any_of(kDevices, [&](std::string_view d) { return namesShareFiles(stem, d); })) {
    return true;
  }
  const bool numbered =
      namesShareFiles(stem.substr(0, 3), "com") || namesShareFiles(stem.substr(0, 3), "lpt");
  return numbered && stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9';
}

// A byte that makes the name a path, a drive or stream reference, or a
// pattern somewhere: the separators, ':' and the bytes Windows refuses.
bool isUnsafeByte(char c) {
  static constexpr std::string_view kUnsafe = "/\\:<>\"|?*";
  return static_cast<unsigned char>(c) < 0x20 || kUnsafe.find(c) != std::string_view::npos;
}

std::string withSuffix(std::string_view name, std::string_view suffix) {
  std::string path(name);
  path += suffix;
  return path;
}

// Windows drops a trailing blank or dot from a file name, so such a name
// would reach another table's files.
bool isSafeNamePiece(std::string_view name) {
  if (name.empty() || name.back() == ' ' || name.back() == '.') return false;
  return std::ranges::none_of(name, isUnsafeByte) && !isDeviceName(name);
}

}  // namespace

bool isReservedTableName(std::string_view name) {
  return namesShareFiles(dataFilePath(name), kListenerFileName) ||
         namesShareFiles(dataFilePath(name), kWebhookFileName);
}

std::string dataFilePath(std::string_view table) { return withSuffix(table, kDataFileExtension); }

std::string deletionMapPath(std::string_view table) {
  return withSuffix(table, kDeletionMapExtension);
}

std::string ruleFilePath(std::string_view table) { return withSuffix(table, kRuleFileExtension); }

std::string temporaryPath(std::string_view path) { return withSuffix(path, kTemporarySuffix); }

std::string relationFilePath(std::string_view foreignTable, std::string_view foreignKey,
                             std::string_view primaryTable, std::string_view primaryKey) {
  std::string path(foreignTable);
  path += '-';
  path += foreignKey;
  path += '_';
  path += primaryTable;
  path += '-';
  path += primaryKey;
  return withSuffix(path, kRelationFileExtension);
}

bool isSafeTableName(std::string_view name) {
  return isSafeNamePiece(name) && name.find('.') == std::string_view::npos &&
         !isReservedTableName(name);
}

bool isSafeColumnName(std::string_view name) { return isSafeNamePiece(name); }

bool namesShareFiles(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b,
                            [](char x, char y) { return toLowerAscii(x) == toLowerAscii(y); });
}
