// Runs the real shell binary with its standard input read from a file and
// compares everything it prints.
//
// QUORVEL_SHELL_COMMAND runs the cases against another shell instead, the
// words of its value split at blanks (such as "wine build-windows/quorvel.exe"
// for the Windows shell). When that shell ends its lines in CR LF, as a
// Windows console program does, its output is read with LF line ends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "model/clock.h"
#include "model/number.h"
#include "storage/journal.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

constexpr const char* kPrompt = "quorvel> ";

using ShellRun = ProgramRun;

// One failed or successful result without rows as the shell prints it.
std::string printed(bool success, const std::string& message) {
  return std::string("{\n  \"success\": ") + (success ? "true" : "false") + ",\n  \"message\": \"" +
         message + "\",\n  \"rows_affected\": 0\n}\n\n";
}

// The shell the cases run: this build's own, or the one the environment names.
struct Shell {
  CommandLine command;
  bool windowsConsole = false;  // ends its lines in CR LF
};

// Each CR LF of a Windows console's output as the LF it stands for.
std::string withLineFeeds(std::string text) {
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 1);
  }
  return text;
}

const Shell& shell() {
  static const Shell chosen = [] {
    const char* named = std::getenv("QUORVEL_SHELL_COMMAND");
    if (named == nullptr || *named == '\0') return Shell{{QUORVEL_SHELL_PATH}, false};
    Shell other;
    std::istringstream words(named);
    for (std::string word; words >> word;) other.command.push_back(word);
    const std::filesystem::path probe = std::filesystem::temp_directory_path() /
                                        ("quorvel-shell-probe-" + std::to_string(::getpid()));
    std::filesystem::create_directories(probe / "db");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(probe / "db");
    other.windowsConsole =
        runProgram(other.command, probe / "io", "BEGIN\n").output.find("\r\n") != std::string::npos;
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(probe);
    return other;
  }();
  return chosen;
}

pid_t startShell(int in, int out) { return startProgram(shell().command, in, out); }

// Up to `count` bytes of the shell's output as read with LF line ends.
std::string readShell(int fd, std::size_t count) {
  if (!shell().windowsConsole) return readSome(fd, count);
  std::string raw;
  while (withLineFeeds(raw).size() < count) {
    const std::string more = readSome(fd, 1);
    if (more.empty()) break;
    raw += more;
  }
  return withLineFeeds(raw);
}

class ShellTest : public TempDirTest {
 protected:
  // Runs the shell in the test's directory on `input`. The files that carry
  // its input and output sit in a subdirectory so that the working directory
  // holds only what the shell writes. A shell that spins is stopped.
  ShellRun runShell(const std::string& input) {
    ShellRun run = runProgram(shell().command, dir / "io", input);
    if (shell().windowsConsole) run.output = withLineFeeds(run.output);
    return run;
  }
};

TEST_F(ShellTest, EndsOnExitQuitOrTheEndOfInput) {
  const std::string begun = printed(true, "Transaction Started. Sandbox active.");
  struct Case {
    const char* name;
    std::string input;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"exit", "exit\nBEGIN\n", kPrompt},
      {"quit", "quit\nBEGIN\n", kPrompt},
      {"empty lines print only prompts", "\n\nexit\n", std::string(kPrompt) + kPrompt + kPrompt},
      {"no input at all", "", kPrompt},
      {"end of input after a command", "BEGIN\n", kPrompt + begun + kPrompt},
      {"last line without a line feed", "BEGIN", kPrompt + begun + kPrompt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ShellRun run = runShell(c.input);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, c.output);
  }
}

TEST_F(ShellTest, AnythingButTheExactExitWordIsACommand) {
  const std::string unknown = printed(false, "Error: Unknown command or missing parameters");
  std::string input = "exit \nEXIT\n exit\n";
  std::string output = kPrompt + unknown + kPrompt + unknown + kPrompt + unknown;
  // A Windows console reads a line ended by CR LF as the line without them,
  // which is that platform's convention: "exit" then CR LF is "exit" there.
  if (!shell().windowsConsole) {
    input += "exit\r\n";
    output += kPrompt + unknown;
  }
  const ShellRun run = runShell(input + "exit;\n \nquit\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, output + kPrompt + printed(false, "Lexer Error") + kPrompt +
                            printed(false, "Empty command") + kPrompt);
}

