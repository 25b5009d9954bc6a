#include "storage/cell_encoding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/stored_form.h"
#include "storage_tables.h"
#include "support/test_support.h"

namespace {

using namespace storage_tables;

// A value encoded for a column of type `type`, taking exactly its width.
void appendCellValue(std::string& out, const std::string& type, const std::string& text,
                     int width) {
  const std::size_t start = out.size();
  const std::size_t size = width > 0 ? static_cast<std::size_t>(width) : 0;
  out.resize(start + size, '\0');
  encodeCellValue(out.data() + start, valueKindOf(type), text, size);
}

std::string decodeCellValue(const std::string& type, std::string_view field) {
  std::string text;
  decodeCellValue(valueKindOf(type), field, text);
  return text;
}

std::string encoded(const std::string& type, const std::string& text, int width) {
  std::string bytes;
  appendCellValue(bytes, type, text, width);
  return bytes;
}

TEST(CellEncoding, WritesEachTypeInItsWidth) {
  struct Case {
    const char* name;
    std::string type;
    std::string text;
    int width;
    std::string bytes;
  };
  const Case cases[] = {
      {"int", "int", "258", 4, bytesOf({2, 1, 0, 0})},
      {"negative int", "int", "-2", 4, bytesOf({0xFE, 0xFF, 0xFF, 0xFF})},
      {"leading blanks and trailing text", "ApexInt", "  7abc", 4, bytesOf({7, 0, 0, 0})},
      {"int that does not convert", "int", "#/#?", 4, bytesOf({0, 0, 0, 0})},
      {"int out of range", "int", "99999999999", 4, bytesOf({0, 0, 0, 0})},
      {"float", "float", "2.5", 4, bytesOf({0, 0, 0x20, 0x40})},
      {"float that does not convert", "float", "abc", 4, bytesOf({0, 0, 0, 0})},
      {"float out of range", "float", "1e999", 4, bytesOf({0, 0, 0, 0})},
      {"bool true in any case", "bool", "TrUe", 1, bytesOf({1})},
      {"bool one", "bool", "1", 1, bytesOf({1})},
      {"bool missing value", "bool", "#/#?", 1, bytesOf({0})},
      {"bool other text", "bool", "yes", 1, bytesOf({0})},
      {"string shorter", "string", "abc", 5, std::string("abc\0\0", 5)},
      {"string cut", "string", "0123456789", 8, "01234567"},
      {"string fills the field", "string", "abcdefgh", 8, "abcdefgh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encoded(c.type, c.text, c.width), c.bytes);
  }
}

TEST(CellEncoding, MissingFloatIsAQuietNaNAndReadsBackAsTheMarker) {
  const std::string bytes = encoded("float", kMissingValue, 4);
  ASSERT_EQ(bytes.size(), 4U);
  const auto bits = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24;
  EXPECT_TRUE(std::isnan(std::bit_cast<float>(bits)));
  EXPECT_NE(bits & 0x00400000U, 0U) << "quiet bit";
  EXPECT_EQ(decodeCellValue("float", bytes), kMissingValue);
  // Any NaN on disk is a missing value.
  EXPECT_EQ(decodeCellValue("float", bytesOf({1, 0, 0x80, 0x7F})), kMissingValue);
}

TEST(CellEncoding, ReadsEachTypeBackAsText) {
  struct Case {
    const char* name;
    std::string type;
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"int", "int", bytesOf({7, 0, 0, 0}), "7"},
      {"negative int keeps its sign", "ApexInt", bytesOf({0xFE, 0xFF, 0xFF, 0xFF}), "-2"},
      {"float six decimals", "float", bytesOf({0, 0, 0x20, 0x40}), "2.500000"},
      {"bool one", "bool", bytesOf({1}), "true"},
      {"bool other byte", "bool", bytesOf({2}), "false"},
      {"string up to the zero", "string", std::string("ab\0cd", 5), "ab"},
      {"string without a zero", "string", "abcdefgh", "abcdefgh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeCellValue(c.type, c.bytes), c.text);
  }
}

// Which values a "string" field gives back as the marker though they are
// not the marker: exactly what a write and a read of the field make of them.
TEST(CellEncoding, ANarrowFieldReadsOnlyTheMarkersFirstBytesAsMissing) {
  const std::vector<std::string> texts = {"#",     "#/", "#/#",  kMissingValue,
                                          "#/#?x", "/",  "",     "#x",
                                          "#/x",   "##", "#/#/", std::string("#\0", 2)};
  for (std::size_t width = 1; width <= 5; ++width) {
    for (const std::string& text : texts) {
      SCOPED_TRACE("'" + text + "' in " + std::to_string(width) + " bytes");
      const bool roundTrip =
          decodeCellValue("string", encoded("string", text, static_cast<int>(width))) ==
          kMissingValue;
      EXPECT_EQ(readsAsMissingValue(text, width),
                roundTrip && text != kMissingValue && text.size() <= width);
    }
  }
  struct Case {
    std::string text;
    std::size_t width;
    bool missing;
  };
  const Case cases[] = {
      {"#", 1, true},   {"#/", 2, true},    {"#/#", 3, true},  {"#", 2, false},
      {"#/", 3, false}, {"#/#?", 4, false}, {"#/#", 4, false}, {"", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "' in " + std::to_string(c.width) + " bytes");
    EXPECT_EQ(readsAsMissingValue(c.text, c.width), c.missing);
  }
}

}  // namespace

TEST(CellEncoding, FloatsIgnoreTheHostLocale) {
  const CommaDecimalLocale comma;
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma";
  std::string bytes;
  appendCellValue(bytes, "float", "2.5", 4);
  EXPECT_EQ(bytes, bytesOf({0, 0, 0x20, 0x40}));
  EXPECT_EQ(decodeCellValue("float", bytes), "2.500000");
}

// What the engine stores for a value is what a checkpoint and a restart give
// back for it, so a value never changes under its user.
TEST(CellEncoding, ReadsBackAsTheStoredForm) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> texts = {
      {"int", {"7", "07", "+7", "-0", " 12", "12.5", "abc", "#/#?", "99999999999", "-2147483648"}},
      {"ApexInt", {"1", "0042"}},
      {"float", {"2.5", "2.500000", "-0", "1e3", "1e999", "abc", "#/#?", "nan", "inf", "0x10"}},
      {"bool", {"true", "TRUE", "1", "false", "0", "yes", "#/#?", ""}},
  };
  for (const auto& [type, values] : texts) {
    for (const std::string& text : values) {
      SCOPED_TRACE(type + " " + text);
      const int width = type == "bool" ? 1 : 4;
      EXPECT_EQ(decodeCellValue(type, encoded(type, text, width)), storedForm(type, text));
      EXPECT_EQ(storedForm(type, storedForm(type, text)), storedForm(type, text));
    }
  }
}
