#include "storage/file_listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using FileListingTest = TempDirTest;

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FileListingTest, ListsRegularFilesWithExactlyTheExtension) {
  for (const char* name : {"a.rel", "b.bin", ".rel", ".bin", "c.REL", "d.Bin", "e.rel.txt",
                           "f.bin.rel", "g.x.bin", "relfile", "h.rel~"}) {
    writeFile(name, "x");
  }
  std::filesystem::create_directory("dir.rel");
  std::filesystem::create_directory("dir.bin");
  std::filesystem::create_symlink("a.rel", "link.rel");
  std::filesystem::create_symlink("b.bin", "link.bin");
  std::filesystem::create_symlink("nothing", "dangling.rel");
  std::filesystem::create_symlink("dir.rel", "todir.rel");
  std::filesystem::create_directory("sub");
  writeFile("sub/nested.rel", "x");

  EXPECT_EQ(sorted(getRelFiles()), (std::vector<std::string>{"a.rel", "f.bin.rel", "link.rel"}));
  EXPECT_EQ(sorted(getBinFiles()), (std::vector<std::string>{"b.bin", "g.x.bin", "link.bin"}));
}

// The start-up makes the links in this order, so it must not depend on the
// order in which the directory happens to list its entries.
TEST_F(FileListingTest, RelationFilesComeInByteOrderOfTheirNames) {
  std::vector<std::string> names;
  for (char c = 'a'; c <= 'z'; ++c) names.push_back(std::string(1, c) + "-k_p-id.rel");
  names.push_back("B-k_p-id.rel");         // upper case sorts before lower case
  names.push_back("\xc3\xa9-k_p-id.rel");  // bytes above 0x7f sort last
  std::vector<std::string> created = names;
  std::mt19937 random(7);
  std::shuffle(created.begin(), created.end(), random);
  for (const std::string& name : created) writeFile(name, "x");
  EXPECT_EQ(getRelFiles(), sorted(names));
}

TEST_F(FileListingTest, EmptyDirectoryListsNothing) {
  EXPECT_TRUE(getRelFiles().empty());
  EXPECT_TRUE(getBinFiles().empty());
}

}  // namespace
