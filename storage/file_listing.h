#pragma once

#include <string>
#include <vector>

// Names of the regular files (or links to them) in the current working
// directory whose extension is exactly ".bin" / ".rel", in listing order.
std::vector<std::string> getBinFiles();
std::vector<std::string> getRelFiles();
