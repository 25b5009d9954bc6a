#pragma once

#include <cassert>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "language/lexer.h"

// A read position in one command's token list. Every read is checked against
// the end of the list: a grammar asks for the token it needs and names the
// message for a command that lacks it, so no input reads past the end.
// Refusals are std::runtime_error with that message. The list must outlive
// the cursor.
class TokenCursor {
 public:
  explicit TokenCursor(const std::vector<Token>& tokens, std::size_t position = 0)
      : tokens_(&tokens), position_(position) {}

  std::size_t position() const { return position_; }
  bool atEnd() const { return position_ >= tokens_->size(); }

  // The token `offset` places ahead, or null past the end.
  const Token* peek(std::size_t offset = 0) const {
    if (atEnd() || offset >= tokens_->size() - position_) return nullptr;
    return &(*tokens_)[position_ + offset];
  }

  // Whether the token `offset` places ahead exists and has this text, this
  // kind, or both.
  bool nextIs(std::string_view text, std::size_t offset = 0) const {
    const Token* token = peek(offset);
    // As views, which compare the lengths first.
    return token != nullptr && std::string_view(token->value) == text;
  }
  bool nextIs(TokenType type, std::size_t offset = 0) const {
    const Token* token = peek(offset);
    return token != nullptr && token->type == type;
  }
  bool nextIs(TokenType type, std::string_view text, std::size_t offset = 0) const {
    return nextIs(type, offset) && nextIs(text, offset);
  }

  // The next token, moving past it. Needs a token to be left: for positions
  // that the command's dispatch guard promises.
  const Token& take() {
    assert(!atEnd());
    return (*tokens_)[position_++];
  }

  // The next token, moving past it; throws `message` at the end. A message
  // is a view, so that a command that parses builds no text of a failure.
  const Token& take(std::string_view message) {
    if (atEnd()) throw std::runtime_error(std::string(message));
    return take();
  }

  // The next token, which must exist and have this text (or kind); throws
  // `message` otherwise, staying where it is.
  const Token& expect(std::string_view text, std::string_view message) {
    if (!nextIs(text)) throw std::runtime_error(std::string(message));
    return take();
  }
  const Token& expect(TokenType type, std::string_view message) {
    if (!nextIs(type)) throw std::runtime_error(std::string(message));
    return take();
  }

  // Moves past the next token when it has this text; tells whether it did.
  bool skipIf(std::string_view text) {
    if (!nextIs(text)) return false;
    ++position_;
    return true;
  }

 private:
  const std::vector<Token>* tokens_;
  std::size_t position_;
};
