#include "language/column_values.h"

#include "model/number.h"

bool isValueOfType(std::string_view columnType, const Token& token) {
  if (columnType == "string") return token.type == TokenType::STRING;
  if (columnType == "int" || columnType == "ApexInt") {
    return token.type == TokenType::NUMBER && toInt32(token.value).has_value();
  }
  if (columnType == "float") {
    return token.type == TokenType::NUMBER && toFloat(token.value).has_value();
  }
  if (columnType == "bool") {
    return token.type == TokenType::IDENTIFIER && (token.value == "true" || token.value == "false");
  }
  return false;
}
