#pragma once

#include <string>
#include <string_view>

// `text` escaped for a place between quotation marks in JSON: the quotation
// mark and the reverse solidus behind a reverse solidus, bytes below 0x20 as
// \b \f \n \r \t or \u00XX, every other byte (0x80 and above included)
// copied unchanged. The quotation marks themselves are not added.
std::string escapeJson(std::string_view text);
