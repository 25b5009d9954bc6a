#include "support/test_support.h"

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "model/clock.h"
#include "storage/file_names.h"
#include "storage/storage.h"

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
  setFileFaultForTesting(std::nullopt);
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

std::map<std::string, std::string> TempDirTest::directoryContents() const {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> contents;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const fs::path& path = entry.path();
    std::string shown;
    if (entry.is_symlink()) {
      shown = "link to " + fs::read_symlink(path).string();
    } else if (entry.is_regular_file()) {
      shown = "file " + readFile(path);
    } else {
      shown = entry.is_directory() ? "directory" : "special";
    }
    contents.emplace(path.filename().string(), std::move(shown));
  }
  return contents;
}

namespace {

void emptyDirectory(const std::filesystem::path& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::filesystem::remove_all(entry.path());
  }
}

// The message of what `command` throws; "" when it returns.
std::string failureOf(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

}  // namespace

std::vector<std::string> TempDirTest::sweepFileFaults(const FaultSweep& sweep) {
  emptyDirectory(dir);
  sweep.prepare();
  const auto before = directoryContents();
  const std::string memoryBefore = sweep.memory();
  setFileFaultForTesting(std::nullopt);
  sweep.command();
  const std::int64_t operations = fileOperationsForTesting();
  const auto after = directoryContents();
  EXPECT_NE(before, after) << "the command changes nothing on disk";

  std::vector<std::string> messages;
  for (std::int64_t n = 0; n < operations; ++n) {
    SCOPED_TRACE("file operation " + std::to_string(n));
    for (const bool crash : {false, true}) {
      SCOPED_TRACE(crash ? "crash" : "failure");
      emptyDirectory(dir);
      sweep.prepare();
      std::string message;
      {
        const ScopedFileFault fault(FileFault{n, crash});
        message = failureOf(sweep.command);
      }
      EXPECT_NE(message, "") << "the command reports no failure";
      if (crash) {
        Storage::recoverFiles();
        const auto left = directoryContents();
        EXPECT_TRUE(left == before || left == after);
      } else {
        messages.push_back(message);
        EXPECT_EQ(directoryContents(), before);
        EXPECT_EQ(sweep.memory(), memoryBefore);
      }
    }
  }
  return messages;
}

ScopedFileFault::ScopedFileFault(FileFault fault) { setFileFaultForTesting(fault); }

ScopedFileFault::~ScopedFileFault() { setFileFaultForTesting(std::nullopt); }

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
