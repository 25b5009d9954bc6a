#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "language/conditions.h"
#include "language/lexer.h"
#include "model/condition.h"
#include "model/result_set.h"
#include "storage/storage.h"

// A command text split at its first time marker.
struct TimedText {
  std::string_view text;  // the part before the marker: the command to run
  std::int64_t time = 0;  // the number after the marker
};

// Cuts `command` at its first time marker, or gives the whole text and `now`
// when it has none. Only the first marker counts: a replayed log line whose
// command carried a marker of its own has a second one behind it. Throws
// std::runtime_error "Invalid time marker" when the marker is not followed by
// a number in the 64-bit range (white space and a sign may lead, anything may
// follow). The view points into `command`.
TimedText cutTimeMarker(std::string_view command, std::int64_t now);

// One command as its grammar sees it, and what it has put into the log.
struct Command {
  std::vector<Token> tokens;  // at least one; none of kind ERROR
  std::int64_t time = 0;      // the command time: the start of every state chain it builds
  std::string_view text;      // the command as received: what the log records
  // The log as it stood around the command's own line, once it has one:
  // what a failure of the command takes back.
  std::optional<Storage::LogMark> logMark;
};

// Turns one command text into one engine call and its result. What its owner
// sets is all it keeps from one command to the next: each command's own state
// lives in its Command, which ends with it.
class Parser {
 public:
  Database* db;            // not owned, never null
  bool replaying = false;  // the log's replay: nothing is appended to the log
  // What the log held when the owner started, when its catalogue does not
  // hold what those lines logged (the shell, which sets it once). While the
  // log still begins with it, the commands that take a checkpoint are
  // refused: emptying the log would lose those commands. Empty: no such
  // guard.
  std::string earlierLog;

  explicit Parser(Database* database) : db(database) {}

  // Runs one command. Never throws: every failure comes back as a result
  // with success false, and a failed command changes nothing of its own and
  // is not logged. Each line feed of the text counts as a blank, as the log
  // will write it, so that a command means the same live and replayed. A
  // successful logged command is appended to the write-ahead log as
  // received, time marker included, unless replaying; while a checkpoint is
  // unfinished every such command is refused with its message. When the
  // line of a failed command cannot be taken back, the result is "Error:
  // Failed to write file: vesk.wal" in place of the command's own failure,
  // and every logged command is refused so until a cut or a checkpoint
  // removes the line.
  ResultSet handleCommand(std::string_view command);

  // The conditions after a WHERE token, read from `start` to the end of the
  // token list (the grammar of language/conditions.h).
  static std::vector<Condition> parseFiltering(const std::vector<Token>& tokens,
                                               std::uint64_t start) {
    return ::parseFiltering(tokens, start);
  }

 private:
  // One row of the dispatch table: the command word, the guard (at least
  // `minTokens` tokens and, unless empty, `secondWord` as the text of token
  // 1), the grammar that runs it, and what it has to do with the log.
  struct Route {
    std::string_view word;
    std::size_t minTokens;
    std::string_view secondWord;
    ResultSet (Parser::*run)(Command&);
    // Refused while a checkpoint is unfinished or the line of a failed
    // command is still in the log (a cut that failed, retried first).
    bool waitsForLog;
    // Its handler may append to the log: the command's own line
    // (writeAhead) is taken back when the command then fails.
    bool writesLog;

    bool accepts(const std::vector<Token>& tokens) const;
  };

  // The first row that takes `tokens`, or null: an unknown word or a failed guard.
  static const Route* findRoute(const std::vector<Token>& tokens);

  // handleCommand without its last line of defence: failures may be thrown.
  ResultSet dispatch(std::string_view command);

  // Appends the command's line to the write-ahead log, unless replaying,
  // before the command changes anything, and keeps its mark in `command`;
  // throws the log's refusal. The line of a command that `mayQueueTasks`
  // carries where its webhook records go; throws "Failed to write file:
  // webhooks.bin" when that cannot be told.
  void writeAhead(Command& command, bool mayQueueTasks = false);

  // Throws "The log holds commands of an earlier run: start the engine in
  // this directory first" while the log still begins with `earlierLog`.
  void refuseEarlierLog() const;

  // The commands whose whole grammar is the command word (DROP TABLE adds
  // the table's name). Each throws the engine's refusal unchanged.
  ResultSet beginCommand(Command& command);
  ResultSet checkpointCommand(Command& command);
  ResultSet rollbackCommand(Command& command);
  ResultSet commitCommand(Command& command);
  ResultSet dropTableCommand(Command& command);

  // The commands with a grammar of their own; each reads its command whole
  // before it calls the engine, so a refused command changes nothing.
  ResultSet createTableCommand(Command& command);
  ResultSet insertCommand(Command& command);
  ResultSet updateCommand(Command& command);
  ResultSet deleteCommand(Command& command);
  ResultSet selectCommand(Command& command);
  ResultSet listenCommand(Command& command);
  ResultSet linkCommand(Command& command);
};

// A failed result with `message` as it stands.
ResultSet failedResult(std::string message);

// The failed result for an exception that is not one of the system's own
// refusals: "Error: Internal error: " + `what`.
ResultSet internalError(std::string_view what);
