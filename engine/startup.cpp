#include <string>
#include <utility>

#include "engine/database.h"
#include "model/split.h"
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

bool isSideFile(const std::string& name) {
  return name == kWebhookFileName || name == kListenerFileName;
}

}  // namespace

void Database::loadFromDisk() {
  Storage::recoverFiles();
  for (const std::string& file : getBinFiles()) {
    if (isSideFile(file)) continue;
    const std::string name = split(file, ".").front();
    Table& table = tables[name] = Storage::loadTable(name, "");
    for (const Column& column : table.columns) {
      if (column.type == "ApexInt") {
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
