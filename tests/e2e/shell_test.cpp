// Runs the real shell binary with its standard input read from a file and
// compares everything it prints.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "model/number.h"
#include "support/test_support.h"

namespace {

constexpr const char* kPrompt = "quorvel> ";

struct ShellRun {
  bool exited = false;  // ended by itself within the time limit
  int status = -1;      // exit status when it did
  std::string output;   // all of standard output
};

// One failed or successful result without rows as the shell prints it.
std::string printed(bool success, const std::string& message) {
  return std::string("{\n  \"success\": ") + (success ? "true" : "false") + ",\n  \"message\": \"" +
         message + "\",\n  \"rows_affected\": 0\n}\n\n";
}

class ShellTest : public TempDirTest {
 protected:
  // Runs the shell in the test's directory on `input`. The files that carry
  // its input and output sit in a subdirectory so that the working directory
  // holds only what the shell writes. A shell that spins is stopped.
  ShellRun runShell(const std::string& input) {
    const std::filesystem::path io = dir / "io";
    std::filesystem::create_directories(io);
    const std::string in = (io / "in").string();
    const std::string out = (io / "out").string();
    writeFile(in, input);

    const pid_t pid = ::fork();
    if (pid == 0) {
      const int inFd = ::open(in.c_str(), O_RDONLY);
      const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const rlimit limit{1 << 20, 1 << 20};  // a spinning shell cannot fill the disk
      if (inFd < 0 || outFd < 0 || ::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 ||
          ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        ::_exit(126);
      }
      ::execl(QUORVEL_SHELL_PATH, "quorvel", static_cast<char*>(nullptr));
      ::_exit(127);
    }

    ShellRun run;
    if (pid < 0) return run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        run.output = readFile(out);
        return run;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.exited = WIFEXITED(status);
    run.status = run.exited ? WEXITSTATUS(status) : -1;
    run.output = readFile(out);
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
  const ShellRun run = runShell("exit \nEXIT\n exit\nexit\r\nexit;\n \nquit\n");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kPrompt + unknown + kPrompt + unknown + kPrompt + unknown + kPrompt +
                            unknown + kPrompt + printed(false, "Lexer Error") + kPrompt +
                            printed(false, "Empty command") + kPrompt);
}

TEST_F(ShellTest, TransactionMessagesAndTheLogLeftBehind) {
  const std::int64_t before = std::time(nullptr);
  const ShellRun run = runShell("BEGIN\nBEGIN\nROLLBACK\nROLLBACK\n");
  const std::int64_t after = std::time(nullptr);
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

}  // namespace
