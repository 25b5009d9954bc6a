#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "model/column_type.h"
#include "model/number.h"
#include "model/stored_form.h"
#include "support/rollback_state.h"
#include "support/test_support.h"
#include "test_tables.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// t: id ApexInt, name string 8 bytes wide, n int with chains, f float, b
// bool, st string with chains.
class InsertTest : public WriterTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    db.createTable("t", {makeColumn("id", "ApexInt"), makeColumn("name", "string", 0, 8),
                         makeColumn("n", "int", 3), makeColumn("f", "float"),
                         makeColumn("b", "bool"), makeColumn("st", "string", 3)});
  }
  Table& t() { return db.tables.at("t"); }
  ResultSet insert(std::map<std::string, Cell> values) { return db.insertInto("t", values); }
  ResultSet insertInto(const std::string& table, std::map<std::string, Cell> values) {
    return db.insertInto(table, values);
  }
};

TEST_F(InsertTest, NumbersTheIdentityFromTheLastRowWhateverWasGiven) {
  const ResultSet first = insert(row({given("name", "a")}));
  EXPECT_TRUE(first.success);
  EXPECT_EQ(first.message, "success!");
  EXPECT_EQ(first.rows_affected, 1);
  insert(row({given("name", "b")}));
  insert(row({given("id", "50"), given("name", "x")}));
  std::vector<Condition> last{where("id", "=", "3", 'o')};
  db.deleteRows("t", last);
  insert(row({given("name", "y")}));  // the deleted last row still counts
  EXPECT_EQ(storedRows(t()), (Rows{{"1", "a", "0", "#/#?", "false", "#/#?"},
                                   {"2", "b", "0", "#/#?", "false", "#/#?"},
                                   {"x", "3", "x", "0", "#/#?", "false", "#/#?"},
                                   {"4", "y", "0", "#/#?", "false", "#/#?"}}));
  EXPECT_EQ(t().pkMap.at("4"), 3);
}

// The cells an insert made before it filled them in place and skipped the
// conversions of texts already stored: every value converted, the marker
// first, then the identity or the "0" of an integer column.
std::vector<Cell> formerCells(const Table& table, const std::map<std::string, Cell>& values) {
  std::vector<Cell> cells;
  for (const Column& column : table.columns) {
    Cell cell;
    cell.column = column.name;
    cell.type = column.type;
    const auto given = values.find(column.name);
    if (given == values.end()) {
      cell.value = kMissingValue;
    } else {
      cell.value = given->second.getVal();
      if (given->second.rule) cell.rule = std::make_unique<TempRule>(*given->second.rule);
    }
    if (isIdentityType(column.type)) {
      const Cell* last =
          table.rows.empty() ? nullptr : ColumnRef(table, column.name).cellIn(table.rows.back());
      cell.value = last == nullptr ? "1" : std::to_string(toInt32(last->getVal()).value_or(0) + 1);
    } else if (isIntegerType(column.type) && cell.getVal() == kMissingValue) {
      cell.value = "0";
    }
    cell.value = storedForm(column.type, cell.value);
    if (cell.rule) {
      for (TempState& state : cell.rule->states) state.value = storedForm(column.type, state.value);
    }
    cells.push_back(std::move(cell));
  }
  return cells;
}

// Everything of a cell a reader or a checkpoint sees.
std::string cellText(const Cell& cell) {
  std::string text = cell.column + "/" + cell.type + "/" + cell.value;
  if (cell.rule) {
    for (const TempState& state : cell.rule->states) text += " -> " + state.value;
  }
  return text;
}

TEST_F(InsertTest, RandomRowsAreTheCellsTheFormerInsertMade) {
  const std::vector<std::string> texts = {
      "0",   "-0",   "07",         "+7",         " 7",          "7x",         "",    "5",
      "-12", "#/#?", "2147483647", "2147483648", "-2147483648", "1234567890", "2.5", "1e3",
      "nan", "TRUE", "true",       "1",          "false",       "word",       "#/#", "x"};
  const std::vector<std::string> columns = {"id", "name", "n", "f", "b", "st", "zz"};
  std::mt19937 random(2110);
  const auto text = [&] { return texts[random() % texts.size()]; };
  int inserted = 0;
  for (int run = 0; run < 3000; ++run) {
    std::map<std::string, Cell> values;
    for (const std::string& column : columns) {
      if (random() % 2 == 0) continue;
      // A chain in the identity column would be what the next number counts from.
      const bool chain = column != "id" && random() % 4 == 0;
      values[column] =
          chain ? givenChain(column, {{text(), 5}, {text(), 5}}, 990) : given(column, text());
    }
    std::vector<std::string> expected;
    for (const Cell& cell : formerCells(t(), values)) expected.push_back(cellText(cell));
    if (!thrownMessage([&] { insert(values); }).empty()) continue;  // refused, as before
    ++inserted;
    std::vector<std::string> made;
    for (const Cell& cell : t().rows.back().cells) made.push_back(cellText(cell));
    ASSERT_EQ(made, expected) << "run " << run;
    // Now and then the last row goes, so the next identity counts from a tombstone.
    if (random() % 8 == 0) {
      std::vector<Condition> last{where("id", "=", t().rows.back().cells[0].value, 'o')};
      db.deleteRows("t", last);
    }
  }
  EXPECT_GT(inserted, 1000);
}

