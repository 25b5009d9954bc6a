#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The text a cell holds when a command gave its column no value.
inline constexpr const char* kMissingValue = "#/#?";

// One state of a temporal state chain.
struct TempState {
  std::string value;
  std::int64_t duration = 0;  // seconds
};

// A cell's temporal state chain, evaluated against the clock on every read.
struct TempRule {
  std::int32_t currentIndex = 0;
  std::vector<TempState> states;
  std::int64_t insTime = 0;  // start of the chain, seconds since the epoch
  std::int64_t preCalc = 0;  // one pass through the chain: the sum of all durations
  bool isCycle = false;

  // Sets currentIndex to the state active now. A rule without states keeps
  // its index.
  void calculateIndex();
};

// One stored value. Every value is text; `type` selects how it compares.
struct Cell {
  std::string value;
  std::string column;
  std::string type;
  std::int32_t rowIndex = 0;  // position of the row, set by the table-file loader
  std::unique_ptr<TempRule> rule;

  Cell() = default;
  // Copies deep-copy the rule and leave rowIndex alone; moves take everything.
  Cell(const Cell& other);
  Cell& operator=(const Cell& other);
  Cell(Cell&&) noexcept = default;
  Cell& operator=(Cell&&) noexcept = default;
  ~Cell() = default;

  // The current value: `value`, or the active state of the rule, which is
  // re-evaluated first. A rule without states reads as `value`. The reference
  // stays valid until the cell changes.
  const std::string& getVal() const { return rule ? ruleValue() : value; }

  // Typed order of the current values, chosen by this cell's type alone:
  // "int" and "ApexInt" by their leading integers at whatever size they
  // have, "float" as toComparedFloat reads them (a number single precision
  // cannot hold by its double value), "bool" only "false" before "true",
  // "string" by bytes. A numeric text without a number, or a NaN, makes the
  // comparison not hold.
  bool operator<(const Cell& other) const;
  bool operator>(const Cell& other) const;
  // Same column and the same current text.
  bool operator==(const Cell& other) const;

 private:
  // getVal for a cell with a rule; inline for the far more common plain
  // cell, which every row test and result reads.
  const std::string& ruleValue() const;
};
