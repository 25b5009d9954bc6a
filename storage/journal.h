#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The checkpoint's redo journal: every byte range it will write into the
// table files and every length it will cut them to, in one file that no
// loader lists. The protocol is described with Storage::journalTable in
// storage/storage.h.
class Journal {
 public:
  // One change to one file: `bytes` written at `offset`, or with `cut` the
  // file cut (or extended with zeros) to the length `offset`.
  struct Change {
    std::string path;
    std::int64_t offset = 0;
    std::string bytes;
    bool cut = false;
  };

  std::vector<Change> changes;

  // A write creates a missing file, even one of no bytes.
  void write(std::string path, std::int64_t offset, std::string bytes);
  void cut(std::string path, std::int64_t length);

  // Writes the journal file sequentially, ending in a commit record that
  // carries a checksum of all that precedes it, then syncs it and the
  // directory: committed, durably, when this returns. Throws "Failed to
  // write file: vesk.wal" when it cannot be written whole or synced; a
  // partial journal is then removed (a crash may leave one, which counts as
  // none).
  void commit() const;

  // Applies every change in place and syncs each file it changed, empties
  // the write-ahead log durably (Storage::emptyLogDurably), then removes the
  // journal file and syncs the directory (a journal whose removal cannot be
  // synced is committed again before the failure is thrown). Applying twice
  // gives the same files, so a committed journal may be completed again
  // after any failure, crash or power cut. Throws "Failed to write file:
  // <path>" naming the table file or "vesk.wal".
  void complete() const;

  // The files the changes name, each once, in the order they first appear.
  std::vector<std::string> changedFiles() const;

  // What the directory's journal file holds.
  enum class Found {
    None,         // no journal file
    Uncommitted,  // torn, damaged or without its commit record: never applied
    Committed,    // `into` holds its changes
  };
  // Reads the journal file; throws "Failed to open file: vesk.wal" when it
  // exists but cannot be read.
  static Found read(Journal& into);

  // Removes the journal file; throws "Failed to write file: vesk.wal".
  static void discard();
};
