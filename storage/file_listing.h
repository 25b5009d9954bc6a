#pragma once

#include <string>
#include <vector>

// Names of the regular files (or links to them) in the current working
// directory whose extension is exactly ".bin" / ".rel". Table data files come
// in listing order; relation files in byte order of their names, so that the
// start-up makes the links in the same order whatever the directory's own
// order is (of two links that exclude each other, the same one wins). A
// directory that cannot be listed lists nothing.
std::vector<std::string> getBinFiles();
std::vector<std::string> getRelFiles();
