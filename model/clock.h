#pragma once

#include <cstdint>
#include <optional>

// The system clock in whole seconds since the epoch. Temporal chains, the
// command time and the write-ahead log's time marker all read the time here.
std::int64_t currentTime();

// Pins currentTime() to `seconds`, or back to the system clock with
// std::nullopt. Only tests call it: the system has no configuration.
void setClockForTesting(std::optional<std::int64_t> seconds);
