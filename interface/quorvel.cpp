// The engine functions a host program calls: one process-wide engine behind
// three C functions, serialised by engine_mutex. No exception ever leaves
// them: a C caller could not catch it.

#include "quorvel.h"

#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/database.h"
#include "interface/json.h"
#include "language/parser.h"
#include "storage/directory_lock.h"
#include "storage/file_system.h"

namespace {

Database* global_db = nullptr;
Parser* global_parser = nullptr;
std::mutex engine_mutex;
// Held from the start until the stop, so that no other process works on the
// directory meanwhile.
FileLock directory_lock;

// The text ExecuteQuery hands out stays valid until the same thread calls it
// again: per thread, so that a host calling from several threads never reads
// a text another thread's call has freed.
thread_local std::string last_result_buffer;

constexpr const char* kNotStarted = "{\"success\": false, \"message\": \"Engine not started.\"}";

// The result text keeps its room from call to call, so that a command's text
// needs no new memory, but gives up what is far more than it holds now: a
// large result would otherwise keep its memory for as long as the thread.
void releaseSpareRoom(std::string& text) {
  constexpr std::size_t kKeptRoom = std::size_t{1} << 16;
  if (text.capacity() > kKeptRoom && text.size() < text.capacity() / 2) text.shrink_to_fit();
}

// The one-line failure text for an exception that reached the interface.
std::string failureText(std::string_view what) {
  return "{\"success\": false, \"message\": \"" + escapeJson(what) + "\"}";
}

// Frees the engine, then lets the directory go: only once nothing of this
// process is open in it any more, not even the log's stream.
void stopped() {
  delete global_parser;
  delete global_db;
  global_parser = nullptr;
  global_db = nullptr;
  closeLineStream();
  directory_lock.release();
}

// Takes the directory, then builds, restores and publishes the engine. A
// directory in use is refused before anything in it is read; a restore that
// fails leaves nothing behind and lets the directory go, so the files stay
// as they were and a later start retries.
void start() {
  lockWorkingDirectory(directory_lock);
  try {
    auto db = std::make_unique<Database>();
    db->loadFromDisk();
    auto parser = std::make_unique<Parser>(db.get());
    global_db = db.release();
    global_parser = parser.release();
  } catch (...) {
    directory_lock.release();
    throw;
  }
}

}  // namespace

extern "C" {

void StartEngine(void) {
  try {
    const std::lock_guard<std::mutex> guard(engine_mutex);
    if (global_db != nullptr) return;
    try {
      start();
    } catch (const std::exception& error) {
      std::cout << "[BOOTLOADER] Start-up failed: " << error.what() << std::endl;
    } catch (...) {
      std::cout << "[BOOTLOADER] Start-up failed: unknown exception" << std::endl;
    }
  } catch (...) {
    // Only the lock itself can fail here; the engine simply stays stopped.
  }
}

const char* ExecuteQuery(const char* command) {
  try {
    const std::lock_guard<std::mutex> guard(engine_mutex);
    if (global_parser == nullptr) {
      last_result_buffer = kNotStarted;
      return last_result_buffer.c_str();
    }
    try {
      writeJson(global_parser->handleCommand(command == nullptr ? std::string_view() : command),
                last_result_buffer);
      releaseSpareRoom(last_result_buffer);
    } catch (const std::exception& error) {
      last_result_buffer = failureText(error.what());
    } catch (...) {
      last_result_buffer = failureText("unknown exception");
    }
  } catch (...) {
    // The lock, or memory for the text itself, failed: hand out a text that
    // needs no allocation.
    static const char* const kFailure =
        "{\"success\": false, \"message\": \"Internal error: out of resources\"}";
    return kFailure;
  }
  return last_result_buffer.c_str();
}

void StopEngine(void) {
  try {
    const std::lock_guard<std::mutex> guard(engine_mutex);
    if (global_db == nullptr) return;
    try {
      global_db->checkpoint();
    } catch (const std::exception& error) {
      // The engine stays started with its memory and log, so nothing
      // acknowledged is lost and a later StopEngine retries.
      std::cout << "[STORAGE] Checkpoint failed: " << error.what() << std::endl;
      return;
    }
    stopped();
  } catch (...) {
    // The engine stays started; a later StopEngine retries.
  }
}

}  // extern "C"
