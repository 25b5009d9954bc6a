#pragma once

#include <cstdint>
#include <fstream>
#include <string>

// Opens `path` for reading and writing in binary mode without truncating it.
// With `create`, a missing file is first created empty; an existing file is
// never cut, even when it cannot be opened. The result is not open when the
// file cannot be opened.
std::fstream openForUpdate(const std::string& path, bool create);

// The stream's length in bytes; leaves the stream usable, positioned at the
// end for reading.
std::int64_t streamLength(std::istream& in);

// Writes `count` zero bytes without holding them all in memory.
void writeZeros(std::ostream& out, std::int64_t count);