TEST_F(ShellTest, TransactionMessagesAndTheLogLeftBehind) {
  // The engine's own clock: the C library's time() may lag it by a tick
  // and so name the second before the one the log holds.
  const std::int64_t before = currentTime();
  const ShellRun run = runShell("BEGIN\nBEGIN\nROLLBACK\nROLLBACK\n");
  const std::int64_t after = currentTime();
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, std::string(kPrompt) +
                            "{\n"
                            "  \"success\": true,\n"
                            "  \"message\": \"Transaction Started. Sandbox active.\",\n"
                            "  \"rows_affected\": 0\n"
                            "}\n\n" +
                            kPrompt + printed(false, "Error: Transaction is already active!") +
                            kPrompt + printed(true, "Disaster Averted. Memory restored.") +
                            kPrompt + printed(false, "Error: No active transaction to rollback!") +
                            kPrompt);

  // Two lines, each the command, the marker and the time of the append.
  const std::string log = readFile(dir / "vesk.wal");
  const std::string marker = " #TIME# ";
  std::vector<std::string> commands;
  std::size_t start = 0;
  for (std::size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', start)) {
    const std::string line = log.substr(start, end - start);
    start = end + 1;
    const std::size_t at = line.find(marker);
    ASSERT_NE(at, std::string::npos) << line;
    const std::optional<std::int64_t> time = toInt64(line.substr(at + marker.size()));
    ASSERT_TRUE(time.has_value()) << line;
    EXPECT_GE(*time, before);
    EXPECT_LE(*time, after);
    commands.push_back(line.substr(0, at));
  }
  EXPECT_EQ(start, log.size()) << "the log ends in a line feed";
  EXPECT_EQ(commands, (std::vector<std::string>{"BEGIN", "ROLLBACK"}));
}

