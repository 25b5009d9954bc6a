#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../engine/test_tables.h"
#include "engine/database.h"
#include "storage/file_system.h"
#include "storage/listener_record.h"
#include "storage/storage.h"
#include "storage/webhook_record.h"
#include "support/test_support.h"

namespace {

// A parent p keyed by a link on id (its column lim holds chains) and a
// child c whose rows point at it through pid (its column f is free).
void addLinkableTables(Database& db) {
  db.tables["p"] = makeTable("p", {makeColumn("id", "int"), makeColumn("lim", "int", 2)});
  db.tables["c"] = makeTable("c", {makeColumn("pid", "int"), makeColumn("f", "int")});
  appendRow(db.tables.at("p"), {"1", "1"});
  appendRow(db.tables.at("p"), {"2", "2"});
  appendRow(db.tables.at("c"), {"2", "1"});
}

std::string field(const std::string& name) { return name + std::string(15 - name.size(), '\0'); }

std::string relationHeader(const std::string& child, const std::string& foreignKey,
                           const std::string& parent, const std::string& key) {
  return field(child) + field(parent) + field(foreignKey) + field(key);
}

using LoadRelationsTest = TempDirTest;

TEST_F(LoadRelationsTest, LinksRecordedInRelationFilesAreMadeAgain) {
  {
    Database first;
    addLinkableTables(first);
    first.link("c", "pid", "p", "id");
  }
  Database db;
  addLinkableTables(db);
  ::testing::internal::CaptureStdout();
  Storage::loadRelations(&db);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(db.tables.at("p").primaryKey, "id");
  EXPECT_EQ(db.tables.at("p").pkMap.size(), 2u);
  EXPECT_EQ(db.tables.at("c").parents, std::vector<std::string>{"p"});
  EXPECT_EQ(db.tables.at("p").children.at("c"), "pid");
  EXPECT_EQ(db.tables.at("p").rows[1].links.at({"c", "pid"}), std::set<std::int32_t>{0});
}

TEST_F(LoadRelationsTest, NamesThatFillTheirFieldsAreReadWhole) {
  const std::string child(15, 'c');
  const std::string parent(15, 'p');
  const std::string foreignKey(15, 'f');
  const std::string key(15, 'k');
  const auto addTables = [&](Database& db) {
    db.tables[parent] = makeTable(parent, {makeColumn(key, "int")});
    db.tables[child] = makeTable(child, {makeColumn(foreignKey, "int")});
    appendRow(db.tables.at(parent), {"1"});
    appendRow(db.tables.at(child), {"1"});
  };
  {
    Database first;
    addTables(first);
    first.link(child, foreignKey, parent, key);
  }
  Database db;
  addTables(db);
  ::testing::internal::CaptureStdout();
  Storage::loadRelations(&db);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(db.tables.at(parent).primaryKey, key);
  EXPECT_EQ(db.tables.at(child).parents, std::vector<std::string>{parent});
  EXPECT_EQ(db.tables.at(parent).rows[0].links.at({child, foreignKey}), std::set<std::int32_t>{0});
}

TEST_F(LoadRelationsTest, AFailingLinkPrintsItsMessageAndTheOthersGoOn) {
  struct Case {
    const char* shows;
    std::string fileBytes;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"a table that was dropped", relationHeader("gone", "pid", "p", "id"),
       "None existant table\n"},
      {"a column that no longer exists", relationHeader("c", "old", "p", "id"),
       "Key does not exist\n"},
      {"a file cut short", "c", "None existant table\n"},
      // Written by an earlier build, which let such a column be a key.
      {"a key column that holds chains", relationHeader("c", "pid", "p", "lim"),
       "Primary key column cannot hold state chains: lim\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    {
      Database first;
      addLinkableTables(first);
      first.link("c", "pid", "p", "id");
    }
    writeFile(dir / "broken.rel", c.fileBytes);
    Database db;
    addLinkableTables(db);
    ::testing::internal::CaptureStdout();
    Storage::loadRelations(&db);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(db.tables.at("c").parents, std::vector<std::string>{"p"});
  }
}

