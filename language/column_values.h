#pragma once

#include <string_view>

#include "language/lexer.h"

// Whether `token` may be written as a value of a column of type
// `columnType`: a literal for "string"; a number for "int" and "ApexInt"
// whose leading integer fits 32 bits, and for "float" one that fits single
// precision; the bare words true and false for "bool". No token is a value
// of any other type, the empty type of an unknown column included.
bool isValueOfType(std::string_view columnType, const Token& token);
