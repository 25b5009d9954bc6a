#pragma once

#include <string>
#include <vector>

#include "language/lexer.h"
#include "model/cell.h"
#include "model/condition.h"

// Readable forms of what the grammars produce, for tests that compare whole
// outputs.

inline std::vector<Token> tokensOf(const std::string& text) { return Lexer(text).tokenize(); }

// "o t.c = v": the gate, the prefixed column, the operator and the value.
inline std::string describe(const Condition& condition) {
  const std::string prefix = condition.table.empty() ? "" : condition.table + ".";
  return std::string(1, condition.gate) + " " + prefix + condition.column + " " + condition.op +
         " " + condition.value;
}

inline std::vector<std::string> describe(const std::vector<Condition>& conditions) {
  std::vector<std::string> texts;
  for (const Condition& condition : conditions) texts.push_back(describe(condition));
  return texts;
}

// A chain's states and its other fields:
// "[red 30, green 5, amber 5] sum 40 from 1000 cycle".
inline std::string describe(const TempRule& rule) {
  std::string text = "[";
  for (const TempState& state : rule.states) {
    if (text.size() > 1) text += ", ";
    text += state.value + " " + std::to_string(state.duration);
  }
  text += "] sum " + std::to_string(rule.preCalc) + " from " + std::to_string(rule.insTime);
  if (rule.currentIndex != 0) text += " at " + std::to_string(rule.currentIndex);
  return rule.isCycle ? text + " cycle" : text;
}

// "column:type=value", then the chain when the cell has one.
inline std::string describe(const Cell& cell) {
  std::string text = cell.column + ":" + cell.type + "=" + cell.value;
  return cell.rule ? text + " " + describe(*cell.rule) : text;
}