// Of two links of one child to one parent through different columns, left
// by an earlier build, the one whose file name comes first in byte order is
// made, at every start, and the other fails.
TEST_F(LoadRelationsTest, TwoLinksOfOneChildToOneParentKeepTheFirstByName) {
  for (const bool firstWrittenFirst : {true, false}) {
    SCOPED_TRACE(firstWrittenFirst ? "c-f written first" : "c-pid written first");
    for (const std::string& name : fileNames()) std::filesystem::remove(dir / name);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"c-f_p-id.rel", relationHeader("c", "f", "p", "id")},
        {"c-pid_p-id.rel", relationHeader("c", "pid", "p", "id")}};
    if (firstWrittenFirst) {
      for (const auto& [name, bytes] : files) writeFile(dir / name, bytes);
    } else {
      for (auto file = files.rbegin(); file != files.rend(); ++file) {
        writeFile(dir / file->first, file->second);
      }
    }
    Database db;
    addLinkableTables(db);
    ::testing::internal::CaptureStdout();
    Storage::loadRelations(&db);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Table already linked to this parent through another column\n");
    EXPECT_EQ(db.tables.at("p").children.at("c"), "f");
    EXPECT_EQ(db.tables.at("c").parents, std::vector<std::string>{"p"});
    EXPECT_EQ(fileNames(), (std::set<std::string>{"c-f_p-id.rel", "c-pid_p-id.rel"}));
  }
}

TEST_F(LoadRelationsTest, RelationFileThatCannotBeReadFailsItsLinkAlone) {
  {
    Database first;
    addLinkableTables(first);
    first.link("c", "pid", "p", "id");
  }
  Database db;
  addLinkableTables(db);
  ::testing::internal::CaptureStdout();
  {
    // The listing, then the one file's read.
    const ScopedFileFault fault(FileFault{1, false});
    Storage::loadRelations(&db);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "None existant table\n");
  EXPECT_TRUE(db.tables.at("c").parents.empty());
}

}  // namespace

namespace {

class LoadNotificationsTest : public TempDirTest {
 protected:
  void TearDown() override {
    setFileFaultForTesting(std::nullopt);
    TempDirTest::TearDown();
  }

