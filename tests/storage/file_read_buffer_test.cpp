#include "storage/file_read_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <istream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/file_sweep.h"
#include "support/test_support.h"

namespace {

class FileReadBufferTest : public TempDirTest {};

std::string patternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) % 256);
  return bytes;
}

// What a stream shows after each step: the bytes a step read, how many, the
// position and the state flags.
std::string shown(std::istream& in, const std::string& read) {
  std::ostringstream out;
  out << read.size() << ":" << read << "@" << in.tellg() << (in.eof() ? " eof" : "")
      << (in.fail() ? " fail" : "") << (in.bad() ? " bad" : "");
  in.clear();
  return out.str();
}

// Random seeks, reads of every size around the kept piece's and single
// characters read as a string stream over the same bytes reads them.
TEST_F(FileReadBufferTest, ReadsAndSeeksAsAStringStreamOverTheSameBytes) {
  std::mt19937 random(7);
  for (const std::size_t size : {0, 1, 15, 4095, 4096, 4097, 3 * 4096 + 17, 70000}) {
    SCOPED_TRACE(size);
    const std::string bytes = patternBytes(size);
    writeFile("f.bin", bytes);
    FileReadBuffer buffer;
    ASSERT_EQ(buffer.open("f.bin"), ReadStatus::Done);
    EXPECT_EQ(buffer.size(), static_cast<std::int64_t>(size));
    std::istream file(&buffer);
    std::istringstream reference(bytes);
    const auto edge = [&]() -> std::int64_t {
      const std::int64_t s = static_cast<std::int64_t>(size);
      const std::int64_t edges[] = {0, 1, s - 1, s, s + 1, 4095, 4096, 4097, -1};
      if (random() % 2 == 0) return edges[random() % std::size(edges)];
      return static_cast<std::int64_t>(random() % (size + 2));
    };
    const std::int64_t lengths[] = {0, 1, 15, 4095, 4096, 4097, 10000};
    for (int step = 0; step < 400; ++step) {
      SCOPED_TRACE(step);
      const unsigned kind = random() % 6;
      const std::int64_t at = edge();
      const std::int64_t length = kind == 4 ? lengths[random() % std::size(lengths)] : at + 1;
      std::vector<std::string> seen;
      for (std::istream* in :
           {static_cast<std::istream*>(&file), static_cast<std::istream*>(&reference)}) {
        std::string read;
        if (kind == 0) {
          in->seekg(at);
        } else if (kind == 1) {
          in->seekg(at - static_cast<std::int64_t>(size) / 2, std::ios_base::cur);
        } else if (kind == 2) {
          in->seekg(-at, std::ios_base::end);
        } else if (kind == 3) {
          const int c = in->get();
          if (c != std::char_traits<char>::eof()) read.push_back(static_cast<char>(c));
        } else {
          read.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, length)));
          in->read(read.data(), static_cast<std::streamsize>(read.size()));
          read.resize(static_cast<std::size_t>(in->gcount()));
        }
        seen.push_back(shown(*in, read));
      }
      ASSERT_EQ(seen[0], seen[1]);
    }
  }
}

// A header's fields are read with one read of the file, a run of slots with
// one more, and bytes already kept with none.
TEST_F(FileReadBufferTest, ReadsTheFileOncePerPieceItDoesNotKeep) {
  writeFile("f.bin", patternBytes(100000));
  FileReadBuffer buffer;
  std::istream file(&buffer);
  std::string bytes(60000, '\0');
  const auto readAt = [&](std::int64_t offset, std::streamsize length) {
    file.seekg(offset);
    file.read(bytes.data(), length);
  };
  const struct {
    const char* name;
    std::function<void()> reads;
    std::int64_t operations;
  } cases[] = {
      {"open", [&] { buffer.open("f.bin"); }, 1},
      {"header fields",
       [&] {
         readAt(0, 15);
         readAt(15, 60);
         readAt(0, 15);
         readAt(4000, 96);
       },
       1},
      {"slots past the kept piece", [&] { readAt(4000, 50000); }, 1},
      {"a field of the kept piece again", [&] { readAt(30, 15); }, 0},
      {"a character past it", [&] { readAt(90000, 1); }, 1},
      {"the characters after it", [&] { readAt(90001, 4000); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(countFileOperations(c.reads), c.operations);
    EXPECT_TRUE(file.good());
  }
  EXPECT_EQ(bytes.substr(0, 4000), patternBytes(94001).substr(90001));
}

// A read the file refuses ends a stream that asks for its exceptions with the
// refusal, and leaves any other stream bad.
TEST_F(FileReadBufferTest, AReadTheFileRefusesThrowsItsRefusalOrMakesTheStreamBad) {
  writeFile("f.bin", patternBytes(20000));
  for (const std::streamsize length : {15, 10000}) {
    for (const bool exceptions : {false, true}) {
      SCOPED_TRACE(std::to_string(length) + (exceptions ? " with exceptions" : ""));
      FileReadBuffer buffer;
      ASSERT_EQ(buffer.open("f.bin"), ReadStatus::Done);
      std::istream file(&buffer);
      if (exceptions) file.exceptions(std::ios_base::badbit);
      std::string bytes(static_cast<std::size_t>(length), '\0');
      std::string thrown;
      {
        const ScopedFileFault fault(FileFault{0, false});
        try {
          file.read(bytes.data(), length);
        } catch (const std::runtime_error& error) {
          thrown = error.what();
        }
      }
      EXPECT_EQ(thrown, exceptions ? "Failed to open file: f.bin" : "");
      EXPECT_TRUE(file.bad());
      file.clear();
      file.seekg(0);
      file.read(bytes.data(), length);
      EXPECT_EQ(bytes, patternBytes(static_cast<std::size_t>(length)));
    }
  }
}

}  // namespace
