// Runs a C host program that reaches the engine only through the public
// header and the shared library, in a fresh working directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "storage/storage.h"
#include "support/process.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

constexpr const char* kNotStarted = "{\"success\": false, \"message\": \"Engine not started.\"}\n";

// A result without rows, as ExecuteQuery renders it.
std::string result(bool success, const std::string& message, int affected = 0) {
  return std::string("{\n  \"success\": ") + (success ? "true" : "false") + ",\n  \"message\": \"" +
         message + "\",\n  \"rows_affected\": " + std::to_string(affected) + "\n}\n";
}

constexpr const char* kInUse =
    "[BOOTLOADER] Start-up failed: Working directory is in use by another process\n";
constexpr const char* kReplay =
    "[BOOTLOADER] Replaying Write-Ahead Log...\n"
    "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n";

class HostTest : public TempDirTest {
 protected:
  ProgramRun runHost(const std::string& input) {
    return runProgram({QUORVEL_HOST_PATH}, dir.parent_path() / (dir.filename().string() + "-io"),
                      input);
  }

  // Every file of the working directory with its bytes.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const std::string& name : fileNames()) {
      const std::filesystem::path path = dir / name;
      files[name] = std::filesystem::is_directory(path) ? "<directory>" : readFile(path);
    }
    return files;
  }

  void TearDown() override {
    std::filesystem::remove_all(dir.parent_path() / (dir.filename().string() + "-io"));
    TempDirTest::TearDown();
  }
};

TEST_F(HostTest, AStoppedEngineAnswersEveryCallTheSameWay) {
  const ProgramRun run = runHost("BEGIN\n@stop\n@start\n@null\nBEGIN\n@stop\nBEGIN\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, std::string(kNotStarted) + result(false, "Empty command") +
                            result(true, "Transaction Started. Sandbox active.") + kNotStarted);
}

TEST_F(HostTest, ASecondStartReplaysNothing) {
  writeFile(dir / "vesk.wal", "BEGIN #TIME# 5\n");
  const ProgramRun run = runHost("@start\n@start\nROLLBACK\n");
  EXPECT_EQ(run.output,
            "[BOOTLOADER] Replaying Write-Ahead Log...\n"
            "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n" +
                result(false, "Error: No active transaction to rollback!"));
}

// A torn last line (its append never returned) and a line without its time
// marker were never acknowledged: neither may run. Here either would drop t.
TEST_F(HostTest, TheReplaySkipsTornLines) {
  Storage::saveTable("t.bin", makeTable("t", {makeColumn("a", "int")}), "data");
  writeFile(dir / "vesk.wal",
            "DROP TABLE t\n"
            "\n"
            "DROP TABLE t #TIME# x\n"
            "DROP TABLE t #TIME# 7");
  const std::string log = readFile(dir / "vesk.wal");
  const ProgramRun run = runHost("@start\nDROP TABLE nosuch\n");
  EXPECT_EQ(run.output,
            "[BOOTLOADER] Replaying Write-Ahead Log...\n"
            "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n" +
                result(false, "Error: Syntax Error: Table 'nosuch' does not exist."));
  EXPECT_TRUE(std::filesystem::exists(dir / "t.bin"));
  EXPECT_EQ(readFile(dir / "vesk.wal"), log) << "the replay leaves the log as it was";
}

