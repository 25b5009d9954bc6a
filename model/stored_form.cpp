#include "model/stored_form.h"

#include <cmath>
#include <optional>

#include "model/cell.h"
#include "model/number.h"

namespace {

bool isIntegerType(std::string_view type) { return type == "int" || type == "ApexInt"; }

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

bool isTrueText(std::string_view text) { return equalsIgnoringCase(text, "true") || text == "1"; }

std::string storedForm(std::string_view type, std::string_view text) {
  if (isIntegerType(type)) return std::to_string(toInt32(text).value_or(0));
  if (type == "float") {
    const std::optional<float> value = storedFloat(text);
    return value ? formatFloat(*value) : kMissingValue;
  }
  if (type == "bool") return isTrueText(text) ? "true" : "false";
  return std::string(text);
}

std::string comparedForm(std::string_view type, std::string_view text) {
  const bool converts = isIntegerType(type) ? toInt32(text).has_value()
                        : type == "float"   ? toFloat(text).has_value()
                        : type == "bool"    ? isTrueText(text) || isFalseText(text)
                                            : false;
  return converts ? storedForm(type, text) : std::string(text);
}
