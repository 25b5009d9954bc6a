#include <ostream>
#include <string>

#include "storage/bytes.h"
#include "storage/storage.h"

namespace {

std::size_t fieldWidth(int width) { return width > 0 ? static_cast<std::size_t>(width) : 0; }

void writeBytes(std::ostream& out, const std::string& bytes) {
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

void writeWithPadding(std::ostream& out, const std::string& text, int width) {
  std::string field;
  appendWithPadding(field, text, fieldWidth(width));
  writeBytes(out, field);
}

void writePad(std::ostream& out, const std::string& text, int width) {
  std::string field;
  appendPadded(field, text, fieldWidth(width));
  writeBytes(out, field);
}
