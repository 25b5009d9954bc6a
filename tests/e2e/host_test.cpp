// Runs a C host program that reaches the engine only through the public
// header and the shared library, in a fresh working directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "engine/database.h"
#include "storage/storage.h"
#include "support/process.h"
#include "support/table_builders.h"
#include "support/test_support.h"

namespace {

constexpr const char* kNotStarted = "{\"success\": false, \"message\": \"Engine not started.\"}\n";

// A result without rows, as ExecuteQuery renders it.
std::string result(bool success, const std::string& message) {
  return std::string("{\n  \"success\": ") + (success ? "true" : "false") + ",\n  \"message\": \"" +
         message + "\",\n  \"rows_affected\": 0\n}\n";
}

class HostTest : public TempDirTest {
 protected:
  ProgramRun runHost(const std::string& input) {
    return runProgram(QUORVEL_HOST_PATH, dir.parent_path() / (dir.filename().string() + "-io"),
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    c.prepare(dir);
    const auto before = snapshot();
    const ProgramRun run = runHost("@start\nBEGIN\n@stop\n@start\n");
    EXPECT_EQ(run.output, "[BOOTLOADER] Start-up failed: " + c.reason + "\n" + kNotStarted +
                              "[BOOTLOADER] Start-up failed: " + c.reason + "\n");
    EXPECT_EQ(snapshot(), before);
  }
}

}  // namespace
