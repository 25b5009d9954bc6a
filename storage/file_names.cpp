#include "storage/file_names.h"

namespace {

bool isSafeNamePiece(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace

bool isSafeTableName(std::string_view name) {
  return isSafeNamePiece(name) && name.find('.') == std::string_view::npos;
}

bool isSafeColumnName(std::string_view name) { return isSafeNamePiece(name); }
