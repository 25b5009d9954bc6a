#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "engine/database.h"
#include "storage/file_listing.h"
#include "storage/file_names.h"
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
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file.is_open()) return {};
  constexpr int width = static_cast<int>(kMaxNameBytes);
  return {Storage::read(file, 0, width), Storage::read(file, width, width),
          Storage::read(file, 2 * width, width), Storage::read(file, 3 * width, width)};
}

}  // namespace

void Storage::loadRelations(Database* db) {
  for (const std::string& path : getRelFiles()) {
    // Read and close before linking: the link rewrites this same file.
    const RelationNames names = readRelationNames(path);
    try {
      db->link(names.foreignTable, names.foreignKey, names.primaryTable, names.primaryKey);
    } catch (const std::runtime_error& error) {
      std::cout << error.what() << '\n' << std::flush;
    }
  }
}
