#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Running the real programs (the shell, the C host) in a test's directory.

struct ProgramRun {
  bool exited = false;  // ended by itself within the time limit
  int status = -1;      // exit status when it did
  std::string output;   // all of standard output
};

// A program and its arguments: the first word is the program's path.
using CommandLine = std::vector<std::string>;

// Starts `command` with `in` as standard input and `out` as standard output.
// Both descriptors must be close-on-exec, so that the child holds no other
// copy of them (a pipe's write end left open would hide the end of input).
// File writes are limited to 1 MiB, so a program that spins cannot fill the disk.
pid_t startProgram(const CommandLine& command, int in, int out);

// Waits for the program to end by itself and gives its exit status, or
// stops one that has not ended within 20 seconds and gives nothing.
std::optional<int> waitForExit(pid_t pid);

// Waits up to `limit` for the program to end, however it ends, and gives its
// raw wait status; a program still running then is killed and gives nothing.
std::optional<int> waitForStatus(pid_t pid, std::chrono::milliseconds limit);

// Up to `count` bytes from `fd`, fewer when it ends or stays silent for a
// few seconds.
std::string readSome(int fd, std::size_t count);

// A program kept running in the current directory with its standard input
// and output on pipes, so that a test can hold it at a chosen point (the
// engine started, say) while it runs another.
class RunningProgram {
 public:
  explicit RunningProgram(const CommandLine& command);
  // Kills a program that is still running.
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  // Writes `text` to its standard input.
  void send(const std::string& text);
  // Up to `count` bytes of its output, as readSome.
  std::string read(std::size_t count);
  // Closes its standard input and waits for its exit status, as waitForExit.
  std::optional<int> finish();
  // Kills it with SIGKILL and waits until it is gone.
  void kill();

 private:
  pid_t pid = -1;
  int in = -1;   // the write end of its standard input
  int out = -1;  // the read end of its standard output
};

// Runs `command` in the current directory with `input` as its standard
// input. The files that carry input and output sit in `io` (created), so
// that the working directory holds only what the program writes.
ProgramRun runProgram(const CommandLine& command, const std::filesystem::path& io,
                      const std::string& input);
