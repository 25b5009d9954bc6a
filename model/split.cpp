#include "model/split.h"

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) return {text};
  std::size_t start = 0;
  for (std::size_t at = text.find(delimiter); at != std::string::npos;
       at = text.find(delimiter, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}
