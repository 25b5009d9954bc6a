#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The file-system seam: the only code that opens, reads, writes, resizes,
// renames, removes, lists or locks files. Every function reports failure in
// its result and never throws. Each call (and each write of a FileWriter) is
// one operation; tests can make the n-th operation fail, or "crash" there,
// which is how the engine's answer to a full disk or a kill at any instant is
// tested without relying on file permissions.

// What a directory entry under a name is.
enum class EntryKind {
  None,   // no entry at all
  File,   // a regular file, or a symbolic link that leads to one
  Other,  // a directory, FIFO, device or socket, or a link that leads nowhere
};

// The kind of the entry at `path`. An entry that cannot be examined counts
// as Other, so that nobody treats it as free to create.
EntryKind entryKind(const std::string& path);

enum class ReadStatus {
  Done,     // `bytes` holds the whole file
  Missing,  // no entry under the name
  Failed,   // the entry is not a regular file, or it cannot be read
};

// Reads the whole file at `path` into `bytes` (emptied first). Never opens
// anything but a regular file, so a FIFO cannot block the caller.
ReadStatus readFile(const std::string& path, std::string& bytes);

// The length of the regular file at `path`; none when it is missing, is not
// a regular file, or cannot be examined.
std::optional<std::int64_t> fileSize(const std::string& path);

// Replaces the content of `path` with `bytes`, creating the file when there
// is no entry under the name. Fails without touching anything when the entry
// is not a regular file.
bool replaceFile(const std::string& path, std::string_view bytes);

// Writes `bytes` at `offset` of the regular file at `path`, which is
// extended with zero bytes when it is shorter. With `create`, a missing file
// is created first; without it a missing file fails.
bool writeFileAt(const std::string& path, std::int64_t offset, std::string_view bytes, bool create);

// Appends `bytes` to `path` (created when missing) and sets `*offset`, when
// given, to the length the file had before. The bytes are handed to the
// system in one write and flushed before it returns, so lines of several
// appenders never interleave.
bool appendToFile(const std::string& path, std::string_view bytes, std::int64_t* offset);

// --- The write-ahead log's stream ---
//
// The one stream that stays open between calls: a file that only ever has
// whole lines appended, whose appends must cost no open each. Every line is
// still handed to the system whole, in append mode, and flushed before the
// call returns, so no line waits in memory and the lines of several
// processes appending to one file never interleave; one emptied by another
// process is appended to at its new end. Before each append one look at
// the name tells whether the stream still holds the file the name leads to
// (the identity of the file, read when the stream was opened, against that
// of the file under the name); the stream is opened again when it does not
// (the file was removed, replaced, or the working directory changed). The
// stream is not inherited by programs the process starts.

// Where a line is about to go: whether the file existed, and its length
// once a torn last line is cut away.
struct LineEnd {
  bool existed = false;
  std::int64_t length = 0;
};

enum class AppendStatus {
  Done,
  OpenFailed,   // the file could not be examined or opened: nothing written
  WriteFailed,  // `end` is valid; the file may hold part of the line
};

// Appends `line` (ending in a line feed) to `path` through the kept stream,
// first cutting away a last line without its line feed (an append a kill
// interrupted). Two operations for the test hook: examining the file, then
// the append itself (the cut and the write), which a crash tears.
AppendStatus appendLine(const std::string& path, std::string_view line, LineEnd& end);

// Closes the kept stream; the next appendLine opens the file afresh.
void closeLineStream();

// Whether the kept stream holds the file `path` leads to now, by the check
// appendLine makes before it appends; false when no stream is kept. Only
// tests call it; no operation for the test hook.
bool lineStreamHoldsForTesting(const std::string& path);

// Cuts or extends (with zero bytes) the regular file at `path` to `size`.
bool resizeFile(const std::string& path, std::int64_t size);

// Moves `from` to `to`, replacing a regular file there.
bool renameFile(const std::string& from, const std::string& to);

// Removes the entry at `path` when it is a file or a link (never a
// directory). True when no entry remains under the name, also when there
// was none.
bool removeFile(const std::string& path);

// The names of the regular files (or links to them) in the current working
// directory whose extension is exactly `extension` (".bin"), in listing
// order. A directory that cannot be listed lists nothing.
std::vector<std::string> listFiles(std::string_view extension);

// --- Durability ---
//
// What the calls above change reaches the disk when the operating system
// chooses: a power cut, or a crash of the system itself, may lose any of it
// (bytes, sizes, and the creation, renaming or removal of entries), in any
// order. A commit point writes what it needs, makes that durable with these
// calls, and only then makes it visible.

// Makes the content and length of the regular file at `path` durable. Its
// directory entry is not covered: a new or renamed file needs syncDirectory
// too. False when the file is missing, not a regular file, or the sync fails.
bool syncFile(const std::string& path);

