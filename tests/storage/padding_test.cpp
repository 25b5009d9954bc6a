#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "storage/storage.h"

namespace {

struct PadCase {
  const char* name;
  std::string text;
  int width;
  std::string withPadding;  // writeWithPadding: the whole text
  std::string pad;          // writePad: cut to the width
};

TEST(Padding, FillsFieldsWithZerosAndCutsOnlyInWritePad) {
  const PadCase cases[] = {
      {"shorter", "ab", 5, std::string("ab\0\0\0", 5), std::string("ab\0\0\0", 5)},
      {"exactly the width, no zero", "abcde", 5, "abcde", "abcde"},
      {"longer", "abcdefg", 5, "abcdefg", "abcde"},
      {"empty text", "", 3, std::string(3, '\0'), std::string(3, '\0')},
      {"zero width", "ab", 0, "ab", ""},
  };
  for (const PadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream whole;
    writeWithPadding(whole, c.text, c.width);
    EXPECT_EQ(whole.str(), c.withPadding);
    std::ostringstream cut;
    writePad(cut, c.text, c.width);
    EXPECT_EQ(cut.str(), c.pad);
  }
}

}  // namespace
