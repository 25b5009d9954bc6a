#pragma once

#include <string>
#include <unordered_set>

// The five column type names: "int", "string", "ApexInt", "float", "bool".
// The catalogue checks declared types against them and the table-file reader
// tells a header's type fields from its name fields by them.
const std::unordered_set<std::string>& columnTypeNames();
