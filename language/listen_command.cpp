#include "language/listen_command.h"

#include <cassert>
#include <stdexcept>

#include "language/conditions.h"

namespace {

std::string withoutInnerQuotes(const std::string& address) {
  if (address.size() < 2 || (address.front() != '\'' && address.front() != '"')) return address;
  return address.substr(1, address.size() - 2);
}

}  // namespace

ListenCall parseListen(const std::vector<Token>& tokens) {
  assert(tokens.size() >= 6);
  if (tokens[2].value != ".") throw std::runtime_error("Expected '.'");
  if (tokens[4].value != "-->") throw std::runtime_error("Expected '-->'");
  return ListenCall{tokens[1].value, tokens[3].value, withoutInnerQuotes(tokens[5].value),
                    parseOptionalWhere(tokens, 6)};
}
