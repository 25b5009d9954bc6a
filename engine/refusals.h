#pragma once

#include <stdexcept>
#include <string>

// The engine's refusals that more than one of its sources gives, each built
// here alone.

// A command that names a table the catalogue does not hold (INSERT INTO, LINK).
inline std::runtime_error tableNotFound() { return std::runtime_error("None existant table"); }

// A row whose primary key `key` a live row already holds (INSERT INTO, UPDATE).
inline std::runtime_error duplicateKey(const std::string& key) {
  return std::runtime_error("Duplicate entry '" + key + "' for primary key");
}
