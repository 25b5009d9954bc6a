#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "language/parser.h"
#include "storage/file_system.h"
#include "storage/listener_record.h"
#include "storage/webhook_record.h"
#include "support/file_sweep.h"
#include "support/table_builders.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

class WebhooksTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }

  // The records of the listener file, decoded.
  std::vector<ListenerRecord> listenerRecords() const {
    const std::string bytes = readFile(dir / "listeners.bin");
    std::vector<ListenerRecord> records;
    std::size_t offset = 0;
    while (auto record = decodeListenerRecord(bytes, offset)) records.push_back(*record);
    return records;
  }

  // The queue's tasks, earliest first; the queue is emptied.
  static std::vector<WebhookTask> drain(Database& db) {
    std::vector<WebhookTask> tasks;
    for (; !db.webhookQueue.empty(); db.webhookQueue.pop()) tasks.push_back(db.webhookQueue.top());
    return tasks;
  }

  Database db;
};

const std::vector<Condition> kConditions = {{"", "age", "30", "<=", 'o'},
                                            {"", "name", "bo", "=", 'a'}};

// --- Listeners ---

TEST_F(WebhooksTest, AnEqualListenerIsReplacedAndAnyDifferenceKeepsBoth) {
  const std::vector<Condition> swapped = {kConditions[1], kConditions[0]};
  std::vector<Condition> otherGate = kConditions;
  otherGate[1].gate = 'o';
  std::vector<Condition> prefixed = kConditions;
  prefixed[0].table = "t";
  struct Case {
    const char* shows;
    std::string column;
    std::string url;
    std::vector<Condition> conditions;
    std::size_t listeners;
  } cases[] = {
      {"the same listener", "col", "http://x", kConditions, 1},
      {"the same URL once quoted", "col", "'http://x'", kConditions, 1},
      {"another column", "other", "http://x", kConditions, 2},
      {"another URL", "col", "http://y", kConditions, 2},
      {"the conditions in another order", "col", "http://x", swapped, 2},
      {"another connector", "col", "http://x", otherGate, 2},
      {"a table prefix", "col", "http://x", prefixed, 2},
      {"one condition fewer", "col", "http://x", {kConditions[0]}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.listeners.clear();
    db.addListener("t", "col", "http://x", kConditions, true);
    db.addListener("t", c.column, c.url, c.conditions, true);
    EXPECT_EQ(db.listeners.at("t").size(), c.listeners);
  }
}

TEST_F(WebhooksTest, OnePairOfQuotesIsTakenOffTheUrl) {
  struct Case {
    std::string given;
    std::string kept;
  } cases[] = {
      {"'x'", "x"},     {"\"http://a\"", "http://a"},
      {"''", ""},       {"'\"", ""},
      {"'", "'"},       {"\"", "\""},
      {"x", "x"},       {"'abc", "ab"},
      {"''x''", "'x'"}, {"x'", "x'"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    db.listeners.clear();
    db.addListener("t", "col", c.given, {}, true);
    EXPECT_EQ(db.listeners.at("t").at(0).url, c.kept);
  }
}

// A listener that replaces an equal one goes to the end; each LISTEN
// appends a record, also when it replaced one in memory.
TEST_F(WebhooksTest, ReplacedListenerMovesToTheEndAndEveryListenIsRecorded) {
  db.addListener("t", "a", "'u1'", kConditions, false);
  db.addListener("t", "b", "u2", {}, false);
  db.addListener("t", "a", "u1", kConditions, false);
  db.addListener("other", "a", "u1", {}, false);
  const std::vector<WebhookListener> expected = {{"b", "u2", {}}, {"a", "u1", kConditions}};
  EXPECT_EQ(db.listeners.at("t"), expected);
  EXPECT_EQ(db.listeners.at("other").size(), 1u);

  const std::vector<ListenerRecord> records = listenerRecords();
  ASSERT_EQ(records.size(), 4u);
  const char* columns[] = {"a", "b", "a", "a"};
  const char* tables[] = {"t", "t", "t", "other"};
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].column, columns[i]);
    EXPECT_EQ(records[i].table, tables[i]);
  }
  EXPECT_EQ(records[0].url, "u1");  // stored without its quotes
  EXPECT_EQ(records[0].conditions.size(), 2u);
}

