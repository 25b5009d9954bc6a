// A start loads a table with no row marked changed when its files are what
// a checkpoint of every row would write back, so that the first checkpoint
// writes only what changed since. Checked against the rewrite of every row
// that a start used to ask for: random tables written by the engine, some
// with one flaw of the kind the loader tolerates, then the clock moves on
// (chains change state), both sides start from copies of the directory, run
// the same commands and checkpoint. The directories must then be byte for
// byte the same, and so must the tables a second start reads from them.
//
// QUORVEL_FIRST_CHECKPOINT_TRIALS sets the number of trials (default 150).

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/database.h"
#include "language/parser.h"
#include "storage/bytes.h"
#include "storage/file_format.h"
#include "storage/file_names.h"
#include "storage/storage.h"
#include "storage/table_layout.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kDeclarations = {
    "CREATE TABLE p id ApexInt s string ( 5 ) b bool f float n int 3 w string ( 2 )",
    "CREATE TABLE c k int 3 t string ( 8 ) 2 x float 2 y bool",
};

class Commands {
 public:
  explicit Commands(unsigned seed) : random(seed) {}

  int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }
  bool chance(int percent) { return below(100) < percent; }

  std::string next() {
    const int roll = below(100);
    const std::string table = chance(50) ? "p" : "c";
    if (roll < 50) return "INSERT INTO " + table + assignments(table);
    if (roll < 70) return "UPDATE " + table + " SET" + assignments(table) + condition(table);
    if (roll < 82) return "DELETE FROM " + table + condition(table);
    if (roll < 86) return "LINK c . k --> p . id";
    if (roll < 92) return "CHECKPOINT";
    return roll < 96 ? "BEGIN" : (chance(50) ? "COMMIT" : "ROLLBACK");
  }

 private:
  template <typename T>
  const T& pick(const std::vector<T>& pool) {
    return pool[static_cast<std::size_t>(below(static_cast<int>(pool.size())))];
  }

  std::string plain(char kind) {
    switch (kind) {
      case 'i':
        return pick(std::vector<std::string>{"1", "2", "3", "-7", "40000", "05"});
      case 'f':
        return pick(std::vector<std::string>{"1.5", "-0.25", "0", "3.1415926", "1e-9"});
      case 'b':
        return pick(std::vector<std::string>{"true", "false", "1"});
      default:
        return pick(std::vector<std::string>{"'a'", "'abcde'", "''", "'#/'", "'#'", "'xy'"});
    }
  }

  // A plain value, or now and then a chain, some of them repeating.
  std::string value(char kind, bool chains) {
    std::string text = plain(kind);
    if (!chains || !chance(60)) return text;
    const int states = 2 + below(2);
    for (int i = 1; i < states; ++i) {
      text += " --> " + plain(kind) + " @ " + std::to_string(1 + below(15)) + " s";
    }
    if (chance(30)) text += " c";
    return text;
  }

  struct Slot {
    const char* name;
    char kind;  // i, f, b or s
    bool chains;
  };

  std::string assignments(const std::string& table) {
    static const std::vector<Slot> p = {{"s", 's', false},
                                        {"b", 'b', false},
                                        {"f", 'f', false},
                                        {"n", 'i', true},
                                        {"w", 's', false}};
    static const std::vector<Slot> c = {
        {"k", 'i', true}, {"t", 's', true}, {"x", 'f', true}, {"y", 'b', false}};
    std::string text;
    for (const Slot& slot : table == "p" ? p : c) {
      if (chance(70)) text += std::string(" ") + slot.name + " = " + value(slot.kind, slot.chains);
    }
    return text.empty() ? (table == "p" ? " s = 'z'" : " y = true") : text;
  }

  std::string condition(const std::string& table) {
    if (table == "p") return " WHERE id = " + std::to_string(1 + below(12));
    return " WHERE y = " + pick(std::vector<std::string>{"true", "false"});
  }

  std::mt19937 random;
};

// The files of one table, as bytes, and where its slots lie.
struct TableFiles {
  std::string data;
  std::string map;
  std::string rules;
  SlotLayout layout;
  std::int64_t header = 0;
  std::int64_t recordSize = 0;

