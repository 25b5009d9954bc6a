#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TokenType : std::int32_t {
  KEYWORD = 0,
  IDENTIFIER = 1,
  STRING = 2,
  NUMBER = 3,
  OPERATOR = 4,
  SYMBOL = 5,
  END = 6,
  ERROR = 7,
};

struct Token {
  TokenType type;
  std::string value;
};

// Cuts one command text into tokens. Used once per command.
class Lexer {
 public:
  std::string input;
  std::size_t pos = 0;

  explicit Lexer(std::string text);

  // The character `offset` places after the current one; NUL past the end.
  char peek(std::ptrdiff_t offset) const;
  // The current character, moving on by one; NUL at the end, staying there.
  char advance();
  void skipWhitespace();
  // The next token; END at the end of the text.
  Token getNextToken();
  // Every token up to the end of the text (END not stored), or up to and
  // including the first ERROR token.
  std::vector<Token> tokenize();
};
