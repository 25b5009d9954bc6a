#include "language/token_cursor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/grammar.h"
#include "support/test_support.h"

namespace {

TEST(TokenCursorTest, LooksAheadWithoutPassingTheEnd) {
  const std::vector<Token> tokens = tokensOf("a = 'b'");
  TokenCursor cursor(tokens, 1);
  ASSERT_NE(cursor.peek(), nullptr);
  EXPECT_EQ(cursor.peek()->value, "=");
  EXPECT_EQ(cursor.peek(1)->value, "b");
  EXPECT_EQ(cursor.peek(2), nullptr);
  EXPECT_TRUE(cursor.nextIs("="));
  EXPECT_TRUE(cursor.nextIs(TokenType::STRING, 1));
  EXPECT_TRUE(cursor.nextIs(TokenType::STRING, "b", 1));
  EXPECT_FALSE(cursor.nextIs(TokenType::IDENTIFIER, "b", 1));
  EXPECT_FALSE(cursor.nextIs("b", 2));

  TokenCursor past(tokens, 7);  // a start beyond the list reads as its end
  EXPECT_TRUE(past.atEnd());
  EXPECT_EQ(past.peek(), nullptr);
  EXPECT_FALSE(past.nextIs(""));
}

TEST(TokenCursorTest, TakesOnlyWhatIsThere) {
  const std::vector<Token> tokens = tokensOf("a = 1");
  TokenCursor cursor(tokens);
  EXPECT_EQ(thrownMessage([&] { cursor.expect("=", "Expected '='"); }), "Expected '='");
  EXPECT_EQ(cursor.position(), 0u);  // a refused expectation moves nothing
  EXPECT_EQ(cursor.expect(TokenType::IDENTIFIER, "Expected column").value, "a");
  EXPECT_FALSE(cursor.skipIf("("));
  EXPECT_TRUE(cursor.skipIf("="));
  EXPECT_EQ(cursor.take("Expected value").value, "1");
  EXPECT_TRUE(cursor.atEnd());
  EXPECT_EQ(thrownMessage([&] { cursor.take("Expected value"); }), "Expected value");
  EXPECT_EQ(thrownMessage([&] { cursor.expect("=", "Expected '='"); }), "Expected '='");
  EXPECT_EQ(thrownMessage([&] { cursor.expect(TokenType::NUMBER, "Expected n"); }), "Expected n");
  EXPECT_FALSE(cursor.skipIf(""));
}

}  // namespace
