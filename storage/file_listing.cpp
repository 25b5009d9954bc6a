#include "storage/file_listing.h"

#include <algorithm>

#include "storage/file_names.h"
#include "storage/file_system.h"

std::vector<std::string> getBinFiles() { return listFiles(kDataFileExtension); }

std::vector<std::string> getRelFiles() {
  std::vector<std::string> names = listFiles(kRelationFileExtension);
  std::sort(names.begin(), names.end());
  return names;
}
