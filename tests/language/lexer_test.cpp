#include "language/lexer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <random>
#include <string>
#include <string_view>
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

// The rules of the language's tokens, written as plainly as they can be
// stated and without the lexer's own helpers: the reference of the
// randomized comparison below.
std::vector<Token> referenceTokens(std::string_view text) {
  static constexpr std::array<std::string_view, 18> kReserved = {
      "BEGIN", "CHECKPOINT", "COMMIT", "CREATE",   "DELETE", "FROM", "INSERT", "INTO",   "JOIN",
      "LINK",  "LISTEN",     "ON",     "ROLLBACK", "SELECT", "SET",  "TABLE",  "UPDATE", "WHERE",
  };
  const auto at = [&](std::size_t i) { return i < text.size() ? text[i] : '\0'; };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (true) {
    while (i < text.size() &&
           std::string_view(" \t\n\v\f\r").find(text[i]) != std::string_view::npos) {
      ++i;
    }
    if (i >= text.size()) return tokens;
    const char c = text[i];
    if (c == '\'' || c == '"') {
      const std::size_t close = text.find(c, i + 1);
      if (close == std::string_view::npos ||
          text.substr(i + 1, close - i - 1).find('\0') != std::string_view::npos) {
        tokens.push_back({TokenType::ERROR, "Unterminated string literal"});
        return tokens;
      }
      tokens.push_back({TokenType::STRING, std::string(text.substr(i + 1, close - i - 1))});
      i = close + 1;
    } else if (digit(c) || (c == '-' && digit(at(i + 1)))) {
      std::size_t end = i + 1;
      bool point = false;
      for (; digit(at(end)) || (at(end) == '.' && !point); ++end) point = point || at(end) == '.';
      tokens.push_back({TokenType::NUMBER, std::string(text.substr(i, end - i))});
      i = end;
    } else if (text.substr(i, 3) == "-->") {
      tokens.push_back({TokenType::OPERATOR, "-->"});
      i += 3;
    } else if (letter(c) || c == '_') {
      std::size_t end = i;
      while (letter(at(end)) || digit(at(end)) || at(end) == '_') ++end;
      const std::string word(text.substr(i, end - i));
      std::string upper = word;
      for (char& u : upper) u = static_cast<char>(std::toupper(static_cast<unsigned char>(u)));
      const bool reserved = std::find(kReserved.begin(), kReserved.end(), upper) != kReserved.end();
      tokens.push_back(reserved ? Token{TokenType::KEYWORD, upper}
                                : Token{TokenType::IDENTIFIER, word});
      i = end;
    } else if (text.substr(i, 2) == "&&" || text.substr(i, 2) == "||") {
      tokens.push_back({TokenType::OPERATOR, std::string(text.substr(i, 2))});
      i += 2;
    } else if (std::string_view("()*,.@").find(c) != std::string_view::npos) {
      tokens.push_back({TokenType::SYMBOL, std::string(1, c)});
      ++i;
    } else if (std::string_view("!<=>").find(c) != std::string_view::npos) {
      const std::size_t length = at(i + 1) == '=' ? 2 : 1;
      tokens.push_back({TokenType::OPERATOR, std::string(text.substr(i, length))});
      i += length;
    } else {
      tokens.push_back({TokenType::ERROR, std::string("Unknown character: ") + c});
      return tokens;
    }
  }
}

// A command-like text of fragments chosen to sit on the edges of the rules:
// both quotes, closed and not, signs and points around digits, the arrow and
// its near misses, reserved words in mixed case and as prefixes of longer
// words, NUL and high bytes, and now and then a byte of any value.
std::string randomText(std::mt19937& random) {
  static const std::vector<std::string> kFragments = {
      "select",     "SeLeCt", "FROM",     "wHeRe",    "checkpoint",
      "ChEcKpOiNt", "on",     "On",       "set",      "SETS",
      "into_",      "_",      "_x1",      "id",       "p",
      "drop",       "x9",     "e5",       "0",        "7",
      "123",        "-",      "--",       "-->",      "->",
      "-5",         "5.",     ".",        "1.2.3",    "-.5",
      "'",          "\"",     "'a b'",    "\"it's\"", "''",
      "'\"'",       " ",      "  ",       "\t",       "\n",
      "\r\v\f",     "&",      "&&",       "&&&",      "|",
      "||",         "!",      "!=",       "<",        "<=",
      "=",          "==",     ">",        ">=",       "=>",
      "@",          "(",      ")",        "*",        ",",
      "$",          "#",      ";",        "~",        std::string(1, '\0'),
      "\x80",       "\xff",   "\xc3\xa9",
  };
  std::string text;
  const int pieces = std::uniform_int_distribution<int>(0, 12)(random);
  for (int i = 0; i < pieces; ++i) {
    if (std::uniform_int_distribution<int>(0, 9)(random) == 0) {
      text += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
    } else {
      text +=
          kFragments[std::uniform_int_distribution<std::size_t>(0, kFragments.size() - 1)(random)];
    }
  }
  return text;
}

TEST(LexerTest, TokensEqualThoseOfTheReferenceRulesOnRandomTexts) {
  std::mt19937 random(20261211);
  for (int round = 0; round < 40000; ++round) {
    const std::string text = randomText(random);
    const std::vector<Token> tokens = Lexer(text).tokenize();
    ASSERT_EQ(tokens, referenceTokens(text)) << "text [" << text << "] gave " << describe(tokens);
  }
}

}  // namespace
