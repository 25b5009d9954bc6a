#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "model/condition.h"
#include "model/result_set.h"
#include "model/transaction_action.h"
#include "model/webhook.h"

namespace {

Condition condition(const char* column, const char* value, char gate) {
  return Condition{"", column, value, "=", gate};
}

TEST(RecordsTest, ConditionsAreEqualWhenAllFiveFieldsAre) {
  const Condition base{"t", "col", "5", "<=", 'a'};
  struct Case {
    const char* what;
    Condition other;
    bool equal;
  };
  const Case cases[] = {
      {"identical", {"t", "col", "5", "<=", 'a'}, true},
      {"table", {"", "col", "5", "<=", 'a'}, false},
      {"column", {"t", "Col", "5", "<=", 'a'}, false},
      {"value", {"t", "col", "05", "<=", 'a'}, false},
      {"operator", {"t", "col", "5", "<", 'a'}, false},
      {"gate", {"t", "col", "5", "<=", 'o'}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(base == c.other, c.equal);
  }
}

TEST(RecordsTest, ListenersAreEqualWhenColumnUrlAndConditionsAgree) {
  const WebhookListener base{
      "price", "http://h/x", {condition("a", "1", 'o'), condition("b", "2", 'a')}};
  struct Case {
    const char* what;
    WebhookListener other;
    bool equal;
  };
  const Case cases[] = {
      {"identical", base, true},
      {"column", {"cost", base.url, base.conditions}, false},
      {"url", {base.column, "http://h/y", base.conditions}, false},
      {"one condition fewer", {base.column, base.url, {condition("a", "1", 'o')}}, false},
      {"no conditions", {base.column, base.url, {}}, false},
      {"gate of one condition",
       {base.column, base.url, {condition("a", "1", 'o'), condition("b", "2", 'o')}},
       false},
      {"conditions in another order",
       {base.column, base.url, {condition("b", "2", 'a'), condition("a", "1", 'o')}},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(base == c.other, c.equal);
  }
  EXPECT_TRUE(WebhookListener{} == WebhookListener{});
}

WebhookTask dueAt(std::int64_t fireTime) {
  WebhookTask task;
  task.fireTime = fireTime;
  task.value = std::to_string(fireTime);
  return task;
}

TEST(RecordsTest, WebhookQueueHasTheEarliestDueTaskOnTop) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* what;
    std::vector<std::int64_t> pushed;
    std::vector<std::int64_t> popped;
  };
  const Case cases[] = {
      {"pushed out of order", {300, 100, 200}, {100, 200, 300}},
      {"negative before zero", {0, -5}, {-5, 0}},
      {"the extremes", {kMax, 0, kMin}, {kMin, 0, kMax}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::priority_queue<WebhookTask> queue;
    for (const auto time : c.pushed) queue.push(dueAt(time));
    std::vector<std::int64_t> popped;
    for (; !queue.empty(); queue.pop()) {
      EXPECT_EQ(queue.top().value, std::to_string(queue.top().fireTime));
      popped.push_back(queue.top().fireTime);
    }
    EXPECT_EQ(popped, c.popped);
  }
  EXPECT_FALSE(dueAt(7) < dueAt(7));
}

TEST(RecordsTest, TransactionActionCopiesItsRowDeeply) {
  TransactionAction action;
  EXPECT_EQ(action.rowIndex, 0);
  EXPECT_TRUE(action.before.cells.empty());

  action.action = "UPDATE";
  action.tableName = "t";
  action.rowIndex = 3;
  action.before.cells.resize(1);
  action.before.cells[0].value = "old";
  action.before.cells[0].rule = std::make_unique<TempRule>();
  action.before.cells[0].rule->states = {{"s", 4}};

  const TransactionAction copy = action;
  action.before.cells[0].rule->states[0].value = "changed";
  EXPECT_EQ(copy.action, "UPDATE");
  EXPECT_EQ(copy.tableName, "t");
  EXPECT_EQ(copy.rowIndex, 3);
  EXPECT_EQ(copy.before.cells[0].value, "old");
  ASSERT_NE(copy.before.cells[0].rule, nullptr);
  EXPECT_EQ(copy.before.cells[0].rule->states[0].value, "s");
}

TEST(RecordsTest, NewResultSetReportsSuccessAndNothingElse) {
  const ResultSet result;
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.message, "");
  EXPECT_TRUE(result.columns.empty());
  EXPECT_TRUE(result.rows.empty());
  EXPECT_EQ(result.rows_affected, 0);
}

TEST(RecordsTest, ResultValueHoldsTheAlternativeItWasGiven) {
  // A text literal must become text, never the bool that a pointer converts to.
  EXPECT_EQ(ResultValue("NULL").index(), 3u);
  EXPECT_EQ(ResultValue(std::int32_t{5}).index(), 0u);
  EXPECT_EQ(ResultValue(1.5f).index(), 1u);
  EXPECT_EQ(ResultValue(true).index(), 2u);
}

}  // namespace
