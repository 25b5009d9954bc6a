#include "storage/journal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "storage/bytes.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/storage.h"

namespace {

// Layout: the magic, then per change a kind byte ('W' write, 'C' cut), the
// path's length and bytes, the offset (or length), the count and bytes of a
// write; last the commit record: 'E' and the checksum of everything before it.
constexpr std::string_view kMagic = "QVJ1";
constexpr char kWrite = 'W';
constexpr char kCut = 'C';
constexpr char kCommit = 'E';

const std::string kJournal(kJournalFileName);

// 64-bit FNV-1a: enough to tell a torn or damaged journal from a whole one.
// Slots are mostly zero padding, and a zero byte only multiplies by the
// prime, so a run of zero words is one multiplication by the prime's power:
// the same sum, without a multiplication per byte. Any other word takes
// each of its bytes in turn, zeros too, which needs no test per byte.
struct Checksum {
  static constexpr std::uint64_t kPrime = 1099511628211ULL;
  std::uint64_t value = 14695981039346656037ULL;

  void add(std::string_view bytes) {
    const char* at = bytes.data();
    const char* const end = at + bytes.size();
    std::uint64_t zeros = 0;  // zero bytes not yet multiplied in
    for (std::uint64_t word = 0; end - at >= 8; at += 8) {
      std::memcpy(&word, at, 8);
      if (word == 0) {
        zeros += 8;
        continue;
      }
      value *= primePower(zeros);
      zeros = 0;
      word = littleEndian(word);
      // Written out, so that no count is kept per byte.
      const auto byteAt = [&](int shift) {
        value ^= (word >> shift) & 0xFF;
        value *= kPrime;
      };
      byteAt(0);
      byteAt(8);
      byteAt(16);
      byteAt(24);
      byteAt(32);
      byteAt(40);
      byteAt(48);
      byteAt(56);
    }
    value *= primePower(zeros);
    for (; at != end; ++at) {
      value ^= static_cast<unsigned char>(*at);
      value *= kPrime;
    }
  }

 private:
  // The word as its bytes read in file order from the lowest.
  static std::uint64_t littleEndian(std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(word);
    return word;
  }

  // kPrime to the power `exponent`, modulo 2^64.
  static constexpr std::array<std::uint64_t, 256> kSmallPowers = [] {
    std::array<std::uint64_t, 256> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * kPrime;
    return powers;
  }();

  static std::uint64_t primePower(std::uint64_t exponent) {
    if (exponent < kSmallPowers.size()) return kSmallPowers[exponent];
    std::uint64_t result = 1;
    for (std::uint64_t base = kPrime; exponent != 0; exponent >>= 1, base *= base) {
      if ((exponent & 1) != 0) result *= base;
    }
    return result;
  }
};

std::uint64_t checksum(std::string_view bytes) {
  Checksum sum;
  sum.add(bytes);
  return sum.value;
}

// The fields of a change before its bytes.
std::string changeHeader(const Journal::Change& change) {
  std::string header;
  header.push_back(change.cut ? kCut : kWrite);
  appendInt32(header, static_cast<std::int32_t>(change.path.size()));
  header += change.path;
  appendInt64(header, change.offset);
  if (!change.cut) appendInt64(header, static_cast<std::int64_t>(change.bytes.size()));
  return header;
}

// Reads the fields of a journal file in order; every take fails past its end.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes(bytes) {}

  bool atEnd() const { return at == bytes.size(); }
  std::size_t position() const { return at; }

  std::optional<std::string_view> take(std::uint64_t count) {
    if (count > bytes.size() - at) return std::nullopt;
    const std::string_view part = bytes.substr(at, count);
    at += count;
    return part;
  }
  std::optional<std::int64_t> int64() {
    const auto part = take(8);
    if (!part) return std::nullopt;
    return int64At(*part);
  }
  std::optional<std::int32_t> int32() {
    const auto part = take(4);
    if (!part) return std::nullopt;
    return int32At(*part);
  }

 private:
  std::string_view bytes;
  std::size_t at = 0;
};

std::optional<Journal::Change> readChange(Cursor& cursor, char kind) {
  Journal::Change change;
  change.cut = kind == kCut;
  const auto pathLength = cursor.int32();
  if (!pathLength || *pathLength < 0) return std::nullopt;
  const auto path = cursor.take(static_cast<std::uint64_t>(*pathLength));
  const auto offset = cursor.int64();
  if (!path || !offset || *offset < 0) return std::nullopt;
  change.path = *path;
  change.offset = *offset;
  if (change.cut) return change;
  const auto count = cursor.int64();
  if (!count || *count < 0) return std::nullopt;
  const auto bytes = cursor.take(static_cast<std::uint64_t>(*count));
  if (!bytes) return std::nullopt;
  change.bytes = *bytes;
  return change;
}

