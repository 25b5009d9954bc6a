#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "engine/database.h"

// What crash and fault sweeps compare: a whole working directory and the
// whole visible state of a database.

// Every regular file of the working directory with its bytes.
using Directory = std::map<std::string, std::string>;

Directory snapshotDirectory();
// Makes the working directory hold exactly `files`.
void restoreDirectory(const Directory& files);

// The tables of `db` as text: columns, every row's cells (values and
// chains), flags and back-references, keys and their index, links; and the
// transaction's state. Two databases that print alike hold the same data.
std::string describe(const Database& db);

// The file operations `action` makes when nothing fails.
std::int64_t countFileOperations(const std::function<void()>& action);
