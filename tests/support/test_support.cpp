#include "support/test_support.h"

#include <unistd.h>

#include <clocale>
#include <cstdlib>
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

namespace {

constexpr const char* kCommaLocale = "de_DE.UTF-8";

bool decimalPointIsComma() {
  const std::lconv* conventions = std::localeconv();
  return conventions != nullptr && std::string(conventions->decimal_point) == ",";
}

bool selectCommaLocale() {
  return std::setlocale(LC_NUMERIC, kCommaLocale) != nullptr && decimalPointIsComma();
}

}  // namespace

CommaDecimalLocale::CommaDecimalLocale() {
  if (selectCommaLocale()) {
    active_ = true;
    return;
  }
  // The locale's definition ships with the system's locale sources; build it
  // where the C library looks when LOCPATH is set.
  locales_ = std::filesystem::temp_directory_path() /
             ("quorvel-test-locales-" + std::to_string(::getpid()));
  const std::filesystem::path& locales = locales_;
  std::filesystem::create_directories(locales);
  const std::string build =
      "localedef -i de_DE -f UTF-8 '" + (locales / kCommaLocale).string() + "' >/dev/null 2>&1";
  if (std::system(build.c_str()) != 0) return;
  ::setenv("LOCPATH", locales.c_str(), 1);
  active_ = selectCommaLocale();
}

CommaDecimalLocale::~CommaDecimalLocale() {
  std::setlocale(LC_NUMERIC, "C");
  if (locales_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(locales_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}
