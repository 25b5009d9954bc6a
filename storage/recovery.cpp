#include <iostream>
#include <stdexcept>
#include <string>

#include "engine/database.h"
#include "storage/bytes.h"
#include "storage/file_format.h"
#include "storage/file_listing.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

// The header of a relation file: four fixed-width name fields.
struct RelationNames {
  std::string foreignTable;
  std::string primaryTable;
  std::string foreignKey;
  std::string primaryKey;
};

// Empty names for a file that cannot be opened: its link then fails and
// reports itself like any other.
RelationNames readRelationNames(const std::string& path) {
  std::string file;
  if (readFile(path, file) != ReadStatus::Done) return {};
  const auto name = [&file](int index) {
    return std::string(fieldAt(file, index * kNameFieldBytes, kNameFieldBytes));
  };
  return {name(0), name(1), name(2), name(3)};
}

}  // namespace

void Storage::loadRelations(Database* db) {
  for (const std::string& path : getRelFiles()) {
    // Read whole before linking: the link replaces this same file.
    const RelationNames names = readRelationNames(path);
    try {
      db->link(names.foreignTable, names.foreignKey, names.primaryTable, names.primaryKey);
    } catch (const std::runtime_error& error) {
      std::cout << error.what() << '\n' << std::flush;
    }
  }
}