// The prompt and each result must reach a reader that waits for them: a shell
// that only wrote them at its end would look dead to the person typing.
TEST_F(ShellTest, PrintsWhileItWaitsForTheNextLine) {
  ::signal(SIGPIPE, SIG_IGN);  // a shell that died must fail the test, not end it
  int toShell[2];
  int fromShell[2];
  ASSERT_EQ(::pipe2(toShell, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(fromShell, O_CLOEXEC), 0);
  const pid_t pid = startShell(toShell[0], fromShell[1]);
  ::close(toShell[0]);
  ::close(fromShell[1]);
  ASSERT_GT(pid, 0);

  const std::string prompt = kPrompt;
  EXPECT_EQ(readShell(fromShell[0], prompt.size()), prompt);
  const std::string line = "BEGIN\n";
  EXPECT_EQ(::write(toShell[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const std::string answer = printed(true, "Transaction Started. Sandbox active.") + prompt;
  EXPECT_EQ(readShell(fromShell[0], answer.size()), answer);

  ::close(toShell[1]);  // the end of input ends the shell
  EXPECT_EQ(waitForExit(pid), std::optional<int>(0));
  EXPECT_EQ(readShell(fromShell[0], 1), "");
  ::close(fromShell[0]);
}

// A refused command leaves no line in the log, nor a log where none was.
TEST_F(ShellTest, RefusedCommandsLeaveNoLog) {
  const std::string missing = printed(false, "Error: Syntax Error: Table 'nosuch' does not exist.");
  const ShellRun run = runShell("UPDATE nosuch SET a = 1\nDELETE FROM nosuch\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.output, kPrompt + missing + kPrompt + missing + kPrompt);
  EXPECT_EQ(fileNames(), (std::set<std::string>{"io", "vesk.lock"}));
}

// The shell's catalogue starts empty, so a checkpoint typed there would
// empty a log whose commands it never ran: they would be lost.
TEST_F(ShellTest, LogOfAnEarlierRunRefusesCheckpoints) {
  const std::string earlier = "INSERT INTO t a = 1 #TIME# 5\n";
  writeFile(dir / "vesk.wal", earlier);
  const std::string refusal = printed(
      false,
      "Error: The log holds commands of an earlier run: start the engine in this directory first");
  const ShellRun run = runShell("CHECKPOINT\nDROP TABLE t\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kPrompt + refusal + kPrompt + refusal + kPrompt);
  EXPECT_EQ(readFile(dir / "vesk.wal"), earlier);
}

// Before its first command the shell completes a checkpoint that a crash
// interrupted and removes what interrupted commands left behind.
TEST_F(ShellTest, RecoversTheDirectoryBeforeItsFirstCommand) {
  writeFile(dir / "t.bin", "0123");
  writeFile(dir / "vesk.wal", "INSERT INTO t a = 1 #TIME# 5\n");
  writeFile(dir / "gone.del", "x");
  writeFile(dir / "u.bin.quorvel-new", "x");
  Journal journal;
  journal.write("t.bin", 1, "ab");
  journal.commit();
  const ShellRun run = runShell("CHECKPOINT\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(
      run.output,
      kPrompt + printed(true, "success! Engine frozen. WAL flushed securely to disk.") + kPrompt);
  EXPECT_EQ(fileNames(), (std::set<std::string>{"io", "t.bin", "vesk.lock", "vesk.wal"}));
  EXPECT_EQ(readFile(dir / "t.bin"), "0ab3");
}

TEST_F(ShellTest, DirectoryThatCannotBeRecoveredEndsTheShell) {
  std::filesystem::create_directory(dir / "t.bin");
  Journal journal;
  journal.write("t.bin", 0, "ab");
  journal.commit();
  const ShellRun run = runShell("BEGIN\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, printed(false, "Error: Failed to write file: t.bin"));
  EXPECT_TRUE(std::filesystem::exists(dir / "vesk.journal"));
}

// A shell whose start cannot take the working directory prints the failed
// result and ends with status 1 before it reads or writes anything else.
TEST_F(ShellTest, ADirectoryItCannotTakeEndsTheShell) {
  struct Case {
    const char* name;
    // Prepares the directory; returns the host that holds it, if any.
    std::unique_ptr<RunningProgram> (*prepare)(const std::filesystem::path& dir);
    std::string message;
  };
  const Case cases[] = {
      {"a started engine holds it",
       [](const std::filesystem::path&) {
         auto host = std::make_unique<RunningProgram>(CommandLine{QUORVEL_HOST_PATH});
         host->send("@start\nCREATE TABLE t a int\n");
         const std::string made =
             "{\n  \"success\": true,\n  \"message\": \"success!\",\n"
             "  \"rows_affected\": 0\n}\n";
         EXPECT_EQ(host->read(made.size()), made);
         // What the shell's recovery would remove, were it to run.
         writeFile("gone.del", "x");
         return host;
       },
       "Error: Working directory is in use by another process"},
      {"the lock file cannot be opened",
       [](const std::filesystem::path& dir) {
         std::filesystem::create_directory(dir / "vesk.lock");
         writeFile("gone.del", "x");
         return std::unique_ptr<RunningProgram>();
       },
       "Error: Failed to open file: vesk.lock"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : fileNames()) std::filesystem::remove_all(dir / name);
    const std::unique_ptr<RunningProgram> holder = c.prepare(dir);
    const auto before = directoryContents();
    const ShellRun run = runShell("CREATE TABLE u a int\n");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, printed(false, c.message));
    auto after = directoryContents();
    after.erase("io");
    EXPECT_EQ(after, before);
  }
}

// The shell holds the directory from its start to its end, so no engine
// starts there meanwhile.
TEST_F(ShellTest, HoldsTheDirectoryUntilItEnds) {
  RunningProgram shell({QUORVEL_SHELL_PATH});
  shell.send("BEGIN\n");
  const std::string begun =
      std::string(kPrompt) + printed(true, "Transaction Started. Sandbox active.") + kPrompt;
  ASSERT_EQ(shell.read(begun.size()), begun);
  const auto host = [&] { return runProgram({QUORVEL_HOST_PATH}, dir / "io", "@start\n").output; };
  EXPECT_EQ(host(),
            "[BOOTLOADER] Start-up failed: Working directory is in use by another process\n");
  shell.send("exit\n");
  EXPECT_EQ(shell.finish(), std::optional<int>(0));
  EXPECT_EQ(host(),
            "[BOOTLOADER] Replaying Write-Ahead Log...\n"
            "[BOOTLOADER] WAL Replay Complete. RAM is 100% synced.\n");
}

}  // namespace

namespace {

// One session that uses every command of the language, compared whole.
TEST_F(ShellTest, ASessionWithEveryCommand) {
  const ShellRun run = runShell(
      "CREATE TABLE p id ApexInt name string ( 10 )\n"
      "CREATE TABLE c cid ApexInt pid int\n"
      "LINK c . pid --> p . id\n"
      "INSERT INTO p name = 'ann'\n"
      "INSERT INTO c pid = 1\n"
      "LISTEN p . name --> 'hook'\n"
      "BEGIN\n"
      "UPDATE p SET name = 'bea' WHERE id = 1\n"
      "ROLLBACK\n"
      "SELECT * FROM c JOIN p ON c.pid = p.id\n"
      "DELETE FROM p WHERE id = 1\n"
      "DELETE FROM c\n"
      "COMMIT\n"
      "CHECKPOINT\n"
      "SELECT name FROM p\n"
      "DROP TABLE c\n"
      "exit\n");
  const auto done = [](const std::string& message, int rows) {
    return std::string(kPrompt) + "{\n  \"success\": true,\n  \"message\": \"" + message +
           "\",\n  \"rows_affected\": " + std::to_string(rows) + "\n}\n\n";
  };
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.output,
            done("success!", 0) + done("success!", 0) + done("success!", 0) + done("success!", 1) +
                done("success!", 1) + done("success! Listener attached.", 0) +
                done("Transaction Started. Sandbox active.", 0) + done("success!", 1) +
                done("Disaster Averted. Memory restored.", 0) + kPrompt +
                "{\n  \"success\": true,\n  \"message\": \"success!\",\n  \"rows_affected\": 1,\n"
                "  \"data\": [\n    {\"c.cid\": 1, \"c.pid\": 1, \"p.id\": 1, \"p.name\": "
                "\"ann\"}\n  ]\n}\n\n" +
                kPrompt +
                printed(false, "Error: Foreign key points at rows that were meant for deletion") +
                done("success!", 1) + kPrompt +
                printed(false, "Error: No active transaction to commit!") +
                done("success! Engine frozen. WAL flushed securely to disk.", 0) + kPrompt +
                "{\n  \"success\": true,\n  \"message\": \"\",\n  \"rows_affected\": 1,\n"
                "  \"data\": [\n    {\"name\": \"ann\"}\n  ]\n}\n\n" +
                done("success! Table c dropped from disk.", 0) + kPrompt);
}

}  // namespace
