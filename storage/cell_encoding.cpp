#include "storage/cell_encoding.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "model/cell.h"
#include "model/number.h"
#include "model/stored_form.h"
#include "storage/bytes.h"

void decodeCellValue(ValueKind kind, std::string_view field, std::string& text) {
  switch (kind) {
    case ValueKind::kInteger: {
      if (field.size() < 4) {
        text.push_back('0');
        return;
      }
      // Written straight into the text: a table loads one of these per cell.
      char digits[12];
      const auto written = std::to_chars(digits, digits + sizeof digits, int32At(field));
      text.append(digits, written.ptr);
      return;
    }
    case ValueKind::kFloat: {
      if (field.size() < 4) {
        text += formatFloat(0.0F);
        return;
      }
      const float value = std::bit_cast<float>(int32At(field));
      text += std::isnan(value) ? kMissingValue : formatFloat(value);
      return;
    }
    case ValueKind::kBool:
      text += !field.empty() && field[0] == 1 ? "true" : "false";
      return;
    case ValueKind::kString:
    case ValueKind::kOther:
      break;
  }
  text += readsAsMissingValue(field, field.size()) ? kMissingValue : textOf(field);
}

bool readsAsMissingValue(std::string_view text, std::size_t width) {
  const std::string_view marker(kMissingValue);
  return width > 0 && width < marker.size() && text == marker.substr(0, width);
}