  std::int64_t slots() const {
    return layout.size == 0 ? 0
                            : (static_cast<std::int64_t>(data.size()) - header) /
                                  static_cast<std::int64_t>(layout.size);
  }
  // The field of column `column` in slot `slot`, the flag byte included.
  char* field(std::int64_t slot, std::size_t column) {
    return data.data() + header + slot * static_cast<std::int64_t>(layout.size) +
           static_cast<std::int64_t>(layout.cells[column].offset);
  }
  // The record a temporal cell names, or -1.
  std::int32_t record(std::int64_t slot, std::size_t column) {
    const char* at = field(slot, column);
    return layout.cells[column].ruleNumbers && at[0] == 1 ? int32At(std::string_view(at + 1, 4))
                                                          : -1;
  }
};

// One flaw the loader tolerates; false when the files offer no place for it.
struct Flaw {
  const char* name;
  std::function<bool(TableFiles&, std::mt19937&)> apply;
};

// Each cell of a kind, or a rule cell, found at random.
template <typename Accept>
bool atSomeCell(TableFiles& files, std::mt19937& random, Accept accept) {
  std::vector<std::pair<std::int64_t, std::size_t>> cells;
  for (std::int64_t slot = 0; slot < files.slots(); ++slot) {
    for (std::size_t column = 0; column < files.layout.cells.size(); ++column) {
      cells.emplace_back(slot, column);
    }
  }
  std::shuffle(cells.begin(), cells.end(), random);
  for (const auto& [slot, column] : cells) {
    if (accept(slot, column)) return true;
  }
  return false;
}

void putFloat(char* at, float value) { putInt32(at, std::bit_cast<std::int32_t>(value)); }

const std::vector<Flaw>& flaws() {
  const auto plainOf = [](TableFiles& files, std::size_t column, ValueKind kind) {
    const CellSlot& cell = files.layout.cells[column];
    return cell.kind == kind;
  };
  const auto valueAt = [](TableFiles& files, std::int64_t slot, std::size_t column) {
    return files.field(slot, column) + (files.layout.cells[column].temporal ? 1 : 0);
  };
  static const std::vector<Flaw> all = {
      {"a byte after the text of a string",
       [=](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           const CellSlot& cell = files.layout.cells[column];
           if (!plainOf(files, column, ValueKind::kString) || files.record(slot, column) >= 0) {
             return false;
           }
           char* at = valueAt(files, slot, column);
           const std::size_t length = textOf(std::string_view(at, cell.width)).size();
           if (length + 1 >= cell.width) return false;
           at[cell.width - 1] = 'x';
           return true;
         });
       }},
      {"a bool byte of 2",
       [=](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           if (!plainOf(files, column, ValueKind::kBool)) return false;
           *valueAt(files, slot, column) = 2;
           return true;
         });
       }},
      {"a NaN other than the quiet one",
       [=](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           if (!plainOf(files, column, ValueKind::kFloat) || files.record(slot, column) >= 0) {
             return false;
           }
           putInt32(valueAt(files, slot, column), 0x7fc00001);
           return true;
         });
       }},
      {"a float its six decimals do not give back",
       [=](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           if (!plainOf(files, column, ValueKind::kFloat) || files.record(slot, column) >= 0) {
             return false;
           }
           putFloat(valueAt(files, slot, column), 1.0000001F);
           return true;
         });
       }},
      {"a flag byte of 2",
       [=](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           if (!files.layout.cells[column].temporal || files.record(slot, column) >= 0) {
             return false;
           }
           files.field(slot, column)[0] = 2;
           return true;
         });
       }},
      {"a short deletion map",
       [](TableFiles& files, std::mt19937&) {
         if (files.map.empty()) return false;
         files.map.pop_back();
         return true;
       }},
      {"a long deletion map",
       [](TableFiles& files, std::mt19937&) {
         if (files.map.empty()) return false;
         files.map.push_back('\0');
         return true;
       }},
      {"a deletion map byte of 2",
       [](TableFiles& files, std::mt19937& random) {
         if (files.map.empty()) return false;
         files.map[random() % files.map.size()] = 2;
         return true;
       }},
      {"a record named twice",
       [](TableFiles& files, std::mt19937& random) {
         std::int32_t first = -1;
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           const std::int32_t named = files.record(slot, column);
           if (named < 0) return false;
           if (first < 0) {
             first = named;
             return false;
           }
           putInt32(files.field(slot, column) + 1, first);
           return true;
         });
       }},
      {"a byte after a record number",
       [](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           if (files.record(slot, column) < 0 || files.layout.cells[column].width <= 4) {
             return false;
           }
           files.field(slot, column)[5] = 'x';
           return true;
         });
       }},
      {"a record without states",
       [](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           const std::int32_t named = files.record(slot, column);
           if (named < 0) return false;
           putInt32(files.rules.data() + named * files.recordSize + kStateCountOffset, 0);
           return true;
         });
       }},
      {"a byte after a state's text",
       [](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           const std::int32_t named = files.record(slot, column);
           if (named < 0) return false;
           files.rules[named * files.recordSize + kRuleHeaderBytes + kStateBytes - 1] = 'x';
           return true;
         });
       }},
      {"a record naming another row",
       [](TableFiles& files, std::mt19937& random) {
         return atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           const std::int32_t named = files.record(slot, column);
           if (named < 0) return false;
           putInt32(files.rules.data() + named * files.recordSize, static_cast<int>(slot) + 1);
           return true;
         });
       }},
      {"a rule file cut inside its last record",
       [](TableFiles& files, std::mt19937& random) {
         std::int32_t last = -1;
         atSomeCell(files, random, [&](std::int64_t slot, std::size_t column) {
           last = std::max(last, files.record(slot, column));
           return false;
         });
         if (last < 0 ||
             (last + 1) * files.recordSize != static_cast<std::int64_t>(files.rules.size())) {
           return false;
         }
         files.rules.pop_back();
         return true;
       }},
  };
  return all;
}

