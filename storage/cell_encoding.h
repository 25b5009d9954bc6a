#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The plain (non-temporal) encoding of one value in a row slot.

// How a column type's values are encoded; any other type name is Other,
// which takes no bytes of its own.
enum class CellKind { Integer, Float, Bool, String, Other };

// "int" and "ApexInt" are Integer; "float", "bool" and "string" their kinds.
CellKind cellKindOf(std::string_view type);

// Encodes `text` for a column of kind `kind` into the `width` bytes at `at`,
// which hold zeros: the bytes the value leaves unused stay zero. Never fails:
// Integer takes the leading 32-bit integer, Float the leading number, "#/#?"
// as a quiet NaN, and a text that does not convert is stored as 0; Bool is 1
// for "true" in any letter case or "1"; String keeps the first `width` bytes.
void encodeCellValue(char* at, CellKind kind, std::string_view text, std::size_t width);

// The text that the plain field `field` of a column of kind `kind` holds:
// decimal integers, floats with six decimals (a NaN reads as "#/#?"),
// "true" / "false", or the text up to the first zero byte; a String field
// that readsAsMissingValue reads as "#/#?".
std::string decodeCellValue(CellKind kind, std::string_view field);

// Whether a String field of `width` bytes holding `text` reads back as the
// missing-value marker "#/#?" though `text` is not the marker: a field
// narrower than the marker keeps only its first `width` bytes, so exactly
// those bytes are the marker there.
bool readsAsMissingValue(std::string_view text, std::size_t width);
