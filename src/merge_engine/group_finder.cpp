// Group numbering of wanted key pairs, with a direct grid for densely numbered crop rows.
#include "merge_engine/group_finder.h"

#include <algorithm>

namespace merge_engine {

namespace {

// A grid costs at most a few cells per wanted pair, or a small fixed amount.
constexpr std::uint64_t grid_cells_per_key = 4;
constexpr std::uint64_t min_grid_cells = 1 << 16;

}  // namespace

GroupFinder::GroupFinder(const std::vector<KeyPair>& wanted) : table_(wanted.size()) {
    for (const KeyPair& key : wanted)
        if (table_.insert_first(key, group_count_) == group_count_) ++group_count_;
    lookup_.table = &table_;
    if (!wanted.empty() && group_count_ < grid_empty) build_grid(wanted);
}

void GroupFinder::build_grid(const std::vector<KeyPair>& wanted) {
    auto [first_low, first_high] = std::minmax_element(
        wanted.begin(), wanted.end(), [](auto& a, auto& b) { return a.first < b.first; });
    auto [second_low, second_high] = std::minmax_element(
        wanted.begin(), wanted.end(), [](auto& a, auto& b) { return a.second < b.second; });
    // Spans of 2^64 wrap to 0 and are rejected with every other big box.
    std::uint64_t first_span = first_high->first - first_low->first + 1;
    std::uint64_t second_span = second_high->second - second_low->second + 1;
    std::uint64_t max_cells = std::max(min_grid_cells, grid_cells_per_key * wanted.size());
    if (first_span == 0 || second_span == 0 || first_span > max_cells / second_span) return;

    grid_.assign(first_span * second_span, grid_empty);
    for (const KeyPair& key : wanted) {
        std::uint32_t& cell =
            grid_[(key.first - first_low->first) * second_span + key.second - second_low->second];
        if (cell == grid_empty) cell = static_cast<std::uint32_t>(*table_.find(key));
    }
    lookup_ = {grid_.data(),       &table_,    first_low->first,
               second_low->second, first_span, second_span};
}

}  // namespace merge_engine
