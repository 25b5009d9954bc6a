// The slot encoding against the one it replaced, which zeroed nothing
// itself, wrote every plain cell through one out-of-line encoder, parsed
// every integer with the general reader, and found the rows that show the
// clock in a pass of their own. Random rows of every kind and width, chains
// in columns with and without rule numbers, rows missing cells.

#include "storage/slot_encoding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/stored_form.h"
#include "storage/bytes.h"
#include "storage/table_layout.h"
#include "support/number_reference.h"
#include "support/table_builders.h"

namespace {

// The integer the former encoder stored: the leading integer when it fits,
// else 0, read from its definition.
std::int32_t formerInteger(std::string_view text) {
  const std::optional<WideInteger> wide = wideInteger(text);
  if (!wide || *wide < std::numeric_limits<std::int32_t>::min() ||
      *wide > std::numeric_limits<std::int32_t>::max()) {
    return 0;
  }
  return static_cast<std::int32_t>(*wide);
}

void formerValue(char* at, ValueKind kind, std::string_view text, std::size_t width) {
  std::int32_t bits = 0;
  switch (kind) {
    case ValueKind::kInteger:
      bits = formerInteger(text);
      break;
    case ValueKind::kFloat:
      bits = std::bit_cast<std::int32_t>(text == kMissingValue
                                             ? std::numeric_limits<float>::quiet_NaN()
                                             : toFloat(text).value_or(0.0F));
      break;
    case ValueKind::kBool:
      if (width > 0) at[0] = isTrueText(text) ? 1 : 0;
      return;
    case ValueKind::kString:
      std::memcpy(at, text.data(), std::min(text.size(), width));
      return;
    case ValueKind::kOther:
      return;
  }
  char bytes[4];
  putInt32(bytes, bits);
  std::memcpy(at, bytes, std::min<std::size_t>(width, 4));
}

struct Encoded {
  std::string slot;
  std::vector<std::int64_t> records;  // as handed out, in cell order
  bool showsClock = false;

  bool operator==(const Encoded&) const = default;
};

Encoded formerSlot(const SlotLayout& layout, const Row& row) {
  static const Cell kNoCell;
  Encoded out{std::string(layout.size, '\0'), {}, false};
  std::int64_t next = 0;
  for (std::size_t i = 0; i < layout.cells.size(); ++i) {
    const CellSlot& slot = layout.cells[i];
    const Cell& cell = i < row.cells.size() ? row.cells[i] : kNoCell;
    char* const at = out.slot.data() + slot.offset;
    if (!slot.temporal) {
      formerValue(at, slot.kind, cell.getVal(), slot.width);
    } else if (storesRule(slot, cell)) {
      out.records.push_back(next);
      at[0] = 1;
      putInt32(at + 1, static_cast<std::int32_t>(next++));
    } else {
      formerValue(at + 1, slot.kind, cell.getVal(), slot.width);
    }
    if (cell.rule && !cell.rule->states.empty() && !slot.ruleNumbers) out.showsClock = true;
  }
  return out;
}

Encoded slotOf(const SlotLayout& layout, const Row& row) {
  Encoded out{std::string(layout.size, '\0'), {}, false};
  std::int64_t next = 0;
  const auto recordFor = [&](std::int64_t) {
    out.records.push_back(next);
    return next++;
  };
  std::vector<RuleRecord> rules;
  out.showsClock = encodeSlot(SlotEncoding<decltype(recordFor)>{layout, 0, 3, recordFor}, row,
                              out.slot.data(), rules);
  return out;
}

TEST(SlotEncodingTest, EncodesWhatTheFormerEncodingDid) {
  std::mt19937 random(41);
  const auto pick = [&](const std::vector<std::string>& pool) {
    return pool[random() % pool.size()];
  };
  const std::vector<std::string> types = {"int", "ApexInt", "float", "bool", "string"};
  const std::vector<std::string> texts = {
      "0",           "7",          "-7",
      "05",          " 12",        "+3",
      "2147483647",  "2147483648", "-2147483648",
      "-2147483649", "123456789",  "1234567890",
      "12x",         "-",          "",
      "abc",         "1.5",        "-0.25",
      "1e-9",        "nan",        "#/#?",
      "#/",          "true",       "TRUE",
      "1",           "false",      "a long text past any width"};
  int clocks = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<Column> columns;
    const std::size_t count = 1 + random() % 5;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string type = pick(types);
      const int width = std::vector<int>{1, 2, 3, 4, 8, 60}[random() % 6];
      columns.push_back(makeColumn("c" + std::to_string(i), type,
                                   random() % 3 == 0 ? 1 + random() % 3 : 0, width));
    }
    const Table table = makeTable("t", columns);
    Row row;
    const std::size_t cells = random() % 6 == 0 ? random() % count : count;
    for (std::size_t i = 0; i < cells; ++i) {
      Cell cell;
      cell.column = columns[i].name;
      cell.type = columns[i].type;
      cell.value = pick(texts);
      if (random() % 4 == 0) {
        std::vector<TempState> states;
        for (std::size_t s = random() % 3; s > 0; --s) states.push_back({pick(texts), 5});
        cell.rule = makeRule(states, 0);
      }
      row.cells.push_back(std::move(cell));
    }
    const SlotLayout layout = slotLayoutOf(table.columns);
    const Encoded encoded = slotOf(layout, row);
    ASSERT_EQ(encoded, formerSlot(layout, row)) << "trial " << trial;
    clocks += encoded.showsClock ? 1 : 0;
  }
  EXPECT_GT(clocks, 100);
}

}  // namespace
