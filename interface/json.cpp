#include "interface/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

// Room for any int32 or any float in six significant digits ("-1.17549e-38").
constexpr std::size_t kNumberRoom = 32;

// Appends `text` escaped: the runs that need no escape are copied whole.
void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0f];
    }
  }
  out.append(text.data() + run, text.size() - run);
}

void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  appendEscaped(out, text);
  out += '"';
}

// std::to_chars writes the "C" locale's digits whatever locale the host
// program has chosen: integers plain, floats as %g with six significant
// digits, the text a classic-locale stream gives.
template <typename Number, typename... Format>
void appendNumber(std::string& out, Number value, Format... format) {
  char digits[kNumberRoom];
  const auto written = std::to_chars(digits, digits + sizeof digits, value, format...);
  // A length, not an end: the iterator form of append goes through the
  // general replace, which costs more than the number.
  out.append(digits, static_cast<std::size_t>(written.ptr - digits));
}

// JSON has no infinity or NaN: such a float is written as null so that the
// text always parses.
void appendFloat(std::string& out, float value) {
  if (std::isfinite(value)) {
    appendNumber(out, static_cast<double>(value), std::chars_format::general, 6);
  } else {
    out += "null";
  }
}

void appendValue(std::string& out, const ResultValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int32_t>) {
          appendNumber(out, v);
        } else if constexpr (std::is_same_v<T, float>) {
          appendFloat(out, v);
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if (v == "NULL") {
          out += "null";  // the text a missing value travels as
        } else {
          appendQuoted(out, v);
        }
      },
      value);
}

// Appends what stands before value `i` of a row: the separator and the
// quoted column name.
void appendKey(std::string& out, std::size_t i, const std::string& column) {
  if (i > 0) out += ", ";
  appendQuoted(out, column);
  out += ": ";
}

// What stands before each value of a row, escaped once for all the rows.
std::vector<std::string> valueKeys(const std::vector<std::string>& columns) {
  std::vector<std::string> keys(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) appendKey(keys[i], i, columns[i]);
  return keys;
}

// Appends every row, `key(i)` appending what stands before value i.
template <typename Key>
void appendRows(std::string& out, const ResultSet& result, const Key& key) {
  for (std::size_t r = 0; r < result.rows.size(); ++r) {
    const std::vector<ResultValue>& row = result.rows[r];
    out += "    {";
    for (std::size_t i = 0; i < result.columns.size(); ++i) {
      key(i);
      if (i < row.size()) {
        appendValue(out, row[i]);
      } else {
        out += "null";  // a short row must still give valid JSON
      }
    }
    // The row's end, comma and line feed in one copy: a character at a time
    // costs a call each.
    out += r + 1 < result.rows.size() ? std::string_view("},\n") : std::string_view("}\n");
  }
}

// A first guess at the text's length, so that a large result is rarely
// copied while it grows: the rows' texts are not measured.
std::size_t expectedLength(const ResultSet& result) {
  std::size_t perRow = 8;
  for (const std::string& column : result.columns) perRow += column.size() + 16;
  return 96 + result.message.size() + result.rows.size() * perRow;
}

}  // namespace

std::string escapeJson(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  appendEscaped(escaped, text);
  return escaped;
}

void writeJson(const ResultSet& result, std::string& out) {
  out.clear();
  out.reserve(expectedLength(result));
  out += "{\n  \"success\": ";
  out += result.success ? "true" : "false";
  out += ",\n  \"message\": ";
  appendQuoted(out, result.message);
  out += ",\n  \"rows_affected\": ";
  appendNumber(out, result.rows_affected);
  if (result.columns.empty() || result.rows.empty()) {
    out += "\n}";
    return;
  }
  out += ",\n  \"data\": [\n";
  // A single row, as a look-up by key gives, writes its keys in place.
  if (result.rows.size() == 1) {
    appendRows(out, result, [&](std::size_t i) { appendKey(out, i, result.columns[i]); });
  } else {
    const std::vector<std::string> keys = valueKeys(result.columns);
    appendRows(out, result, [&](std::size_t i) { out += keys[i]; });
  }
  out += "  ]\n}";
}

std::string ResultSet::toJson() const {
  std::string out;
  writeJson(*this, out);
  return out;
}
