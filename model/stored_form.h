#pragma once

#include <string>
#include <string_view>

// Values are held as text, but a table data file holds numbers and flags as
// binary: these are the texts that mean the same before and after a restart.

// The text a value of a column of type `type` reads back as after a
// checkpoint and a restart: "int" and "ApexInt" plain decimal (05 is 5, a
// text without a 32-bit number is 0), "float" six decimals (2.5 is
// 2.500000, a text without a number 0.000000, while the missing-value
// marker and NaN stay the marker), "bool" "true" or "false" (only "true" in
// any letter case and "1" are true, so the marker is false). A "string" or
// any other type keeps its text.
std::string storedForm(std::string_view type, std::string_view text);

// Whether `text` is what std::to_string writes for some 32-bit integer, and
// so its own stored form in an integer column: an optional '-', then up to
// nine digits without a leading zero, or "0". Longer runs may lie beyond
// the range and are left to storedForm.
bool isPlainInt32(std::string_view text);

// The text a condition's value compares as against a column of type `type`:
// its stored form when the text converts to the type ("true" / "false" in
// any letter case, "1" and "0" for "bool"), otherwise the text unchanged,
// so that a word never matches the 0 it would be stored as.
std::string comparedForm(std::string_view type, std::string_view text);

// Whether a "bool" text is true on disk: "true" in any letter case, or "1".
bool isTrueText(std::string_view text);
