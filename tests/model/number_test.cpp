#include "model/number.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <compare>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <locale>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/number_reference.h"
#include "support/test_support.h"

namespace {

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

TEST(NumberTest, Int32ReadsLeadingNumber) {
  struct Case {
    std::string text;
    std::optional<std::int32_t> expected;
  };
  const Case cases[] = {
      {"7", 7},
      {" 7x", 7},
      {"\t\n\v\f\r 42", 42},
      {"+7", 7},
      {"-7", -7},
      {"007", 7},
      {"12abc", 12},
      {"3.9", 3},
      {"7 8", 7},
      {"-0", 0},
      {"2147483647", kInt32Max},
      {"-2147483648", kInt32Min},
      {"00000000002147483647", kInt32Max},
      {"2147483647x", kInt32Max},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"abc", std::nullopt},
      {"x7", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"- 5", std::nullopt},
      {".5", std::nullopt},
      {"#/#?", std::nullopt},
      {std::string("\0"
                   "7",
                   2),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text: '" + c.text + "'");
    EXPECT_EQ(toInt32(c.text), c.expected);
  }
}

TEST(NumberTest, Int64ReadsLeadingNumberWithinItsRange) {
  struct Case {
    std::string text;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {" -12x", -12},
      {"2147483648", 2147483648LL},
      {"-2147483649", -2147483649LL},
      {"9223372036854775807", kInt64Max},
      {"-9223372036854775808", kInt64Min},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"100000000000000000000", std::nullopt},
      {"", std::nullopt},
      {"time", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text: '" + c.text + "'");
    EXPECT_EQ(toInt64(c.text), c.expected);
  }
}

// Wide enough for every digit run the reference below keeps.
__extension__ typedef __int128 Wide;

// Against a reference that reads the digits into 128 bits: random texts
// around the limits, with leading zeros, white space, signs and trailing text.
TEST(NumberTest, IntegersMatchAWideReference) {
  const auto reference = [](std::string_view text, Wide lowest, Wide highest) {
    std::size_t i = 0;
    while (i < text.size() && std::string_view(" \t\n\v\f\r").find(text[i]) != text.npos) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::optional<Wide>();
    Wide value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      value = value * 10 + (text[i] - '0');
      if (value > highest + 1) return std::optional<Wide>();
    }
    if (negative) value = -value;
    if (value < lowest || value > highest) return std::optional<Wide>();
    return std::optional<Wide>(value);
  };
  std::mt19937_64 random(17);
  const std::vector<std::string> limits = {"2147483647",          "2147483648",
                                           "9223372036854775807", "9223372036854775808",
                                           "999999999",           "1000000000"};
  for (int i = 0; i < 200000; ++i) {
    std::string text(random() % 3, ' ');
    if (random() % 3 == 0) text += "+-"[random() % 2];
    if (random() % 4 == 0) {
      text += std::string(random() % 12, '0') + limits[random() % limits.size()];
    } else {
      const std::size_t digits = random() % 22;
      for (std::size_t d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 3 == 0) text += "x9"[random() % 2];
    SCOPED_TRACE("text: '" + text + "'");
    const auto wide32 = reference(text, std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max());
    const auto wide64 = reference(text, std::numeric_limits<std::int64_t>::min(),
                                  std::numeric_limits<std::int64_t>::max());
    const auto narrow32 = toInt32(text);
    const auto narrow64 = toInt64(text);
    ASSERT_EQ(narrow32.has_value(), wide32.has_value());
    ASSERT_EQ(narrow64.has_value(), wide64.has_value());
    if (wide32) {
      ASSERT_EQ(*narrow32, static_cast<std::int32_t>(*wide32));
    }
    if (wide64) {
      ASSERT_EQ(*narrow64, static_cast<std::int64_t>(*wide64));
    }
  }
}

TEST(NumberTest, FloatReadsLeadingNumberAndRefusesOutOfRange) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string text;
    std::optional<float> expected;
  };
  const Case cases[] = {
      {"1.5", 1.5f},
      {" \t2.5abc", 2.5f},
      {"-0.25", -0.25f},
      {"+4", 4.0f},
      {".5", 0.5f},
      {"1e3", 1000.0f},
      {"1e", 1.0f},
      {"7.", 7.0f},
      {"0x1p3", 8.0f},
      {"0x1.8p1", 3.0f},
      {"0x10", 16.0f},
      {"-0x.8p1", -1.0f},
      {"0xg", 0.0f},
      {"0x1p200", std::nullopt},
      {"inf", kInf},
      {"-Infinity", -kInf},
      {"INFx", kInf},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"1e39", std::nullopt},
      {"-1e39", std::nullopt},
      {"1e-50", std::nullopt},
      {"1e-40", std::nullopt},
      {"+-1", std::nullopt},
      {"- 1", std::nullopt},
      {"", std::nullopt},
      {".", std::nullopt},
      {"abc", std::nullopt},
      {"#/#?", std::nullopt},
      {"e5", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text: '" + c.text + "'");
    EXPECT_EQ(toFloat(c.text), c.expected);
  }
}

TEST(NumberTest, FloatIgnoresTheHostLocale) {
  const CommaDecimalLocale comma;
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma";
  EXPECT_EQ(toFloat("2.5"), 2.5F);
  EXPECT_EQ(toFloat("2,5"), 2.0F);
}

TEST(NumberTest, FloatReadsNaN) {
  for (const std::string text : {"nan", " NaN", "-nan", "nan(12)", "NANx"}) {
    SCOPED_TRACE(text);
    const auto value = toFloat(text);
    ASSERT_TRUE(value.has_value());
    EXPECT_TRUE(std::isnan(*value));
  }
}

