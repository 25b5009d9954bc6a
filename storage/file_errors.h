#pragma once

#include <stdexcept>
#include <string>

// The refusals that storage reports for a file; `path` is the file's own
// name, never the temporary name it was being written under.
inline std::runtime_error failedToOpen(const std::string& path) {
  return std::runtime_error("Failed to open file: " + path);
}

inline std::runtime_error failedToWrite(const std::string& path) {
  return std::runtime_error("Failed to write file: " + path);
}

// CREATE TABLE of a name whose table exists, in the catalogue or on disk.
inline std::runtime_error existingTableFiles() { return std::runtime_error("Column size error"); }
