#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "model/stored_form.h"
#include "support/file_sweep.h"
#include "support/rollback_state.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

namespace fs = std::filesystem;

// Everything a link may change on a parent: its key, key position and index.
struct KeyState {
  std::string primaryKey;
  std::int32_t pkIndex;
  std::string order;
  IndexEntries entries;

  explicit KeyState(const Table& table)
      : primaryKey(table.primaryKey),
        pkIndex(table.pkIndex),
        order(table.pkMap.key_comp().type),
        entries(indexEntries(table.pkMap)) {}
  bool operator==(const KeyState&) const = default;
};

// Every back-reference of a table: (row, child table, child column) -> positions.
using BackReferences = std::map<std::tuple<int, std::string, std::string>, std::set<std::int32_t>>;

BackReferences backReferences(const Table& table) {
  BackReferences all;
  for (std::size_t i = 0; i < table.rows.size(); ++i) {
    for (const auto& [relation, positions] : table.rows[i].links) {
      all[{static_cast<int>(i), relation.table, relation.column}] = positions;
    }
  }
  return all;
}

std::string field(const std::string& name) { return name + std::string(15 - name.size(), '\0'); }

// Parent p (id int, code string, f float, b bool) and child c (cid ApexInt,
// pid int, pcode string with state chains, f float, b bool).
class ForeignKeyTest : public TempDirTest {
 public:  // the case tables below prepare the fixture through lambdas
  void SetUp() override {
    TempDirTest::SetUp();
    addTables(db);
  }

  static void addTables(Database& database) {
    database.tables["p"] = makeTable("p", {makeColumn("id", "int"), makeColumn("code", "string"),
                                           makeColumn("f", "float"), makeColumn("b", "bool")});
    database.tables["c"] = makeTable(
        "c", {makeColumn("cid", "ApexInt"), makeColumn("pid", "int"),
              makeColumn("pcode", "string", 3), makeColumn("f", "float"), makeColumn("b", "bool")});
  }

  Table& parent() { return db.tables.at("p"); }
  Table& child() { return db.tables.at("c"); }

  std::int32_t addParent(const std::string& id, const std::string& code = "x") {
    appendRow(parent(), {id, code, "1.5", "true"});
    return lastPosition(parent());
  }
  std::int32_t addChild(const std::string& pid, const std::string& pcode = "x") {
    appendRow(child(), {std::to_string(child().rows.size() + 1), pid, pcode, "1.5", "true"});
    return lastPosition(child());
  }
  void setChain(std::int32_t childRow, const std::vector<TempState>& states, bool isCycle) {
    child().rows[static_cast<std::size_t>(childRow)].cells[2].rule =
        makeRule(states, 1000, isCycle);
  }

  Database db;
};

TEST_F(ForeignKeyTest, RefusedLinksChangeNothing) {
  addParent("1");
  addChild("1");
  struct Case {
    const char* shows;
    std::vector<std::string> link;  // child, its column, parent, its column
    std::string message;
  };
  const std::string volatileKeys =
      "Error: Floats and Booleans are volatile and cannot be used as Primary or Foreign Keys.";
  const std::vector<Case> cases = {
      {"missing child table", {"x", "pid", "p", "id"}, "None existant table"},
      {"missing parent table", {"c", "pid", "x", "id"}, "None existant table"},
      {"missing child column", {"c", "nope", "p", "id"}, "Key does not exist"},
      {"missing parent column", {"c", "pid", "p", "nope"}, "Key does not exist"},
      {"int to string",
       {"c", "pid", "p", "code"},
       "Type mismatch: Cannot link different data types"},
      {"float to int", {"c", "f", "p", "id"}, "Type mismatch: Cannot link different data types"},
      {"float to float", {"c", "f", "p", "f"}, volatileKeys},
      {"bool to bool", {"c", "b", "p", "b"}, volatileKeys},
  };
  const KeyState before(parent());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(thrownMessage([&] { db.link(c.link[0], c.link[1], c.link[2], c.link[3]); }),
              c.message);
    EXPECT_EQ(KeyState(parent()), before);
    EXPECT_TRUE(child().parents.empty());
    EXPECT_TRUE(parent().children.empty());
    EXPECT_TRUE(backReferences(parent()).empty());
    EXPECT_TRUE(fileNames().empty());
  }
}

