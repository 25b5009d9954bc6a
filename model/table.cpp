#include "model/table.h"

#include <compare>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "model/number.h"

IndexKey::IndexKey(std::string text) : text_(std::move(text)) {
  if (const auto number = toInt32(text_)) {
    number_ = *number;
    reading_ = Reading::kNumber;
    return;
  }
  // Zero fits the int range, so a leading integer here is above or below it.
  const std::partial_ordering sign = compareIntegers(text_, "0");
  if (sign < 0) reading_ = Reading::kBelow;
  if (sign > 0) reading_ = Reading::kAbove;
}

bool KeyComparator::ordered(const IndexKey& a, const IndexKey& b) const {
  if (!numeric_) return a.text() < b.text();
  using Reading = IndexKey::Reading;
  if (a.reading() != b.reading()) return a.reading() < b.reading();
  switch (a.reading()) {
    case Reading::kNumber:
      return a.number() < b.number();
    case Reading::kBelow:
    case Reading::kAbove:
      return compareIntegers(a.text(), b.text()) < 0;
    case Reading::kText:
      break;
  }
  return a.text() < b.text();
}

std::pair<PrimaryKeyIndex::iterator, bool> addIndexEntry(PrimaryKeyIndex& index, IndexKey key,
                                                         std::int32_t position) {
  // A hint at the end costs one comparison for a key past every key held,
  // and a search otherwise; only the count tells whether it went in.
  const std::size_t before = index.size();
  const auto entry = index.emplace_hint(index.end(), std::move(key), position);
  return {entry, index.size() != before};
}

PrimaryKeyIndex::const_iterator findIndexEntry(const PrimaryKeyIndex& index, const IndexKey& key) {
  if (index.empty() || index.key_comp()(std::prev(index.end())->first, key)) return index.end();
  return index.find(key);
}

void Table::setUpPrimaryKeyMap(const std::string& columnName) {
  std::size_t position = 0;
  while (position < columns.size() && columns[position].name != columnName) ++position;
  if (position == columns.size()) throw std::runtime_error("Primary key not found");

  primaryKey = columnName;
  pkIndex = static_cast<std::int32_t>(position);
  pkMap = PrimaryKeyIndex(KeyComparator(columns[position].type));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    if (row.deleted) continue;
    if (position >= row.cells.size()) continue;  // a row without the key cell adds no key
    const std::string& key = row.cells[position].getVal();
    if (!addIndexEntry(pkMap, key, static_cast<std::int32_t>(i)).second) {
      primaryKey.clear();
      pkIndex = -1;
      pkMap.clear();
      throw std::runtime_error("Cannot create Primary Key: Duplicate value '" + key +
                               "' already exists in column");
    }
  }
}

void Table::insertRow(const Row& row) { rows.push_back(row); }

void Table::insertRow(Row&& row) { rows.push_back(std::move(row)); }

void Table::display() const {
  std::cout << '|';
  for (const Column& column : columns) std::cout << column.name << '|';
  std::cout << std::endl;
  for (const Row& row : rows) {
    std::cout << '|';
    for (const Cell& cell : row.cells) std::cout << cell.value << '|';
    std::cout << std::endl;
  }
}
