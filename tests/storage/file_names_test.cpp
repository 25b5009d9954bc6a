#include "storage/file_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FileNamesTest, OnlyBarePortableNamesAreTableAndColumnNames) {
  struct Case {
    const char* shows;
    std::string name;
    bool table;
    bool column;
  };
  const Case cases[] = {
      {"a plain name", "lamp", true, true},
      {"the empty name", "", false, false},
      {"a path", "a/b", false, false},
      {"a Windows path", "a\\b", false, false},
      {"a control byte", "a\x1f", false, false},
      {"a drive-relative path", "c:evil", false, false},
      {"an alternate data stream", "a:b", false, false},
      {"each byte Windows refuses", "a<b", false, false},
      {"", "a>b", false, false},
      {"", "a\"b", false, false},
      {"", "a|b", false, false},
      {"", "a?b", false, false},
      {"", "a*b", false, false},
      {"a trailing blank", "a ", false, false},
      {"a trailing dot", "a.", false, false},
      {"a blank inside", "a b", true, true},
      {"a dot inside: an extension of a column", "a.b", false, true},
      {"devices, in any letter case", "CON", false, false},
      {"", "con", false, false},
      {"", "Prn", false, false},
      {"", "aux", false, false},
      {"", "nUl", false, false},
      {"", "COM1", false, false},
      {"", "com9", false, false},
      {"", "LPT1", false, false},
      {"", "lpt9", false, false},
      {"a device with an extension", "nul.txt", false, false},
      {"a device with blanks before the extension", "aux .x", false, false},
      {"not devices", "COM0", true, true},
      {"", "COM10", true, true},
      {"", "LPT", true, true},
      {"", "console", true, true},
      {"", "conx.y", false, true},
      {"the side files' names, in any letter case", "webhooks", false, true},
      {"", "listeners", false, true},
      {"", "Webhooks", false, true},
      {"", "LISTENERS", false, true},
      {"", "webhook", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.shows) + " '" + c.name + "'");
    EXPECT_EQ(isSafeTableName(c.name), c.table);
    EXPECT_EQ(isSafeColumnName(c.name), c.column);
  }
}

TEST(FileNamesTest, NamesShareFilesWhenTheyDifferOnlyInLetterCase) {
  EXPECT_TRUE(namesShareFiles("Lamp", "lAMP"));
  EXPECT_TRUE(namesShareFiles("t", "t"));
  EXPECT_FALSE(namesShareFiles("t", "t2"));
  EXPECT_FALSE(namesShareFiles("a_b", "a-b"));
  // Only ASCII letters fold: a byte above 0x7f is compared as it is.
  EXPECT_FALSE(namesShareFiles("\xc3\xa9", "\xc3\x89"));
}

}  // namespace
