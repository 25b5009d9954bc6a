#include "engine/write_checks.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/stored_form.h"

namespace {

// Integers as commands write them skip the conversion, so the edges of that
// shortcut come first: the widths around nine and ten digits, the limits of
// the range, leading zeros, signs and blanks that only the conversion drops.
const std::vector<std::string> kEdges = {
    "0",           "-0",          "00",          "07",          "-07",        "+7",
    " 7",          "7 ",          "7x",          "x7",          "",           "-",
    "123456789",   "-123456789",  "1234567890",  "-1234567890", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "99999999999", "#/#?",        "1.5",        "true",
    "TRUE",        "1",           "false",       "nan",         "1e3",        "0x10"};

std::string randomText(std::mt19937& random) {
  if (random() % 3 == 0) return kEdges[random() % kEdges.size()];
  static const std::string kAlphabet = "0123456789-+ x.e";
  std::string text(random() % 12, ' ');
  for (char& c : text) c = random() % 2 == 0 ? kAlphabet[random() % 10] : kAlphabet[random() % 16];
  return text;
}

TEST(WriteChecksTest, StoredFormsOfValuesAndStatesMatchTheConversionOfEveryText) {
  const std::vector<std::string> types = {"int", "ApexInt", "float", "bool", "string", "other"};
  std::mt19937 random(2104);
  for (int trial = 0; trial < 20000; ++trial) {
    const std::string& type = types[random() % types.size()];
    Cell cell;
    cell.value = randomText(random);
    if (random() % 4 == 0) {
      cell.rule = std::make_unique<TempRule>();
      for (std::size_t i = random() % 3; i > 0; --i)
        cell.rule->states.push_back({randomText(random), 5});
    }
    const Cell original = cell;
    toStoredForm(cell, type);
    SCOPED_TRACE(type + " '" + original.value + "'");
    EXPECT_EQ(cell.value, storedForm(type, original.value));
    ASSERT_EQ(cell.rule != nullptr, original.rule != nullptr);
    if (!cell.rule) continue;
    ASSERT_EQ(cell.rule->states.size(), original.rule->states.size());
    for (std::size_t i = 0; i < cell.rule->states.size(); ++i) {
      EXPECT_EQ(cell.rule->states[i].value, storedForm(type, original.rule->states[i].value)) << i;
    }
  }
}

}  // namespace
