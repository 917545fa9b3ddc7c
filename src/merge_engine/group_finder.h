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
    GroupFinder(const GroupFinder&) = delete;  // the lookup points into it
    GroupFinder& operator=(const GroupFinder&) = delete;

    std::size_t group_count() const { return group_count_; }

    // What find() reads: small and free of references into the finder, so
    // a loop over millions of points can keep a copy of it in registers.
    struct Lookup {
        // Crop rows are usually numbered densely (a line, a place on it), so
        // the wanted keys fill a small box, and one load from a grid over that
        // box replaces a hash probe for every point. Null when the box is too
        // big; then the table answers.
        const std::uint32_t* grid = nullptr;
        const KeyTable* table = nullptr;
        std::uint64_t first_min = 0;
        std::uint64_t second_min = 0;
        std::uint64_t first_span = 0;
        std::uint64_t second_span = 0;

        std::size_t find(KeyPair key) const {
            if (grid == nullptr) return table->find(key).value_or(no_group);
            std::uint64_t first = key.first - first_min;
            std::uint64_t second = key.second - second_min;
            if (first >= first_span || second >= second_span) return no_group;
            std::uint32_t group = grid[first * second_span + second];
            return group == grid_empty ? no_group : group;
        }
    };

    const Lookup& lookup() const { return lookup_; }

    // The number of `key`, or no_group when no record asks for it.
    std::size_t find(KeyPair key) const { return lookup_.find(key); }

  private:
    static constexpr std::uint32_t grid_empty = UINT32_MAX;

    void build_grid(const std::vector<KeyPair>& wanted);

    KeyTable table_;
    std::size_t group_count_ = 0;
    std::vector<std::uint32_t> grid_;
    Lookup lookup_;
};

}  // namespace merge_engine