  // What `load` prints, then the message it throws, if it throws.
  static std::string printed(const std::function<void()>& load) {
    ::testing::internal::CaptureStdout();
    std::string thrown;
    try {
      load();
    } catch (const std::runtime_error& error) {
      thrown = std::string("thrown: ") + error.what() + "\n";
    }
    return ::testing::internal::GetCapturedStdout() + thrown;
  }
};

constexpr const char* kReloading = "[STORAGE] Reloading Webhook Listeners...\n";
constexpr const char* kSweeping = "[STORAGE] Sweeping webhooks.bin for pending events...\n";
constexpr const char* kListenersUnreadable = "thrown: Failed to open file: listeners.bin\n";
constexpr const char* kWebhooksUnreadable = "thrown: Failed to open file: webhooks.bin\n";

const std::vector<Condition> kListenConditions = {{"", "age", "30", "<=", 'o'},
                                                  {"", "name", "bo", "=", 'a'}};

// Reloaded conditions carry the table as their prefix, so a LISTEN after a
// restart is a second listener until the next start folds the records.
TEST_F(LoadNotificationsTest, ListenersComeBackMergedWithTheTableAsPrefix) {
  {
    Database first;
    first.addListener("t", "a", "'u'", kListenConditions, false);
    first.addListener("t", "b", "v", {}, false);
    first.addListener("t", "a", "u", kListenConditions, false);
  }
  std::vector<Condition> prefixed = kListenConditions;
  for (Condition& condition : prefixed) condition.table = "t";
  const std::vector<WebhookListener> reloaded = {{"b", "v", {}}, {"a", "u", prefixed}};

  Database second;
  EXPECT_EQ(printed([&] { Storage::loadListeners(&second); }), kReloading);
  EXPECT_EQ(second.listeners.at("t"), reloaded);
  EXPECT_EQ(readFile(dir / "listeners.bin").size(), 3 * 134u + 4 * 44u);  // nothing written

  second.addListener("t", "a", "u", kListenConditions, false);
  EXPECT_EQ(second.listeners.at("t").size(), 3u);
  Database third;
  printed([&] { Storage::loadListeners(&third); });
  EXPECT_EQ(third.listeners.at("t"), reloaded);
}

TEST_F(LoadNotificationsTest, WhatTheListenerLoaderPrints) {
  struct Case {
    const char* shows;
    std::function<void(const std::filesystem::path&)> prepare;
    const char* printed;
  } cases[] = {
      {"no file", [](const auto&) {}, ""},
      {"an empty file", [](const auto& d) { writeFile(d / "listeners.bin", ""); }, kReloading},
      // Never taken for a missing file, which the next LISTEN would start afresh.
      {"a directory", [](const auto& d) { std::filesystem::create_directory(d / "listeners.bin"); },
       kListenersUnreadable},
      {"a FIFO", [](const auto& d) { ASSERT_EQ(::mkfifo((d / "listeners.bin").c_str(), 0600), 0); },
       kListenersUnreadable},
      {"a file that cannot be read",
       [](const auto& d) {
         writeFile(d / "listeners.bin", encodeListenerRecord("t", "a", "u", {}));
         setFileFaultForTesting(FileFault{0, false});
       },
       kListenersUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    std::filesystem::remove_all(dir / "listeners.bin");
    c.prepare(dir);
    Database db;
    EXPECT_EQ(printed([&] { Storage::loadListeners(&db); }), c.printed);
    setFileFaultForTesting(std::nullopt);
    EXPECT_TRUE(db.listeners.empty());
  }
}

// A kill during an append leaves part of a record: it is not loaded, and
// the next LISTEN writes over it, so the records after it load again.
TEST_F(LoadNotificationsTest, AListenerRecordCutShortIsNotLoaded) {
  const std::string whole = encodeListenerRecord("t", "a", "u", kListenConditions);
  const std::string cut = encodeListenerRecord("t", "b", "v", kListenConditions);
  writeFile(dir / "listeners.bin", whole + cut.substr(0, cut.size() - 10));
  Database db;
  EXPECT_EQ(printed([&] { Storage::loadListeners(&db); }), kReloading);
  ASSERT_EQ(db.listeners.at("t").size(), 1u);
  EXPECT_EQ(db.listeners.at("t")[0].column, "a");

  db.addListener("t", "c", "w", {}, false);
  Database again;
  printed([&] { Storage::loadListeners(&again); });
  ASSERT_EQ(again.listeners.at("t").size(), 2u);
  EXPECT_EQ(again.listeners.at("t")[1].column, "c");
}

WebhookTask storedTask(const std::string& value, std::int64_t fireTime) {
  WebhookTask task;
  task.fireTime = fireTime;
  task.tableName = "t";
  task.rowIndex = 4;
  task.column = "s";
  task.value = value;
  task.isCycle = true;
  task.period = 25;
  task.insTime = 1000;
  return task;
}

// A fired record is skipped but keeps its place: the offsets of the others
// stay those of their records.
TEST_F(LoadNotificationsTest, PendingWebhooksComeBackWithTheirOffsets) {
  std::vector<WebhookTask> tasks;
  for (const auto& [value, due] : {std::pair{"a", 1005}, {"b", 1015}, {"c", 1025}, {"d", 900}}) {
    tasks.push_back(storedTask(value, due));
  }
  ASSERT_TRUE(Storage::appendWebhooks(tasks));
  ASSERT_TRUE(Storage::markWebhookFired(85));
  std::string bytes = readFile(dir / "webhooks.bin");
  bytes[255 + 21] = '\2';  // a repeat byte other than 1 does not repeat
  writeFile(dir / "webhooks.bin", bytes + "cut short");

  Database db;
  EXPECT_EQ(printed([&] { Storage::loadWebhooks(&db); }),
            std::string(kSweeping) + "[STORAGE] Revived 3 pending webhooks from the grave!\n");
  struct Expected {
    const char* value;
    std::int32_t fileOffset;
    bool isCycle;
  } expected[] = {{"d", 255, false}, {"a", 0, true}, {"c", 170, true}};  // earliest first
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.value);
    ASSERT_FALSE(db.webhookQueue.empty());
    const WebhookTask& task = db.webhookQueue.top();
    EXPECT_EQ(task.value, e.value);
    EXPECT_EQ(task.fileOffset, e.fileOffset);
    EXPECT_EQ(task.isCycle, e.isCycle);
    EXPECT_EQ(task.tableName, "t");
    EXPECT_EQ(task.rowIndex, 4);
    EXPECT_EQ(task.period, 25);
    EXPECT_EQ(task.insTime, 1000);
    db.webhookQueue.pop();
  }
  EXPECT_TRUE(db.webhookQueue.empty());
}

