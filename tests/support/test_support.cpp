#include "support/test_support.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "model/clock.h"

void TempDirTest::SetUp() {
  previous = std::filesystem::current_path();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  dir = std::filesystem::temp_directory_path() /
        ("quorvel-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
}

void TempDirTest::TearDown() {
  std::filesystem::current_path(previous);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::set<std::string> TempDirTest::fileNames() const {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

ScopedClock::ScopedClock(std::int64_t seconds) { set(seconds); }

ScopedClock::~ScopedClock() { setClockForTesting(std::nullopt); }

void ScopedClock::set(std::int64_t seconds) { setClockForTesting(seconds); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}
