#include "storage/file_names.h"

namespace {

std::string withSuffix(std::string_view name, std::string_view suffix) {
  std::string path(name);
  path += suffix;
  return path;
}

bool isSafeNamePiece(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace

std::string dataFilePath(std::string_view table) { return withSuffix(table, kDataFileExtension); }

std::string deletionMapPath(std::string_view table) {
  return withSuffix(table, kDeletionMapExtension);
}

std::string ruleFilePath(std::string_view table) { return withSuffix(table, kRuleFileExtension); }

std::string temporaryPath(std::string_view path) { return withSuffix(path, kTemporarySuffix); }

bool isSafeTableName(std::string_view name) {
  return isSafeNamePiece(name) && name.find('.') == std::string_view::npos;
}

bool isSafeColumnName(std::string_view name) { return isSafeNamePiece(name); }