TEST(NumberTest, FloatReadsOnlyTheGivenView) {
  // A view into a longer text must not read past its end.
  const std::string text = "12345";
  EXPECT_EQ(toFloat(std::string_view(text).substr(0, 2)), 12.0f);
}

// Pairs of random texts around and far past the limits, ordered by their
// leading integers as 128-bit numbers.
TEST(NumberTest, CompareIntegersMatchesAWideReferenceAtAnySize) {
  std::mt19937_64 random(29);
  const std::vector<std::string> limits = {"2147483647",           "2147483648",
                                           "9223372036854775807",  "9223372036854775808",
                                           "99999999999999999999", "0"};
  const auto randomText = [&] {
    std::string text(random() % 2, ' ');
    if (random() % 2 == 0) text += "+-"[random() % 2];
    if (random() % 3 == 0) {
      text += std::string(random() % 4, '0') + limits[random() % limits.size()];
    } else {
      const std::size_t digits = random() % 25;
      for (std::size_t d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 3 == 0) text += "x9."[random() % 3];
    return text;
  };
  for (int i = 0; i < 200000; ++i) {
    const std::string a = randomText();
    const std::string b = random() % 4 == 0 ? a + "x" : randomText();
    SCOPED_TRACE("'" + a + "' vs '" + b + "'");
    const auto x = wideInteger(a);
    const auto y = wideInteger(b);
    const std::partial_ordering order = compareIntegers(a, b);
    if (!x || !y) {
      ASSERT_EQ(order, std::partial_ordering::unordered);
      continue;
    }
    ASSERT_EQ(order < 0, *x < *y);
    ASSERT_EQ(order > 0, *x > *y);
    ASSERT_EQ(order == 0, *x == *y);
  }
}

TEST(NumberTest, ComparedFloatReadsWhatSinglePrecisionCannotHold) {
  constexpr double kMax = std::numeric_limits<double>::max();
  constexpr double kTiny = std::numeric_limits<double>::denorm_min();
  struct Case {
    std::string text;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {"0.1", static_cast<double>(0.1F)},  // single precision where it fits
      {"2.5x", 2.5},
      {"1e39", 1e39},
      {"-1e39", -1e39},
      {" +1e-40", 1e-40},
      {"1e-320", 1e-320},
      {"0x1p200", 0x1p200},
      {"1e400", kMax},
      {"-1e400", -kMax},
      {"1e99999999999999999999", kMax},
      {"1e-400", kTiny},
      {"-1e-400", -kTiny},
      {"0x1p-2000", kTiny},
      {"-0x1p2000", -kMax},
      {"100e-402", kTiny},
      {"0.001e400", kMax},
      {"1e+", 1.0},
      {"", std::nullopt},
      {"#/#?", std::nullopt},
      {"-", std::nullopt},
      {"e5", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text: '" + c.text + "'");
    EXPECT_EQ(toComparedFloat(c.text), c.expected);
  }
}

// The fixed six-decimal text through a string stream in the "C" locale, as
// the tables' floats were once formatted: the text every float must keep.
std::string streamFormatted(float value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(6) << static_cast<double>(value);
  return out.str();
}

TEST(NumberTest, FormatFloatGivesTheFixedSixDecimalText) {
  const float cases[] = {
      0.0F,
      -0.0F,
      1.0F,
      -1.0F,
      2.5F,
      0.1F,
      1.234568F,
      0.0000005F,  // rounds at the sixth decimal
      0.0000015F,
      -0.0000004F,  // a negative number that rounds to zero keeps its sign
      16777216.0F,  // the last integer every float below holds
      16777217.0F,
      123456789.0F,
      1e-30F,
      std::numeric_limits<float>::denorm_min(),
      std::numeric_limits<float>::min(),
      std::numeric_limits<float>::max(),
      std::numeric_limits<float>::lowest(),
      std::numeric_limits<float>::infinity(),
      -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::quiet_NaN(),
      -std::numeric_limits<float>::quiet_NaN(),
  };
  for (const float value : cases) {
    EXPECT_EQ(formatFloat(value), streamFormatted(value)) << streamFormatted(value);
  }
  EXPECT_EQ(formatFloat(-0.0F), "-0.000000");
  EXPECT_EQ(formatFloat(2.5F), "2.500000");

  std::mt19937 random(13);
  for (int i = 0; i < 100000; ++i) {
    const auto value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    ASSERT_EQ(formatFloat(value), streamFormatted(value)) << std::bit_cast<std::uint32_t>(value);
  }
}

TEST(NumberTest, SaturatingArithmeticStopsAtTheLimits) {
  struct Case {
    const char* what;
    std::int64_t actual;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"add in range", saturatingAdd(2, 3), 5},
      {"add opposite limits", saturatingAdd(kInt64Max, kInt64Min), -1},
      {"add above max", saturatingAdd(kInt64Max, 1), kInt64Max},
      {"add far above max", saturatingAdd(kInt64Max, kInt64Max), kInt64Max},
      {"add below min", saturatingAdd(kInt64Min, -1), kInt64Min},
      {"add far below min", saturatingAdd(kInt64Min, kInt64Min), kInt64Min},
      {"sub in range", saturatingSub(5, 7), -2},
      {"sub reaching max exactly", saturatingSub(-1, kInt64Min), kInt64Max},
      {"sub above max", saturatingSub(0, kInt64Min), kInt64Max},
      {"sub above max from max", saturatingSub(kInt64Max, -1), kInt64Max},
      {"sub below min", saturatingSub(kInt64Min, 1), kInt64Min},
      {"sub far below min", saturatingSub(kInt64Min, kInt64Max), kInt64Min},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.actual, c.expected);
  }
}

}  // namespace
