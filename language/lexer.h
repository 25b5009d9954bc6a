#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

  bool operator==(const Token& other) const = default;
};

// The reserved words, upper case, in the order a word is tested against them.
// Nothing else is reserved: DROP, true, false and the time units are plain words.
inline constexpr std::array<std::string_view, 18> kKeywords = {
    "CREATE", "TABLE", "INSERT", "INTO",  "SELECT", "FROM",     "WHERE", "UPDATE", "SET",
    "DELETE", "LINK",  "LISTEN", "BEGIN", "COMMIT", "ROLLBACK", "JOIN",  "ON",     "CHECKPOINT",
};

// Cuts one command text into tokens. Used once per command. Characters are
// single bytes classified as in the "C" locale; bytes of 0x80 and above
// belong to no class and so are unknown characters. The lexer reads the text
// in place: the text must outlive it (the tokens own their texts).
class Lexer {
 public:
  std::string_view input;
  std::size_t pos = 0;

  explicit Lexer(std::string_view text) : input(text) {}

  // The character `offset` places after the current one; NUL past the end
  // (and before the start).
  char peek(std::ptrdiff_t offset) const;
  // The current character, moving on by one; NUL at the end, staying there.
  char advance();
  void skipWhitespace();
  // The next token; END at the end of the text. Lexical errors come back as
  // ERROR tokens ("Unterminated string literal", "Unknown character: " + c);
  // nothing is thrown.
  Token getNextToken();
  // Every token up to the end of the text (END not stored), or up to and
  // including the first ERROR token.
  std::vector<Token> tokenize();

 private:
  // A token before its text is copied out of the input: tokenize copies
  // each text once, straight into the list.
  struct Lexeme {
    TokenType type;
    std::string_view text;  // in the input, a reserved word, or an error's message
  };

  // The message of the last unknown character, which its lexeme views.
  std::string unknownMessage_;

  Lexeme scan();
  // The lexeme of the `length` characters at the current one, moving past them.
  Lexeme taken(TokenType type, std::size_t length);
  Lexeme readString(char quote);
  Lexeme readNumber();
  Lexeme readWord();
  Lexeme unknownCharacter();
};