TEST_F(WebhooksTest, ListenersFromDiskWriteNothing) {
  db.addListener("t", "a", "u", kConditions, true);
  EXPECT_EQ(db.listeners.at("t").size(), 1u);
  EXPECT_TRUE(fileNames().empty());
}

TEST_F(WebhooksTest, ListenerWhoseRecordCannotBeWrittenIsNotAdded) {
  db.addListener("t", "a", "u", {}, false);
  const std::string before = readFile(dir / "listeners.bin");
  for (const std::int64_t at : {0, 1}) {
    SCOPED_TRACE(at);
    setFileFaultForTesting(FileFault{at, false});
    EXPECT_EQ(thrownMessage([&] { db.addListener("t", "b", "v", {}, false); }),
              "Failed to write file: listeners.bin");
    setFileFaultForTesting(std::nullopt);
    EXPECT_EQ(db.listeners.at("t"), (std::vector<WebhookListener>{{"a", "u", {}}}));
    EXPECT_EQ(readFile(dir / "listeners.bin"), before);
  }
  // A failed LISTEN of a new table leaves no empty list behind.
  setFileFaultForTesting(FileFault{0, false});
  EXPECT_THROW(db.addListener("new", "b", "v", {}, false), std::runtime_error);
  EXPECT_FALSE(db.listeners.contains("new"));
}

// --- Webhook tasks ---

constexpr std::int64_t T = 1000;

const std::vector<TempState> kChain = {{"a", 5}, {"b", 10}, {"c", 10}};

struct Expected {
  std::int64_t fireTime;
  const char* value;
  std::int32_t fileOffset;
};

void expectTasks(const std::vector<WebhookTask>& tasks, const std::vector<Expected>& expected,
                 bool isCycle, const std::string& column = "s", std::int32_t row = 3) {
  ASSERT_EQ(tasks.size(), expected.size());
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tasks[i].fireTime, expected[i].fireTime);
    EXPECT_EQ(tasks[i].value, expected[i].value);
    EXPECT_EQ(tasks[i].fileOffset, expected[i].fileOffset);
    EXPECT_EQ(tasks[i].tableName, "t");
    EXPECT_EQ(tasks[i].rowIndex, row);
    EXPECT_EQ(tasks[i].column, column);
    EXPECT_EQ(tasks[i].isCycle, isCycle);
    EXPECT_EQ(tasks[i].period, 25);
    EXPECT_EQ(tasks[i].insTime, T);
  }
}

// The last task of a repeating chain announces its first state, which
// becomes active again when the last one ends.
TEST_F(WebhooksTest, TasksOfTheFirstPassWithTheirRecords) {
  struct Case {
    bool isCycle;
    std::vector<Expected> tasks;
  } cases[] = {
      {false, {{T + 5, "b", 0}, {T + 15, "c", 85}}},
      {true, {{T + 5, "b", 0}, {T + 15, "c", 85}, {T + 25, "a", 170}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.isCycle);
    std::filesystem::remove(dir / "webhooks.bin");
    Database fresh;
    const auto rule = makeRule(kChain, T, c.isCycle);
    fresh.registerWebhook("t", 3, "s", rule.get());
    const std::vector<WebhookTask> queued = drain(fresh);
    expectTasks(queued, c.tasks, c.isCycle);

    std::vector<Expected> unwritten = c.tasks;
    for (Expected& e : unwritten) e.fileOffset = 0;
    expectTasks(Database::webhookTasks("t", 3, "s", *rule), unwritten, c.isCycle);

    std::string records;
    for (const WebhookTask& task : queued) records += encodeWebhookRecord(task);
    EXPECT_EQ(readFile(dir / "webhooks.bin"), records);
  }
}

TEST_F(WebhooksTest, ChainsAreRecordedInTheOrderTheyAreRegistered) {
  const auto first = makeRule(kChain, T);
  const auto second = makeRule(kChain, T, true);
  db.registerWebhook("t", 3, "first", first.get());
  db.registerWebhook("t", 3, "second", second.get());
  const std::string bytes = readFile(dir / "webhooks.bin");
  ASSERT_EQ(bytes.size(), 5u * 85u);
  const char* columns[] = {"first", "first", "second", "second", "second"};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(decodeWebhookRecord(bytes.substr(i * 85)).task.column, columns[i]) << i;
  }
  std::vector<std::int32_t> offsets;
  for (const WebhookTask& task : drain(db)) {
    if (task.column == "second") offsets.push_back(task.fileOffset);
  }
  std::sort(offsets.begin(), offsets.end());
  EXPECT_EQ(offsets, (std::vector<std::int32_t>{170, 255, 340}));
}