// The changes of a whole journal: the magic, changes, and a commit record
// whose checksum matches, ending the file.
std::optional<std::vector<Journal::Change>> parse(std::string_view bytes) {
  Cursor cursor(bytes);
  if (cursor.take(kMagic.size()) != kMagic) return std::nullopt;
  std::vector<Journal::Change> changes;
  while (true) {
    const std::size_t recordStart = cursor.position();
    const auto kind = cursor.take(1);
    if (!kind) return std::nullopt;
    if ((*kind)[0] == kCommit) {
      const auto sum = cursor.int64();
      if (!sum || !cursor.atEnd()) return std::nullopt;
      if (static_cast<std::uint64_t>(*sum) != checksum(bytes.substr(0, recordStart))) {
        return std::nullopt;
      }
      return changes;
    }
    if ((*kind)[0] != kWrite && (*kind)[0] != kCut) return std::nullopt;
    auto change = readChange(cursor, (*kind)[0]);
    if (!change) return std::nullopt;
    changes.push_back(std::move(*change));
  }
}

// Writes each file's ranges through one open writer. Writes that lie close
// together in ascending order go out as one: the bytes between them are read
// from the file first and written back unchanged, which costs less than a
// seek and a write per range when a checkpoint changed rows all over a file.
class Applier {
 public:
  void write(const Journal::Change& change) {
    if (path != change.path) {
      finish();
      if (!writer.open(change.path, FileWriter::Mode::Update)) throw failedToWrite(change.path);
      path = change.path;
    }
    // Opening created the file; writing no bytes changes nothing more, not
    // even past the end.
    if (change.bytes.empty()) return;
    const std::int64_t offset = change.offset;
    const std::int64_t end = offset + static_cast<std::int64_t>(change.bytes.size());
    if (!pieces.empty() && offset >= windowEnd && offset - windowEnd <= kGap &&
        end - windowStart <= kWindow) {
      pieces.push_back(&change);
      windowEnd = end;
      return;
    }
    flush();
    // A range before one already written may overlap it: what the file
    // holds is only certain once the writer has handed over its bytes.
    if (offset < writtenEnd) reopen();
    pieces.assign(1, &change);
    windowStart = offset;
    windowEnd = end;
  }

  void finish() {
    if (path.empty()) return;
    flush();
    const std::string closing = std::exchange(path, "");
    reader.reset();
    writtenEnd = 0;
    if (!writer.close()) throw failedToWrite(closing);
  }

 private:
  static constexpr std::int64_t kGap = 64 * 1024;
  static constexpr std::int64_t kWindow = 256 * 1024;

  void flush() {
    if (pieces.empty()) return;
    if (pieces.size() == 1) {
      if (!writer.writeAt(windowStart, pieces.front()->bytes)) throw failedToWrite(path);
    } else {
      readWindow();
      for (const Journal::Change* piece : pieces) {
        std::copy(piece->bytes.begin(), piece->bytes.end(),
                  window.begin() + (piece->offset - windowStart));
      }
      if (!writer.writeAt(windowStart, window)) throw failedToWrite(path);
    }
    writtenEnd = std::max(writtenEnd, windowEnd);
    pieces.clear();
  }

  // The file's bytes from windowStart to windowEnd; zeros past its end, as
  // a write past the end leaves them. The window lies past every range
  // written since the reader was opened, so the reader sees them as the
  // writer will leave them.
  void readWindow() {
    if (!reader) {
      reader = std::make_unique<FileReader>();
      if (reader->open(path) != ReadStatus::Done) throw failedToWrite(path);
    }
    const std::int64_t held =
        std::clamp<std::int64_t>(reader->size() - windowStart, 0, windowEnd - windowStart);
    if (held > 0 && !reader->readAt(windowStart, held, window)) throw failedToWrite(path);
    if (held == 0) window.clear();
    window.resize(static_cast<std::size_t>(windowEnd - windowStart), '\0');
  }

  void reopen() {
    const std::string reopened = path;
    finish();
    if (!writer.open(reopened, FileWriter::Mode::Update)) throw failedToWrite(reopened);
    path = reopened;
  }