// Links that would leave a constraint unkept: a key index over values that
// move with the clock, and a second column of one child that its parent
// would never check. Each refusal comes after "Can't have two primary keys
// at once", the state limit first, and the check alone refuses alike.
TEST_F(ForeignKeyTest, LinksThatCouldNotBeKeptAreRefused) {
  struct Case {
    const char* shows;
    std::function<void(Database&)> prepare;
    std::vector<std::string> link;  // child, its column, parent, its column
    std::string message;
  };
  const std::string chains = "Primary key column cannot hold state chains: lim";
  const std::string twice = "Table already linked to this parent through another column";
  const std::vector<Case> cases = {
      {"a key column with a state limit", [](Database&) {}, {"r", "a", "q", "lim"}, chains},
      {"a self-link to such a column", [](Database&) {}, {"q", "id", "q", "lim"}, chains},
      {"two primary keys first",
       [](Database& d) { d.link("r", "a", "q", "id"); },
       {"r", "b", "q", "lim"},
       "Can't have two primary keys at once"},
      {"a second column of the same child",
       [](Database& d) { d.link("r", "a", "q", "id"); },
       {"r", "b", "q", "id"},
       twice},
      {"a second column of a table linked to itself",
       [](Database& d) { d.link("q", "up", "q", "id"); },
       {"q", "id", "q", "id"},
       twice},
      {"the state limit before the second column",
       [](Database& d) { d.tables.at("q").children["r"] = "a"; },
       {"r", "b", "q", "lim"},
       chains},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    for (const std::string& name : fileNames()) fs::remove(dir / name);
    Database database;
    database.tables["q"] = makeTable(
        "q", {makeColumn("id", "int"), makeColumn("lim", "int", 1), makeColumn("up", "int")});
    database.tables["r"] = makeTable("r", {makeColumn("a", "int"), makeColumn("b", "int")});
    appendRow(database.tables.at("q"), {"1", "1", "1"});
    appendRow(database.tables.at("r"), {"1", "1"});
    c.prepare(database);
    const std::string before = wholeState(database);
    const auto files = directoryContents();
    EXPECT_EQ(
        thrownMessage([&] { database.checkLink(c.link[0], c.link[1], c.link[2], c.link[3]); }),
        c.message);
    EXPECT_EQ(thrownMessage([&] { database.link(c.link[0], c.link[1], c.link[2], c.link[3]); }),
              c.message);
    EXPECT_EQ(wholeState(database), before);
    EXPECT_EQ(directoryContents(), files);
  }
}

// Nothing on disk records the order of the links: a child's parents are
// checked in byte order of their names, so the first refusal is the same
// whichever link came first.
TEST_F(ForeignKeyTest, ParentsAreCheckedInTheOrderOfTheirNames) {
  for (const bool qFirst : {true, false}) {
    SCOPED_TRACE(qFirst ? "q linked first" : "p linked first");
    Database database;
    database.tables["p"] = makeTable("p", {makeColumn("k", "int")});  // empty
    database.tables["q"] = makeTable("q", {makeColumn("k", "int")});
    database.tables["c"] = makeTable("c", {makeColumn("x", "int"), makeColumn("y", "int")});
    appendRow(database.tables.at("q"), {"5"});
    if (qFirst) database.link("c", "x", "q", "k");
    database.link("c", "y", "p", "k");
    if (!qFirst) database.link("c", "x", "q", "k");
    database.link("c", "y", "p", "k");  // a repeated link stands again at its place
    EXPECT_EQ(database.tables.at("c").parents, (std::vector<std::string>{"p", "p", "q"}));
    appendRow(database.tables.at("c"), {"0", "0"});
    EXPECT_EQ(
        thrownMessage([&] { database.linkRow(&database.tables.at("c").rows.back(), "c", true); }),
        "Primary table is empty");
  }
}

