#pragma once

#include <string>
#include <vector>

// Names of the regular files (or links to them) in the current working
// directory whose extension is exactly ".bin" / ".rel", in listing order. A
// directory that cannot be listed lists nothing.
std::vector<std::string> getBinFiles();
std::vector<std::string> getRelFiles();
