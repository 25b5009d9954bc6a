#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/database.h"
#include "language/lexer.h"
#include "model/condition.h"
#include "model/result_set.h"

// Turns one command text into one engine call and its result. Keeps no state
// between commands.
class Parser {
 public:
  Database* db;            // not owned, never null
  bool replaying = false;  // the log's replay: nothing is appended to the log

  explicit Parser(Database* database) : db(database) {}

  // Runs one command. Never throws: every failure comes back as a result
  // with success false.
  ResultSet handleCommand(const std::string& command);
};
