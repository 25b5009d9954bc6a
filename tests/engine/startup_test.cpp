#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "engine/database.h"
#include "language/parser.h"
#include "storage/file_system.h"
#include "storage/storage.h"
#include "support/file_sweep.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

class StartupTest : public TempDirTest {
 protected:
  // Writes the table's data file and deletion map, then its rows.
  static void store(Table table) {
    Storage::saveTable(table.name + ".bin", table, "data");
    std::vector<Row*> rows;
    for (Row& row : table.rows) rows.push_back(&row);
    Storage::update(table, rows);
  }

  // What loadFromDisk throws; empty when it starts.
  static std::string startFailure(Database& db) {
    ::testing::internal::CaptureStdout();
    std::string failure;
    try {
      db.loadFromDisk();
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
    ::testing::internal::GetCapturedStdout();
    return failure;
  }
};

// Only "<name>.bin" of a name CREATE TABLE accepts is a table's data file.
TEST_F(StartupTest, FilesNamedLikeNoTableArePassedOver) {
  Table table = makeTable("t", {makeColumn("a", "int")});
  appendRow(table, {"1"});
  store(table);
  for (const char* name : {"a.b.bin", "sixteen_bytes_xx.bin", ".bin", "x\x01y.bin"}) {
    std::filesystem::copy_file("t.bin", name);
  }
  const auto before = directoryContents();
  Database db;
  EXPECT_EQ(startFailure(db), "");
  ASSERT_EQ(db.tables.size(), 1U);
  EXPECT_EQ(db.tables.at("t").rows.size(), 1U);
  EXPECT_EQ(directoryContents(), before);
}

// A header that describes columns CREATE TABLE refuses was damaged: the
// start is refused and nothing is touched.
TEST_F(StartupTest, HeadersCreateTableWouldRefuseRefuseTheStart) {
  struct Case {
    const char* shows;
    std::vector<Column> columns;
    std::string reason;
  };
  const Case cases[] = {
      {"an empty column name", {makeColumn("", "int")}, "Forbidden column name"},
      {"a column name with a slash", {makeColumn("a/b", "int")}, "Forbidden column name"},
      {"two columns of one name",
       {makeColumn("a", "int"), makeColumn("a", "bool")},
       "Duplicate column name: a"},
      {"a string too wide", {makeColumn("s", "string", 0, 1048577)}, "Invalid string width: s"},
      {"a state limit too high", {makeColumn("a", "int", 4097)}, "Invalid state limit: a"},
      {"states on the identity column",
       {makeColumn("id", "ApexInt", 2)},
       "Invalid state limit: id"},
      {"states on a bool", {makeColumn("b", "bool", 2)}, "Column too narrow for state chains: b"},
      {"two identity columns",
       {makeColumn("a", "ApexInt"), makeColumn("b", "ApexInt")},
       "A table can only have one ApexInt column"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    Storage::saveTable("t.bin", makeTable("t", c.columns), "data");
    writeFile("vesk.wal", "INSERT INTO t a = 1 #TIME# 5\n");
    const auto before = directoryContents();
    Database db;
    EXPECT_EQ(startFailure(db), "Damaged table file t.bin: " + c.reason);
    EXPECT_EQ(directoryContents(), before);
  }
}

// Found by fuzzing: a logged CREATE TABLE whose columns disagree with the
// header that was loaded replaced the table with the logged layout, and the
// checkpoint then wrote rows of that layout under the old header, which the
// next start refused.
TEST_F(StartupTest, AReplayedCreateTableNeverChangesTheLoadedLayout) {
  Table table = makeTable("t", {makeColumn("id", "ApexInt"), makeColumn("n", "int")});
  appendRow(table, {"1", "10"});
  store(table);
  writeFile("vesk.wal",
            "CREATE TABLE t id ApexInt note string ( 4 ) #TIME# 5\n"
            "INSERT INTO t n = 20 #TIME# 6\n");
  {
    Database db;
    ASSERT_EQ(startFailure(db), "");
    const Table& loaded = db.tables.at("t");
    ASSERT_EQ(loaded.columns.size(), 2U);
    EXPECT_EQ(loaded.columns[1].name, "n");
    ASSERT_EQ(loaded.rows.size(), 2U);
    EXPECT_EQ(loaded.rows[1].cells[1].value, "20");
    db.checkpoint();
  }
  Database again;
  EXPECT_EQ(startFailure(again), "");
  EXPECT_EQ(again.tables.at("t").rows.size(), 2U);
}

// A FIFO under a name the engine reads must never block a start, and is
// never taken for a missing file (which a checkpoint would start afresh):
// reading it refuses the start. The listings take regular files only, so a
// FIFO data or relation file names no table and no link.
TEST_F(StartupTest, FifosNeverBlockAStart) {
  struct Case {
    const char* name;
    std::string failure;
    std::size_t tables;
  };
  const Case cases[] = {
      {"t.bin", "", 0},
      {"t.del", "Failed to open file: t.del", 0},
      {"t.tmp", "Failed to open file: t.tmp", 0},
      {"t-a_t-a.rel", "", 1},
      {"listeners.bin", "Failed to open file: listeners.bin", 0},
      {"webhooks.bin", "Failed to open file: webhooks.bin", 0},
      {"vesk.wal", "Failed to open file: vesk.wal", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    Table table = makeTable("t", {makeColumn("a", "int", 2)});
    appendRow(table, {""}).cells[0].rule = makeRule({{"1", 5}}, 0);
    store(table);
    std::filesystem::remove(c.name);
    ASSERT_EQ(::mkfifo(c.name, 0600), 0);
    Database db;
    EXPECT_EQ(startFailure(db), c.failure);
    if (c.failure.empty()) {
      EXPECT_EQ(db.tables.size(), c.tables);
    }
    EXPECT_EQ(directoryContents().at(c.name), "special");
  }
}

// A kill may stop a command between its log line and its webhook records;
// the start then writes what the file lacks, as the first run would have.
class ChainReplayTest : public StartupTest {
 protected:
  // A task on the queue: its offset, due time, start time, row and value.
  using QueuedTask =
      std::tuple<std::int32_t, std::int64_t, std::int64_t, std::int32_t, std::string>;

  // What a start makes of the directory.
  struct Started {
    std::string tables;
    std::optional<std::string> webhooks;  // none when there is no file
    std::vector<QueuedTask> queue;        // by offset
    bool operator==(const Started&) const = default;
  };

  Started start() {
    closeLineStream();  // a process that starts has no stream open
    Database db;
    EXPECT_EQ(startFailure(db), "");
    Started started{describe(db), webhookFile(), {}};
    for (; !db.webhookQueue.empty(); db.webhookQueue.pop()) {
      const WebhookTask& task = db.webhookQueue.top();
      started.queue.emplace_back(task.fileOffset, task.fireTime, task.insTime, task.rowIndex,
                                 task.value);
    }
    std::sort(started.queue.begin(), started.queue.end());
    return started;
  }

  std::optional<std::string> webhookFile() const {
    if (!std::filesystem::exists(dir / "webhooks.bin")) return std::nullopt;
    return readFile(dir / "webhooks.bin");
  }

  // A database and its parser, as a process runs them.
  struct Live {
    Database db;
    Parser parser{&db};
  };

  // The commands run live at time 1000 in an emptied directory.
  std::unique_ptr<Live> runLive(const std::vector<std::string>& commands) {
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    clock.set(1000);
    auto live = std::make_unique<Live>();
    for (const std::string& command : commands) {
      EXPECT_TRUE(live->parser.handleCommand(command).success) << command;
    }
    return live;
  }

  ScopedClock clock{1000};
};

TEST_F(ChainReplayTest, AChainCommandKilledAnywhereComesBackWithAllItsTasksOrNone) {
  const std::string table = "CREATE TABLE c id ApexInt v int s string 3 t string 2";
  const std::string insert =
      "INSERT INTO c s = 'x' --> 'y' @ 1 m --> 'z' @ 1 m t = 'p' --> 'q' @ 1 h c";
  struct Case {
    const char* name;
    std::vector<std::string> before;
    std::string command;
  };
  const Case cases[] = {
      {"an insert that creates the webhook file", {table}, insert},
      {"an insert behind earlier records",
       {table, "INSERT INTO c s = 'a' --> 'b' @ 1 s", "INSERT INTO c v = 5"},
       insert},
      {"an update of two rows",
       {table, "INSERT INTO c v = 1", "INSERT INTO c s = 'a' --> 'b' @ 1 s", "INSERT INTO c v = 3"},
       "UPDATE c SET s = 'u' --> 'v' @ 5 m WHERE id > 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Live> live = runLive(c.before);
    const Directory before = snapshotDirectory();
    clock.set(2000);
    const std::int64_t operations =
        countFileOperations([&] { EXPECT_TRUE(live->parser.handleCommand(c.command).success); });
    const Directory after = snapshotDirectory();
    // The starts come later: every time they write must come from the log.
    clock.set(5000);
    restoreDirectory(before);
    const Started absent = start();
    restoreDirectory(after);
    const Started whole = start();
    ASSERT_NE(absent.webhooks, whole.webhooks);
    EXPECT_EQ(whole.webhooks, webhookFile()) << "the start wrote nothing more";

    for (std::int64_t n = 0; n < operations; ++n) {
      SCOPED_TRACE("kill at file operation " + std::to_string(n));
      live = runLive(c.before);
      clock.set(2000);
      {
        const ScopedFileFault kill(FileFault{n, true});
        live->parser.handleCommand(c.command);
      }
      live.reset();
      clock.set(5000);
      const Started first = start();
      EXPECT_TRUE(first == absent || first == whole) << first.tables;
      EXPECT_EQ(start(), first) << "a second start changes nothing";
    }
  }
}

// Only the last line may lack its records, and only at the offset it names;
// the start writes nothing anywhere else.
TEST_F(ChainReplayTest, TheLastLineGetsWhatItsRecordsLackAtItsOffset) {
  runLive({"CREATE TABLE c id ApexInt s string 3", "INSERT INTO c s = 'a' --> 'b' @ 1 m",
           "INSERT INTO c s = 'x' --> 'y' @ 1 m --> 'z' @ 1 m"});
  const std::string log = readFile(dir / "vesk.wal");
  const std::string records = readFile(dir / "webhooks.bin");
  ASSERT_TRUE(log.ends_with(" #TIME# 1000 85\n")) << log;
  ASSERT_EQ(records.size(), 3 * 85u);
  const std::string first = records.substr(0, 85);
  const auto withLastLine = [&](const std::string& from, const std::string& to) {
    std::string changed = log;
    changed.replace(changed.rfind(from), from.size(), to);
    return changed;
  };
  struct Case {
    const char* name;
    std::string log;
    std::optional<std::string> webhooks;  // before the start; none: no file
    std::optional<std::string> left;      // after it
  };
  const Case cases[] = {
      {"both records missing", log, first, records},
      {"the second missing", log, records.substr(0, 170), records},
      {"the first cut short", log, records.substr(0, 125), records},
      {"the second cut short", log, records.substr(0, 200), records},
      {"every record there", log, records, records},
      {"a line without the offset", withLastLine(" 85\n", "\n"), first, first},
      {"a line before the last", log + "INSERT INTO c s = 'n' #TIME# 1000\n", first, first},
      {"a refused command", withLastLine("INSERT INTO c s = 'x'", "INSERT INTO d s = 'x'"), first,
       first},
      // The file lost records ahead of the offset: it was cut or replaced.
      {"a file that ends before the offset", log, records.substr(0, 40), records.substr(0, 40)},
      {"no file", log, std::nullopt, std::nullopt},
      {"an offset past the file's end", withLastLine(" 85\n", " 340\n"), records, records},
      {"an offset inside a record", withLastLine(" 85\n", " 86\n"), first, first},
  };
  clock.set(5000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir / "webhooks.bin");
    if (c.webhooks) writeFile(dir / "webhooks.bin", *c.webhooks);
    writeFile(dir / "vesk.wal", c.log);
    const Started started = start();
    EXPECT_EQ(started.webhooks, c.left);
    // Every whole record is queued once, with its own offset.
    const std::size_t count = c.left ? c.left->size() / 85 : 0;
    ASSERT_EQ(started.queue.size(), count);
    for (std::size_t k = 0; k < count; ++k) {
      EXPECT_EQ(std::get<0>(started.queue[k]), static_cast<std::int32_t>(85 * k));
    }
    EXPECT_EQ(start(), started);
  }
}

// Records that cannot be written fail the start, which leaves the files as
// they were, and a later start retries.
TEST_F(ChainReplayTest, RecordsThatCannotBeWrittenFailTheStart) {
  runLive({"CREATE TABLE c id ApexInt s string 3",
           "INSERT INTO c s = 'x' --> 'y' @ 1 m --> 'z' @ 1 m"});
  const std::string records = readFile(dir / "webhooks.bin");
  ASSERT_EQ(records.size(), 2 * 85u);
  writeFile(dir / "webhooks.bin", "");
  const Directory before = snapshotDirectory();
  const std::int64_t operations = countFileOperations([&] {
    Database db;
    EXPECT_EQ(startFailure(db), "");
  });
  restoreDirectory(before);
  {
    // The start's last operation: the write of the records.
    const ScopedFileFault fault(FileFault{operations - 1, false});
    Database db;
    EXPECT_EQ(startFailure(db), "Failed to write file: webhooks.bin");
  }
  EXPECT_EQ(snapshotDirectory(), before);
  EXPECT_EQ(start().webhooks, records);
}

std::string field(const std::string& name) { return name + std::string(15 - name.size(), '\0'); }

// A working directory that an earlier build left: links it made that this
// one refuses, one recorded in a relation file and logged since. Each
// relation file prints its failure as any failed link does; the logged
// LINK is discarded like any failed replayed line, printing nothing.
TEST_F(StartupTest, LinksAnEarlierBuildMadeFailAtStartAndInTheReplay) {
  {
    Database db;
    Parser parser(&db);
    for (const char* command : {"CREATE TABLE p k int 3 v int", "CREATE TABLE c f int",
                                "CREATE TABLE r id int", "CREATE TABLE q a int b int",
                                "INSERT INTO p k = 1", "INSERT INTO r id = 1", "CHECKPOINT"}) {
      ASSERT_TRUE(parser.handleCommand(command).success) << command;
    }
  }
  writeFile("c-f_p-k.rel", field("c") + field("p") + field("f") + field("k"));
  writeFile("q-a_r-id.rel", field("q") + field("r") + field("a") + field("id"));
  writeFile("q-b_r-id.rel", field("q") + field("r") + field("b") + field("id"));
  writeFile("vesk.wal",
            "LINK c . f --> p . k #TIME# 5\n"
            "INSERT INTO c f = 1 #TIME# 6\n"
            "LINK q . b --> r . id #TIME# 7\n"
            "INSERT INTO q a = 1 b = 7 #TIME# 8\n");
  const auto before = fileNames();
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "first start" : "second start");
    Database db;
    ::testing::internal::CaptureStdout();
    db.loadFromDisk();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Primary key column cannot hold state chains: k\n"
              "Table already linked to this parent through another column\n"
              "[BOOTLOADER] Replaying Write-Ahead Log...\n"
              "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n");
    EXPECT_EQ(db.tables.at("p").primaryKey, "");
    EXPECT_TRUE(db.tables.at("c").parents.empty());
    EXPECT_EQ(db.tables.at("c").rows.size(), 1U);
    EXPECT_EQ(db.tables.at("r").children,
              (std::unordered_map<std::string, std::string>{{"q", "a"}}));
    EXPECT_EQ(db.tables.at("q").rows.size(), 1U);
    EXPECT_EQ(fileNames(), before);
  }
}

// A relation file whose header does not give its own name was damaged: the
// start keeps it, whatever child it names, and reports its link.
TEST_F(StartupTest, ADamagedRelationFileStaysAndReportsItsLink) {
  Storage::saveTable("t.bin", makeTable("t", {makeColumn("id", "int")}), "data");
  writeFile("t-id_t-id.rel", field("gone") + field("t") + field("id") + field("id"));
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "first start" : "second start");
    Database db;
    ::testing::internal::CaptureStdout();
    db.loadFromDisk();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "None existant table\n");
    EXPECT_TRUE(fileNames().contains("t-id_t-id.rel"));
  }
}

}  // namespace
