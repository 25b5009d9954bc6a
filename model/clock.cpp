#include "model/clock.h"

#include <chrono>

namespace {
std::optional<std::int64_t> pinnedTime;
thread_local std::optional<std::int64_t> commandTime;
}  // namespace

std::int64_t currentTime() {
  if (commandTime) return *commandTime;
  if (pinnedTime) return *pinnedTime;
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void setClockForTesting(std::optional<std::int64_t> seconds) { pinnedTime = seconds; }

CommandClock::CommandClock(std::int64_t seconds) : previous_(commandTime) { commandTime = seconds; }

CommandClock::~CommandClock() { commandTime = previous_; }
