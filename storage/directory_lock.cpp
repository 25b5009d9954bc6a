#include "storage/directory_lock.h"

#include "storage/file_errors.h"
#include "storage/file_names.h"

void lockWorkingDirectory(FileLock& lock) {
  switch (lock.take(kLockFileName)) {
    case LockStatus::Taken:
      return;
    case LockStatus::Busy:
      throw directoryInUse();
    case LockStatus::OpenFailed:
      throw failedToOpen(kLockFileName);
  }
}
