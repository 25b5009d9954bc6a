#include "interface/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
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
