#include "language/parser.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "language/assignments.h"
#include "language/listen_command.h"
#include "language/query_commands.h"
#include "language/schema_commands.h"
#include "model/clock.h"
#include "model/number.h"
#include "storage/file_errors.h"
#include "storage/file_names.h"
#include "storage/file_system.h"
#include "storage/log_line.h"
#include "storage/storage.h"

namespace {

ResultSet succeeded(std::string message) {
  ResultSet result;
  result.message = std::move(message);
  return result;
}

// An assigned value with a state chain, whose state changes become webhook tasks.
bool hasChain(const Cell& cell) { return cell.rule != nullptr; }

// Takes back the line writeAhead appended for a command that then failed;
// false when it stays in the log (storage retries the cut).
bool takeBackLogLine(Command& command) {
  const std::optional<Storage::LogMark> mark = std::exchange(command.logMark, std::nullopt);
  return !mark || Storage::cutWAL(*mark);
}

}  // namespace

ResultSet failedResult(std::string message) {
  ResultSet result;
  result.success = false;
  result.message = std::move(message);
  return result;
}

ResultSet internalError(std::string_view what) {
  return failedResult("Error: Internal error: " + std::string(what));
}

TimedText cutTimeMarker(std::string_view command, std::int64_t now) {
  const std::size_t marker = findTimeMarker(command);
  if (marker == std::string_view::npos) return {command, now};
  const std::optional<std::int64_t> time = toInt64(command.substr(marker + kTimeMarker.size()));
  // Durations are added to command times: within 2^62 no sum can overflow.
  constexpr std::int64_t kTimeLimit = std::int64_t{1} << 62;
  if (!time || *time <= -kTimeLimit || *time >= kTimeLimit) {
    throw std::runtime_error("Invalid time marker");
  }
  return {command.substr(0, marker), *time};
}

ResultSet Parser::handleCommand(std::string_view command) {
  try {
    return dispatch(command);
  } catch (const std::runtime_error& error) {
    return failedResult(std::string("Error: ") + error.what());
  } catch (const std::exception& error) {
    return internalError(error.what());
  } catch (...) {
    return internalError("unknown exception");
  }
}

ResultSet Parser::dispatch(std::string_view command) {
  // Most commands hold no line feed: those are read in place, uncopied.
  std::string blanked;
  std::string_view text = command;
  if (command.find('\n') != std::string_view::npos) {
    blanked = command;
    blankLineFeeds(blanked);
    text = blanked;
  }
  const TimedText timed = cutTimeMarker(text, currentTime());
  Command parsed;
  parsed.time = timed.time;
  parsed.tokens = Lexer(timed.text).tokenize();
  if (parsed.tokens.empty()) return failedResult("Empty command");
  if (parsed.tokens.back().type == TokenType::ERROR) return failedResult("Lexer Error");

  const Route* route = findRoute(parsed.tokens);
  if (route == nullptr) throw std::runtime_error("Unknown command or missing parameters");
  if (route->waitsForLog) {
    db->requireFinishedCheckpoint();
    if (!replaying && !Storage::settleWAL()) throw failedToWrite(kLogFileName);
  }
  // Every read of the clock during the command gives the command time, so a
  // replayed command sees what it saw when it first ran.
  const CommandClock clock(parsed.time);
  parsed.text = command;
  if (!route->writesLog) return (this->*route->run)(parsed);
  ResultSet result;
  // A line that cannot be taken back would run at the next start: that is
  // the failure the user must act on, in place of the command's own.
  try {
    result = (this->*route->run)(parsed);
  } catch (...) {
    if (!takeBackLogLine(parsed)) throw failedToWrite(kLogFileName);
    throw;
  }
  if (!result.success && !takeBackLogLine(parsed)) throw failedToWrite(kLogFileName);
  return result;
}

// The first letter, then the length, settle most rows before a comparison
// of texts: a word is never empty.
bool Parser::Route::accepts(const std::vector<Token>& tokens) const {
  const std::string& first = tokens[0].value;
  return !first.empty() && first[0] == word[0] && std::string_view(first) == word &&
         tokens.size() >= minTokens &&
         (secondWord.empty() ||
          (tokens.size() > 1 && std::string_view(tokens[1].value) == secondWord));
}

// A row whose guard fails passes the command on; as no two rows share a word,
// it then ends as an unknown command. Every change writes its line, transaction
// boundaries and drops included, so that a replay of the log also undoes and
// drops what was undone and dropped before the stop; a listener is kept by
// its own file, and a SELECT changes nothing. Each command that writes a line
// waits for the log: completing an unfinished checkpoint empties it, which
// would take the new line with it, and a line after a failed command's line
// would leave that one to be replayed among acknowledged ones. CHECKPOINT
// alone does not wait: it is what completes an unfinished checkpoint, and
// the log it empties takes a failed command's line with it; only then does
// it write back the BEGIN of an open transaction.
const Parser::Route* Parser::findRoute(const std::vector<Token>& tokens) {
  static constexpr Route kRoutes[] = {
      // word, min tokens, second word, handler, waits for the log, writes a line
      {"BEGIN", 1, "", &Parser::beginCommand, true, true},
      {"CHECKPOINT", 1, "", &Parser::checkpointCommand, false, true},
      {"ROLLBACK", 1, "", &Parser::rollbackCommand, true, true},
      {"COMMIT", 1, "", &Parser::commitCommand, true, true},
      {"CREATE", 4, "TABLE", &Parser::createTableCommand, true, true},
      {"DROP", 3, "TABLE", &Parser::dropTableCommand, true, true},
      {"INSERT", 4, "INTO", &Parser::insertCommand, true, true},
      {"SELECT", 4, "", &Parser::selectCommand, false, false},
      {"UPDATE", 5, "", &Parser::updateCommand, true, true},
      {"DELETE", 3, "FROM", &Parser::deleteCommand, true, true},
      {"LISTEN", 6, "", &Parser::listenCommand, false, false},
      {"LINK", 8, "", &Parser::linkCommand, true, true},
  };
  for (const Route& route : kRoutes) {
    if (route.accepts(tokens)) return &route;
  }
  return nullptr;
}

