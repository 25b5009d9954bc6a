#include "storage/file_listing.h"

#include <filesystem>
#include <system_error>

namespace {

// A directory that cannot be listed, or an entry whose kind cannot be told,
// lists nothing rather than stopping the start.
std::vector<std::string> filesWithExtension(const std::string& extension) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code error;
  fs::directory_iterator entry(fs::current_path(error), error);
  if (error) return names;
  for (; entry != fs::directory_iterator(); entry.increment(error)) {
    if (error) break;
    const fs::path& path = entry->path();
    std::error_code kindError;
    // is_regular_file follows a symbolic link to what it leads to.
    if (path.extension() == extension && entry->is_regular_file(kindError)) {
      names.push_back(path.filename().string());
    }
  }
  return names;
}

}  // namespace

std::vector<std::string> getBinFiles() { return filesWithExtension(".bin"); }

std::vector<std::string> getRelFiles() { return filesWithExtension(".rel"); }