  FileWriter writer;
  std::unique_ptr<FileReader> reader;
  std::string path;
  std::vector<const Journal::Change*> pieces;  // the pending window, in ascending order
  std::int64_t windowStart = 0;
  std::int64_t windowEnd = 0;
  std::int64_t writtenEnd = 0;  // past every range written through this writer
  std::string window;
};

}  // namespace

void Journal::write(std::string path, std::int64_t offset, std::string bytes) {
  changes.push_back({std::move(path), offset, std::move(bytes), false});
}

void Journal::cut(std::string path, std::int64_t length) {
  changes.push_back({std::move(path), length, "", true});
}

void Journal::commit() const {
  FileWriter writer;
  // The checksum is built as the bytes go out, so the journal is never held
  // twice in memory.
  Checksum sum;
  const auto put = [&](std::string_view bytes) {
    sum.add(bytes);
    return writer.write(bytes);
  };
  bool written = writer.open(kJournal, FileWriter::Mode::Replace) && put(kMagic);
  for (auto change = changes.begin(); written && change != changes.end(); ++change) {
    written = put(changeHeader(*change)) && put(change->bytes);
  }
  if (written) {
    std::string record(1, kCommit);
    appendInt64(record, static_cast<std::int64_t>(sum.value));
    written = writer.write(record);
  }
  // Committed once the journal and its entry are durable: from then on a
  // power cut leaves it to be completed.
  if (writer.close() && written && syncFile(kJournal) && syncDirectory()) return;
  // Not committed: whatever of it landed must not stay to be mistaken for a
  // journal (were the removal to fail too, it reads as uncommitted anyway).
  removeFile(kJournal);
  throw failedToWrite(kLogFileName);
}

void Journal::complete() const {
  Applier applier;
  for (const Change& change : changes) {
    if (!change.cut) {
      applier.write(change);
      continue;
    }
    applier.finish();
    if (!resizeFile(change.path, change.offset)) throw failedToWrite(change.path);
  }
  applier.finish();
  // Durable before the log is emptied: after that only these files hold
  // the commands.
  for (const std::string& path : changedFiles()) {
    if (!syncFile(path)) throw failedToWrite(path);
  }
  Storage::emptyLogDurably();
  discard();
  // Durably gone, so that a power cut cannot bring the journal back to be
  // completed again, emptying the log of the lines written since. Until it
  // is, the checkpoint is not complete: the journal is written again to be
  // completed later.
  if (!syncDirectory()) {
    commit();
    throw failedToWrite(kLogFileName);
  }
}

std::vector<std::string> Journal::changedFiles() const {
  std::vector<std::string> paths;
  for (const Change& change : changes) {
    if (std::find(paths.begin(), paths.end(), change.path) == paths.end()) {
      paths.push_back(change.path);
    }
  }
  return paths;
}

Journal::Found Journal::read(Journal& into) {
  std::string bytes;
  const ReadStatus status = readFile(kJournal, bytes);
  if (status == ReadStatus::Missing) return Found::None;
  if (status == ReadStatus::Failed) throw failedToOpen(kLogFileName);
  auto changes = parse(bytes);
  if (!changes) return Found::Uncommitted;
  into.changes = std::move(*changes);
  return Found::Committed;
}

void Journal::discard() {
  if (!removeFile(kJournal)) throw failedToWrite(kLogFileName);
}

void Storage::journalSideFiles(Journal& journal, SideFileEnds& ends) {
  for (const std::string name : {kListenerFileName, kWebhookFileName}) {
    FileReader file;
    const ReadStatus status = file.open(name);
    if (status == ReadStatus::Missing) continue;
    if (status == ReadStatus::Failed) throw failedToOpen(name);
    // A file cut shorter than it was has nothing past its end.
    const std::int64_t from = std::min(ends[name], file.size());
    std::string tail;
    if (!file.readAt(from, file.size() - from, tail)) throw failedToOpen(name);
    if (!tail.empty()) journal.write(name, from, std::move(tail));
    ends[name] = file.size();
  }
}

void Storage::emptyLogDurably() {
  if (!syncDirectory() || !clearWAL() || !syncFile(kLogFileName)) throw failedToWrite(kLogFileName);
}

void Storage::finishJournal(bool& committed) {
  committed = false;
  Journal journal;
  switch (Journal::read(journal)) {
    case Journal::Found::None:
      return;
    case Journal::Found::Uncommitted:
      Journal::discard();
      return;
    case Journal::Found::Committed:
      committed = true;
      journal.complete();
      return;
  }
}