TEST_F(ForeignKeyTest, LinkRecordsBackReferencesAndTheRelationFile) {
  addParent("1");
  addParent("2");
  addParent("3");
  addChild("2");
  addChild("2");
  markDeleted(child(), addChild("9"));  // tombstones are not looked at
  addChild("3");
  db.link("c", "pid", "p", "id");

  EXPECT_EQ(parent().primaryKey, "id");
  EXPECT_EQ(parent().pkIndex, 0);
  EXPECT_EQ(KeyState(parent()).entries,
            (std::vector<std::pair<std::string, std::int32_t>>{{"1", 0}, {"2", 1}, {"3", 2}}));
  EXPECT_EQ(backReferences(parent()),
            (BackReferences{{{1, "c", "pid"}, {0, 1}}, {{2, "c", "pid"}, {3}}}));
  EXPECT_FALSE(parent().rows[0].isReferenced);
  EXPECT_TRUE(parent().rows[1].isReferenced);
  EXPECT_EQ(child().parents, std::vector<std::string>{"p"});
  EXPECT_EQ(parent().children, (std::unordered_map<std::string, std::string>{{"c", "pid"}}));
  const std::string relation = readFile(dir / "c-pid_p-id.rel");
  EXPECT_EQ(relation.substr(0, 60), field("c") + field("p") + field("pid") + field("id"));
}

