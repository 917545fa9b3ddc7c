// Classes of records that keep exactly the same points: those that gather the same crop row and
// trim it by bit-identical rules.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "merge_engine/overlap_trimming.h"
#include "merge_engine/record_plan.h"

namespace merge_engine {

// Records that share a crop row usually have the same neighbours too, and
// then every point of the row is tested once for all of them. Classes
// 0 .. groups - 1 are the first class of each crop row, so a point's crop
// row names its first class; a crop row's further classes, if any, follow
// all of those, numbered consecutively per crop row.
class RowClasses {
  public:
    RowClasses(const std::vector<RecordPlan>& plans, std::size_t group_count);

    std::size_t count() const { return rules_.size(); }
    const RowRules& rules(std::size_t row_class) const { return rules_[row_class]; }

    // Whether any crop row has more than one class.
    bool has_extra() const { return !extra_begin_.empty(); }
    // The further classes of crop row `group`, when has_extra().
    std::size_t extra_begin(std::size_t group) const { return extra_begin_[group]; }
    std::size_t extra_end(std::size_t group) const { return extra_begin_[group + 1]; }

    // The records of a class, in ascending order.
    std::span<const std::size_t> records(std::size_t row_class) const {
        return {record_list_.data() + record_begin_[row_class],
                record_begin_[row_class + 1] - record_begin_[row_class]};
    }
    std::size_t class_of(std::size_t record) const { return class_of_[record]; }

  private:
    std::vector<RowRules> rules_;
    std::vector<std::size_t> extra_begin_;  // one more than there are crop rows, or empty
    std::vector<std::size_t> record_begin_;
    std::vector<std::size_t> record_list_;
    std::vector<std::size_t> class_of_;
};

}  // namespace merge_engine