// Puts one flaw, chosen at random, into the files of a table that can take
// it; "" when none can.
struct Damage {
  std::string table;
  std::string flaw;
};

Damage damage(const fs::path& dir, std::mt19937& random) {
  const InDirectory in(dir);
  for (int attempt = 0; attempt < 20; ++attempt) {
    const Flaw& flaw = flaws()[random() % flaws().size()];
    const std::string name = random() % 2 == 0 ? "p" : "c";
    if (!fs::exists(dataFilePath(name))) continue;
    const Table table = Storage::loadTable(name, "");
    TableFiles files;
    files.data = readFile(dataFilePath(name));
    files.map = readFile(deletionMapPath(name));
    files.rules = readFile(ruleFilePath(name));
    files.layout = slotLayoutOf(table.columns);
    files.header = Storage::headerSize(table.columns.size());
    files.recordSize = Storage::ruleRecordSize(Storage::largestMaxStates(table.columns));
    if (!flaw.apply(files, random)) continue;
    writeFile(dataFilePath(name), files.data);
    if (fs::exists(deletionMapPath(name))) writeFile(deletionMapPath(name), files.map);
    if (fs::exists(ruleFilePath(name))) writeFile(ruleFilePath(name), files.rules);
    return {name, flaw.name};
  }
  return {};
}

// Every table as the start read it: each row's tombstone, values and chains.
std::string decoded(const Database& db) {
  std::string text;
  for (const auto& [name, table] : db.tables) {
    text += name + " key " + table.primaryKey + "\n";
    for (const Row& row : table.rows) {
      text += row.deleted ? "  x" : "  -";
      for (const Cell& cell : row.cells) {
        text += " [" + cell.value;
        if (cell.rule) {
          text += " @" + std::to_string(cell.rule->insTime) + "/" +
                  std::to_string(cell.rule->preCalc) + (cell.rule->isCycle ? " c" : "");
          for (const TempState& state : cell.rule->states) {
            text += " " + state.value + ":" + std::to_string(state.duration);
          }
        }
        text += "]";
      }
      text += "\n";
    }
  }
  return text;
}

struct Engine {
  std::unique_ptr<Database> db = std::make_unique<Database>();
  std::unique_ptr<Parser> parser = std::make_unique<Parser>(db.get());

  explicit Engine(const fs::path& dir) {
    const InDirectory in(dir);
    ::testing::internal::CaptureStdout();
    db->loadFromDisk();
    ::testing::internal::GetCapturedStdout();
  }

