#pragma once

#include <optional>
#include <string>

// The header of a relation file: four fixed-width name fields (child table,
// parent table, foreign-key column, parent key column). The records behind
// it are never read back.
struct RelationNames {
  std::string foreignTable;
  std::string primaryTable;
  std::string foreignKey;
  std::string primaryKey;
};

// The header of the relation file at `path`, each name its field's bytes up
// to the first zero byte: a field that a short file holds in part gives what
// it holds, one it lacks the empty name. None when the file cannot be read.
std::optional<RelationNames> readRelationNames(const std::string& path);

// Whether `path` is the name that `names` give a relation file: one whose
// header was damaged, or that was renamed, is not.
bool namesItsOwnFile(const RelationNames& names, const std::string& path);
