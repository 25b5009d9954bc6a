#include "model/column_type.h"

const std::unordered_set<std::string>& columnTypeNames() {
  static const std::unordered_set<std::string> names{"int", "string", "ApexInt", "float", "bool"};
  return names;
}
