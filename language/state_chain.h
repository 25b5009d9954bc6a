#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "language/token_cursor.h"
#include "model/cell.h"

// Reads the state chain that follows a value, with the cursor on its first
// "-->": links `--> value @ amount unit` (units s, m, h, d, mo), then an
// optional cycle mark "c", then an optional ")". The amount after an arrow is
// how long the value before it lasts, and the last value lasts as long as the
// one before it. Every value must be of `columnType` (isValueOfType). The
// rule starts at `startTime`; its durations, their running sums and the
// start time plus each sum (the due times of the chain's state changes) all
// fit 64 bits. Refuses a chain of more than `maxStates` states. Leaves the
// cursor after the chain; throws std::runtime_error with the user's message.
std::unique_ptr<TempRule> parseStateChain(TokenCursor& cursor, const std::string& firstValue,
                                          std::string_view columnType, std::int32_t maxStates,
                                          std::int64_t startTime);
