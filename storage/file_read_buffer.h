#pragma once

#include <cstdint>
#include <ios>
#include <streambuf>
#include <string>

#include "storage/file_system.h"

// A regular file opened through the file-system seam, as the buffer of a
// std::istream: the stream readers of a table's files (Storage::getColumns,
// getRows, read) read the loader's files through it. It keeps the last
// piece of at most 4096 bytes it read, so that the small reads of a header
// read the file once; a read of bytes it does not keep reads the file once:
// such a piece for a small read, and exactly the bytes asked for, straight
// into the reader's memory, for a larger one. A seek never touches the
// file. A read that the file refuses throws "Failed to open file: <path>":
// out of the stream's reads when its exceptions() hold badbit, and as a bad
// stream otherwise.
class FileReadBuffer : public std::streambuf {
 public:
  // Opens `path` as FileReader::open does, at its start.
  ReadStatus open(const std::string& path);
  // The file's length when it was opened; 0 while none is open.
  std::int64_t size() const { return reader.size(); }

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char* out, std::streamsize count) override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  std::int64_t position() const;
  void moveTo(std::int64_t at);
  // Keeps the piece at `at`, the read position at its start.
  void fill(std::int64_t at);

  FileReader reader;
  std::string path;
  std::string piece;  // the bytes kept, from `start` of the file
  std::int64_t start = 0;
  std::int64_t outside = 0;  // the read position while it lies outside `piece`
};
