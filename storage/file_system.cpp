#include "storage/file_system.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace fs = std::filesystem;

namespace {

// --- The test hook ---

enum class Step {
  Go,    // carry the operation out
  Fail,  // report failure, touching nothing
  Tear,  // a write that the crash interrupts: its first half lands, then it fails
};

// Set by the first call of a hook setter and never cleared, as a cleared
// fault still counts operations: until then no call takes faultMutex or
// counts, so the product pays one load per file operation for the hook.
std::atomic<bool> hookInUse{false};

std::mutex faultMutex;
std::optional<FileFault> activeFault;
std::int64_t operationCount = 0;
std::optional<std::int64_t> powerCutAt;

bool hookUnused() { return !hookInUse.load(std::memory_order_acquire); }

Step nextOperation() {
  if (hookUnused()) return Step::Go;
  const std::lock_guard<std::mutex> guard(faultMutex);
  const std::int64_t number = operationCount++;
  if (powerCutAt && number >= *powerCutAt) return Step::Fail;
  if (!activeFault || number < activeFault->at) return Step::Go;
  if (activeFault->crash) return number == activeFault->at ? Step::Tear : Step::Fail;
  return number == activeFault->at ? Step::Fail : Step::Go;
}

// Whether a plain (non-write) operation may go on.
bool proceed() { return nextOperation() == Step::Go; }

// --- What a power cut keeps, while the test hook's power-cut mode is on ---
//
// Files are told apart by a number of their own, as the system tells them
// apart by their inode: an entry renamed keeps its file, one removed and
// created again names a new file.
struct DurableState {
  std::int64_t nextFile = 0;
  std::map<std::string, std::int64_t> entries;      // the directory as it is now
  std::map<std::string, std::int64_t> keptEntries;  // as the last directory sync left it
  std::map<std::int64_t, std::string> keptContent;  // each file at its last sync
};

std::optional<DurableState> durable;  // guarded by faultMutex

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int64_t fileOf(DurableState& state, const std::string& path) {
  const auto found = state.entries.find(path);
  if (found != state.entries.end()) return found->second;
  // A file created since: nothing of it is kept until it is synced.
  return state.entries[path] = state.nextFile++;
}

// Before an operation that may create `path`.
void noteWriting(const std::string& path) {
  if (hookUnused()) return;
  const std::lock_guard<std::mutex> guard(faultMutex);
  if (durable) fileOf(*durable, path);
}

void noteRenamed(const std::string& from, const std::string& to) {
  if (hookUnused()) return;
  const std::lock_guard<std::mutex> guard(faultMutex);
  if (!durable) return;
  const std::int64_t file = fileOf(*durable, from);
  durable->entries.erase(from);
  durable->entries[to] = file;
}

void noteRemoved(const std::string& path) {
  if (hookUnused()) return;
  const std::lock_guard<std::mutex> guard(faultMutex);
  if (durable) durable->entries.erase(path);
}

void noteFileSynced(const std::string& path) {
  if (hookUnused()) return;
  const std::lock_guard<std::mutex> guard(faultMutex);
  if (durable) durable->keptContent[fileOf(*durable, path)] = bytesOf(path);
}

void noteDirectorySynced() {
  if (hookUnused()) return;
  const std::lock_guard<std::mutex> guard(faultMutex);
  if (!durable) return;
  // The directory as it really stands: an operation that failed after its
  // note created nothing.
  std::map<std::string, std::int64_t> entries;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::current_path(), error)) {
    std::error_code kindError;
    if (!entry.is_regular_file(kindError)) continue;
    const std::string name = entry.path().filename().string();
    entries[name] = fileOf(*durable, name);
  }
  durable->entries = entries;
  durable->keptEntries = std::move(entries);
}

// What a write may put down: everything, the torn first half, or nothing.
std::string_view writable(std::string_view bytes, Step step) {
  if (step == Step::Tear) return bytes.substr(0, bytes.size() / 2);
  return bytes;
}

// --- Plain helpers, not counted as operations of their own ---