// Makes every entry of the working directory durable as it stands: each
// creation, rename and removal made in it so far. False when the sync fails.
// Where the system offers no directory sync (Windows, whose file system
// keeps its entries durable by itself), it only reports success.
bool syncDirectory();

// --- Advisory locks ---
//
// An exclusive lock on a file that holds nothing, so that one process at a
// time may work on what the file stands for. Only processes that ask for the
// lock see it. On Linux it is an open-file-description lock over the whole
// file: it belongs to the one open of the file, so a second FileLock of the
// same process on the same file is refused as another process would be, it
// conflicts with the record locks of other programs (a Windows program under
// wine locks through those), and it lasts until that open is closed. The
// descriptor is not inherited by programs the process starts, and the
// operating system drops the lock when the process dies.

enum class LockStatus {
  Taken,
  Busy,        // another holder has it
  OpenFailed,  // the file could not be created or opened, or cannot be locked
};

class FileLock {
 public:
  FileLock();
  ~FileLock();  // releases
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Releases what this lock held, then opens `path` (created empty when
  // there is no entry under the name; never written) and takes the lock
  // without waiting. Never opens anything but a regular file. One operation
  // for the test hook; on any status but Taken nothing is held.
  LockStatus take(const std::string& path);
  // Closes the file, which gives the lock up; the file stays. Nothing
  // happens when nothing is held.
  void release();

 private:
  struct Handle;
  std::unique_ptr<Handle> handle;
};

// A file opened once for a sequence of writes at chosen offsets, then closed.
// Every write is checked; once one has failed, the writer stays failed.
class FileWriter {
 public:
  enum class Mode {
    Replace,  // created, or cut to length 0
    Update,   // an existing regular file, or a new one, never cut
  };

  FileWriter();
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Opens `path`; false when it cannot be opened or is not a regular file.
  bool open(const std::string& path, Mode mode);
  // Writes `bytes` at `offset` (beyond the end the gap reads as zeros).
  bool writeAt(std::int64_t offset, std::string_view bytes);
  // Writes `bytes` where the last write ended (at the start after open).
  bool write(std::string_view bytes);
  // Flushes and closes; true when every write and the close succeeded.
  bool close();

 private:
  struct Stream;
  std::unique_ptr<Stream> stream;
  bool failed = false;
};

// A regular file opened once for a sequence of reads at chosen offsets.
class FileReader {
 public:
  FileReader();
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Opens `path` for reading; Missing when there is no entry under the
  // name, Failed when it is not a regular file or cannot be opened.
  ReadStatus open(const std::string& path);
  // The file's length when it was opened.
  std::int64_t size() const;
  // Reads `length` bytes at `offset` into `bytes`; false (and `bytes`
  // empty) when the file does not hold them all or the read fails.
  bool readAt(std::int64_t offset, std::int64_t length, std::string& bytes);
  // The same into the `length` bytes at `out`, which hold no known bytes
  // when it fails.
  bool readAt(std::int64_t offset, std::int64_t length, char* out);

 private:
  // Whether the file holds the `length` bytes at `offset`.
  bool holds(std::int64_t offset, std::int64_t length) const;

  struct Stream;
  std::unique_ptr<Stream> stream;
};

// --- Test hook ---

// One file operation that fails: operation number `at`, counted from 0 since
// the hook was set. With `crash`, that operation and every later one fail as
// if the process had been killed there: a write it was asked for leaves only
// the first half of its bytes, and nothing after it reaches the disk.
struct FileFault {
  std::int64_t at = 0;
  bool crash = false;
};

// Sets (or with std::nullopt clears) the fault and restarts the count. Only
// tests call it.
void setFileFaultForTesting(std::optional<FileFault> fault);

// The operations made since the hook was last set or cleared, so that a test
// can sweep a fault over every step of a command. Nothing is counted before
// the first call of a setter: a process that never sets the hook pays no
// lock and no count per operation.
std::int64_t fileOperationsForTesting();

// A simulated power cut at operation `at`, counted from 0 from this call as
// a fault is: that operation and every later one fail, touching nothing, as
// nothing reaches the disk any more. Until then the hook remembers what a
// power cut would keep: each file's content at its last syncFile (at first,
// its content when this was called) and the working directory's entries as
// the last syncDirectory left them (at first, every regular file there). A
// write does not change what is kept, nor does a creation, rename or removal
// of an entry until the directory is synced. Setting or clearing a fault
// ends the mode. Only tests call it.
void setPowerCutForTesting(std::int64_t at);

// Rewrites the working directory to what the power cut kept: every regular
// file that the kept entries do not name is removed, and each kept entry
// holds its file's kept content again (a removed file comes back, a renamed
// one goes back to its old name). Ends the mode.
void restoreAfterPowerCutForTesting();
