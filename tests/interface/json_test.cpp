#include "interface/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <locale>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "model/result_set.h"

namespace {

ResultSet oneValue(ResultValue value) {
  ResultSet result;
  result.rows_affected = 1;
  result.columns = {"v"};
  result.rows = {{std::move(value)}};
  return result;
}

// The text of a one-column, one-row result around the value's own text.
std::string oneValueJson(const std::string& valueText) {
  return "{\n"
         "  \"success\": true,\n"
         "  \"message\": \"\",\n"
         "  \"rows_affected\": 1,\n"
         "  \"data\": [\n"
         "    {\"v\": " +
         valueText +
         "}\n"
         "  ]\n"
         "}";
}

TEST(JsonTest, RowsAreWrittenWithFixedIndentation) {
  ResultSet result;
  result.rows_affected = 2;
  result.columns = {"id", "name"};
  result.rows = {{std::int32_t{1}, std::string("ann")}, {std::int32_t{2}, std::string("NULL")}};
  EXPECT_EQ(result.toJson(),
            "{\n"
            "  \"success\": true,\n"
            "  \"message\": \"\",\n"
            "  \"rows_affected\": 2,\n"
            "  \"data\": [\n"
            "    {\"id\": 1, \"name\": \"ann\"},\n"
            "    {\"id\": 2, \"name\": null}\n"
            "  ]\n"
            "}");
}

TEST(JsonTest, DataOnlyWithColumnsAndRows) {
  struct Case {
    const char* name;
    ResultSet result;
    std::string expected;
  };
  ResultSet inserted;
  inserted.message = "success!";
  inserted.rows_affected = 1;
  ResultSet noMatch;
  noMatch.columns = {"id", "name"};
  ResultSet failed;
  failed.success = false;
  failed.message = "Error: Unknown command or missing parameters";
  ResultSet rowsWithoutColumns;
  rowsWithoutColumns.rows = {{std::int32_t{1}}};
  rowsWithoutColumns.rows_affected = -3;
  const std::vector<Case> cases = {
      {"insert", inserted,
       "{\n  \"success\": true,\n  \"message\": \"success!\",\n  \"rows_affected\": 1\n}"},
      {"select without matches", noMatch,
       "{\n  \"success\": true,\n  \"message\": \"\",\n  \"rows_affected\": 0\n}"},
      {"failed command", failed,
       "{\n  \"success\": false,\n  \"message\": \"Error: Unknown command or missing "
       "parameters\",\n  \"rows_affected\": 0\n}"},
      {"rows but no columns, negative count", rowsWithoutColumns,
       "{\n  \"success\": true,\n  \"message\": \"\",\n  \"rows_affected\": -3\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result.toJson(), c.expected);
  }
}

TEST(JsonTest, ValuesAreWrittenByKind) {
  struct Case {
    const char* name;
    ResultValue value;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"int", std::int32_t{-42}, "-42"},
      {"int minimum", std::numeric_limits<std::int32_t>::min(), "-2147483648"},
      {"bool true", true, "true"},
      {"bool false", false, "false"},
      {"float whole", 7.0f, "7"},
      {"float half", 2.5f, "2.5"},
      {"float hundred thousand", 100000.0f, "100000"},
      {"float million", 1000000.0f, "1e+06"},
      {"float million and a quarter", 1250000.0f, "1.25e+06"},
      {"float small", 0.00001f, "1e-05"},
      {"float negative", -0.5f, "-0.5"},
      {"float six digits", 3.14159265f, "3.14159"},
      {"float infinity", std::numeric_limits<float>::infinity(), "null"},
      {"float minus infinity", -std::numeric_limits<float>::infinity(), "null"},
      {"float nan", std::numeric_limits<float>::quiet_NaN(), "null"},
      {"missing value", std::string("NULL"), "null"},
      {"lower-case null is text", std::string("null"), "\"null\""},
      {"mixed-case null is text", std::string("Null"), "\"Null\""},
      {"empty text", std::string(""), "\"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(oneValue(c.value).toJson(), oneValueJson(c.expected));
  }
}

TEST(JsonTest, EscapesEveryQuotedText) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"quote", "say \"hi\"", "say \\\"hi\\\""},
      {"backslash", "a\\b", "a\\\\b"},
      {"line feed", "a\nb", "a\\nb"},
      {"short escapes", "\b\f\r\t", "\\b\\f\\r\\t"},
      {"other control bytes", std::string("\x01\x1f\0", 3), "\\u0001\\u001f\\u0000"},
      {"bytes of 0x80 and above", "caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},
      {"delete byte unchanged", "\x7f", "\x7f"},
      {"solidus unchanged", "a/b", "a/b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(escapeJson(c.text), c.expected);
  }
}

TEST(JsonTest, MessageColumnNamesAndTextsAreEscaped) {
  ResultSet result;
  result.success = false;
  result.message = "Error: \"x\"\n";
  result.columns = {"a\\b"};
  result.rows = {{std::string("tab\there")}};
  EXPECT_EQ(result.toJson(),
            "{\n"
            "  \"success\": false,\n"
            "  \"message\": \"Error: \\\"x\\\"\\n\",\n"
            "  \"rows_affected\": 0,\n"
            "  \"data\": [\n"
            "    {\"a\\\\b\": \"tab\\there\"}\n"
            "  ]\n"
            "}");
}

// A global locale with another decimal point must not reach the numbers.
TEST(JsonTest, NumbersIgnoreTheGlobalLocale) {
  struct CommaPoint : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
  const std::string withLocale = oneValue(1234567.0f).toJson() + oneValue(2.5f).toJson() +
                                 oneValue(std::int32_t{1234567}).toJson();
  std::locale::global(previous);
  EXPECT_EQ(withLocale,
            oneValueJson("1.23457e+06") + oneValueJson("2.5") + oneValueJson("1234567"));
}

}  // namespace

