#pragma once

#include <string>
#include <vector>

// Cuts `text` at every occurrence of `delimiter`.
std::vector<std::string> split(const std::string& text, const std::string& delimiter);
