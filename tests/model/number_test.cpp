#include "model/number.h"

#include <gtest/gtest.h>

TEST(NumberTest, Int32ReadsLeadingNumber) {
  EXPECT_EQ(toInt32(" 7x"), 7);
}
