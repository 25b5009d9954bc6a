#include "model/clock.h"

#include <chrono>

namespace {
std::optional<std::int64_t> pinnedTime;
}

std::int64_t currentTime() {
  if (pinnedTime) return *pinnedTime;
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void setClockForTesting(std::optional<std::int64_t> seconds) { pinnedTime = seconds; }
