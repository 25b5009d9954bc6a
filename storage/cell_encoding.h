#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "model/cell.h"
#include "model/column_type.h"
#include "model/number.h"
#include "model/stored_form.h"
#include "storage/bytes.h"

// The plain (non-temporal) encoding of one value in a row slot, by the kind
// of its column's type; a kOther column takes no bytes of its own.

// Encodes `text` for a column of kind `kind` into the `width` bytes at `at`,
// which hold zeros: the bytes the value leaves unused stay zero. Never fails:
// kInteger takes the leading 32-bit integer, kFloat the leading number,
// "#/#?" as a quiet NaN, and a text that does not convert is stored as 0;
// kBool is 1 for "true" in any letter case or "1"; kString keeps the first
// `width` bytes.
// Inline, as a checkpoint encodes every cell of every row it writes.
inline void encodeCellValue(char* at, ValueKind kind, std::string_view text, std::size_t width) {
  // The four bytes of `value` at `at`, as far as `width` allows.
  const auto put = [at, width](std::int32_t value) {
    if (width >= 4) {
      putInt32(at, value);
      return;
    }
    char bytes[4];
    putInt32(bytes, value);
    std::memcpy(at, bytes, width);
  };
  switch (kind) {
    case ValueKind::kInteger:
      put(toInt32(text).value_or(0));
      return;
    case ValueKind::kFloat:
      put(std::bit_cast<std::int32_t>(text == kMissingValue
                                          ? std::numeric_limits<float>::quiet_NaN()
                                          : toFloat(text).value_or(0.0F)));
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
