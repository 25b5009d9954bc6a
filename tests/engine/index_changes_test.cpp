#include "engine/index_changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/number_reference.h"
#include "support/table_builders.h"

namespace {

// Equal keys of an "int" index read from the rule itself: both texts
// converted in every comparison.
bool sameIntKey(const std::string& a, const std::string& b) {
  return !intKeyLess(a, b) && !intKeyLess(b, a);
}

// The index as a plain list: set replaces an equal key with its own text,
// erase takes it out.
struct ReferenceIndex {
  IndexEntries entries;

  IndexEntries::iterator find(const std::string& key) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const auto& entry) { return sameIntKey(entry.first, key); });
  }
  void set(const std::string& key, std::int32_t position) {
    erase(key);
    entries.emplace_back(key, position);
  }
  void erase(const std::string& key) {
    const auto at = find(key);
    if (at != entries.end()) entries.erase(at);
  }
  IndexEntries sorted() const {
    IndexEntries out = entries;
    std::sort(out.begin(), out.end(),
              [](const auto& x, const auto& y) { return intKeyLess(x.first, y.first); });
    return out;
  }
};

TEST(IndexChangesTest, RandomChangesMatchTheReferenceAndUndoToTheStartExactly) {
  std::mt19937 random(1210);
  const std::vector<std::string> texts = {"1",
                                          "01",
                                          "+1",
                                          "2",
                                          " 2",
                                          "3x",
                                          "3",
                                          "10",
                                          "-4",
                                          "x",
                                          "#/#?",
                                          "",
                                          "2147483648",
                                          "7",
                                          "007",
                                          "02147483648",
                                          "-99999999999999999999"};
  const auto pick = [&] { return texts[random() % texts.size()]; };
  for (int trial = 0; trial < 300; ++trial) {
    PrimaryKeyIndex index{KeyComparator("int")};
    ReferenceIndex reference;
    for (int i = 0; i < 6; ++i) {
      const std::string key = pick();
      setIndexEntry(index, key, i);
      reference.set(key, i);
    }
    const IndexEntries start = indexEntries(index);
    ASSERT_EQ(start, reference.sorted());

    std::vector<IndexChange> changes;
    for (int step = 0; step < 12; ++step) {
      const std::string key = pick();
      if (random() % 3 == 0) {
        changes.push_back(eraseIndexEntry(index, key));
        reference.erase(key);
      } else {
        const auto position = static_cast<std::int32_t>(random() % 50);
        // What the entry replaced, as both forms report it.
        std::optional<std::pair<std::string, std::int32_t>> held;
        if (const auto at = reference.find(key); at != reference.entries.end()) held = *at;
        if (random() % 2 == 0) {
          changes.push_back(setIndexEntry(index, key, position));
          EXPECT_EQ(changes.back().previous, held);
        } else {
          EXPECT_EQ(putIndexEntry(index, IndexKey(key), position), held);
          changes.push_back(IndexChange{key, held});
        }
        reference.set(key, position);
      }
      ASSERT_EQ(indexEntries(index), reference.sorted()) << "after step " << step << " on " << key;
    }
    for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
      undoIndexChange(index, *change);
    }
    ASSERT_EQ(indexEntries(index), start);
  }
}

}  // namespace
