#include "model/stored_form.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "model/cell.h"
#include "model/column_type.h"
#include "model/number.h"

namespace {

bool equalsIgnoringCase(std::string_view text, std::string_view lowerWord) {
  if (text.size() != lowerWord.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != lowerWord[i]) return false;
  }
  return true;
}

bool isFalseText(std::string_view text) { return equalsIgnoringCase(text, "false") || text == "0"; }

// The float a text stands for on disk; none for the marker and NaN, which
// are both stored as the NaN that reads back as the marker.
std::optional<float> storedFloat(std::string_view text) {
  if (text == kMissingValue) return std::nullopt;
  const float value = toFloat(text).value_or(0.0F);
  if (std::isnan(value)) return std::nullopt;
  return value;
}

}  // namespace

bool isPlainInt32(std::string_view text) {
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 9) return false;
  if (digits[0] == '0') return text == "0";
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isTrueText(std::string_view text) { return equalsIgnoringCase(text, "true") || text == "1"; }

std::string storedForm(std::string_view type, std::string_view text) {
  switch (valueKindOf(type)) {
    case ValueKind::kInteger:
      return std::to_string(toInt32(text).value_or(0));
    case ValueKind::kFloat: {
      const std::optional<float> value = storedFloat(text);
      return value ? formatFloat(*value) : kMissingValue;
    }
    case ValueKind::kBool:
      return isTrueText(text) ? "true" : "false";
    case ValueKind::kString:
    case ValueKind::kOther:
      break;
  }
  return std::string(text);
}

std::string comparedForm(std::string_view type, std::string_view text) {
  bool converts = false;
  switch (valueKindOf(type)) {
    case ValueKind::kInteger:
      if (isPlainInt32(text)) return std::string(text);
      converts = toInt32(text).has_value();
      break;
    case ValueKind::kFloat:
      converts = toFloat(text).has_value();
      break;
    case ValueKind::kBool:
      converts = isTrueText(text) || isFalseText(text);
      break;
    case ValueKind::kString:
    case ValueKind::kOther:
      break;
  }
  return converts ? storedForm(type, text) : std::string(text);
}