namespace {

// A row shorter than the column list must not read past its end.
TEST(JsonTest, MissingValuesOfAShortRowAreNull) {
  ResultSet result;
  result.columns = {"a", "b"};
  result.rows = {{std::int32_t{1}}};
  EXPECT_EQ(result.toJson(),
            "{\n  \"success\": true,\n  \"message\": \"\",\n  \"rows_affected\": 0,\n"
            "  \"data\": [\n    {\"a\": 1, \"b\": null}\n  ]\n}");
}

}  // namespace

namespace {

// The writer as it stood before results were built in one string: a
// classic-locale stream, each byte escaped on its own. The reference of the
// randomized test below.
class StreamJson {
 public:
  static std::string of(const ResultSet& result) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << "{\n  \"success\": " << (result.success ? "true" : "false") << ",\n  \"message\": ";
    quoted(out, result.message);
    out << ",\n  \"rows_affected\": " << result.rows_affected;
    if (result.columns.empty() || result.rows.empty()) {
      out << "\n}";
      return out.str();
    }
    out << ",\n  \"data\": [\n";
    for (std::size_t r = 0; r < result.rows.size(); ++r) {
      out << "    {";
      for (std::size_t i = 0; i < result.columns.size(); ++i) {
        if (i > 0) out << ", ";
        quoted(out, result.columns[i]);
        out << ": ";
        if (i < result.rows[r].size()) {
          value(out, result.rows[r][i]);
        } else {
          out << "null";
        }
      }
      out << "}" << (r + 1 < result.rows.size() ? "," : "") << "\n";
    }
    out << "  ]\n}";
    return out.str();
  }

