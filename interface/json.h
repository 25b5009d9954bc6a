#pragma once

#include <string>
#include <string_view>

#include "model/result_set.h"

// `text` escaped for a place between quotation marks in JSON: the quotation
// mark and the reverse solidus behind a reverse solidus, bytes below 0x20 as
// \b \f \n \r \t or \u00XX, every other byte (0x80 and above included)
// copied unchanged. The quotation marks themselves are not added.
std::string escapeJson(std::string_view text);

// Replaces `out` with `result.toJson()`, in the room `out` already has when
// it is enough.
void writeJson(const ResultSet& result, std::string& out);