void Parser::writeAhead(Command& command, bool mayQueueTasks) {
  if (replaying) return;
  std::optional<std::int64_t> webhookOffset;
  if (mayQueueTasks) {
    // Where the command's webhook records will go: the replay of a line
    // whose command a kill stopped before them writes them there.
    const std::optional<Storage::WebhookFileEnd> end = Storage::webhookFileEnd();
    if (!end) throw failedToWrite(kWebhookFileName);
    webhookOffset = end->length;
  }
  command.logMark = Storage::appendToWAL(command.text, webhookOffset);
}

ResultSet Parser::beginCommand(Command& command) {
  writeAhead(command);
  db->beginTransaction();
  return succeeded("Transaction Started. Sandbox active.");
}

void Parser::refuseEarlierLog() const {
  if (earlierLog.empty()) return;
  std::string log;
  if (readFile(std::string(kLogFileName), log) == ReadStatus::Missing) return;
  // Appends only add to the end, and a checkpoint empties the log: the lines
  // are there exactly while the log begins with them.
  if (log.starts_with(earlierLog)) {
    throw std::runtime_error(
        "The log holds commands of an earlier run: start the engine in this directory first");
  }
}

// The checkpoint empties the log, and with it the BEGIN of a transaction that
// is still open; the log gets it back so that a replay still knows that what
// follows may be rolled back.
ResultSet Parser::checkpointCommand(Command&) {
  refuseEarlierLog();
  if (db->checkpoint() && !replaying) Storage::appendToWAL("BEGIN");
  return succeeded("success! Engine frozen. WAL flushed securely to disk.");
}

// After a checkpoint inside the transaction the files hold some of its rows,
// which replaying the log cannot take back: the rollback's own checkpoint
// makes it durable. A ROLLBACK line ahead of it would let a kill before that
// checkpoint replay half an undo, the rows after the checkpoint undone and
// those before it kept.
ResultSet Parser::rollbackCommand(Command& command) {
  if (!db->rollbackRewritesFiles()) writeAhead(command);
  db->rollbackTransaction();
  return succeeded("Disaster Averted. Memory restored.");
}

ResultSet Parser::commitCommand(Command& command) {
  writeAhead(command);
  db->commitTransaction();
  return succeeded("success! Transaction permanently written to disk.");
}

// Every refusal comes first, then a checkpoint, so that no logged command
// still needs the files the drop removes. The replay of the log takes none:
// it would empty the log under the replay.
ResultSet Parser::dropTableCommand(Command& command) {
  const std::string& name = command.tokens[2].value;
  if (!replaying) {
    refuseEarlierLog();
    db->checkDropTable(name);
    db->checkpoint();
  }
  writeAhead(command);
  db->dropTable(name);
  return succeeded("success! Table " + name + " dropped from disk.");
}

// Replayed, a CREATE TABLE line replaces the table of that name (it meets
// the data file it wrote when it first ran): a line whose command is refused
// for a name already taken must never reach the log, not even for the moment
// before it is taken back, as a kill then would leave it there.
ResultSet Parser::createTableCommand(Command& command) {
  const CreateTableCall call = parseCreateTable(command.tokens);
  if (!replaying) db->checkCreateTable(call.name, call.columns);
  writeAhead(command);
  db->createTable(call.name, call.columns);
  return succeeded("success!");
}

ResultSet Parser::selectCommand(Command& command) {
  const SelectCall call = parseSelect(command.tokens, *db);
  if (call.isJoin()) {
    return db->selectJoin(call.table, *call.joinTable, call.primaryJoinCol, call.secondaryJoinCol,
                          call.requestedColumns, call.conditions);
  }
  return db->select(call.table, call.requestedColumns, call.conditions);
}

ResultSet Parser::listenCommand(Command& command) {
  const ListenCall call = parseListen(command.tokens);
  db->addListener(call.table, call.column, call.url, call.conditions, false);
  return succeeded("success! Listener attached.");
}

ResultSet Parser::linkCommand(Command& command) {
  const LinkCall call = parseLink(command.tokens);
  // Its relation file must govern only the commands logged after it: the
  // log is emptied first, once every refusal has been tried.
  if (!replaying) {
    refuseEarlierLog();
    db->checkLink(call.foreignTable, call.foreignKeyCol, call.primaryTable, call.primaryKeyCol);
    db->checkpoint();
  }
  writeAhead(command);
  db->link(call.foreignTable, call.foreignKeyCol, call.primaryTable, call.primaryKeyCol);
  return succeeded("success!");
}

ResultSet Parser::insertCommand(Command& command) {
  InsertCall call = parseInsert(command.tokens, command.time, *db);
  writeAhead(command, std::any_of(call.cells.begin(), call.cells.end(),
                                  [](const auto& entry) { return hasChain(entry.second); }));
  return db->insertInto(call.table, call.cells);
}

ResultSet Parser::updateCommand(Command& command) {
  UpdateCall call = parseUpdate(command.tokens, command.time, *db);
  writeAhead(command, std::any_of(call.cells.begin(), call.cells.end(), hasChain));
  return db->update(call.table, call.cells, call.conditions);
}

ResultSet Parser::deleteCommand(Command& command) {
  DeleteCall call = parseDelete(command.tokens);
  writeAhead(command);
  return db->deleteRows(call.table, call.conditions);
}
