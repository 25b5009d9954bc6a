#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// The refusals that storage reports for a file, each built here alone;
// `path` is the file's own name, never the temporary name it was being
// written under.
inline std::runtime_error failedToOpen(std::string_view path) {
  return std::runtime_error("Failed to open file: " + std::string(path));
}

inline std::runtime_error failedToWrite(std::string_view path) {
  return std::runtime_error("Failed to write file: " + std::string(path));
}

// A write that would put a byte of a table data file or a temporal-rule file
// past the signed 32-bit offsets the formats address.
inline std::runtime_error fileOffsetOutOfRange(std::string_view path) {
  return std::runtime_error("File offset out of range: " + std::string(path));
}

// A start in a working directory whose lock another process holds.
inline std::runtime_error directoryInUse() {
  return std::runtime_error("Working directory is in use by another process");
}

// A table data file that no table could have left: its header does not
// describe columns that CREATE TABLE accepts, names another table, or its
// length is not the header plus whole row slots.
inline std::runtime_error damagedTableFile(const std::string& path, const std::string& reason) {
  return std::runtime_error("Damaged table file " + path + ": " + reason);
}

// CREATE TABLE of a name whose table exists, in the catalogue or on disk.
inline std::runtime_error existingTableFiles() { return std::runtime_error("Column size error"); }
