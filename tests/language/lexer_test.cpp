#include "language/lexer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using T = TokenType;

std::string describe(const std::vector<Token>& tokens) {
  std::string text;
  for (const Token& token : tokens) {
    text += std::to_string(static_cast<int>(token.type)) + ":[" + token.value + "] ";
  }
  return text;
}

TEST(LexerTest, TokenizesTheWholeText) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<Token> expected;
  };
  const std::vector<Case> cases = {
      {"empty text", "", {}},
      {"white space only", " \t\n\v\f\r ", {}},
      {"empty literal", "''", {{T::STRING, ""}}},
      {"doubled quote is two literals", "'it''s'", {{T::STRING, "it"}, {T::STRING, "s"}}},
      {"single quotes inside double", "\"a 'b'\"", {{T::STRING, "a 'b'"}}},
      {"double quotes inside single", "'say \"hi\"\n'", {{T::STRING, "say \"hi\"\n"}}},
      {"unterminated literal",
       "SELECT 'abc",
       {{T::KEYWORD, "SELECT"}, {T::ERROR, "Unterminated string literal"}}},
      {"NUL inside a literal",
       std::string("'ab\0cd'", 7),
       {{T::ERROR, "Unterminated string literal"}}},
      {"negative number", "-5", {{T::NUMBER, "-5"}}},
      {"minus then blank", "- 5", {{T::ERROR, "Unknown character: -"}}},
      {"minus binds to the number", "x-1", {{T::IDENTIFIER, "x"}, {T::NUMBER, "-1"}}},
      {"minus before >", "->", {{T::ERROR, "Unknown character: -"}}},
      {"arrow", "a-->b", {{T::IDENTIFIER, "a"}, {T::OPERATOR, "-->"}, {T::IDENTIFIER, "b"}}},
      {"digits then word", "9abc", {{T::NUMBER, "9"}, {T::IDENTIFIER, "abc"}}},
      {"no exponent", "1e5", {{T::NUMBER, "1"}, {T::IDENTIFIER, "e5"}}},
      {"trailing point", "5.", {{T::NUMBER, "5."}}},
      {"second point ends the number",
       "1.2.3",
       {{T::NUMBER, "1.2"}, {T::SYMBOL, "."}, {T::NUMBER, "3"}}},
      {"keywords in any case",
       "select Select SELECT",
       {{T::KEYWORD, "SELECT"}, {T::KEYWORD, "SELECT"}, {T::KEYWORD, "SELECT"}}},
      {"every reserved word",
       "create table insert into select from where update set delete link listen begin commit "
       "rollback join on checkpoint",
       {{T::KEYWORD, "CREATE"},
        {T::KEYWORD, "TABLE"},
        {T::KEYWORD, "INSERT"},
        {T::KEYWORD, "INTO"},
        {T::KEYWORD, "SELECT"},
        {T::KEYWORD, "FROM"},
        {T::KEYWORD, "WHERE"},
        {T::KEYWORD, "UPDATE"},
        {T::KEYWORD, "SET"},
        {T::KEYWORD, "DELETE"},
        {T::KEYWORD, "LINK"},
        {T::KEYWORD, "LISTEN"},
        {T::KEYWORD, "BEGIN"},
        {T::KEYWORD, "COMMIT"},
        {T::KEYWORD, "ROLLBACK"},
        {T::KEYWORD, "JOIN"},
        {T::KEYWORD, "ON"},
        {T::KEYWORD, "CHECKPOINT"}}},
      {"unreserved words keep their case",
       "drop DROP true Mo c",
       {{T::IDENTIFIER, "drop"},
        {T::IDENTIFIER, "DROP"},
        {T::IDENTIFIER, "true"},
        {T::IDENTIFIER, "Mo"},
        {T::IDENTIFIER, "c"}}},
      {"word from underscore", "_a1", {{T::IDENTIFIER, "_a1"}}},
      {"keyword is a whole word", "selected", {{T::IDENTIFIER, "selected"}}},
      {"qualified column",
       "t.col",
       {{T::IDENTIFIER, "t"}, {T::SYMBOL, "."}, {T::IDENTIFIER, "col"}}},
      {"symbols",
       "()*,.@",
       {{T::SYMBOL, "("},
        {T::SYMBOL, ")"},
        {T::SYMBOL, "*"},
        {T::SYMBOL, ","},
        {T::SYMBOL, "."},
        {T::SYMBOL, "@"}}},
      {"equals then greater",
       "a=>b",
       {{T::IDENTIFIER, "a"}, {T::OPERATOR, "="}, {T::OPERATOR, ">"}, {T::IDENTIFIER, "b"}}},
      {"less then greater", "<>", {{T::OPERATOR, "<"}, {T::OPERATOR, ">"}}},
      {"two-character operators",
       "!= <= == >= && ||",
       {{T::OPERATOR, "!="},
        {T::OPERATOR, "<="},
        {T::OPERATOR, "=="},
        {T::OPERATOR, ">="},
        {T::OPERATOR, "&&"},
        {T::OPERATOR, "||"}}},
      {"bang alone", "!", {{T::OPERATOR, "!"}}},
      {"ampersand alone", "a & b", {{T::IDENTIFIER, "a"}, {T::ERROR, "Unknown character: &"}}},
      {"bar alone", "|", {{T::ERROR, "Unknown character: |"}}},
      {"semicolon", "BEGIN;", {{T::KEYWORD, "BEGIN"}, {T::ERROR, "Unknown character: ;"}}},
      {"hash", "#", {{T::ERROR, "Unknown character: #"}}},
      {"nothing after an error", "$ SELECT 1", {{T::ERROR, "Unknown character: $"}}},
      {"byte of 0x80 and above",
       "a\xc3\xa9",
       {{T::IDENTIFIER, "a"}, {T::ERROR, std::string("Unknown character: ") + '\xc3'}}},
      {"high byte inside a literal", "'\xc3\xa9'", {{T::STRING, "\xc3\xa9"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Token> tokens = Lexer(c.input).tokenize();
    EXPECT_EQ(tokens, c.expected) << describe(tokens);
  }
}

TEST(LexerTest, GetNextTokenEndsWithEndAndStaysThere) {
  Lexer lexer("a ");
  EXPECT_EQ(lexer.getNextToken(), (Token{T::IDENTIFIER, "a"}));
  EXPECT_EQ(lexer.getNextToken(), (Token{T::END, ""}));
  EXPECT_EQ(lexer.getNextToken(), (Token{T::END, ""}));
  EXPECT_EQ(lexer.pos, 2u);
}

TEST(LexerTest, PeekAndAdvanceGiveNulOutsideTheText) {
  Lexer lexer("ab");
  EXPECT_EQ(lexer.peek(-1), '\0');
  EXPECT_EQ(lexer.peek(1), 'b');
  EXPECT_EQ(lexer.peek(2), '\0');
  EXPECT_EQ(lexer.advance(), 'a');
  EXPECT_EQ(lexer.peek(-1), 'a');
  EXPECT_EQ(lexer.advance(), 'b');
  EXPECT_EQ(lexer.advance(), '\0');
  EXPECT_EQ(lexer.pos, 2u);
}

}  // namespace
