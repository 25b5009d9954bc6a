#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>

// Runs each test in a fresh, empty working directory, removed afterwards, so
// that everything the engine writes lands where the test can inspect it.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The names of the entries in the working directory.
  std::set<std::string> fileNames() const;

  std::filesystem::path dir;

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
