#pragma once

#include "storage/file_system.h"

// One process at a time works on the files of a working directory: two
// would each acknowledge commands that the other's checkpoint or slot writes
// then lose. The engine's start and the shell's start take this lock before
// they read or write anything else, and hold it until they are done; the
// operating system drops it when the process dies, so a kill leaves no
// stale lock. It covers the directory that was the working directory when
// it was taken.

// Takes the lock on "vesk.lock" in the working directory into `lock` (the
// file is created when missing). Throws "Working directory is in use by
// another process" when another holder has it, and "Failed to open file:
// vesk.lock" when the file cannot be created, opened or locked; `lock` then
// holds nothing.
void lockWorkingDirectory(FileLock& lock);
