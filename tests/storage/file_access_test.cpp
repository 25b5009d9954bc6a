#include "storage/file_access.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace {

using FileAccessTest = TempDirTest;

TEST_F(FileAccessTest, OpensForUpdateCreatingOnlyMissingFiles) {
  struct Case {
    const char* name;
    bool exists;
    bool create;
    bool opened;
    bool existsAfter;
  };
  const Case cases[] = {
      {"existing file, create", true, true, true, true},
      {"existing file, no create", true, false, true, true},
      {"missing file, create", false, true, true, true},
      {"missing file, no create", false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("f");
    if (c.exists) writeFile("f", "keep");
    std::fstream file = openForUpdate("f", c.create);
    EXPECT_EQ(file.is_open(), c.opened);
    file.close();
    EXPECT_EQ(std::filesystem::exists("f"), c.existsAfter);
    EXPECT_EQ(readFile("f"), c.exists ? "keep" : "");
  }
}

TEST_F(FileAccessTest, ExistingFileThatRefusesToOpenIsNotCut) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  writeFile("f", "precious");
  // Writable but not readable: opening for reading and writing fails, while
  // opening for writing alone would succeed.
  std::filesystem::permissions("f", std::filesystem::perms::owner_write);
  EXPECT_FALSE(openForUpdate("f", true).is_open());
  std::filesystem::permissions(
      "f", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(readFile("f"), "precious");
}

}  // namespace
