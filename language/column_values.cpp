#include "language/column_values.h"

#include "model/column_type.h"
#include "model/number.h"

bool isValueOfType(std::string_view columnType, const Token& token) {
  switch (valueKindOf(columnType)) {
    case ValueKind::kString:
      return token.type == TokenType::STRING;
    case ValueKind::kInteger:
      return token.type == TokenType::NUMBER && toInt32(token.value).has_value();
    case ValueKind::kFloat:
      return token.type == TokenType::NUMBER && toFloat(token.value).has_value();
    case ValueKind::kBool:
      return token.type == TokenType::IDENTIFIER &&
             (token.value == "true" || token.value == "false");
    case ValueKind::kOther:
      break;
  }
  return false;
}