TEST_F(WebhooksTest, DueTimesStopAtTheLimitInsteadOfWrapping) {
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  TempRule rule;  // built by hand: the helper would sum the durations
  rule.states = {{"a", max}, {"b", max}, {"c", 1}};
  rule.insTime = T;
  rule.preCalc = max;
  rule.isCycle = true;
  const std::vector<WebhookTask> tasks = Database::webhookTasks("t", 0, "s", rule);
  ASSERT_EQ(tasks.size(), 3u);
  for (const WebhookTask& task : tasks) EXPECT_EQ(task.fireTime, max);
}

// Whichever file operation fails, the tasks are queued with all their
// records or the command fails and neither the queue nor the file changes.
TEST_F(WebhooksTest, TasksWhoseRecordsCannotBeAppendedAreNotQueued) {
  const auto rule = makeRule(kChain, T, true);
  const std::string kept = encodeWebhookRecord(Database::webhookTasks("t", 0, "s", *rule).front());
  struct Case {
    const char* shows;
    bool exists;
    std::string bytes;
    std::string records;  // the whole records among them
  } cases[] = {
      {"no file", false, "", ""},
      {"one record", true, kept, kept},
      {"a record, then part of one", true, kept + "torn", kept},
  };
  for (const Case& c : cases) {
    for (std::int64_t at = 0;; ++at) {
      SCOPED_TRACE(testing::Message() << c.shows << ", operation " << at);
      std::filesystem::remove(dir / "webhooks.bin");
      if (c.exists) writeFile(dir / "webhooks.bin", c.bytes);
      Database fresh;
      setFileFaultForTesting(FileFault{at, false});
      const std::string message =
          thrownMessage([&] { fresh.registerWebhook("t", 0, "s", rule.get()); });
      const bool reached = fileOperationsForTesting() > at;
      setFileFaultForTesting(std::nullopt);
      if (message.empty()) {
        EXPECT_EQ(fresh.webhookQueue.size(), 3u);
        EXPECT_EQ(readFile(dir / "webhooks.bin").size(), c.records.size() + 3 * 85);
      } else {
        EXPECT_EQ(message, "Failed to write file: webhooks.bin");
        EXPECT_TRUE(fresh.webhookQueue.empty());
        EXPECT_EQ(std::filesystem::exists(dir / "webhooks.bin"), c.exists);
        const std::string left = readFile(dir / "webhooks.bin");
        EXPECT_TRUE(left == c.bytes || left == c.records);
      }
      if (!reached) break;
    }
  }
}

TEST_F(WebhooksTest, NoTaskWhoseOffsetWouldNotFitThirtyTwoBits) {
  constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
  const std::int64_t size = (limit - 84) / 85 * 85 - 85;  // room for two records, not three
  writeFile(dir / "webhooks.bin", "");
  std::filesystem::resize_file(dir / "webhooks.bin", size);
  const auto rule = makeRule(kChain, T, true);
  EXPECT_EQ(thrownMessage([&] { db.registerWebhook("t", 0, "s", rule.get()); }),
            "Failed to write file: webhooks.bin");
  EXPECT_TRUE(db.webhookQueue.empty());
  EXPECT_EQ(std::filesystem::file_size(dir / "webhooks.bin"), size);
}

// Chain commands run one after another while a file operation fails, or the
// process is killed there, at each operation in turn; a start then finds
// every command with each of its tasks queued exactly once, or the command
// absent with none of them. Its tasks are told apart by their values.
class WebhookFaultSweepTest : public TempDirTest {
 protected:
  struct ChainCommand {
    const char* text;
    std::vector<std::string> taskValues;
    // What the command leaves when it took place: in the row whose k is
    // `row`, a chain in `column` starting with `firstState`.
    const char* row;
    const char* column;
    const char* firstState;
  };

