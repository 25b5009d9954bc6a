#include "storage/cell_encoding.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "model/cell.h"
#include "model/number.h"
#include "model/stored_form.h"
#include "storage/bytes.h"

namespace {

bool isIntegerType(std::string_view type) { return type == "int" || type == "ApexInt"; }

float floatFromText(std::string_view text) {
  if (text == kMissingValue) return std::numeric_limits<float>::quiet_NaN();
  return toFloat(text).value_or(0.0F);
}

}  // namespace

void appendCellValue(std::string& out, std::string_view type, std::string_view text, int width) {
  const std::size_t start = out.size();
  const std::size_t size = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (isIntegerType(type)) {
    appendInt32(out, toInt32(text).value_or(0));
  } else if (type == "float") {
    appendInt32(out, std::bit_cast<std::int32_t>(floatFromText(text)));
  } else if (type == "bool") {
    out.push_back(isTrueText(text) ? 1 : 0);
  } else if (type == "string") {
    appendPadded(out, text, size);
  }
  // Every cell takes exactly its column's width, whatever its encoding gave.
  out.resize(start + size, '\0');
}

std::string decodeCellValue(std::string_view type, std::string_view field) {
  if (isIntegerType(type)) return field.size() >= 4 ? std::to_string(int32At(field)) : "0";
  if (type == "float") {
    if (field.size() < 4) return formatFloat(0.0F);
    const float value = std::bit_cast<float>(int32At(field));
    return std::isnan(value) ? kMissingValue : formatFloat(value);
  }
  if (type == "bool") return !field.empty() && field[0] == 1 ? "true" : "false";
  // A "string" field narrower than the missing-value marker holds its first
  // bytes only.
  const std::string_view marker(kMissingValue);
  if (!field.empty() && field.size() < marker.size() && field == marker.substr(0, field.size())) {
    return kMissingValue;
  }
  return std::string(textOf(field));
}
