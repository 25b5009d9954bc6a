#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "engine/database.h"

// What crash and fault sweeps compare: a whole working directory and the
// whole visible state of a database.

// Every regular file of the working directory with its bytes.
using Directory = std::map<std::string, std::string>;

Directory snapshotDirectory();
// Makes the working directory hold exactly `files`.
void restoreDirectory(const Directory& files);

// The tables of `db` as text: columns, every row's cells (values and
// chains), flags and back-references, keys and their index, links; and the
// transaction's state. Two databases that print alike hold the same data.
std::string describe(const Database& db);

// The file operations `action` makes when nothing fails.
std::int64_t countFileOperations(const std::function<void()>& action);

// One command swept by a power cut at each of its file operations.
struct PowerCutSweep {
  // Builds, in the emptied working directory, what is durable before the
  // command: the directory as the power-cut mode first keeps it.
  std::function<void()> prepare;
  // Runs once the mode is on, before the command: changes that have reached
  // the files but no disk yet, as commands since the last checkpoint have.
  std::function<void()> unsynced;
  // The command; it may throw once the power is cut.
  std::function<void()> command;
  // Runs all three and the cut in a child process of its own, for commands
  // that leave state behind in the process (the engine functions).
  bool ownProcess = false;
};

// What a start found after a power cut just before the command and after it
// had returned.
struct PowerCutStates {
  std::string before;
  std::string after;
};

// A database started from the working directory (Database::loadFromDisk),
// as text: its tables as describe() gives them, its listeners and its
// pending webhook tasks; or the start's failure.
std::string describeStart();

// Runs the command once without a cut to count its file operations, then,
// each in a directory prepared afresh, cuts the power at each of them and
// after the command has returned, puts the directory back to what the cut
// kept and starts a database there. Expects every start to succeed and to
// find the state of the cut before the command's first operation or that of
// the cut after it returned, and those two to differ. Returns both.
PowerCutStates sweepPowerCuts(const PowerCutSweep& sweep);
