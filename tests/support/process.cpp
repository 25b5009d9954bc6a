#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

pid_t startProgram(const CommandLine& command, int in, int out) {
  if (command.empty()) return -1;
  // Built before the fork: the child only calls what is safe there.
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{1 << 20, 1 << 20};
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      ::_exit(126);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

std::optional<int> waitForStatus(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return status;
}

std::optional<int> waitForExit(pid_t pid) {
  const std::optional<int> status = waitForStatus(pid, std::chrono::seconds(20));
  if (!status || !WIFEXITED(*status)) return std::nullopt;
  return WEXITSTATUS(*status);
}

std::string readSome(int fd, std::size_t count) {
  std::string text;
  while (text.size() < count) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) break;
    char buffer[256];
    const std::size_t wanted = std::min(sizeof buffer, count - text.size());
    const ssize_t got = ::read(fd, buffer, wanted);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

RunningProgram::RunningProgram(const CommandLine& command) {
  ::signal(SIGPIPE, SIG_IGN);  // a program that died must fail the test, not end it
  int toProgram[2] = {-1, -1};
  int fromProgram[2] = {-1, -1};
  if (::pipe2(toProgram, O_CLOEXEC) != 0 || ::pipe2(fromProgram, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipes for " << command.front();
    return;
  }
  pid = startProgram(command, toProgram[0], fromProgram[1]);
  ::close(toProgram[0]);
  ::close(fromProgram[1]);
  in = toProgram[1];
  out = fromProgram[0];
}

RunningProgram::~RunningProgram() {
  kill();
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
}

void RunningProgram::send(const std::string& text) {
  EXPECT_EQ(::write(in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::string RunningProgram::read(std::size_t count) { return readSome(out, count); }

std::optional<int> RunningProgram::finish() {
  ::close(in);
  in = -1;
  if (pid <= 0) return std::nullopt;
  const std::optional<int> status = waitForExit(pid);
  pid = -1;
  return status;
}

void RunningProgram::kill() {
  if (pid <= 0) return;  // never started, or already gone: -1 would signal every process
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

ProgramRun runProgram(const CommandLine& command, const std::filesystem::path& io,
                      const std::string& input) {
  std::filesystem::create_directories(io);
  const std::string in = (io / "in").string();
  const std::string out = (io / "out").string();
  writeFile(in, input);

  ProgramRun run;
  const int inFd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
  const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = inFd >= 0 && outFd >= 0 ? startProgram(command, inFd, outFd) : -1;
  if (inFd >= 0) ::close(inFd);
  if (outFd >= 0) ::close(outFd);
  if (pid < 0) return run;
  const std::optional<int> status = waitForExit(pid);
  run.exited = status.has_value();
  run.status = status.value_or(-1);
  run.output = readFile(out);
  return run;
}