// A restore that fails leaves the engine stopped and every file as it was,
// so a stop cannot checkpoint a half-restored database over the log.
TEST_F(HostTest, AFailedStartTouchesNothing) {
  struct Case {
    const char* name;
    void (*prepare)(const std::filesystem::path& dir);
    std::string reason;
  };
  const Case cases[] = {
      {"duplicate identity keys",
       [](const std::filesystem::path&) {
         Table table = makeTable("t", {makeColumn("id", "ApexInt")});
         Storage::saveTable("t.bin", table, "data");
         appendRow(table, {"1"});
         appendRow(table, {"1"});
         Storage::update(table, {&table.rows[0], &table.rows[1]});
         writeFile("vesk.wal", "BEGIN #TIME# 5\n");
       },
       "Cannot create Primary Key: Duplicate value '1' already exists in column"},
      {"a log that cannot be read",
       [](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / "vesk.wal");
       },
       "Failed to open file: vesk.wal"},
      // Never taken for missing files, which a checkpoint or LISTEN would
      // start afresh.
      {"a deletion map that cannot be read",
       [](const std::filesystem::path& dir) {
         Table table = makeTable("t", {makeColumn("a", "int")});
         Storage::saveTable("t.bin", table, "data");
         appendRow(table, {"1"});
         Storage::update(table, {&table.rows[0]});
         std::filesystem::remove(dir / "t.del");
         std::filesystem::create_directory(dir / "t.del");
       },
       "Failed to open file: t.del"},
      {"a listener file that cannot be read",
       [](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / "listeners.bin");
       },
       "Failed to open file: listeners.bin"},
      {"a webhook file that cannot be read",
       [](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / "webhooks.bin");
       },
       "Failed to open file: webhooks.bin"},
      {"a lock file that cannot be opened",
       [](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / "vesk.lock");
       },
       "Failed to open file: vesk.lock"},
      {"a header no CREATE TABLE accepts",
       [](const std::filesystem::path&) {
         Storage::saveTable("t.bin", makeTable("t", {makeColumn("a b/c", "int")}), "data");
       },
       "Damaged table file t.bin: Forbidden column name"},
      {"a last row slot cut short",
       [](const std::filesystem::path& dir) {
         Table table = makeTable("t", {makeColumn("a", "int")});
         Storage::saveTable("t.bin", table, "data");
         appendRow(table, {"1"});
         Storage::update(table, {&table.rows[0]});
         std::filesystem::resize_file(dir / "t.bin", 15 + 60 + 3);
       },
       "Damaged table file t.bin: its length is not its header and whole row slots"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    c.prepare(dir);
    auto expected = snapshot();
    // The one file a start leaves: the lock's, which holds nothing.
    expected.emplace("vesk.lock", "");
    const ProgramRun run = runHost("@start\nBEGIN\n@stop\n@start\n");
    EXPECT_EQ(run.output, "[BOOTLOADER] Start-up failed: " + c.reason + "\n" + kNotStarted +
                              "[BOOTLOADER] Start-up failed: " + c.reason + "\n");
    EXPECT_EQ(snapshot(), expected);
  }
}

// What one run acknowledged comes back in the next, whether that run ended
// with StopEngine (table files) or just ended (the log alone).
TEST_F(HostTest, EverythingAcknowledgedSurvivesARestart) {
  const std::string commands =
      "@start\n"
      "CREATE TABLE p id ApexInt name string ( 10 )\n"
      "CREATE TABLE c cid ApexInt pid int s string 3\n"
      "LINK c . pid --> p . id\n"
      "INSERT INTO p name = 'ann'\n"
      "INSERT INTO p name = 'bob'\n"
      "INSERT INTO c pid = 2 s = 'red' --> 'green' @ 30 s --> 'amber' @ 5 s c #TIME# 1000\n"
      "LISTEN p . name --> 'hook' WHERE id > 1\n"
      "DELETE FROM p WHERE id = 1\n";
  const std::string check =
      "@start\n"
      "SELECT * FROM c JOIN p ON c.pid = p.id\n"
      "INSERT INTO p name = 'cy'\n"
      "SELECT id FROM p WHERE id = 3\n"
      "DELETE FROM p WHERE id = 2\n";
  const std::string third =
      "{\n  \"success\": true,\n  \"message\": \"\",\n  \"rows_affected\": 1,\n"
      "  \"data\": [\n    {\"id\": 3}\n  ]\n}\n";
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "ended without a stop");
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    ASSERT_TRUE(runHost(commands + (stop ? "@stop\n" : "")).exited);
    const ProgramRun run = runHost(check);
    // A checkpoint empties the log but leaves it, so both starts replay it.
    const std::string replay =
        "[BOOTLOADER] Replaying Write-Ahead Log...\n"
        "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n";
    // The chain started at 1000 and repeats every 40 s: at any later time
    // its state is one of the three, and the link keeps the parent row.
    EXPECT_EQ(run.output.substr(0, run.output.find("{")),
              "[STORAGE] Reloading Webhook Listeners...\n"
              "[STORAGE] Sweeping webhooks.bin for pending events...\n"
              "[STORAGE] Revived 3 pending webhooks from the grave!\n" +
                  replay);
    const std::string results = run.output.substr(run.output.find("{"));
    const std::string forbidden =
        result(false, "Error: Foreign key points at rows that were meant for deletion");
    EXPECT_NE(results.find("\"p.id\": 2, \"p.name\": \"bob\""), std::string::npos) << results;
    EXPECT_NE(results.find(third), std::string::npos) << results;
    EXPECT_NE(results.find(forbidden), std::string::npos) << results;
  }
}

