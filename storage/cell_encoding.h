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

// Appends `text` encoded for a column of type `type` in exactly `width`
// bytes. Never fails: "int" and "ApexInt" take the leading 32-bit integer,
// "float" the leading number, "#/#?" as a quiet NaN, and a text that does not
// convert is stored as 0; "bool" is 1 for "true" in any letter case or "1";
// "string" keeps the first `width` bytes.
void appendCellValue(std::string& out, std::string_view type, std::string_view text, int width);

// The same encoding into the `width` bytes at `at`, which hold zeros: the
// bytes the value leaves unused stay zero.
void encodeCellValue(char* at, CellKind kind, std::string_view text, std::size_t width);

// The text that the plain field `field` of a column of type `type` holds:
// decimal integers, floats with six decimals (a NaN reads as "#/#?"),
// "true" / "false", or the text up to the first zero byte; a "string" field
// narrower than "#/#?" that holds exactly its first bytes reads as "#/#?".
std::string decodeCellValue(std::string_view type, std::string_view field);
std::string decodeCellValue(CellKind kind, std::string_view field);
