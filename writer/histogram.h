#pragma once
// Counts of observed values under fixed upper bounds, with their sum: what the
// metrics endpoint shows as a histogram.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ledgerwick {

class Histogram {
 public:
  explicit Histogram(std::initializer_list<double> upperBounds)
      : bounds_(upperBounds), counts_(bounds_.size() + 1, 0) {}

  void Observe(double value) {
    size_t bucket = 0;
    while (bucket < bounds_.size() && value > bounds_[bucket]) ++bucket;
    ++counts_[bucket];
    sum_ += value;
    ++count_;
  }

  const std::vector<double>& bounds() const { return bounds_; }
  // How many observations were at most bounds()[i], for each i.
  std::vector<uint64_t> Cumulative() const {
    std::vector<uint64_t> cumulative;
    uint64_t running = 0;
    for (size_t i = 0; i < bounds_.size(); ++i) cumulative.push_back(running += counts_[i]);
    return cumulative;
  }
  uint64_t count() const { return count_; }
  double sum() const { return sum_; }

 private:
  std::vector<double> bounds_;
  std::vector<uint64_t> counts_;  // one more than bounds: the values above the last
  double sum_ = 0;
  uint64_t count_ = 0;
};

}  // namespace ledgerwick
