// GroupFinder: numbers the crop rows the records ask for and finds the number of a point's key
// pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "merge_engine/key_table.h"

namespace merge_engine {

class GroupFinder {
  public:
    static constexpr std::size_t no_group = static_cast<std::size_t>(-1);

    // Numbers the distinct pairs of `wanted` 0, 1, ... in order of first appearance.
    explicit GroupFinder(const std::vector<KeyPair>& wanted);

    std::size_t group_count() const { return group_count_; }

    // The number of `key`, or no_group when no record asks for it.
    std::size_t find(KeyPair key) const {
        if (grid_.empty()) return table_.find(key).value_or(no_group);
        std::uint64_t first = key.first - first_min_;
        std::uint64_t second = key.second - second_min_;
        if (first >= first_span_ || second >= second_span_) return no_group;
        std::uint32_t group = grid_[first * second_span_ + second];
        return group == grid_empty ? no_group : group;
    }

  private:
    static constexpr std::uint32_t grid_empty = UINT32_MAX;

    void build_grid(const std::vector<KeyPair>& wanted);

    KeyTable table_;
    std::size_t group_count_ = 0;
    // Crop rows are usually numbered densely (a line, a place on it), so the
    // wanted keys fill a small box, and one load from a grid over that box
    // replaces a hash probe for every point. Empty when the box is too big.
    std::vector<std::uint32_t> grid_;
    std::uint64_t first_min_ = 0;
    std::uint64_t second_min_ = 0;
    std::uint64_t first_span_ = 0;
    std::uint64_t second_span_ = 0;
};

}  // namespace merge_engine
