// Grouping records into classes by crop row and rules, in record order, and the compact tests of
// each crop row's first class.
#include "merge_engine/row_classes.h"

#include <algorithm>
#include <unordered_map>

namespace merge_engine {

namespace {

constexpr std::size_t unset = static_cast<std::size_t>(-1);

}  // namespace

RowClasses::RowClasses(const std::vector<RecordPlan>& plans, std::size_t group_count)
    : plans_(plans),
      founder_(group_count, unset),
      tests_(group_count),
      shape_(group_count, 0),
      class_of_(plans.size(), unset) {
    assign_classes();
    lay_out_first_classes();
    list_records();
}

void RowClasses::assign_classes() {
    std::size_t group_count = founder_.size();
    // The first record of each crop row founds its first class.
    bool shared = false;
    for (std::size_t record = 0; record < plans_.size(); ++record) {
        std::size_t group = plans_[record].group;
        if (founder_[group] == unset) {
            founder_[group] = record;
            class_of_[record] = group;
        } else {
            shared = true;
        }
    }
    if (!shared) return;

    // Later records of a crop row join the first class with equal rules, or
    // found a new one; rules are found by their hash, so many records of one
    // crop row cost no more than many crop rows.
    std::vector<std::vector<std::size_t>> extra_founders(group_count);
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> founders_by_hash;
    for (std::size_t record = 0; record < plans_.size(); ++record) {
        if (class_of_[record] != unset) continue;
        const RecordPlan& plan = plans_[record];
        if (plan.rules == plans_[founder_[plan.group]].rules) {
            class_of_[record] = plan.group;
            continue;
        }
        auto& candidates =
            founders_by_hash[plan.rules.hash() ^ (plan.group * 0x9e3779b97f4a7c15ULL)];
        auto same = std::find_if(candidates.begin(), candidates.end(), [&](std::size_t founder) {
            return plans_[founder].group == plan.group && plans_[founder].rules == plan.rules;
        });
        if (same != candidates.end()) {
            class_of_[record] = class_of_[*same];
            continue;
        }
        candidates.push_back(record);
        // A number local to the crop row for now: a crop row's further classes are numbered
        // consecutively, and how many each has is known only once every record is seen.
        class_of_[record] = group_count + extra_founders[plan.group].size();
        extra_founders[plan.group].push_back(record);
    }

    extra_begin_.assign(group_count + 1, group_count);
    for (std::size_t group = 0; group < group_count; ++group) {
        extra_begin_[group + 1] = extra_begin_[group] + extra_founders[group].size();
        founder_.insert(founder_.end(), extra_founders[group].begin(), extra_founders[group].end());
    }
    for (std::size_t record = 0; record < plans_.size(); ++record) {
        std::size_t row_class = class_of_[record];
        if (row_class >= group_count)
            class_of_[record] = extra_begin_[plans_[record].group] + row_class - group_count;
    }
}

void RowClasses::lay_out_first_classes() {
    for (std::size_t group = 0; group < shape_.size(); ++group) {
        const RowRules& rules = plans_[founder_[group]].rules;
        if (rules.neighbours() == 0) {
            shape_[group] = keeps_all;
            continue;
        }
        if (rules.neighbours() > 2) {
            shape_[group] = general;
            continue;
        }
        std::uint8_t shape = 0;
        double* t = tests_[group].thresholds;
        for (std::size_t i = 0; i < 2; ++i) {
            const KeepPoint& test = rules.test(i);
            if (test.flips_x()) shape |= i == 0 ? flip_x0 : flip_x1;
            if (test.flips_y()) shape |= i == 0 ? flip_y0 : flip_y1;
            Point foot = test.foot_threshold();
            Point near = test.near_threshold();
            t[4 * i + 0] = foot.x;
            t[4 * i + 1] = foot.y;
            t[4 * i + 2] = near.x;
            t[4 * i + 3] = near.y;
        }
        shape_[group] = shape;
    }
}

// Records listed by class, each class's records in ascending order.
void RowClasses::list_records() {
    record_begin_.assign(count() + 1, 0);
    for (std::size_t row_class : class_of_) ++record_begin_[row_class + 1];
    for (std::size_t c = 0; c < count(); ++c) record_begin_[c + 1] += record_begin_[c];
    record_list_.resize(plans_.size());
    std::vector<std::size_t> next(record_begin_.begin(), record_begin_.end() - 1);
    for (std::size_t record = 0; record < plans_.size(); ++record)
        record_list_[next[class_of_[record]]++] = record;
    only_record_.resize(count());
    for (std::size_t c = 0; c < count(); ++c)
        only_record_[c] = record_begin_[c + 1] - record_begin_[c] == 1
                              ? record_list_[record_begin_[c]]
                              : several_records;
}

}  // namespace merge_engine
