#include "model/column_type.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace {

TEST(ColumnType, EachNameHasItsKindAndEveryOtherTextNone) {
  struct Case {
    std::string type;
    ValueKind kind;
    bool integer;
    bool identity;
  };
  const std::vector<Case> cases = {
      {"int", ValueKind::kInteger, true, false},
      {"ApexInt", ValueKind::kInteger, true, true},
      {"float", ValueKind::kFloat, false, false},
      {"bool", ValueKind::kBool, false, false},
      {"string", ValueKind::kString, false, false},
      // Names are compared exactly: letter case, blanks and prefixes count.
      {"", ValueKind::kOther, false, false},
      {"INT", ValueKind::kOther, false, false},
      {"apexint", ValueKind::kOther, false, false},
      {"APEXINT", ValueKind::kOther, false, false},
      {"String", ValueKind::kOther, false, false},
      {"int ", ValueKind::kOther, false, false},
      {" bool", ValueKind::kOther, false, false},
      {"in", ValueKind::kOther, false, false},
      {"integer", ValueKind::kOther, false, false},
      {"floats", ValueKind::kOther, false, false},
      {"ApexIn", ValueKind::kOther, false, false},
      {std::string("int\0", 4), ValueKind::kOther, false, false},
      {"double", ValueKind::kOther, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.type + "'");
    EXPECT_EQ(valueKindOf(c.type), c.kind);
    EXPECT_EQ(isIntegerType(c.type), c.integer);
    EXPECT_EQ(isIdentityType(c.type), c.identity);
  }
}

TEST(ColumnType, TheNamesAreExactlyTheFiveTypes) {
  EXPECT_EQ(columnTypeNames(),
            (std::unordered_set<std::string>{"int", "string", "ApexInt", "float", "bool"}));
  for (const ColumnType& type : kColumnTypes) {
    EXPECT_EQ(valueKindOf(type.name), type.kind) << type.name;
    EXPECT_NE(type.kind, ValueKind::kOther) << type.name;
  }
}

}  // namespace