 private:
  static void quoted(std::ostream& out, const std::string& text) {
    out << '"';
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      const char* const shortForms[] = {"\\b", "\\t", "\\n", nullptr, "\\f", "\\r"};
      if (c == '"') {
        out << "\\\"";
      } else if (c == '\\') {
        out << "\\\\";
      } else if (byte >= 8 && byte <= 13 && shortForms[byte - 8] != nullptr) {
        out << shortForms[byte - 8];
      } else if (byte < 0x20) {
        out << "\\u00"
            << "0123456789abcdef"[byte >> 4] << "0123456789abcdef"[byte & 0x0f];
      } else {
        out << c;
      }
    }
    out << '"';
  }

  static void value(std::ostream& out, const ResultValue& v) {
    if (const auto* number = std::get_if<std::int32_t>(&v)) {
      out << *number;
    } else if (const auto* real = std::get_if<float>(&v)) {
      if (std::isfinite(*real)) {
        out << static_cast<double>(*real);
      } else {
        out << "null";
      }
    } else if (const auto* flag = std::get_if<bool>(&v)) {
      out << (*flag ? "true" : "false");
    } else if (std::get<std::string>(v) == "NULL") {
      out << "null";
    } else {
      quoted(out, std::get<std::string>(v));
    }
  }
};

TEST(JsonDifferentialTest, MatchesTheStreamWriterByteForByte) {
  std::mt19937 random(11);
  const auto below = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random);
  };
  // Texts of every byte, weighted towards the ones that need escapes.
  const auto text = [&] {
    static const std::string kSpecial =
        std::string("\"\\\b\f\n\r\t\x01\x1f\x7f\x80\xff", 12) + std::string(1, '\0');
    std::string t;
    for (std::uint32_t i = below(12); i > 0; --i) {
      const std::uint32_t kind = below(4);
      t += kind == 0   ? kSpecial[below(static_cast<std::uint32_t>(kSpecial.size()))]
           : kind == 1 ? static_cast<char>(below(256))
                       : static_cast<char>('a' + below(26));
    }
    return below(8) == 0 ? std::string("NULL") : t;
  };
  // Floats by their bits (every exponent, subnormals, NaN and infinities)
  // and as short decimals, where rounding to six digits carries.
  const auto real = [&] {
    if (below(2) == 0) return std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    const float decimals[] = {999999.5F, 9999995.0F, 0.0001F, 0.00001F, 123456.7F, -0.0F, 1e38F};
    return decimals[below(7)] * (below(2) == 0 ? 1.0F : -1.0F);
  };
  // Integers of every length, the ends of the range and the digit
  // boundaries among them, where a digit writer can drop or add a digit.
  const auto integer = [&] {
    constexpr std::int32_t kEdges[] = {0,
                                       9,
                                       10,
                                       99,
                                       100,
                                       999999999,
                                       1000000000,
                                       std::numeric_limits<std::int32_t>::max(),
                                       std::numeric_limits<std::int32_t>::min()};
    const std::uint32_t shift = below(33);
    const auto drawn =
        static_cast<std::int32_t>(shift == 32 ? kEdges[below(9)] : random() >> shift);
    return below(2) == 0 ? drawn
                         : static_cast<std::int32_t>(0U - static_cast<std::uint32_t>(drawn));
  };
  const auto value = [&]() -> ResultValue {
    switch (below(4)) {
      case 0:
        return integer();
      case 1:
        return real();
      case 2:
        return below(2) == 0;
      default:
        return text();
    }
  };
  std::string reused;  // holds the text of the run before, as ExecuteQuery's does
  for (int run = 0; run < 3000; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ResultSet result;
    result.success = below(2) == 0;
    result.message = text();
    result.rows_affected = static_cast<std::int32_t>(random());
    for (std::uint32_t i = below(4); i > 0; --i) result.columns.push_back(text());
    for (std::uint32_t r = below(4); r > 0; --r) {
      auto& row = result.rows.emplace_back();
      // Short and long rows too: the writer goes by the column list.
      for (std::uint32_t i = below(6); i > 0; --i) row.push_back(value());
    }
    const std::string expected = StreamJson::of(result);
    EXPECT_EQ(result.toJson(), expected);
    writeJson(result, reused);
    EXPECT_EQ(reused, expected);
  }
}

}  // namespace