EntryKind kindOf(const std::string& path) {
  std::error_code error;
  const fs::file_status own = fs::symlink_status(path, error);
  if (own.type() == fs::file_type::not_found) return EntryKind::None;
  if (error) return EntryKind::Other;
  const fs::file_status target = fs::status(path, error);
  if (error) return EntryKind::Other;
  return fs::is_regular_file(target) ? EntryKind::File : EntryKind::Other;
}

std::optional<std::int64_t> sizeOf(const std::string& path) {
  if (kindOf(path) != EntryKind::File) return std::nullopt;
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) return std::nullopt;
  return static_cast<std::int64_t>(size);
}

constexpr auto kUpdateMode = std::ios::in | std::ios::out | std::ios::binary;

// Opens an existing regular file for reading and writing, or creates a new
// one when there is no entry under the name; an existing file is never cut.
bool openForUpdate(std::fstream& file, const std::string& path) {
  const EntryKind kind = kindOf(path);
  if (kind == EntryKind::Other) return false;
  if (kind == EntryKind::None) {
    // Append mode creates the file without cutting one that appeared meanwhile.
    std::ofstream create(path, std::ios::binary | std::ios::app);
    if (!create.is_open()) return false;
  }
  file.open(path, kUpdateMode);
  return file.is_open();
}

bool openForReplace(std::fstream& file, const std::string& path) {
  if (kindOf(path) == EntryKind::Other) return false;
  file.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
  return file.is_open();
}

bool putAt(std::fstream& file, std::int64_t offset, std::string_view bytes) {
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

bool finish(std::fstream& file) {
  file.flush();
  const bool written = static_cast<bool>(file);
  file.close();
  return written && !file.fail();
}

}  // namespace

EntryKind entryKind(const std::string& path) {
  if (!proceed()) return EntryKind::Other;
  return kindOf(path);
}

ReadStatus readFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  if (!proceed()) return ReadStatus::Failed;
  const EntryKind kind = kindOf(path);
  if (kind == EntryKind::None) return ReadStatus::Missing;
  if (kind == EntryKind::Other) return ReadStatus::Failed;
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file.is_open()) return ReadStatus::Failed;
  const std::streamoff size = file.tellg();
  if (size < 0) return ReadStatus::Failed;
  bytes.resize(static_cast<std::size_t>(size));
  file.seekg(0);
  file.read(bytes.data(), static_cast<std::streamsize>(size));
  if (file.gcount() != static_cast<std::streamsize>(size)) {
    bytes.clear();
    return ReadStatus::Failed;
  }
  return ReadStatus::Done;
}

std::optional<std::int64_t> fileSize(const std::string& path) {
  if (!proceed()) return std::nullopt;
  return sizeOf(path);
}

bool replaceFile(const std::string& path, std::string_view bytes) {
  const Step step = nextOperation();
  if (step == Step::Fail) return false;
  noteWriting(path);
  std::fstream file;
  if (!openForReplace(file, path)) return false;
  const bool written = putAt(file, 0, writable(bytes, step));
  return finish(file) && written && step == Step::Go;
}

bool writeFileAt(const std::string& path, std::int64_t offset, std::string_view bytes,
                 bool create) {
  const Step step = nextOperation();
  if (step == Step::Fail || offset < 0) return false;
  if (!create && kindOf(path) != EntryKind::File) return false;
  noteWriting(path);
  std::fstream file;
  if (!openForUpdate(file, path)) return false;
  const bool written = putAt(file, offset, writable(bytes, step));
  return finish(file) && written && step == Step::Go;
}

bool appendToFile(const std::string& path, std::string_view bytes, std::int64_t* offset) {
  const Step step = nextOperation();
  if (step == Step::Fail || kindOf(path) == EntryKind::Other) return false;
  noteWriting(path);
  std::ofstream file;
  // Unbuffered: the whole text goes to the system in one write.
  file.rdbuf()->pubsetbuf(nullptr, 0);
  file.open(path, std::ios::binary | std::ios::app);
  if (!file.is_open()) return false;
  if (offset != nullptr) *offset = sizeOf(path).value_or(0);
  const std::string_view part = writable(bytes, step);
  file.write(part.data(), static_cast<std::streamsize>(part.size()));
  file.flush();
  const bool written = static_cast<bool>(file);
  file.close();
  return written && !file.fail() && step == Step::Go;
}

