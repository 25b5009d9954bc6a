#pragma once

#include <cstdint>
#include <optional>

// The system clock in whole seconds since the epoch. Temporal chains, the
// command time and the write-ahead log's time marker all read the time here.
std::int64_t currentTime();

// Pins currentTime() to `seconds`, or back to the system clock with
// std::nullopt. Only tests call it: the system has no configuration.
void setClockForTesting(std::optional<std::int64_t> seconds);

// Pins currentTime() to `seconds` on this thread for as long as it lives,
// over any test setting: the dispatcher holds one for the length of a
// command, so that every read of the clock during it (chains in conditions,
// restrictions, index keys, due times, the log's time marker) gives the
// command time, live and replayed alike.
class CommandClock {
 public:
  explicit CommandClock(std::int64_t seconds);
  ~CommandClock();
  CommandClock(const CommandClock&) = delete;
  CommandClock& operator=(const CommandClock&) = delete;

 private:
  std::optional<std::int64_t> previous_;
};
