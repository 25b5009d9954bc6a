#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <system_error>
#include <utility>

#include "model/clock.h"
#include "storage/file_system.h"

namespace fs = std::filesystem;

namespace {

fs::path fuzzDirectory;

// Swallows everything the engine prints.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

void removeFuzzDirectory() {
  std::error_code ignored;
  fs::current_path(fs::temp_directory_path(ignored), ignored);
  fs::remove_all(fuzzDirectory, ignored);
}

}  // namespace

void enterFuzzDirectory() {
  static NullBuffer nothing;
  std::cout.rdbuf(&nothing);
  std::error_code error;
  const fs::path base =
      fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "quorvel-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  fuzzDirectory = pattern;
  fs::current_path(fuzzDirectory);
  std::atexit(removeFuzzDirectory);
}

void resetFuzzState() {
  setFileFaultForTesting(std::nullopt);
  setClockForTesting(kFuzzEpoch);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fuzzDirectory, error)) {
    fs::remove_all(entry.path(), error);
  }
}

void writeFuzzFile(const std::string& name, std::string_view bytes) {
  std::ofstream file(name, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", name.c_str());
    std::abort();
  }
}

std::vector<std::string_view> splitInput(std::string_view input, std::string_view separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t at = input.find(separator); at != std::string_view::npos;
       at = input.find(separator, start)) {
    parts.push_back(input.substr(start, at - start));
    start = at + separator.size();
  }
  parts.push_back(input.substr(start));
  return parts;
}

const std::vector<std::string>& startupFileNames() {
  static const std::vector<std::string> names{
      "t.bin", "t.del", "t.tmp", "t-pid_p-id.rel", "listeners.bin", "webhooks.bin", "vesk.wal"};
  return names;
}

std::string packStartupInput(const std::vector<std::pair<std::string, std::string>>& contents) {
  std::string input;
  bool first = true;
  for (const std::string& name : startupFileNames()) {
    if (!first) input += kFileSeparator;
    first = false;
    std::string part(kMissingFile);
    for (const auto& [file, bytes] : contents) {
      if (file == name) part = bytes;
    }
    input += part;
  }
  return input;
}

const std::vector<std::string>& preloadCommands() {
  static const std::vector<std::string> commands{
      "CREATE TABLE p id ApexInt name string ( 12 ) score float ok bool",
      "CREATE TABLE t id ApexInt pid int note string state string ( 8 ) 3 level int 2",
      "CREATE TABLE u id ApexInt tag string",
      "LINK t . pid --> p . id",
      "INSERT INTO p name = 'ann' score = 1.5 ok = true",
      "INSERT INTO p name = 'bob' score = -2 ok = false",
      "INSERT INTO t pid = 1 note = 'x' state = 'red' --> 'green' @ 30 s --> 'amber' @ 5 s c",
      "INSERT INTO t pid = 2 note = 'y' level = 1 --> 2 @ 10 s",
      "INSERT INTO u tag = 'z'",
      "LISTEN p . name --> 'http://hook' WHERE id > 1",
  };
  return commands;
}
