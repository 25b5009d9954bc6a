#pragma once

#include <string>
#include <vector>

#include "engine/database.h"

// Everything a rollback must put back, written out as text so that a test
// compares it whole and a mismatch shows as a readable difference: for each
// named table its columns and links, every row with its cells, chains and
// tombstone flag, the deleted-row set, the primary key, key position and
// every index entry, and the back-references of each row as the restriction
// check would leave them (emptied sets and stale flags are not compared,
// since nothing but that check ever removes them). Read at a pinned clock:
// chains are shown by their states, back-references by what they still mean.
std::string rollbackState(const Database& db, const std::vector<std::string>& tableNames);

// The names of the tables in the catalogue, in order.
std::vector<std::string> tableNames(const Database& db);

// rollbackState of every table, with the transaction log's entries and the
// number of queued webhook tasks: what a refused command leaves as it was.
std::string wholeState(const Database& db);
