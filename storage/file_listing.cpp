#include "storage/file_listing.h"

#include "storage/file_names.h"
#include "storage/file_system.h"

std::vector<std::string> getBinFiles() { return listFiles(kDataFileExtension); }

std::vector<std::string> getRelFiles() { return listFiles(kRelationFileExtension); }
