#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
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

// Every byte of a file; "" when it does not exist.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
