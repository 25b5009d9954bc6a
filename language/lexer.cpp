#include "language/lexer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "model/number.h"

namespace {

// Character classes of the "C" locale, written out so that no locale setting
// of the host can change how a command is cut; a table of each byte's classes,
// so that a test is one look-up.
enum CharClass : std::uint8_t { kSpace = 1, kDigit = 2, kWordStart = 4 };
constexpr std::array<std::uint8_t, 256> kCharClasses = [] {
  std::array<std::uint8_t, 256> classes{};
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    classes[static_cast<std::size_t>(byte)] =
        static_cast<std::uint8_t>((isCSpace(c) ? kSpace : 0) | (c >= '0' && c <= '9' ? kDigit : 0) |
                                  (letter || c == '_' ? kWordStart : 0));
  }
  return classes;
}();
constexpr bool isIn(char c, std::uint8_t classes) {
  return (kCharClasses[static_cast<unsigned char>(c)] & classes) != 0;
}
constexpr bool isDigit(char c) { return isIn(c, kDigit); }
constexpr bool isWordStart(char c) { return isIn(c, kWordStart); }
constexpr bool isWordPart(char c) { return isIn(c, kWordStart | kDigit); }
constexpr char toUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr std::string_view kSymbols = "()*,.@";
constexpr std::string_view kComparisonStarts = "!<=>";

// For each capital letter, the reserved words that begin with it (bit i for
// kKeywords[i]): a word is compared with those alone, most words with none.
constexpr std::array<std::uint32_t, 26> kKeywordsByInitial = [] {
  static_assert(kKeywords.size() <= 32);
  std::array<std::uint32_t, 26> byInitial{};
  for (std::size_t i = 0; i < kKeywords.size(); ++i) {
    byInitial[static_cast<std::size_t>(kKeywords[i][0] - 'A')] |= std::uint32_t{1} << i;
  }
  return byInitial;
}();

// The reserved word the non-empty `word` spells in any letter case, if any.
const std::string_view* reservedWord(std::string_view word) {
  const char initial = toUpper(word[0]);
  if (initial < 'A' || initial > 'Z') return nullptr;
  const auto spells = [&](std::string_view keyword) {
    return keyword.size() == word.size() &&
           std::equal(word.begin(), word.end(), keyword.begin(),
                      [](char a, char b) { return toUpper(a) == b; });
  };
  for (std::uint32_t candidates = kKeywordsByInitial[static_cast<std::size_t>(initial - 'A')];
       candidates != 0; candidates &= candidates - 1) {
    const std::string_view& keyword =
        kKeywords[static_cast<std::size_t>(std::countr_zero(candidates))];
    if (spells(keyword)) return &keyword;
  }
  return nullptr;
}

}  // namespace

char Lexer::peek(std::ptrdiff_t offset) const {
  if (offset < 0 && static_cast<std::size_t>(-offset) > pos) return '\0';
  const std::size_t index = pos + static_cast<std::size_t>(offset);
  return index < input.size() ? input[index] : '\0';
}

char Lexer::advance() {
  if (pos >= input.size()) return '\0';
  return input[pos++];
}

void Lexer::skipWhitespace() {
  while (pos < input.size() && isIn(input[pos], kSpace)) ++pos;
}

Token Lexer::getNextToken() {
  const Lexeme lexeme = scan();
  return {lexeme.type, std::string(lexeme.text)};
}

std::vector<Token> Lexer::tokenize() {
  std::vector<Token> tokens;
  tokens.reserve(16);  // most commands are short: spare the first regrowths
  for (Lexeme lexeme = scan(); lexeme.type != TokenType::END; lexeme = scan()) {
    Token& token = tokens.emplace_back();
    token.type = lexeme.type;
    token.value.assign(lexeme.text);
    if (lexeme.type == TokenType::ERROR) break;
  }
  return tokens;
}

Lexer::Lexeme Lexer::scan() {
  skipWhitespace();
  if (pos >= input.size()) return {TokenType::END, ""};

  const char c = input[pos];
  if (c == '\'' || c == '"') return readString(c);
  if (isDigit(c)) return readNumber();
  if (c == '-') {
    if (isDigit(peek(1))) return readNumber();
    if (peek(1) == '-' && peek(2) == '>') return taken(TokenType::OPERATOR, 3);
    return unknownCharacter();
  }
  if (isWordStart(c)) return readWord();
  if (c == '&' || c == '|') {
    if (peek(1) != c) return unknownCharacter();
    return taken(TokenType::OPERATOR, 2);
  }
  if (kSymbols.find(c) != std::string_view::npos) return taken(TokenType::SYMBOL, 1);
  if (kComparisonStarts.find(c) != std::string_view::npos) {
    return taken(TokenType::OPERATOR, peek(1) == '=' ? 2 : 1);
  }
  return unknownCharacter();
}

Lexer::Lexeme Lexer::taken(TokenType type, std::size_t length) {
  const Lexeme lexeme{type, input.substr(pos, length)};
  pos += length;
  return lexeme;
}

// A literal runs to the same quote; a NUL byte ends it as the end of the text
// does, so a literal cannot smuggle a NUL into a value.
Lexer::Lexeme Lexer::readString(char quote) {
  advance();
  const std::size_t start = pos;
  while (pos < input.size() && input[pos] != quote && input[pos] != '\0') ++pos;
  if (peek(0) != quote) return {TokenType::ERROR, "Unterminated string literal"};
  advance();
  return {TokenType::STRING, input.substr(start, pos - 1 - start)};
}

Lexer::Lexeme Lexer::readNumber() {
  const std::size_t start = pos;
  if (peek(0) == '-') advance();
  bool seenPoint = false;
  for (char c = peek(0); isDigit(c) || (c == '.' && !seenPoint); c = peek(0)) {
    seenPoint = seenPoint || c == '.';
    advance();
  }
  return {TokenType::NUMBER, input.substr(start, pos - start)};
}

Lexer::Lexeme Lexer::readWord() {
  const std::size_t start = pos;
  while (pos < input.size() && isWordPart(input[pos])) ++pos;
  const std::string_view word(input.data() + start, pos - start);
  if (const std::string_view* keyword = reservedWord(word)) return {TokenType::KEYWORD, *keyword};
  return {TokenType::IDENTIFIER, word};
}

Lexer::Lexeme Lexer::unknownCharacter() {
  unknownMessage_ = std::string("Unknown character: ") + advance();
  return {TokenType::ERROR, unknownMessage_};
}
