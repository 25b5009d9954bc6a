#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/column_type.h"

// The plain (non-temporal) encoding of one value in a row slot, by the kind
// of its column's type; a kOther column takes no bytes of its own.

// Encodes `text` for a column of kind `kind` into the `width` bytes at `at`,
// which hold zeros: the bytes the value leaves unused stay zero. Never fails:
// kInteger takes the leading 32-bit integer, kFloat the leading number,
// "#/#?" as a quiet NaN, and a text that does not convert is stored as 0;
// kBool is 1 for "true" in any letter case or "1"; kString keeps the first
// `width` bytes.
void encodeCellValue(char* at, ValueKind kind, std::string_view text, std::size_t width);

// Appends to `text` what the plain field `field` of a column of kind `kind`
// holds: decimal integers, floats with six decimals (a NaN reads as
// "#/#?"), "true" / "false", or the text up to the first zero byte; a
// kString field that readsAsMissingValue reads as "#/#?". Appending lets a
// loader fill a cell's empty text without making a second string.
void decodeCellValue(ValueKind kind, std::string_view field, std::string& text);

// Whether a String field of `width` bytes holding `text` reads back as the
// missing-value marker "#/#?" though `text` is not the marker: a field
// narrower than the marker keeps only its first `width` bytes, so exactly
// those bytes are the marker there.
bool readsAsMissingValue(std::string_view text, std::size_t width);
