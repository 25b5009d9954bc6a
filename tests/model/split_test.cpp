#include "model/split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitTest, CutsAtEveryDelimiter) {
  struct Case {
    std::string text;
    std::string delimiter;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"a,b,c", ",", {"a", "b", "c"}},
      {"abc", ",", {"abc"}},
      {"", ",", {""}},
      {",", ",", {"", ""}},
      {"a,,b", ",", {"a", "", "b"}},
      {",a,", ",", {"", "a", ""}},
      {"a-->b-->c", "-->", {"a", "b", "c"}},
      {"a:::b", "::", {"a", ":b"}},
      {"abc", "", {"abc"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.text + "' at '" + c.delimiter + "'");
    EXPECT_EQ(split(c.text, c.delimiter), c.pieces);
  }
}

}  // namespace
