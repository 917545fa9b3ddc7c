// Grouping records into classes by crop row and rules, in record order.
#include "merge_engine/row_classes.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace merge_engine {

namespace {

constexpr std::size_t unset = static_cast<std::size_t>(-1);

}  // namespace

RowClasses::RowClasses(const std::vector<RecordPlan>& plans, std::size_t group_count)
    : rules_(group_count), class_of_(plans.size(), unset) {
    // The first record of each crop row founds its first class.
    std::vector<std::size_t> founder(group_count, unset);
    bool shared = false;
    for (std::size_t record = 0; record < plans.size(); ++record) {
        std::size_t group = plans[record].group;
        if (founder[group] == unset) {
            founder[group] = record;
            rules_[group] = plans[record].rules;
            class_of_[record] = group;
        } else {
            shared = true;
        }
    }

    if (shared) {
        // Later records of a crop row join the first class with equal rules,
        // or found a new one; rules are found by their hash, so many records
        // of one crop row cost no more than many crop rows.
        std::vector<std::vector<std::size_t>> extra_founders(group_count);
        std::unordered_map<std::uint64_t, std::vector<std::size_t>> founders_by_hash;
        for (std::size_t record = 0; record < plans.size(); ++record) {
            if (class_of_[record] != unset) continue;
            const RecordPlan& plan = plans[record];
            if (plan.rules == rules_[plan.group]) {
                class_of_[record] = plan.group;
                continue;
            }
            auto& candidates =
                founders_by_hash[plan.rules.hash() ^ (plan.group * 0x9e3779b97f4a7c15ULL)];
            auto same =
                std::find_if(candidates.begin(), candidates.end(), [&](std::size_t founder) {
                    return plans[founder].group == plan.group && plans[founder].rules == plan.rules;
                });
            if (same != candidates.end()) {
                class_of_[record] = class_of_[*same];
                continue;
            }
            candidates.push_back(record);
            // A number local to the crop row for now.
            class_of_[record] = group_count + extra_founders[plan.group].size();
            extra_founders[plan.group].push_back(record);
        }
        extra_begin_.assign(group_count + 1, 0);
        for (std::size_t group = 0; group < group_count; ++group)
            extra_begin_[group + 1] = extra_begin_[group] + extra_founders[group].size();
        for (std::size_t group = 0; group < group_count; ++group) {
            extra_begin_[group] += group_count;
            for (std::size_t founder_record : extra_founders[group])
                rules_.push_back(plans[founder_record].rules);
        }
        extra_begin_[group_count] += group_count;
        for (std::size_t record = 0; record < plans.size(); ++record) {
            std::size_t row_class = class_of_[record];
            if (row_class >= group_count)
                class_of_[record] = extra_begin_[plans[record].group] + row_class - group_count;
        }
    }

    // Records listed by class, each class's records in ascending order.
    record_begin_.assign(rules_.size() + 1, 0);
    for (std::size_t row_class : class_of_) ++record_begin_[row_class + 1];
    for (std::size_t c = 0; c < rules_.size(); ++c) record_begin_[c + 1] += record_begin_[c];
    record_list_.resize(plans.size());
    std::vector<std::size_t> next(record_begin_.begin(), record_begin_.end() - 1);
    for (std::size_t record = 0; record < plans.size(); ++record)
        record_list_[next[class_of_[record]]++] = record;
}

}  // namespace merge_engine
