#include "interface/json.h"

#include <cmath>
#include <cstdint>
#include <locale>
#include <sstream>
#include <type_traits>
#include <variant>

#include "model/result_set.h"

namespace {

void writeQuoted(std::ostream& out, std::string_view text) {
  out << '"' << escapeJson(text) << '"';
}

// JSON has no infinity or NaN: such a float is written as null so that the
// text always parses.
void writeFloat(std::ostream& out, float value) {
  if (std::isfinite(value)) {
    out << static_cast<double>(value);
  } else {
    out << "null";
  }
}

void writeValue(std::ostream& out, const ResultValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int32_t>) {
          out << v;
        } else if constexpr (std::is_same_v<T, float>) {
          writeFloat(out, v);
        } else if constexpr (std::is_same_v<T, bool>) {
          out << (v ? "true" : "false");
        } else if (v == "NULL") {
          out << "null";  // the text a missing value travels as
        } else {
          writeQuoted(out, v);
        }
      },
      value);
}

void writeRow(std::ostream& out, const std::vector<std::string>& columns,
              const std::vector<ResultValue>& row) {
  out << "    {";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out << ", ";
    writeQuoted(out, columns[i]);
    out << ": ";
    if (i < row.size()) {
      writeValue(out, row[i]);
    } else {
      out << "null";  // a short row must still give valid JSON
    }
  }
  out << "}";
}

}  // namespace

std::string escapeJson(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '"':
        escaped += "\\\"";
        break;
      case '\\':
        escaped += "\\\\";
        break;
      case '\b':
        escaped += "\\b";
        break;
      case '\f':
        escaped += "\\f";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          escaped += "\\u00";
          escaped += kHex[byte >> 4];
          escaped += kHex[byte & 0x0f];
        } else {
          escaped += c;
        }
      }
    }
  }
  return escaped;
}

std::string ResultSet::toJson() const {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << "{\n";
  out << "  \"success\": " << (success ? "true" : "false") << ",\n";
  out << "  \"message\": ";
  writeQuoted(out, message);
  out << ",\n";
  out << "  \"rows_affected\": " << rows_affected;
  if (columns.empty() || rows.empty()) {
    out << "\n}";
    return out.str();
  }
  out << ",\n  \"data\": [\n";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    writeRow(out, columns, rows[r]);
    if (r + 1 < rows.size()) out << ",";
    out << "\n";
  }
  out << "  ]\n}";
  return out.str();
}
