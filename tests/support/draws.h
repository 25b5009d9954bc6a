#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

// The draws the randomized tests make from their seeded generator.
struct Draws {
  std::mt19937& random;

  // An index in [0, n).
  std::size_t below(std::size_t n) const {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  }
  // A copy, so that it may go into the pool it was drawn from.
  std::string pick(const std::vector<std::string>& pool) const { return pool[below(pool.size())]; }
  // True with probability p.
  bool chance(double p) const { return std::bernoulli_distribution(p)(random); }
};
