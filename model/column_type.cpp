#include "model/column_type.h"

const std::unordered_set<std::string>& columnTypeNames() {
  static const std::unordered_set<std::string> names = [] {
    std::unordered_set<std::string> all;
    for (const ColumnType& type : kColumnTypes) all.emplace(type.name);
    return all;
  }();
  return names;
}
