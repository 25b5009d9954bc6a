#include <stdexcept>
#include <string>
#include <utility>

#include "engine/database.h"
#include "engine/declaration.h"
#include "model/column_type.h"
#include "model/split.h"
#include "storage/file_errors.h"
#include "storage/file_listing.h"
#include "storage/file_names.h"
#include "storage/storage.h"

namespace {

// Sets `flag` for as long as it lives, so that no way out of the replay
// leaves the database believing it is still recovering.
class Raised {
 public:
  explicit Raised(bool& flag) : flag_(flag) { flag_ = true; }
  ~Raised() { flag_ = false; }
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;

 private:
  bool& flag_;
};

// Only "<name>.bin" of a name CREATE TABLE accepts is a table's data file;
// anything else ("a.b.bin", or the listener and webhook files, whose names
// CREATE TABLE refuses) belongs to no table and is passed over.
bool isDataFileName(const std::string& file, const std::string& name) {
  return file == dataFilePath(name) && !tableNameFault(name);
}

// Refuses a table whose header describes columns CREATE TABLE would refuse:
// such a file was damaged, and loading it would bring back rows of a shape
// no command could have made.
void requireValidHeader(const std::string& file, const Table& table) {
  try {
    checkDeclaration(table.name, table.columns);
  } catch (const std::runtime_error& error) {
    throw damagedTableFile(file, error.what());
  }
}

}  // namespace

void Database::loadFromDisk() {
  Storage::recoverFiles();
  for (const std::string& file : getBinFiles()) {
    const std::string name = split(file, ".").front();
    if (!isDataFileName(file, name)) continue;
    Table loaded = Storage::loadTable(name, "");
    requireValidHeader(file, loaded);
    Table& table = tables[name] = std::move(loaded);
    for (const Column& column : table.columns) {
      if (isIdentityType(column.type)) {
        table.setUpPrimaryKeyMap(column.name);
        break;
      }
    }
  }
  Storage::loadRelations(this);
  Storage::loadListeners(this);
  Storage::loadWebhooks(this);
  const Raised replaying(recovering);
  Storage::replayWAL(this);
}
