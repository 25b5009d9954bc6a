#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What every fuzz target shares: a private working directory, quiet output
// and a pinned clock, so that each input runs alone and the same way twice.

// The time every run starts from.
inline constexpr std::int64_t kFuzzEpoch = 1700000000;

// Once per process: moves into a fresh private directory (under /dev/shm
// when it exists, else the system's temporary directory), removed again at
// exit; sends the engine's standard output nowhere.
void enterFuzzDirectory();

// Removes every entry of the working directory and clears the clock and the
// file-fault hook, so that no input sees what an earlier one left.
void resetFuzzState();

// Writes `bytes` to `name` in the working directory; aborts when it cannot,
// since a target that cannot set its files up tests nothing.
void writeFuzzFile(const std::string& name, std::string_view bytes);

// `input` cut at every `separator` (the separators dropped).
std::vector<std::string_view> splitInput(std::string_view input, std::string_view separator);

// The files of the start-up target, in the order the input gives them: a
// table's data file, deletion map and temporal-rule file, a relation file,
// the listener file, the webhook file and the write-ahead log.
const std::vector<std::string>& startupFileNames();

// Separates the files in a start-up input; a part that is exactly
// kMissingFile leaves its file out.
inline constexpr std::string_view kFileSeparator = "#@FILE@#";
inline constexpr std::string_view kMissingFile = "#@NONE@#";

// One start-up input from the files `contents` holds by name (missing ones
// marked as such): the inverse of how the start-up target reads its input.
std::string packStartupInput(const std::vector<std::pair<std::string, std::string>>& contents);

// The commands every run of the command target starts from: tables of
// every type, a link, a temporal chain and a listener.
const std::vector<std::string>& preloadCommands();