namespace {

// --- The write-ahead log's stream between appends ---
//
// Kept open through the system's own calls, as the standard library gives
// no identity of an open stream. The stream's file is known by its identity,
// read once when it is opened (the device and inode numbers; on Windows the
// volume serial number and file index); before each append one look at the
// name gives the identity and length of the file it leads to now. While the
// stream keeps its file open, no other file can take that identity, so the
// two are the same file exactly when the identities match.

struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};

// What a name leads to: the kind of entry and, for a file, its identity and
// length.
struct NamedFile {
  EntryKind kind = EntryKind::None;
  FileIdentity identity;
  std::int64_t size = 0;
};

constexpr NamedFile kNotAFile{EntryKind::Other, {}, 0};

// A name the system's look failed on: missing, or else not to be touched.
NamedFile unexamined(const std::string& path) {
  return kindOf(path) == EntryKind::None ? NamedFile{} : kNotAFile;
}

struct LineStream {
  std::string name;
  FileIdentity identity;
  std::int64_t lastEnd = -1;  // the length its own last line left the file
#ifdef _WIN32
  HANDLE file = INVALID_HANDLE_VALUE;
  ~LineStream() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
#else
  int fd = -1;
  ~LineStream() {
    if (fd >= 0) ::close(fd);
  }
#endif
  LineStream() = default;
  LineStream(const LineStream&) = delete;
  LineStream& operator=(const LineStream&) = delete;
};

std::mutex lineMutex;
std::unique_ptr<LineStream> lineStream;

#ifdef _WIN32

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What the handle of a regular file tells of it; none for anything else.
std::optional<NamedFile> regularFileOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  const FileIdentity identity{info.dwVolumeSerialNumber,
                              (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  const auto size =
      static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  return NamedFile{EntryKind::File, identity, size};
}

NamedFile examineName(const std::string& path) {
  // A handle that may only read attributes reads nothing and locks nothing.
  const HANDLE file = CreateFileW(fs::path(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return unexamined(path);
  const std::optional<NamedFile> named = regularFileOf(file);
  CloseHandle(file);
  return named.value_or(kNotAFile);
}

// Opens the regular file at `path` (created first when `create`) and sets
// `size` to its length; null when it cannot be opened or is no regular file.
std::unique_ptr<LineStream> openLineStream(const std::string& path, bool create,
                                           std::int64_t& size) {
  auto stream = std::make_unique<LineStream>();
  stream->name = path;
  // Append access without write access: every write goes to the end of the
  // file, wherever others have put it. No security attributes: the handle is
  // not inherited.
  stream->file =
      CreateFileW(fs::path(path).c_str(), GENERIC_READ | FILE_APPEND_DATA, kShareAll, nullptr,
                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream->file == INVALID_HANDLE_VALUE) return nullptr;
  const std::optional<NamedFile> opened = regularFileOf(stream->file);
  if (!opened) return nullptr;
  stream->identity = opened->identity;
  size = opened->size;
  return stream;
}

bool readAt(const LineStream& stream, std::int64_t offset, char* into, std::size_t length) {
  while (length > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(length, DWORD{1} << 30));
    if (!ReadFile(stream.file, into, wanted, &got, &at) || got == 0) return false;
    into += got;
    length -= got;
    offset += got;
  }
  return true;
}

// The stream may only append: the cut goes through the name, which leads to
// the stream's file.
bool cutTo(LineStream&, const std::string& path, std::int64_t length) {
  std::error_code error;
  fs::resize_file(path, static_cast<std::uintmax_t>(length), error);
  return !error;
}

bool appendAll(LineStream& stream, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD put = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), DWORD{1} << 30));
    if (!WriteFile(stream.file, bytes.data(), wanted, &put, nullptr) || put == 0) return false;
    bytes.remove_prefix(put);
  }
  return true;
}

