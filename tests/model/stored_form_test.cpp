#include "model/stored_form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

TEST(StoredForm, NumbersAndFlagsTakeTheFormOfTheirByteFields) {
  struct Case {
    const char* type;
    const char* text;
    const char* stored;
    const char* compared;  // as a condition's value
  };
  const std::vector<Case> cases = {
      {"int", "05", "5", "5"},
      {"int", "+7", "7", "7"},
      {"int", "12.5", "12", "12"},
      {"int", "abc", "0", "abc"},
      {"int", "99999999999", "0", "99999999999"},
      {"ApexInt", "007", "7", "7"},
      {"float", "2.5", "2.500000", "2.500000"},
      {"float", "abc", "0.000000", "abc"},
      {"float", "#/#?", "#/#?", "#/#?"},
      {"float", "nan", "#/#?", "#/#?"},
      {"bool", "TRUE", "true", "true"},
      {"bool", "1", "true", "true"},
      {"bool", "0", "false", "false"},
      {"bool", "#/#?", "false", "#/#?"},
      {"bool", "yes", "false", "yes"},
      {"string", "05", "05", "05"},
      {"", "05", "05", "05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.text);
    EXPECT_EQ(storedForm(c.type, c.text), c.stored);
    EXPECT_EQ(comparedForm(c.type, c.text), c.compared);
  }
}

TEST(StoredForm, FloatsIgnoreTheHostLocale) {
  CommaDecimalLocale comma;
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma";
  EXPECT_EQ(storedForm("float", "2.5"), "2.500000");
}

}  // namespace