  std::string run(const fs::path& dir, const std::string& command) {
    const InDirectory in(dir);
    const ResultSet result = parser->handleCommand(command);
    return (result.success ? "ok " : "failed ") + result.message;
  }

  void stop(const fs::path& dir) {
    const InDirectory in(dir);
    db->checkpoint();
  }
};

class FirstCheckpointTest : public TempDirTest {
 protected:
  ScopedClock clock{2'000'000};
};

TEST_F(FirstCheckpointTest, WritesWhatARewriteOfEveryRowWouldWrite) {
  const char* configured = std::getenv("QUORVEL_FIRST_CHECKPOINT_TRIALS");
  const unsigned trials = configured == nullptr ? 150 : std::strtoul(configured, nullptr, 10);
  int unflagged = 0;
  std::map<std::string, int> met;  // trials by flaw
  for (unsigned seed = 1; seed <= trials; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const fs::path base = dir / ("seed-" + std::to_string(seed));
    fs::create_directories(base / "written");
    Commands commands(seed);
    std::mt19937 random(seed);
    std::int64_t now = 2'000'000;
    clock.set(now);
    {
      Engine engine(base / "written");
      for (const std::string& declaration : kDeclarations)
        engine.run(base / "written", declaration);
      const int count = 10 + commands.below(40);
      for (int i = 0; i < count; ++i) {
        if (commands.chance(15)) clock.set(now += 1 + commands.below(5));
        engine.run(base / "written", commands.next());
      }
      if (engine.db->inTransaction) engine.run(base / "written", "COMMIT");
      engine.stop(base / "written");
      // Some commands only the log holds: the start replays them over the
      // loaded tables. None writes the files, so that those stay as loaded.
      const int logged = commands.chance(50) ? commands.below(5) : 0;
      for (int i = 0; i < logged; ++i) {
        const std::string command = commands.next();
        if (command != "CHECKPOINT" && command.rfind("LINK", 0) != 0) {
          engine.run(base / "written", command);
        }
      }
      if (engine.db->inTransaction) engine.run(base / "written", "COMMIT");
    }
    const Damage damaged = commands.chance(60) ? damage(base / "written", random) : Damage{};
    SCOPED_TRACE(damaged.flaw.empty() ? "as the engine wrote them"
                                      : damaged.table + ": " + damaged.flaw);
    ++met[damaged.flaw.empty() ? "none" : damaged.flaw];
    clock.set(now += commands.below(40));  // chains move on before the start

    std::vector<std::string> after;
    const int later = commands.below(4);
    for (int i = 0; i < later; ++i) after.push_back(commands.next());
    std::map<std::string, std::string> directories[2];
    std::string tables[2];
    for (const bool rewriteAll : {false, true}) {
      const fs::path side = base / (rewriteAll ? "rewritten" : "loaded");
      fs::copy(base / "written", side, fs::copy_options::recursive);
      {
        Engine engine(side);
        if (rewriteAll) {
          for (auto& [name, table] : engine.db->tables) table.changes = ChangedRows{};
        } else {
          // Only the damaged table, and all of it, is marked.
          for (const auto& [name, table] : engine.db->tables) {
            EXPECT_EQ(table.changes.all, name == damaged.table) << name;
            unflagged += table.changes.all ? 0 : 1;
          }
        }
        for (const std::string& command : after) engine.run(side, command);
        if (engine.db->inTransaction) engine.run(side, "COMMIT");
        engine.stop(side);
      }
      {
        const InDirectory in(side);
        for (const auto& entry : fs::directory_iterator(side)) {
          directories[rewriteAll][entry.path().filename().string()] = readFile(entry.path());
        }
      }
      clock.set(now + 100);
      tables[rewriteAll] = decoded(*Engine(side).db);
      clock.set(now);
    }
    EXPECT_EQ(directories[0], directories[1]);
    EXPECT_EQ(tables[0], tables[1]);
    if (HasFailure()) break;
    fs::remove_all(base);
  }
  std::cout << trials << " trials; tables loaded without marks: " << unflagged << "; flaws:\n";
  for (const auto& [name, count] : met) std::cout << "  " << count << "  " << name << "\n";
  EXPECT_GT(unflagged, 0) << "no start loaded a table without marks";
}

}  // namespace
