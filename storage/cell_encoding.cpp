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

namespace {

float floatFromText(std::string_view text) {
  if (text == kMissingValue) return std::numeric_limits<float>::quiet_NaN();
  return toFloat(text).value_or(0.0F);
}

// The four bytes of `value` at `at`, as far as `width` allows.
void putInt32(char* at, std::int32_t value, std::size_t width) {
  if (width >= 4) {
    ::putInt32(at, value);
    return;
  }
  char bytes[4];
  ::putInt32(bytes, value);
  std::memcpy(at, bytes, width);
}

}  // namespace

void encodeCellValue(char* at, ValueKind kind, std::string_view text, std::size_t width) {
  switch (kind) {
    case ValueKind::kInteger:
      putInt32(at, toInt32(text).value_or(0), width);
      return;
    case ValueKind::kFloat:
      putInt32(at, std::bit_cast<std::int32_t>(floatFromText(text)), width);
      return;
    case ValueKind::kBool:
      if (width > 0) at[0] = isTrueText(text) ? 1 : 0;
      return;
    case ValueKind::kString:
      std::memcpy(at, text.data(), std::min(text.size(), width));
      return;
    case ValueKind::kOther:
      return;
  }
}

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