#else

FileIdentity identityOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

NamedFile examineName(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return unexamined(path);
  if (!S_ISREG(info.st_mode)) return kNotAFile;
  return {EntryKind::File, identityOf(info), static_cast<std::int64_t>(info.st_size)};
}

// Opens the regular file at `path` (created first when `create`), never
// blocking on a FIFO that took the name's place, and sets `size` to its
// length; null when it cannot be opened or is no regular file. The
// descriptor is not inherited by programs the process starts.
std::unique_ptr<LineStream> openLineStream(const std::string& path, bool create,
                                           std::int64_t& size) {
  auto stream = std::make_unique<LineStream>();
  stream->name = path;
  const int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT : 0);
  do {
    stream->fd = ::open(path.c_str(), flags, 0666);
  } while (stream->fd < 0 && errno == EINTR);
  struct stat info {};
  if (stream->fd < 0 || ::fstat(stream->fd, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  stream->identity = identityOf(info);
  size = static_cast<std::int64_t>(info.st_size);
  return stream;
}

bool readAt(const LineStream& stream, std::int64_t offset, char* into, std::size_t length) {
  while (length > 0) {
    const ssize_t got = ::pread(stream.fd, into, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    length -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

bool cutTo(LineStream& stream, const std::string&, std::int64_t length) {
  int result = 0;
  do {
    result = ::ftruncate(stream.fd, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// One write in append mode, so that lines of several processes never
// interleave; more only when the system takes a part of the bytes.
bool appendAll(LineStream& stream, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(stream.fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

#endif

bool holdsFileOf(const LineStream& stream, const std::string& path, const NamedFile& named) {
  return named.kind == EntryKind::File && stream.name == path && stream.identity == named.identity;
}

// The stream's file: its length, and its length up to its last line feed.
struct FileEnd {
  std::int64_t size = 0;
  std::int64_t whole = 0;
};

// Reads back from the end of the stream's file of `size` bytes; none when a
// read fails.
std::optional<FileEnd> wholeLinesEnd(const LineStream& stream, std::int64_t size) {
  constexpr std::int64_t kChunk = 4096;
  std::string chunk;
  for (std::int64_t stop = size; stop > 0;) {
    const std::int64_t start = std::max<std::int64_t>(0, stop - kChunk);
    chunk.resize(static_cast<std::size_t>(stop - start));
    if (!readAt(stream, start, chunk.data(), chunk.size())) return std::nullopt;
    const std::size_t feed = chunk.rfind('\n');
    if (feed != std::string::npos)
      return FileEnd{size, start + static_cast<std::int64_t>(feed) + 1};
    stop = start;
  }
  return FileEnd{size, 0};  // no line feed at all: nothing of the file is whole
}

// As wholeLinesEnd, without reading when the file still ends where the
// stream's own last line ended it: that line's feed is the last byte.
std::optional<FileEnd> endOf(const LineStream& stream, std::int64_t size) {
  if (size == stream.lastEnd) return FileEnd{size, size};
  return wholeLinesEnd(stream, size);
}

}  // namespace

AppendStatus appendLine(const std::string& path, std::string_view line, LineEnd& end) {
  const std::lock_guard<std::mutex> guard(lineMutex);
  end = LineEnd{};
  if (!proceed()) return AppendStatus::OpenFailed;
  const NamedFile named = examineName(path);
  if (lineStream != nullptr && !holdsFileOf(*lineStream, path, named)) lineStream.reset();
  if (named.kind == EntryKind::Other) return AppendStatus::OpenFailed;
  std::int64_t size = named.size;
  // A missing file is created by the append itself, so that examining it
  // leaves nothing behind.
  if (named.kind == EntryKind::File && lineStream == nullptr) {
    lineStream = openLineStream(path, false, size);
    if (lineStream == nullptr) return AppendStatus::OpenFailed;
  }
  std::optional<FileEnd> found;
  if (lineStream != nullptr) {
    found = endOf(*lineStream, size);
    if (!found) {
      lineStream.reset();
      return AppendStatus::OpenFailed;
    }
    end = LineEnd{true, found->whole};
  }

  const Step step = nextOperation();
  if (step == Step::Fail) return AppendStatus::WriteFailed;
  noteWriting(path);
  if (lineStream == nullptr) {
    // The append creates the file: looked at once it exists, so that a line
    // another process put there first is whole and stays.
    lineStream = openLineStream(path, true, size);
    if (lineStream == nullptr) return AppendStatus::WriteFailed;
    found = endOf(*lineStream, size);
    if (!found) {
      lineStream.reset();
      return AppendStatus::WriteFailed;
    }
    end.length = found->whole;
  }
  const std::string_view part = writable(line, step);
  const bool written = (found->size == found->whole || cutTo(*lineStream, path, found->whole)) &&
                       appendAll(*lineStream, part);
  if (written && step == Step::Go) {
    lineStream->lastEnd = found->whole + static_cast<std::int64_t>(part.size());
    return AppendStatus::Done;
  }
  lineStream.reset();
  return AppendStatus::WriteFailed;
}

void closeLineStream() {
  const std::lock_guard<std::mutex> guard(lineMutex);
  lineStream.reset();
}

bool lineStreamHoldsForTesting(const std::string& path) {
  const std::lock_guard<std::mutex> guard(lineMutex);
  return lineStream != nullptr && holdsFileOf(*lineStream, path, examineName(path));
}

bool resizeFile(const std::string& path, std::int64_t size) {
  if (!proceed() || size < 0 || kindOf(path) != EntryKind::File) return false;
  std::error_code error;
  fs::resize_file(path, static_cast<std::uintmax_t>(size), error);
  return !error;
}

bool renameFile(const std::string& from, const std::string& to) {
  if (!proceed() || kindOf(from) != EntryKind::File || kindOf(to) == EntryKind::Other) {
    return false;
  }
  std::error_code error;
  fs::rename(from, to, error);
  if (error) return false;
  noteRenamed(from, to);
  return true;
}

bool removeFile(const std::string& path) {
  if (!proceed()) return false;
  std::error_code error;
  const fs::file_status own = fs::symlink_status(path, error);
  if (own.type() == fs::file_type::not_found) return true;
  if (error || fs::is_directory(own)) return false;
  fs::remove(path, error);
  if (error) return false;
  noteRemoved(path);
  return true;
}

std::vector<std::string> listFiles(std::string_view extension) {
  std::vector<std::string> names;
  if (!proceed()) return names;
  std::error_code error;
  fs::directory_iterator entry(fs::current_path(error), error);
  if (error) return names;
  for (; entry != fs::directory_iterator(); entry.increment(error)) {
    if (error) break;
    const fs::path& path = entry->path();
    std::error_code kindError;
    // is_regular_file follows a symbolic link to what it leads to.
    if (path.extension() == extension && entry->is_regular_file(kindError)) {
      names.push_back(path.filename().string());
    }
  }
  return names;
}

#ifdef _WIN32

bool syncFile(const std::string& path) {
  if (!proceed() || kindOf(path) != EntryKind::File) return false;
  // Flushing needs a handle with write access; the sharing flags let it
  // open beside the engine's own streams.
  const HANDLE file = ::CreateFileW(fs::path(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = ::FlushFileBuffers(file) != 0;
  const bool closed = ::CloseHandle(file) != 0;
  if (!flushed || !closed) return false;
  noteFileSynced(path);
  return true;
}

bool syncDirectory() {
  if (!proceed()) return false;
  noteDirectorySynced();
  return true;
}

#else

namespace {

// Opens `path` read-only (never blocking on a FIFO that took the name's
// place), syncs it with `sync`, closes it; true when all three succeeded.
bool openAndSync(const char* path, int flags, int (*sync)(int)) {
  int fd = -1;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  int synced = -1;
  do {
    synced = sync(fd);
  } while (synced != 0 && errno == EINTR);
  const bool closed = ::close(fd) == 0;
  return synced == 0 && closed;
}

}  // namespace

bool syncFile(const std::string& path) {
  if (!proceed() || kindOf(path) != EntryKind::File) return false;
  // The data and the length; the times need not survive.
  if (!openAndSync(path.c_str(), 0, ::fdatasync)) return false;
  noteFileSynced(path);
  return true;
}

bool syncDirectory() {
  if (!proceed() || !openAndSync(".", O_DIRECTORY, ::fsync)) return false;
  noteDirectorySynced();
  return true;
}

#endif

struct FileLock::Handle {
#ifdef _WIN32
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (file == INVALID_HANDLE_VALUE) return;
    // Windows may drop the lock of a closed handle only some time later.
    OVERLAPPED whole{};
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
  }
#else
  // Closed, not unlocked first: a child forked meanwhile (which holds a copy
  // of everything the lock guards) keeps the open, and with it the lock,
  // until it ends too, as it would if this process had died.
  int fd = -1;
  ~Handle() {
    if (fd >= 0) ::close(fd);
  }
#endif
};

FileLock::FileLock() = default;
FileLock::~FileLock() = default;

LockStatus FileLock::take(const std::string& path) {
  release();
  if (!proceed() || kindOf(path) == EntryKind::Other) return LockStatus::OpenFailed;
  auto opened = std::make_unique<Handle>();
#ifdef _WIN32
  // No security attributes: the handle is not inherited.
  opened->file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened->file == INVALID_HANDLE_VALUE) return LockStatus::OpenFailed;
  OVERLAPPED whole{};
  if (!LockFileEx(opened->file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                  MAXDWORD, &whole)) {
    return GetLastError() == ERROR_LOCK_VIOLATION ? LockStatus::Busy : LockStatus::OpenFailed;
  }
#else
  opened->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (opened->fd < 0) return LockStatus::OpenFailed;
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // from 0 with length 0: the whole file, however long
  if (::fcntl(opened->fd, F_OFD_SETLK, &whole) != 0) {
    return errno == EAGAIN || errno == EACCES ? LockStatus::Busy : LockStatus::OpenFailed;
  }
#endif
  handle = std::move(opened);
  return LockStatus::Taken;
}

void FileLock::release() { handle.reset(); }

struct FileWriter::Stream {
  std::fstream file;
  std::int64_t position = 0;
};

FileWriter::FileWriter() = default;
FileWriter::~FileWriter() = default;

bool FileWriter::open(const std::string& path, Mode mode) {
  stream.reset();
  failed = true;
  if (!proceed()) return false;
  noteWriting(path);
  auto opened = std::make_unique<Stream>();
  const bool ok = mode == Mode::Replace ? openForReplace(opened->file, path)
                                        : openForUpdate(opened->file, path);
  if (!ok) return false;
  stream = std::move(opened);
  failed = false;
  return true;
}

bool FileWriter::writeAt(std::int64_t offset, std::string_view bytes) {
  const Step step = nextOperation();
  if (failed || stream == nullptr || step == Step::Fail || offset < 0) {
    failed = true;
    return false;
  }
  const std::string_view part = writable(bytes, step);
  // A write where the last one ended needs no seek, so the stream's buffer
  // gathers a run of small sequential writes into one.
  const bool put = offset == stream->position
                       ? static_cast<bool>(stream->file.write(
                             part.data(), static_cast<std::streamsize>(part.size())))
                       : putAt(stream->file, offset, part);
  if (!put || step == Step::Tear) {
    // What the torn write put down must reach the file, as after a kill.
    stream->file.flush();
    failed = true;
    return false;
  }
  stream->position = offset + static_cast<std::int64_t>(bytes.size());
  return true;
}

bool FileWriter::write(std::string_view bytes) {
  return writeAt(stream == nullptr ? 0 : stream->position, bytes);
}

bool FileWriter::close() {
  if (stream == nullptr) return false;
  const Step step = nextOperation();
  bool ok = false;
  if (step == Step::Go) {
    ok = finish(stream->file) && !failed;
  } else {
    // A kill loses nothing the system was handed; a failed close reports it.
    stream->file.flush();
    stream->file.close();
  }
  stream.reset();
  failed = failed || !ok;
  return ok;
}

struct FileReader::Stream {
  std::ifstream file;
  std::int64_t size = 0;
};

FileReader::FileReader() = default;
FileReader::~FileReader() = default;

ReadStatus FileReader::open(const std::string& path) {
  stream.reset();
  if (!proceed()) return ReadStatus::Failed;
  const EntryKind kind = kindOf(path);
  if (kind == EntryKind::None) return ReadStatus::Missing;
  if (kind == EntryKind::Other) return ReadStatus::Failed;
  auto opened = std::make_unique<Stream>();
  opened->file.open(path, std::ios::binary | std::ios::ate);
  if (!opened->file.is_open()) return ReadStatus::Failed;
  const std::streamoff size = opened->file.tellg();
  if (size < 0) return ReadStatus::Failed;
  opened->size = static_cast<std::int64_t>(size);
  stream = std::move(opened);
  return ReadStatus::Done;
}

std::int64_t FileReader::size() const { return stream == nullptr ? 0 : stream->size; }

bool FileReader::holds(std::int64_t offset, std::int64_t length) const {
  return stream != nullptr && offset >= 0 && length >= 0 &&
         length <= stream->size - std::min(offset, stream->size);
}

bool FileReader::readAt(std::int64_t offset, std::int64_t length, char* out) {
  if (!proceed() || !holds(offset, length)) return false;
  stream->file.clear();
  stream->file.seekg(static_cast<std::streamoff>(offset));
  stream->file.read(out, static_cast<std::streamsize>(length));
  return stream->file.gcount() == static_cast<std::streamsize>(length);
}

bool FileReader::readAt(std::int64_t offset, std::int64_t length, std::string& bytes) {
  bytes.clear();
  // Sized only for bytes the file holds; a read past them still counts as
  // an operation, and fails.
  if (holds(offset, length)) bytes.resize(static_cast<std::size_t>(length));
  if (readAt(offset, length, bytes.data())) return true;
  bytes.clear();
  return false;
}

void setFileFaultForTesting(std::optional<FileFault> fault) {
  const std::lock_guard<std::mutex> guard(faultMutex);
  hookInUse.store(true, std::memory_order_release);
  activeFault = fault;
  operationCount = 0;
  powerCutAt.reset();
  durable.reset();
}

std::int64_t fileOperationsForTesting() {
  const std::lock_guard<std::mutex> guard(faultMutex);
  return operationCount;
}

void setPowerCutForTesting(std::int64_t at) {
  DurableState state;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::current_path(), error)) {
    std::error_code kindError;
    if (!entry.is_regular_file(kindError)) continue;
    const std::int64_t file = state.nextFile++;
    state.entries[entry.path().filename().string()] = file;
    state.keptContent[file] = bytesOf(entry.path());
  }
  state.keptEntries = state.entries;
  const std::lock_guard<std::mutex> guard(faultMutex);
  hookInUse.store(true, std::memory_order_release);
  activeFault.reset();
  operationCount = 0;
  powerCutAt = at;
  durable = std::move(state);
}

void restoreAfterPowerCutForTesting() {
  // The log's stream holds a file the restore may remove or rewrite.
  closeLineStream();
  std::optional<DurableState> state;
  {
    const std::lock_guard<std::mutex> guard(faultMutex);
    state = std::exchange(durable, std::nullopt);
    powerCutAt.reset();
  }
  if (!state) return;
  std::vector<fs::path> lost;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::current_path(), error)) {
    std::error_code kindError;
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(kindError) && !state->keptEntries.contains(name)) {
      lost.push_back(entry.path());
    }
  }
  for (const fs::path& path : lost) fs::remove(path, error);
  for (const auto& [name, file] : state->keptEntries) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    const std::string& bytes = state->keptContent[file];
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
}