TEST_F(ForeignKeyTest, IntAndIdentityColumnsLinkBothWays) {
  struct Case {
    const char* shows;
    std::string childType;
    std::string parentType;
  };
  const std::vector<Case> cases = {{"int to ApexInt", "int", "ApexInt"},
                                   {"ApexInt to int", "ApexInt", "int"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    Database database;
    database.tables["q"] = makeTable("q", {makeColumn("key", c.parentType)});
    database.tables["r"] = makeTable("r", {makeColumn("k", c.childType)});
    appendRow(database.tables.at("q"), {"1"});
    appendRow(database.tables.at("q"), {"2"});
    appendRow(database.tables.at("r"), {"2"});
    database.link("r", "k", "q", "key");
    EXPECT_EQ(database.tables.at("q").pkMap.key_comp().type, c.parentType);
    EXPECT_TRUE(database.tables.at("q").rows[1].isReferenced);
  }
}

TEST_F(ForeignKeyTest, SecondKeyColumnIsRefusedAndTheSameColumnRebuilds) {
  addParent("1", "a");
  addChild("1", "a");
  db.link("c", "pid", "p", "id");
  const KeyState linked(parent());
  EXPECT_EQ(thrownMessage([&] { db.link("c", "pcode", "p", "code"); }),
            "Can't have two primary keys at once");
  EXPECT_EQ(KeyState(parent()), linked);

  const std::int32_t later = addParent("4");  // not in the index yet
  addChild("4");
  db.link("c", "pid", "p", "id");
  EXPECT_EQ(parent().pkMap.at("4"), later);
  EXPECT_EQ(parent().rows[static_cast<std::size_t>(later)].links.at({"c", "pid"}),
            (std::set<std::int32_t>{1}));
  EXPECT_EQ(child().parents, (std::vector<std::string>{"p", "p"}));
  EXPECT_EQ(parent().children.size(), 1u);
}

TEST_F(ForeignKeyTest, FailedLinkPutsTheParentKeyBack) {
  struct Case {
    const char* shows;
    std::function<void(ForeignKeyTest&)> prepare;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a child key the parent lacks", [](ForeignKeyTest& t) { t.addChild("9"); },
       "CRITICAL CORRUPTION: Missing active parent key: 9"},
      {"a parent tombstone never satisfies a key",
       [](ForeignKeyTest& t) {
         markDeleted(t.parent(), t.addParent("3"));
         t.addChild("3");
       },
       "CRITICAL CORRUPTION: Missing active parent key: 3"},
      {"two live parent rows share a key", [](ForeignKeyTest& t) { t.addParent("1"); },
       "Cannot create Primary Key: Duplicate value '1' already exists in column"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.tables.clear();
    addTables(db);
    // The parent's key from an earlier link, with an index that a rebuild
    // would change: the row with key 5 came later.
    addParent("1");
    addChild("1");
    db.link("c", "pid", "p", "id");
    addParent("5");
    c.prepare(*this);
    const KeyState before(parent());
    const BackReferences references = backReferences(parent());
    EXPECT_EQ(thrownMessage([&] { db.link("c", "pid", "p", "id"); }), c.message);
    EXPECT_EQ(KeyState(parent()), before);
    EXPECT_EQ(backReferences(parent()), references);
    EXPECT_EQ(child().parents.size(), 1u);
  }
}

TEST_F(ForeignKeyTest, LinkNeedsTheStatesStillToComeAndInsertNeedsEveryState) {
  ScopedClock clock(1007);  // the chains below show b
  const std::vector<TempState> chain{{"a", 5}, {"b", 10}, {"c", 10}};
  addParent("1", "b");
  addParent("2", "c");
  setChain(addChild("1", "a"), chain, false);
  db.link("c", "pcode", "p", "code");
  EXPECT_EQ(backReferences(parent()),
            (BackReferences{{{0, "c", "pcode"}, {0}}, {{1, "c", "pcode"}, {0}}}));

  const BackReferences linked = backReferences(parent());
  setChain(addChild("1", "a"), chain, false);
  EXPECT_EQ(thrownMessage([&] { db.linkRow(&child().rows.back(), "c", true); }),
            "Primary table is missing required future key: a");
  EXPECT_EQ(child().rows.size(), 1u);
  EXPECT_EQ(backReferences(parent()), linked);

  setChain(0, chain, true);  // a repeating chain comes back to a
  EXPECT_EQ(thrownMessage([&] { db.link("c", "pcode", "p", "code"); }),
            "CRITICAL CORRUPTION: Missing active parent key: a");
}

// The empty key is a key like any other, for a link as for an insert, so
// that the parent rows it protects are the same live and after a start
// makes the link again; a link cuts a key at its first NUL byte.
TEST_F(ForeignKeyTest, LinkNeedsAnEmptyKeyAndCutsAtNul) {
  addParent("1", "b");
  addChild("1", "");
  addChild("1", std::string("b\0tail", 6));
  const KeyState before(parent());
  EXPECT_EQ(thrownMessage([&] { db.link("c", "pcode", "p", "code"); }),
            "CRITICAL CORRUPTION: Missing active parent key: ");
  EXPECT_EQ(KeyState(parent()), before);
  EXPECT_TRUE(backReferences(parent()).empty());

  addParent("2", "");
  db.link("c", "pcode", "p", "code");
  EXPECT_EQ(backReferences(parent()),
            (BackReferences{{{0, "c", "pcode"}, {1}}, {{1, "c", "pcode"}, {0}}}));

  addChild("1", "");  // an insert looks the empty text up as well
  db.linkRow(&child().rows.back(), "c", true);
  EXPECT_EQ(backReferences(parent()),
            (BackReferences{{{0, "c", "pcode"}, {1}}, {{1, "c", "pcode"}, {0, 2}}}));
}

TEST_F(ForeignKeyTest, LinkRowFailures) {
  struct Case {
    const char* shows;
    std::function<void(ForeignKeyTest&)> prepare;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a parent without rows", [](ForeignKeyTest&) {}, "Primary table is empty"},
      {"a parent of tombstones only",
       [](ForeignKeyTest& t) { markDeleted(t.parent(), t.addParent("7")); },
       "Primary table is missing required future key: 7"},
      {"a parent that was dropped", [](ForeignKeyTest& t) { t.child().parents = {"gone"}; },
       "Primary table is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.tables.clear();
    addTables(db);
    db.link("c", "pid", "p", "id");
    c.prepare(*this);
    for (const bool isInsert : {true, false}) {
      addChild("7");
      EXPECT_EQ(thrownMessage([&] { db.linkRow(&child().rows.back(), "c", isInsert); }), c.message);
      EXPECT_EQ(child().rows.size(), isInsert ? 0u : 1u);
    }
  }
}

TEST_F(ForeignKeyTest, FailedInsertLeavesNoBackReference) {
  addParent("1");
  db.link("c", "pid", "p", "id");
  const std::int32_t row = addChild("1");
  child().rows[static_cast<std::size_t>(row)].cells[1].rule =
      makeRule({{"1", 5}, {"7", 5}}, 1000, false);  // 1 is found, 7 is not
  EXPECT_EQ(thrownMessage([&] { db.linkRow(&child().rows.back(), "c", true); }),
            "Primary table is missing required future key: 7");
  EXPECT_TRUE(child().rows.empty());
  EXPECT_TRUE(backReferences(parent()).empty());
  EXPECT_FALSE(parent().rows[0].isReferenced);

  addParent("7");
  db.link("c", "pid", "p", "id");
  addChild("1");
  child().rows.back().cells[1].rule = makeRule({{"1", 5}, {"7", 5}}, 1000, false);
  db.linkRow(&child().rows.back(), "c", true);
  EXPECT_EQ(backReferences(parent()),
            (BackReferences{{{0, "c", "pid"}, {0}}, {{1, "c", "pid"}, {0}}}));
  EXPECT_TRUE(parent().rows[1].isReferenced);
}

TEST_F(ForeignKeyTest, RestrictionFollowsTheStatesAChainCanStillReach) {
  ScopedClock clock(1007);
  struct Case {
    const char* shows;
    std::string plain;
    std::optional<std::vector<TempState>> chain;  // none: a plain value
    bool isCycle;
    bool restricted;
  };
  using Chain = std::vector<TempState>;
  const std::vector<Case> cases = {
      {"plain value showing the key", "x", std::nullopt, false, true},
      {"plain value showing another key", "y", std::nullopt, false, false},
      {"a chain that has passed the key", "x", Chain{{"x", 5}, {"y", 10}, {"y", 10}}, false, false},
      {"a repeating chain comes back", "x", Chain{{"x", 5}, {"y", 10}, {"y", 10}}, true, true},
      {"a chain that will reach the key", "y", Chain{{"y", 5}, {"z", 5}, {"x", 5}}, false, true},
      {"a chain without states never refers", "x", Chain{}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    db.tables.clear();
    addTables(db);
    addParent("1", "x");
    const std::int32_t row = addChild("1", c.plain);
    if (c.chain) setChain(row, *c.chain, c.isCycle);
    Row& parentRow = parent().rows[0];
    parentRow.links[{"c", "pcode"}] = {row};
    parentRow.isReferenced = true;
    EXPECT_EQ(db.isActivelyRestricted(&parentRow, "x"), c.restricted);
    EXPECT_EQ(parentRow.isReferenced, c.restricted);
    EXPECT_EQ(parentRow.links.size(), c.restricted ? 1u : 0u);
  }
}

TEST_F(ForeignKeyTest, RestrictionPrunesStaleBackReferences) {
  addParent("1", "x");
  markDeleted(child(), addChild("1", "x"));  // 0: a tombstone
  addChild("1", "y");                        // 1: shows another key
  addChild("1", "x");                        // 2: still refers
  db.tables["short"] = makeTable("short", {makeColumn("other", "string")});
  appendRow(db.tables.at("short"), {"x"});
  Row& parentRow = parent().rows[0];
  parentRow.isReferenced = true;
  parentRow.links[{"c", "pcode"}] = {0, 1, 2, 99};  // 99: past the end of the child
  parentRow.links[{"gone", "fk"}] = {0};            // a dropped child table
  parentRow.links[{"short", "fk"}] = {0};           // the row has no such cell: kept

  EXPECT_TRUE(db.isActivelyRestricted(&parentRow, "x"));
  EXPECT_EQ(backReferences(parent()),
            (BackReferences{{{0, "c", "pcode"}, {2}}, {{0, "short", "fk"}, {0}}}));
  EXPECT_TRUE(parentRow.isReferenced);

  markDeleted(child(), 2);
  EXPECT_FALSE(db.isActivelyRestricted(&parentRow, "x"));
  EXPECT_EQ(backReferences(parent()), (BackReferences{{{0, "short", "fk"}, {0}}}));
  EXPECT_FALSE(parentRow.isReferenced);
}

TEST_F(ForeignKeyTest, LinkIsRefusedInsideATransaction) {
  addParent("1");
  addChild("1");
  const KeyState before(parent());
  db.beginTransaction();
  EXPECT_EQ(thrownMessage([&] { db.link("c", "pid", "p", "id"); }),
            "Cannot link tables while a transaction is active");
  EXPECT_EQ(KeyState(parent()), before);
  EXPECT_TRUE(child().parents.empty());
  EXPECT_TRUE(backReferences(parent()).empty());
  EXPECT_TRUE(fileNames().empty());
  db.rollbackTransaction();
  db.link("c", "pid", "p", "id");
}

// A power cut at any step of a LINK: a start finds the tables unlinked, or
// linked with every back-reference; once the link has returned, linked.
TEST_F(ForeignKeyTest, APowerCutLeavesTheLinkMadeOrNot) {
  std::unique_ptr<Database> run;
  const PowerCutStates states = sweepPowerCuts({
      [&] {
        run = std::make_unique<Database>();
        run->createTable("room", {makeColumn("rid", "ApexInt"), makeColumn("name", "string")});
        run->createTable("lamp", {makeColumn("lid", "ApexInt"), makeColumn("room", "int")});
        for (const char* id : {"1", "2"}) appendRow(run->getTable("room"), {id, "r"});
        for (const char* room : {"2", "1", "2"}) {
          appendRow(run->getTable("lamp"),
                    {std::to_string(run->getTable("lamp").rows.size() + 1), room});
        }
        run->checkpoint();
      },
      [] {},
      [&] { run->link("lamp", "room", "room", "rid"); },
  });
  EXPECT_EQ(states.before.find("children lamp.room"), std::string::npos) << states.before;
  EXPECT_NE(states.after.find("children lamp.room"), std::string::npos) << states.after;
  EXPECT_NE(states.after.find("lamp.room<-0,2,"), std::string::npos) << states.after;
}

// A child's parent is found through the parent's index entry; it must be
// the row the general selection of that key finds, the way every look-up
// used to go. Random parents with keys the index orders oddly ("05" beside
// "5", texts in number columns, keys past the int range, the empty key),
// tombstones the index still names, and a link made at the start, which
// keeps the index the loader built, against one that builds it again.
class ParentLookupTest : public TempDirTest {
 protected:
  struct Trial {
    std::string parentType;
    std::vector<std::pair<std::string, bool>> parents;   // key, deleted
    std::vector<std::pair<std::string, bool>> children;  // key, deleted
    std::vector<std::string> inserted;                   // child keys inserted after the link
    std::vector<std::size_t> deletedAfter;               // parent rows deleted after the link
  };

  static Trial trial(std::mt19937& random) {
    static const std::vector<std::string> keys = {"1",
                                                  "2",
                                                  "05",
                                                  "5",
                                                  " 5",
                                                  "+5",
                                                  "-0",
                                                  "0",
                                                  "abc",
                                                  "",
                                                  "2147483648",
                                                  "-2147483649",
                                                  "#/#?",
                                                  "5abc",
                                                  "a",
                                                  "b",
                                                  std::string("a\0b", 3)};
    const auto pick = [&] { return keys[random() % keys.size()]; };
    Trial t;
    t.parentType = std::vector<std::string>{"int", "ApexInt", "string"}[random() % 3];
    const std::size_t parents = 1 + random() % 8;
    for (std::size_t i = 0; i < parents; ++i) {
      // An identity column numbers its rows.
      t.parents.emplace_back(t.parentType == "ApexInt" ? std::to_string(i + 1) : pick(),
                             random() % 5 == 0);
    }
    // Mostly a parent's key, so that links and inserts succeed often.
    const auto pickKey = [&] {
      return random() % 3 == 0 ? pick() : t.parents[random() % parents].first;
    };
    for (std::size_t i = random() % 8; i > 0; --i) {
      t.children.emplace_back(pickKey(), random() % 6 == 0);
    }
    for (std::size_t i = random() % 6; i > 0; --i) t.inserted.push_back(pickKey());
    for (std::size_t i = random() % 3; i > 0; --i) t.deletedAfter.push_back(random() % parents);
    return t;
  }

  // The parent a key finds through the general selection, by position; -1
  // for none. The equality is written twice, as one block, since a lone
  // equality on the key takes the very probe under test.
  static std::int32_t selectedParent(Database& db, const std::string& key) {
    Table& parent = db.tables.at("p");
    const Condition equality{"", parent.primaryKey, key, "=", 'o'};
    Condition again = equality;
    again.gate = 'a';
    const std::vector<Row*> found = db.getRequestedRows({equality, again}, parent);
    return found.empty() ? -1 : static_cast<std::int32_t>(found.front() - parent.rows.data());
  }

  // The tables of `t`, the parent keyed as a start would key it; false when
  // its keys collide.
  static bool build(Database& db, const Trial& t) {
    const std::string childType = t.parentType == "string" ? "string" : "int";
    db.tables["p"] = makeTable("p", {makeColumn("k", t.parentType), makeColumn("v", "int")});
    db.tables["c"] = makeTable("c", {makeColumn("fk", childType)});
    const auto fill = [](Table& table, const std::vector<std::pair<std::string, bool>>& rows) {
      for (const auto& [key, deleted] : rows) {
        appendRow(table, {key, "7"}).deleted = deleted;
        if (deleted) table.deletedRows.insert(lastPosition(table));
      }
    };
    fill(db.tables.at("p"), t.parents);
    fill(db.tables.at("c"), t.children);
    if (t.parentType != "ApexInt") return true;
    try {
      db.tables.at("p").setUpPrimaryKeyMap("k");
    } catch (const std::runtime_error&) {
      return false;
    }
    return true;
  }

  // The message of the link, "" when it is made.
  static std::string outcome(Database& db, bool atStart) {
    std::string text = thrownMessage([&] {
      if (atStart) {
        db.linkAtStart("c", "fk", "p", "k");
      } else {
        db.link("c", "fk", "p", "k");
      }
    });
    return text;
  }
};

TEST_F(ParentLookupTest, TheIndexFindsTheRowTheSelectionFinds) {
  int linked = 0;
  int found = 0;
  for (unsigned seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Trial t = trial(random);
    // The expected outcome, from the selection over the index a link sets up.
    Database reference;
    if (!build(reference, t)) continue;
    Table& parent = reference.tables.at("p");
    try {
      parent.setUpPrimaryKeyMap("k");
    } catch (const std::runtime_error&) {
      continue;  // keys a link refuses as duplicates
    }
    std::string expected;
    BackReferences expectedLinks;
    const Table& child = reference.tables.at("c");
    for (std::size_t position = 0; position < child.rows.size() && expected.empty(); ++position) {
      if (child.rows[position].deleted) continue;
      const std::string& text = child.rows[position].cells[0].getVal();
      const std::string key = text.substr(0, text.find('\0'));
      const std::int32_t at = selectedParent(reference, key);
      if (at < 0) expected = "CRITICAL CORRUPTION: Missing active parent key: " + key;
      expectedLinks[{at, "c", "fk"}].insert(static_cast<std::int32_t>(position));
    }
    if (!expected.empty()) expectedLinks.clear();

    for (const bool atStart : {false, true}) {
      SCOPED_TRACE(atStart ? "at the start" : "by LINK");
      Database db;
      build(db, t);
      ASSERT_EQ(outcome(db, atStart), expected);
      if (!expected.empty()) continue;
      EXPECT_EQ(backReferences(db.tables.at("p")), expectedLinks);
      ++linked;
      // Tombstones the index still names, then inserts that look their
      // parents up through it.
      for (const std::size_t row : t.deletedAfter) {
        std::vector<Condition> byKey{
            Condition{"", "v", "7", "=", 'o'},
            Condition{"", "k", db.tables.at("p").rows[row].cells[0].getVal(), "=", 'a'}};
        // Refused while a child refers to the row.
        thrownMessage([&] { db.deleteRows("p", byKey); });
      }
      for (const std::string& given : t.inserted) {
        // The insert looks its value up in the form it stores it in.
        const std::string key = storedForm(db.tables.at("c").columns[0].type, given);
        const std::int32_t at = selectedParent(db, key);
        std::map<std::string, Cell> values = row({::given("fk", given)});
        const std::string refused = thrownMessage([&] { db.insertInto("c", values); });
        const Table& c = db.tables.at("c");
        if (at < 0) {
          // The message ends at a NUL byte of the key.
          const std::string message = "Primary table is missing required future key: " + key;
          EXPECT_EQ(refused, message.c_str());
          continue;
        }
        ASSERT_EQ(refused, "");
        ++found;
        const Row& parentRow = db.tables.at("p").rows[static_cast<std::size_t>(at)];
        EXPECT_TRUE(parentRow.links.at({"c", "fk"}).contains(lastPosition(c)));
      }
    }
  }
  EXPECT_GT(linked, 100);
  EXPECT_GT(found, 100);
}

}  // namespace
