#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/file_system.h"

// One command swept by a file fault at each of its file operations.
struct FaultSweep {
  // Builds the state before the command in the emptied working directory
  // and in memory.
  std::function<void()> prepare;
  // The command; it throws when a file operation fails.
  std::function<void()> command;
  // What the command may change in memory, as text.
  std::function<std::string()> memory;
};

// Runs each test in a fresh, empty working directory, removed afterwards, so
// that everything the engine writes lands where the test can inspect it.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The names of the entries in the working directory.
  std::set<std::string> fileNames() const;

  // Every entry of the working directory: a regular file by its bytes, a
  // symbolic link by its target, anything else by its kind.
  std::map<std::string, std::string> directoryContents() const;

  // Runs the command once to count its file operations and to see the
  // directory after it. Then, for each operation n: fails it, expecting the
  // command to throw and to leave memory and directory exactly as before;
  // and crashes there, expecting the directory, once the recovery step
  // has run, to be exactly the one before or the one after. Returns the
  // message of each failure, by operation.
  std::vector<std::string> sweepFileFaults(const FaultSweep& sweep);

  std::filesystem::path dir;

 private:
  std::filesystem::path previous;
};

// Switches the working directory for as long as it lives.
class InDirectory {
 public:
  explicit InDirectory(const std::filesystem::path& dir)
      : previous(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(previous); }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  std::filesystem::path previous;
};

// Pins the clock for as long as it lives.
class ScopedClock {
 public:
  explicit ScopedClock(std::int64_t seconds);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

  void set(std::int64_t seconds);
};

// Switches LC_NUMERIC to a locale whose decimal point is a comma (building
// it in a temporary directory when the system has none) and back to "C" when
// it goes. `active()` is false when no such locale can be had.
class CommaDecimalLocale {
 public:
  CommaDecimalLocale();
  ~CommaDecimalLocale();
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

  bool active() const { return active_; }

 private:
  bool active_ = false;
  std::filesystem::path locales_;  // built here when the system had none
};

// Sets a file fault for as long as it lives.
class ScopedFileFault {
 public:
  explicit ScopedFileFault(FileFault fault);
  ~ScopedFileFault();
  ScopedFileFault(const ScopedFileFault&) = delete;
  ScopedFileFault& operator=(const ScopedFileFault&) = delete;
};

// Every byte of a file; "" when it does not exist.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// The message of the runtime error that `action` throws; "" when none.
template <typename Action>
std::string thrownMessage(Action action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}