TEST_F(InsertTest, NumbersAndFlagsAreStoredAsARestartGivesThemBack) {
  insert(row({given("name", "07"), given("n", "07"), given("f", "2.5"), given("b", "TRUE")}));
  insert(row({givenChain("n", {{"05", 5}, {"+6", 5}}, 1000), given("f", "1e3"), given("b", "0")}));
  EXPECT_EQ(storedRows(t()), (Rows{{"1", "07", "7", "2.500000", "true", "#/#?"},
                                   {"2", "#/#?", "5", "1000.000000", "false", "#/#?"}}));
  const TempRule& rule = *t().rows[1].cells[2].rule;
  EXPECT_EQ(rule.states[1].value, "6");
  std::vector<Condition> byNumber{where("n", "=", "007", 'o')};
  EXPECT_EQ(db.getRequestedRows(byNumber, t()).size(), 1u);
}

TEST_F(InsertTest, RefusalsChangeNothing) {
  const std::string longState(61, 's');
  struct Case {
    const char* shows;
    std::map<std::string, Cell> values;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({"a string longer than its column", row({given("name", "123456789")}),
                   "Value too long for column: name"});
  cases.push_back({"a chain state longer than a rule record holds",
                   row({givenChain("st", {{"1", 5}, {longState, 5}}, 1000)}),
                   "Value too long for column: st"});
  for (Case& c : cases) {
    SCOPED_TRACE(c.shows);
    expectRefused([&] { db.insertInto("t", c.values); }, c.message);
  }
  insert(row({given("name", "12345678")}));  // exactly the width fits
  auto none = row({});
  expectRefused([&] { db.insertInto("nope", none); }, "None existant table");
}

// n: id ApexInt, then "string" columns 1, 2, 3 and 4 bytes wide, then v int.
class NarrowInsertTest : public InsertTest {
 protected:
  void SetUp() override {
    InsertTest::SetUp();
    db.createTable("n", {makeColumn("id", "ApexInt"), makeColumn("s1", "string", 0, 1),
                         makeColumn("s2", "string", 0, 2), makeColumn("s3", "string", 0, 3),
                         makeColumn("s4", "string", 0, 4), makeColumn("v", "int")});
  }
};

// A column the command leaves out holds the marker whatever its width; a
// value given is stored and comes back as given, unless its column would
// read it back as the marker. Refusals come column by column.
TEST_F(NarrowInsertTest, OnlyGivenValuesAreHeldToTheColumnsWidth) {
  EXPECT_TRUE(insertInto("n", row({given("v", "1")})).success);
  insertInto("n", row({given("s1", "/"), given("s2", "#"), given("s3", "#/"), given("s4", "#/#")}));
  insertInto("n", row({given("s2", "/#"), given("s3", "#"), given("s4", "#/#?")}));
  const Rows stored{{"1", "#/#?", "#/#?", "#/#?", "#/#?", "1"},
                    {"2", "/", "#", "#/", "#/#", "0"},
                    {"3", "#/#?", "/#", "#", "#/#?", "0"}};
  EXPECT_EQ(storedRows(db.tables.at("n")), stored);

  struct Case {
    const char* shows;
    std::map<std::string, Cell> values;
    std::string message;
  };
  std::vector<Case> cases;
  const std::string reserved = "Value reserved for a missing value in column: ";
  cases.push_back({"'#' in one byte", row({given("s1", "#")}), reserved + "s1"});
  cases.push_back({"'#/' in two bytes", row({given("s2", "#/")}), reserved + "s2"});
  cases.push_back({"'#/#' in three bytes", row({given("s3", "#/#")}), reserved + "s3"});
  cases.push_back({"the whole marker is too long for a narrow column", row({given("s3", "#/#?")}),
                   "Value too long for column: s3"});
  cases.push_back({"the first column in declaration order decides",
                   row({given("s3", "toolong"), given("s1", "#")}), reserved + "s1"});
  cases.push_back({"the first column in declaration order decides, the other way",
                   row({given("s1", "ab"), given("s2", "#/")}), "Value too long for column: s1"});
  for (Case& c : cases) {
    SCOPED_TRACE(c.shows);
    expectRefused([&] { db.insertInto("n", c.values); }, c.message);
  }

  // The table file cuts the marker to the width and reads it back whole.
  db.checkpoint();
  Database restarted;
  restarted.loadFromDisk();
  Table& reloaded = restarted.tables.at("n");
  EXPECT_EQ(storedRows(reloaded), stored);
  std::vector<Condition> hash{where("s2", "=", "#", 'o')};
  EXPECT_EQ(valuesOf(restarted.getRequestedRows(hash, reloaded), 0),
            (std::vector<std::string>{"2"}));
  std::vector<Condition> missing{where("s1", "=", kMissingValue, 'o')};
  EXPECT_EQ(valuesOf(restarted.getRequestedRows(missing, reloaded), 0),
            (std::vector<std::string>{"1", "3"}));
}

// A narrow key or foreign-key column left out is judged with the marker it
// holds, as a wide one is.
TEST_F(NarrowInsertTest, AKeyColumnLeftOutIsJudgedByItsKeyRules) {
  db.createTable("p", {makeColumn("k", "string", 0, 2), makeColumn("v", "int")});
  db.createTable("c", {makeColumn("f", "string", 0, 1), makeColumn("v", "int")});
  insertInto("p", row({given("k", "a")}));
  db.link("c", "f", "p", "k");
  expectRefused([&] { insertInto("c", row({given("v", "1")})); },
                "Primary table is missing required future key: #/#?");
  insertInto("p", row({given("v", "1")}));
  EXPECT_EQ(db.tables.at("p").pkMap.at(kMissingValue), 1);
  expectRefused([&] { insertInto("p", row({given("v", "2")})); },
                "Duplicate entry '#/#?' for primary key");
  insertInto("c", row({given("v", "1")}));  // finds the parent row without a key
  EXPECT_EQ(db.tables.at("p").rows[1].links.at({"c", "f"}), std::set<std::int32_t>{0});
}

TEST_F(InsertTest, AnIdentityPastThe32BitRangeIsRefused) {
  appendRow(t(), {"2147483647"});
  expectRefused([&] { insert(row({})); }, "Identity column out of range: id");
}

TEST_F(InsertTest, RowsTheNextCheckpointCouldNotAddressAreRefused) {
  // Slots of 1 MiB after a 75-byte header: the data file's 32-bit offsets
  // end inside the slot of row 2047.
  db.createTable("wide", {makeColumn("s", "string", 0, 1 << 20)});
  Table& wide = db.tables.at("wide");
  for (int i = 0; i < 2046; ++i) appendRow(wide, {"x"});
  auto values = row({given("s", "y")});
  db.insertInto("wide", values);
  expectRefused([&] { db.insertInto("wide", values); }, "File offset out of range: wide.bin");

  // Rule records of 278,557 bytes: room for the records of 7709 rows.
  db.createTable("chains", {makeColumn("c", "string", 4096)});
  Table& chains = db.tables.at("chains");
  for (int i = 0; i < 7708; ++i) appendRow(chains, {"x"});
  auto plain = row({given("c", "y")});
  auto chain = row({givenChain("c", {{"a", 5}, {"b", 5}}, 1000)});
  db.insertInto("chains", chain);
  expectRefused([&] { db.insertInto("chains", chain); }, "File offset out of range: chains.tmp");
  db.insertInto("chains", plain);  // a plain value needs no record
}

TEST_F(InsertTest, QueuesTheTasksOfEachChainButNotWhileTheLogIsReplayed) {
  insert(row({givenChain("n", {{"1", 5}, {"2", 5}, {"3", 5}}, 1000),
              givenChain("st", {{"a", 5}, {"b", 5}}, 1000, true)}));
  EXPECT_EQ(db.webhookQueue.size(), 4u);  // two changes of n, two of the repeating st
  EXPECT_EQ(readFile(dir / "webhooks.bin").size(), 4u * 85u);
  EXPECT_EQ(db.webhookQueue.top().rowIndex, 0);
  EXPECT_EQ(db.webhookQueue.top().fireTime, 1005);

  db.recovering = true;
  insert(row({givenChain("n", {{"1", 5}, {"2", 5}}, 1000)}));
  EXPECT_EQ(db.webhookQueue.size(), 4u);
  EXPECT_EQ(t().rows.size(), 2u);
}

TEST_F(InsertTest, AWebhookRecordThatCannotBeWrittenChangesNothing) {
  const Table empty = t();
  const int failures = failEachFileOperation(
      [&] {
        t() = empty;
        db.webhookQueue = {};
        writeFile(dir / "webhooks.bin", std::string(85, '\0'));  // one earlier record
      },
      [&] {
        insert(row({givenChain("n", {{"1", 5}, {"2", 5}, {"3", 5}}, 1000),
                    givenChain("st", {{"a", 5}, {"b", 5}}, 1000)}));
      },
      [&] { return wholeState(db); }, "Failed to write file: webhooks.bin", "webhooks.bin");
  // The file's length, then one write for the command's three records.
  EXPECT_EQ(failures, 2);
}

// p (code string, the key a link sets up) is referenced by c (cid ApexInt,
// code string with chains).
class LinkedInsertTest : public InsertTest {
 protected:
  void SetUp() override {
    InsertTest::SetUp();
    db.createTable("p", {makeColumn("code", "string"), makeColumn("v", "int")});
    db.createTable("c", {makeColumn("cid", "ApexInt"), makeColumn("code", "string", 3)});
    insertInto("p", row({given("code", "x")}));
    insertInto("p", row({given("code", "y")}));
    db.link("c", "code", "p", "code");
  }
  Table& p() { return db.tables.at("p"); }
  Table& c() { return db.tables.at("c"); }
};

TEST_F(LinkedInsertTest, ALiveRowHoldingTheKeyRefusesItATombstoneDoesNot) {
  expectRefused([&] { insertInto("p", row({given("code", "x")})); },
                "Duplicate entry 'x' for primary key");
  std::vector<Condition> isX{where("code", "=", "x", 'o')};
  db.deleteRows("p", isX);
  insertInto("p", row({given("code", "x")}));
  EXPECT_EQ(p().pkMap.at("x"), 2);

  insertInto("p", row({}));  // no value: the marker is the key
  expectRefused([&] { insertInto("p", row({})); }, "Duplicate entry '#/#?' for primary key");
}

TEST_F(LinkedInsertTest, AChildNeedsEveryStateOfItsKeyAsAParentKey) {
  struct Case {
    const char* shows;
    Cell code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a key the parent lacks", given("code", "z"),
       "Primary table is missing required future key: z"},
      {"no value", Cell{}, "Primary table is missing required future key: #/#?"},
      {"a chain with a state the parent lacks", givenChain("code", {{"x", 5}, {"q", 5}}, 900),
       "Primary table is missing required future key: q"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    std::map<std::string, Cell> values;
    if (!c.code.column.empty()) values["code"] = c.code;
    expectRefused([&] { db.insertInto("c", values); }, c.message);
  }
  insertInto("c", row({givenChain("code", {{"x", 5}, {"y", 5}}, 1000)}));
  EXPECT_EQ(p().rows[0].links.at({"c", "code"}), std::set<std::int32_t>{0});
  EXPECT_EQ(p().rows[1].links.at({"c", "code"}), std::set<std::int32_t>{0});
  EXPECT_TRUE(p().rows[1].isReferenced);
}

// A table linked to itself is its own empty parent until its first row is
// in: that row can never find itself.
TEST_F(LinkedInsertTest, AParentWithoutRowsRefusesEveryChild) {
  db.createTable("e", {makeColumn("code", "string")});
  db.createTable("d", {makeColumn("code", "string")});
  db.link("d", "code", "e", "code");
  db.createTable("self", {makeColumn("k", "int"), makeColumn("up", "int")});
  db.link("self", "up", "self", "k");
  db.createTable("tree", {makeColumn("id", "ApexInt"), makeColumn("up", "int")});
  db.link("tree", "up", "tree", "id");
  struct Case {
    const char* shows;
    std::string table;
    std::map<std::string, Cell> values;
  };
  const std::vector<Case> cases = {
      {"another table", "d", row({given("code", "x")})},
      {"the table itself, the row naming its own key", "self",
       row({given("k", "1"), given("up", "1")})},
      {"the table itself, by its identity", "tree", row({given("up", "1")})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    expectRefused([&] { insertInto(c.table, c.values); }, "Primary table is empty");
  }
}

TEST_F(LinkedInsertTest, InsideATransactionEachInsertRecordsItsRowAndIndexEntry) {
  db.beginTransaction();
  insertInto("p", row({given("code", "w")}));
  insertInto("c", row({given("code", "w")}));
  ASSERT_EQ(db.transactionLog.size(), 2u);
  const TransactionAction& entry = db.transactionLog[0];
  EXPECT_EQ(entry.action, "INSERT");
  EXPECT_EQ(entry.tableName, "p");
  EXPECT_EQ(entry.rowIndex, 2);
  EXPECT_EQ(entry.indexChanges, (std::vector<IndexChange>{{"w", std::nullopt}}));
  EXPECT_EQ(db.transactionLog[1].rowIndex, 0);
}

}  // namespace
