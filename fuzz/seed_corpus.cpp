// Writes the seed corpora: fuzz/corpus/commands/ from command scripts, and
// fuzz/corpus/startup/ from the files the engine itself writes when it runs
// such scripts. Run from anywhere with the corpus directory as argument.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "fuzz_support.h"
#include "language/parser.h"
#include "model/clock.h"

namespace fs = std::filesystem;

namespace {

// Each script one seed of the command target, and run on an empty directory
// the files of one seed of the start-up target.
const std::vector<std::vector<std::string>>& scripts() {
  static const std::vector<std::vector<std::string>> all{
      {
          "INSERT INTO p name = 'cy' score = 3.25 ok = TRUE",
          "UPDATE p SET name = 'dee' WHERE id = 2",
          "SELECT * FROM p WHERE score > 0 && ok = true",
          "DELETE FROM t WHERE pid = 2",
          "SELECT * FROM t JOIN p ON t.pid = p.id",
      },
      {
          "BEGIN",
          "INSERT INTO t pid = 2 note = 'in' state = 'a' --> 'b' @ 2 s",
          "UPDATE t SET level = 5 WHERE id = 1",
          "ROLLBACK",
          "BEGIN",
          "DELETE FROM u",
          "CHECKPOINT",
          "COMMIT",
          "SELECT * FROM u",
      },
      {
          "DROP TABLE u",
          "CREATE TABLE u id ApexInt tag string ( 4 ) 2",
          "INSERT INTO u tag = 'abcdef' --> 'g' @ 1 s",
          "LINK u . id --> p . id",
          "DELETE FROM p WHERE id = 1",
          "LISTEN u . tag --> 'http://u' WHERE id > 0",
          "INSERT INTO u tag = 'h'",
          "CHECKPOINT",
      },
      {
          "CREATE TABLE t id ApexInt",
          "INSERT INTO t VALUES (1)",
          "INSERT INTO t id = 2147483648",
          "INSERT INTO nosuch a = 1",
          "SELECT * FROM t WHERE",
          "UPDATE t SET note = 'x' --> 'y' @ 1 s",
          "DROP TABLE p",
          "LINK a . b --> c . d",
      },
  };
  return all;
}

// Scripts run on an empty directory to leave files for the start-up seeds:
// the table "t" with rows on disk and in the log, temporal chains, a link,
// a listener and webhook tasks.
const std::vector<std::vector<std::string>>& startupScripts() {
  static const std::vector<std::vector<std::string>> all{
      {
          "CREATE TABLE t id ApexInt pid int note string ( 6 ) ok bool f float",
          "INSERT INTO t pid = 1 note = 'one' ok = true f = 0.5",
          "INSERT INTO t pid = 2 note = 'twotwo' ok = false f = -3",
          "CHECKPOINT",
          "DELETE FROM t WHERE id = 1",
          "INSERT INTO t pid = 3 note = 'x'",
      },
      {
          "CREATE TABLE t id ApexInt pid int state string ( 8 ) 3 level int 2",
          "INSERT INTO t pid = 1 state = 'red' --> 'green' @ 30 s --> 'amber' @ 5 s c",
          "INSERT INTO t pid = 1 level = 1 --> 2 @ 10 s",
          "LINK t . pid --> t . id",
          "LISTEN t . state --> 'http://hook' WHERE id > 0",
          "INSERT INTO t pid = 2 state = 'blue'",
          "UPDATE t SET level = 7 WHERE id = 2",
      },
      {
          "CREATE TABLE t id ApexInt pid int",
          "CREATE TABLE p id ApexInt name string",
          "INSERT INTO p name = 'ann'",
          "INSERT INTO t pid = 1",
          "BEGIN",
          "INSERT INTO t pid = 1",
          "COMMIT",
      },
      {
          "CREATE TABLE t s string 2 b int 1",
          "INSERT INTO t s = 'a' --> 'b' @ 1 s b = 4",
          "CHECKPOINT",
          "UPDATE t SET s = 'z'",
      },
  };
  return all;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

void writeSeed(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

std::string fileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `script` on an empty directory and packs the files it left.
std::string startupSeed(const std::vector<std::string>& script) {
  resetFuzzState();
  {
    Database db;
    Parser parser(&db);
    std::int64_t time = kFuzzEpoch;
    for (const std::string& command : script) {
      setClockForTesting(time += 3);
      const ResultSet result = parser.handleCommand(command);
      if (!result.success) {
        std::fprintf(stderr, "seed script failed: %s: %s\n", command.c_str(),
                     result.message.c_str());
        std::exit(1);
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> contents;
  for (const std::string& name : startupFileNames()) {
    if (fs::exists(name)) contents.emplace_back(name, fileBytes(name));
  }
  // The engine names the relation file after the link; the target gives it
  // one fixed name, which the loader never reads.
  for (const auto& entry : fs::directory_iterator(".")) {
    if (entry.path().extension() == ".rel") {
      contents.emplace_back(startupFileNames()[3], fileBytes(entry.path().string()));
    }
  }
  return packStartupInput(contents);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path root = fs::absolute(argv[1]);
  fs::create_directories(root / "commands");
  fs::create_directories(root / "startup");
  enterFuzzDirectory();
  int n = 0;
  for (const auto& script : scripts()) {
    writeSeed(root / "commands" / ("seed-" + std::to_string(++n)), joined(script));
  }
  n = 0;
  for (const auto& script : startupScripts()) {
    writeSeed(root / "startup" / ("seed-" + std::to_string(++n)), startupSeed(script));
  }
  writeSeed(root / "startup" / "seed-empty", packStartupInput({}));
  return 0;
}