  const std::vector<ChainCommand> commands = {
      // The first creates the webhook file.
      {"INSERT INTO c k = 1 s = 'a' --> 'b' @ 1 m --> 'c' @ 1 m", {"b", "c"}, "1", "s", "a"},
      {"INSERT INTO c k = 2 t = 'p' --> 'q' @ 1 h s = 'x' --> 'y' @ 1 m",
       {"q", "y"},
       "2",
       "t",
       "p"},
      {"UPDATE c SET t = 'u' --> 'v' @ 5 m WHERE k = 1", {"v"}, "1", "t", "u"},
  };

  struct Live {
    Database db;
    Parser parser{&db};
  };

  // A process that has made the table in an emptied directory.
  std::unique_ptr<Live> prepare() {
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    auto live = std::make_unique<Live>();
    EXPECT_TRUE(live->parser.handleCommand("CREATE TABLE c id ApexInt k int s string 3 t string 2")
                    .success);
    return live;
  }

  // Runs every command; which ones were acknowledged.
  std::vector<bool> runCommands(Live& live) const {
    std::vector<bool> acknowledged;
    for (const ChainCommand& command : commands) {
      acknowledged.push_back(live.parser.handleCommand(command.text).success);
    }
    return acknowledged;
  }

  // What a start finds: the values of the queued tasks, and the database.
  struct Started {
    std::multiset<std::string> taskValues;
    std::vector<std::pair<std::int32_t, std::string>> queue;  // offsets and values
    std::unique_ptr<Database> db;
  };

  static Started start() {
    closeLineStream();  // a process that starts has no stream open
    Started started{{}, {}, std::make_unique<Database>()};
    ::testing::internal::CaptureStdout();
    std::string failure;
    try {
      started.db->loadFromDisk();
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(failure, "");
    for (auto& queue = started.db->webhookQueue; !queue.empty(); queue.pop()) {
      started.taskValues.insert(queue.top().value);
      started.queue.emplace_back(queue.top().fileOffset, queue.top().value);
    }
    std::sort(started.queue.begin(), started.queue.end());
    return started;
  }

  // Whether the command took place in the started database.
  static bool tookPlace(const Database& db, const ChainCommand& command) {
    const auto table = db.tables.find("c");
    if (table == db.tables.end()) return false;
    const ColumnRef key(table->second, "k");
    const ColumnRef column(table->second, command.column);
    for (const Row& row : table->second.rows) {
      const Cell* k = key.cellIn(row);
      const Cell* cell = column.cellIn(row);
      if (row.deleted || k == nullptr || k->value != command.row || cell == nullptr) continue;
      if (cell->rule && !cell->rule->states.empty() &&
          cell->rule->states[0].value == command.firstState) {
        return true;
      }
    }
    return false;
  }

  void sweep(bool crash) {
    std::unique_ptr<Live> live = prepare();
    const std::int64_t operations = countFileOperations([&] { runCommands(*live); });
    ASSERT_GT(operations, 0);
    for (std::int64_t n = 0; n <= operations; ++n) {
      SCOPED_TRACE(testing::Message()
                   << (crash ? "kill" : "failure") << " at file operation " << n);
      live = prepare();
      std::vector<bool> acknowledged;
      {
        const ScopedFileFault fault(FileFault{n, crash});
        acknowledged = runCommands(*live);
      }
      live.reset();
      const Started started = start();

      for (std::size_t k = 0; k < commands.size(); ++k) {
        const ChainCommand& command = commands[k];
        SCOPED_TRACE(command.text);
        const bool present = tookPlace(*started.db, command);
        for (const std::string& value : command.taskValues) {
          EXPECT_EQ(started.taskValues.count(value), present ? 1U : 0U) << value;
        }
        // The update finds its row only when the first insert took place.
        const bool hasRow = k != 2 || tookPlace(*started.db, commands[0]);
        if (acknowledged[k] && hasRow) {
          EXPECT_TRUE(present) << "acknowledged, then lost";
        }
        if (!crash && !acknowledged[k]) {
          EXPECT_FALSE(present) << "refused, yet it took place";
        }
      }
      EXPECT_EQ(start().queue, started.queue) << "a second start changes nothing";
    }
  }

  ScopedClock clock{1000};
};

TEST_F(WebhookFaultSweepTest, AFailureAnywhereLeavesEachCommandWithAllItsTasksOrNone) {
  sweep(false);
}

TEST_F(WebhookFaultSweepTest, AKillAnywhereLeavesEachCommandWithAllItsTasksOrNone) { sweep(true); }

}  // namespace
