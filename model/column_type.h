#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

// The one place that knows the column types by name. A column and a cell
// carry their type as its name (it is stored in files that way); every other
// source asks here what the name means instead of comparing it.

// What a column's values are. Every value is held as text; the kind decides
// how it converts, compares, is stored on disk and leaves in a result.
// kOther is the kind of a text that names no column type.
enum class ValueKind { kInteger, kFloat, kBool, kString, kOther };

struct ColumnType {
  std::string_view name;
  ValueKind kind;
};

// The identity type: an integer that the table numbers itself.
inline constexpr std::string_view kIdentityTypeName = "ApexInt";
// The type of a text column, and of a primary-key index made without a key.
inline constexpr std::string_view kStringTypeName = "string";

// The five column types.
inline constexpr std::array<ColumnType, 5> kColumnTypes{{
    {"int", ValueKind::kInteger},
    {kStringTypeName, ValueKind::kString},
    {kIdentityTypeName, ValueKind::kInteger},
    {"float", ValueKind::kFloat},
    {"bool", ValueKind::kBool},
}};

namespace column_type_detail {

// One comparison per type, each against a name whose length is known where
// it is compiled, so that none of them calls out to compare bytes.
template <std::size_t... I>
constexpr ValueKind kindAmong(std::string_view type, std::index_sequence<I...> /*types*/) {
  ValueKind kind = ValueKind::kOther;
  (void)((type == kColumnTypes[I].name && (kind = kColumnTypes[I].kind, true)) || ...);
  return kind;
}

}  // namespace column_type_detail

// The kind of the type named `type`, which must match a name exactly, in
// letter case too; kOther for any other text. Cheap enough to ask per cell.
constexpr ValueKind valueKindOf(std::string_view type) {
  return column_type_detail::kindAmong(type, std::make_index_sequence<kColumnTypes.size()>());
}

// "int" and "ApexInt": the types whose values are 32-bit integers.
constexpr bool isIntegerType(std::string_view type) {
  return valueKindOf(type) == ValueKind::kInteger;
}

// "ApexInt": the identity column's type.
constexpr bool isIdentityType(std::string_view type) { return type == kIdentityTypeName; }

// The five type names. The catalogue checks declared types against them and
// the table-file reader tells a header's type fields from its name fields by
// them.
const std::unordered_set<std::string>& columnTypeNames();