// Two runs killed in a row: the second replays the first's open transaction
// and then opens its own. Its ROLLBACK, replayed by the third run, must undo
// only its own insert, never the first run's acknowledged one.
TEST_F(HostTest, ARollbackAfterTwoKillsUndoesOnlyItsOwnTransaction) {
  ASSERT_TRUE(
      runHost("@start\nCREATE TABLE t id ApexInt v int\nBEGIN\nINSERT INTO t v = 1\n").exited);
  ASSERT_TRUE(runHost("@start\nBEGIN\nINSERT INTO t v = 2\nROLLBACK\n").exited);
  const ProgramRun run = runHost("@start\nSELECT v FROM t\n");
  EXPECT_NE(run.output.find("{\"v\": 1}"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("{\"v\": 2}"), std::string::npos) << run.output;
}

// A rollback and a drop made since the last checkpoint stay made.
TEST_F(HostTest, RollbacksAndDropsSurviveARestart) {
  ASSERT_TRUE(runHost("@start\n"
                      "CREATE TABLE t id ApexInt v int\n"
                      "CREATE TABLE gone a int\n"
                      "INSERT INTO t v = 1\n"
                      "BEGIN\n"
                      "INSERT INTO t v = 2\n"
                      "ROLLBACK\n"
                      "DROP TABLE gone\n")
                  .exited);
  const ProgramRun run = runHost("@start\nSELECT v FROM t\nSELECT * FROM gone\n");
  EXPECT_NE(run.output.find("{\"v\": 1}"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("{\"v\": 2}"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Syntax Error: Table 'gone' does not exist."), std::string::npos)
      << run.output;
}

// A checkpoint that fails in StopEngine says so and leaves the engine
// started with its memory and log: nothing acknowledged is lost, and a later
// StopEngine may try again.
TEST_F(HostTest, AFailedStopKeepsTheEngineStarted) {
  ASSERT_TRUE(runHost("@start\nCREATE TABLE t a int\nINSERT INTO t a = 1\n").exited);
  const std::string log = readFile(dir / "vesk.wal");
  std::filesystem::remove(dir / "t.del");
  std::filesystem::create_directory(dir / "t.del");
  const ProgramRun run = runHost("@start\n@stop\nSELECT a FROM t\n");
  EXPECT_NE(run.output.find("[STORAGE] Checkpoint failed: Failed to open file: t.del\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("{\"a\": 1}"), std::string::npos) << run.output;
  EXPECT_EQ(readFile(dir / "vesk.wal"), log);
}

// Two engines on one directory would each acknowledge commands that the
// other's checkpoint then loses: while one is started, another process's
// start is refused before it reads or writes anything, and once the first
// has stopped (the process still running) the second starts.
TEST_F(HostTest, ASecondProcessIsRefusedTheDirectoryUntilTheFirstStops) {
  RunningProgram first({QUORVEL_HOST_PATH});
  first.send("@start\nCREATE TABLE t id ApexInt v int\nINSERT INTO t v = 1\n");
  const std::string made = result(true, "success!") + result(true, "success!", 1);
  ASSERT_EQ(first.read(made.size()), made);

  const auto before = snapshot();
  ASSERT_TRUE(before.contains("vesk.lock"));
  const ProgramRun refused = runHost("@start\nINSERT INTO t v = 2\nCHECKPOINT\n@stop\n@start\n");
  EXPECT_EQ(refused.output, std::string(kInUse) + kNotStarted + kNotStarted + kInUse);
  EXPECT_EQ(snapshot(), before);

  first.send("@stop\nBEGIN\n");
  ASSERT_EQ(first.read(std::string(kNotStarted).size()), kNotStarted);
  const ProgramRun second = runHost("@start\nSELECT v FROM t\n");
  EXPECT_EQ(second.output,
            std::string(kReplay) +
                "{\n  \"success\": true,\n  \"message\": \"\",\n  \"rows_affected\": 1,\n"
                "  \"data\": [\n    {\"v\": 1}\n  ]\n}\n");
  EXPECT_EQ(first.finish(), std::optional<int>(0));
}

// The lock is held exactly while the engine is started: a start that failed
// let it go, a stop whose checkpoint failed keeps it (the engine stays
// started), and a process that dies loses it. A refused start retries.
TEST_F(HostTest, TheLockIsHeldExactlyWhileTheEngineIsStarted) {
  struct Case {
    const char* name;
    void (*prepare)(const std::filesystem::path& dir);
    std::string commands;  // given to the first host, which stays running
    std::string answers;   // what it prints for them
    bool kill;             // whether the first host is killed then
    std::string second;    // what a second host prints for "@start\nBEGIN\n"
  };
  const std::string begun = result(true, "Transaction Started. Sandbox active.");
  const std::string noListeners =
      "[BOOTLOADER] Start-up failed: Failed to open file: listeners.bin\n";
  const Case cases[] = {
      {"a start that failed",
       [](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / "listeners.bin");
       },
       "@start\nBEGIN\n", noListeners + kNotStarted, false, noListeners + kNotStarted},
      {"a stop whose checkpoint failed",
       [](const std::filesystem::path& dir) {
         Storage::saveTable("t.bin", makeTable("t", {makeColumn("a", "int")}), "data");
         std::filesystem::remove(dir / "t.del");
         std::filesystem::create_directory(dir / "t.del");
       },
       "@start\nINSERT INTO t a = 1\n@stop\nBEGIN\n",
       result(true, "success!", 1) + "[STORAGE] Checkpoint failed: Failed to open file: t.del\n" +
           begun,
       false, std::string(kInUse) + kNotStarted},
      {"a started engine killed", [](const std::filesystem::path&) {},
       "@start\nCREATE TABLE t a int\n", result(true, "success!"), true, kReplay + begun},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    c.prepare(dir);
    RunningProgram first({QUORVEL_HOST_PATH});
    first.send(c.commands);
    ASSERT_EQ(first.read(c.answers.size()), c.answers);
    if (c.kill) first.kill();
    EXPECT_EQ(runHost("@start\nBEGIN\n").output, c.second);
  }

  // The first host, refused while the second runs, starts once it has gone.
  for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
  RunningProgram first({QUORVEL_HOST_PATH});
  RunningProgram second({QUORVEL_HOST_PATH});
  second.send("@start\nBEGIN\n");
  ASSERT_EQ(second.read(begun.size()), begun);
  const std::string refused = std::string(kInUse) + kNotStarted;
  first.send("@start\nBEGIN\n");
  ASSERT_EQ(first.read(refused.size()), refused);
  EXPECT_EQ(second.finish(), std::optional<int>(0));
  first.send("@start\nBEGIN\n");
  const std::string started = kReplay + begun;  // the second's BEGIN is in the log
  EXPECT_EQ(first.read(started.size()), started);
  EXPECT_EQ(first.finish(), std::optional<int>(0));
}

// The names of the files that differ between `before` and `after`; with
// `skipRelations`, relation files are passed over.
std::vector<std::string> changedFiles(const std::map<std::string, std::string>& before,
                                      const std::map<std::string, std::string>& after,
                                      bool skipRelations) {
  std::set<std::string> names;
  for (const auto& [name, bytes] : before) names.insert(name);
  for (const auto& [name, bytes] : after) names.insert(name);
  std::vector<std::string> changed;
  for (const std::string& name : names) {
    if (skipRelations && name.ends_with(".rel")) continue;
    const auto was = before.find(name);
    const auto is = after.find(name);
    if (was == before.end() || is == after.end() || was->second != is->second) {
      changed.push_back(name);
    }
  }
  return changed;
}

// Every kind of file, cut short or with bytes overwritten at seeded random
// offsets. Each start must end normally: started, or refused with its
// "[BOOTLOADER] Start-up failed: " line and every file as it was; and
// what a checkpoint then writes starts again. Relation files are made again
// from the tables at each start, so only they may change.
TEST_F(HostTest, DamagedFilesNeverCrashAStartNorLoseMoreThanTheDamage) {
  runHost(
      "@start\n"
      "CREATE TABLE p id ApexInt name string ( 10 )\n"
      "CREATE TABLE t id ApexInt pid int note string ( 6 ) state string ( 8 ) 3\n"
      "LINK t . pid --> p . id\n"
      "INSERT INTO p name = 'ann'\n"
      "INSERT INTO p name = 'bob'\n"
      "INSERT INTO t pid = 1 note = 'x' state = 'red' --> 'green' @ 30 s --> 'amber' @ 5 s c\n"
      "LISTEN p . name --> 'hook' WHERE id > 0\n"
      "INSERT INTO p name = 'cy'\n"
      "CHECKPOINT\n"
      "INSERT INTO t pid = 2 note = 'y' state = 'blue'\n"
      "DELETE FROM t WHERE id = 1\n"
      "UPDATE p SET name = 'dee' WHERE id = 2\n");
  const auto intact = snapshot();
  for (const char* name : {"p.bin", "t.bin", "t.del", "t.tmp", "t-pid_p-id.rel", "listeners.bin",
                           "webhooks.bin", "vesk.wal"}) {
    ASSERT_TRUE(intact.contains(name)) << name;
  }
  const auto restore = [&](const std::map<std::string, std::string>& files) {
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    for (const auto& [name, bytes] : files) writeFile(dir / name, bytes);
  };

  int refused = 0;
  int started = 0;
  for (const auto& [name, bytes] : intact) {
    if (name == "vesk.lock") continue;  // holds nothing to damage
    for (unsigned trial = 0; trial < 12; ++trial) {
      std::mt19937 random(static_cast<unsigned>(std::hash<std::string>{}(name)) + trial);
      std::string damaged = bytes;
      const auto offset = [&] {
        return std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random);
      };
      if (trial % 2 == 0) {
        damaged.resize(offset());
      } else {
        for (int n = 1 + trial % 4; n > 0; --n) {
          damaged[offset()] = static_cast<char>(random());
        }
      }
      SCOPED_TRACE(name + (trial % 2 == 0 ? " cut to " + std::to_string(damaged.size())
                                          : " overwritten, trial " + std::to_string(trial)));
      auto files = intact;
      files[name] = damaged;
      restore(files);

      const ProgramRun run = runHost("@start\nSELECT * FROM t\n");
      ASSERT_TRUE(run.exited);
      ASSERT_EQ(run.status, 0) << run.output;
      if (run.output.starts_with("[BOOTLOADER] Start-up failed: ")) {
        ++refused;
        EXPECT_EQ(changedFiles(files, snapshot(), false), std::vector<std::string>{});
        continue;
      }
      ++started;
      // A start makes each link again, which rewrites its relation file.
      EXPECT_EQ(changedFiles(files, snapshot(), true), std::vector<std::string>{});
      const ProgramRun again = runHost("@start\n@stop\n@start\n");
      EXPECT_EQ(again.output.find("Start-up failed"), std::string::npos) << again.output;
    }
  }
  // Both outcomes are reached, so the test sees each of them.
  EXPECT_GT(refused, 0);
  EXPECT_GT(started, 0);
}

}  // namespace