TEST_F(LoadNotificationsTest, WhatTheWebhookLoaderPrints) {
  const std::string record = encodeWebhookRecord(storedTask("a", 1005));
  std::string fired = record;
  fired[0] = '\1';
  struct Case {
    const char* shows;
    std::function<void(const std::filesystem::path&)> prepare;
    std::string printed;
    std::size_t revived;
  } cases[] = {
      {"no file", [](const auto&) {}, "", 0},
      {"an empty file", [](const auto& d) { writeFile(d / "webhooks.bin", ""); }, kSweeping, 0},
      {"only a record cut short",
       [&](const auto& d) { writeFile(d / "webhooks.bin", record.substr(0, 84)); }, kSweeping, 0},
      {"only fired records", [&](const auto& d) { writeFile(d / "webhooks.bin", fired + fired); },
       kSweeping, 0},
      {"one pending record", [&](const auto& d) { writeFile(d / "webhooks.bin", record); },
       std::string(kSweeping) + "[STORAGE] Revived 1 pending webhooks from the grave!\n", 1},
      {"a directory", [](const auto& d) { std::filesystem::create_directory(d / "webhooks.bin"); },
       kWebhooksUnreadable, 0},
      {"a FIFO", [](const auto& d) { ASSERT_EQ(::mkfifo((d / "webhooks.bin").c_str(), 0600), 0); },
       kWebhooksUnreadable, 0},
      {"a file that cannot be read",
       [&](const auto& d) {
         writeFile(d / "webhooks.bin", record);
         setFileFaultForTesting(FileFault{0, false});
       },
       kWebhooksUnreadable, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    std::filesystem::remove_all(dir / "webhooks.bin");
    c.prepare(dir);
    Database db;
    EXPECT_EQ(printed([&] { Storage::loadWebhooks(&db); }), c.printed);
    setFileFaultForTesting(std::nullopt);
    EXPECT_EQ(db.webhookQueue.size(), c.revived);
  }
}

TEST_F(LoadNotificationsTest, StartUpLinesOfBothLoadersInOrder) {
  {
    Database first;
    first.addListener("t", "a", "u", {}, false);
    const auto rule = makeRule({{"a", 5}, {"b", 10}}, 1000);
    first.registerWebhook("t", 0, "s", rule.get());
  }
  Database db;
  EXPECT_EQ(printed([&] {
              Storage::loadListeners(&db);
              Storage::loadWebhooks(&db);
            }),
            std::string(kReloading) + kSweeping +
                "[STORAGE] Revived 1 pending webhooks from the grave!\n");
}

}  // namespace
