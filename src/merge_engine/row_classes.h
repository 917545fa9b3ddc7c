// Classes of records that keep exactly the same points: those that gather the same crop row and
// trim it by bit-identical rules.
#pragma once

#include <cstddef>
#include <cstdint>
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
  private:
    // Two doubles that the compiler keeps, and compares, in one register.
    using Pair = double __attribute__((vector_size(16)));
    using PairMask = long long __attribute__((vector_size(16)));
    // The signs of x and y, indexed by the two flip bits of one test (see Shape).
    static constexpr Pair signs[4] = {{1.0, 1.0}, {-1.0, 1.0}, {1.0, -1.0}, {-1.0, -1.0}};

    // One keep test on the signed point: beyond the shifted foot point, or
    // beyond the shifted near end; `t` holds foot x, foot y, near x, near y.
    static bool passes(Pair xy, const double* t) {
        Pair foot = {t[0], t[1]};
        Pair near = {t[2], t[3]};
        PairMask below = xy <= foot;
        PairMask above = xy >= near;
        return ((below[0] & below[1]) | (above[0] & above[1])) != 0;
    }

    // How to read a crop row's tests: the low two bits are the flips of test 0, the next two
    // those of test 1, each pair an index into `signs`.
    enum Shape : std::uint8_t {
        flip_x0 = 1,
        flip_y0 = 2,
        flip_x1 = 4,
        flip_y1 = 8,
        keeps_all = 16,  // no neighbours
        general = 32,    // more than two neighbours: ask the rules themselves
    };
    static constexpr unsigned test_flips = 3;   // the flip bits of test 0
    static constexpr unsigned second_test = 2;  // the shift to those of test 1
    static_assert(flip_x1 == flip_x0 << second_test && flip_y1 == flip_y0 << second_test);
    static_assert((flip_x0 | flip_y0) == test_flips);
    static_assert(signs[0][0] == 1.0 && signs[0][1] == 1.0);
    static_assert(signs[flip_x0][0] == -1.0 && signs[flip_x0][1] == 1.0);
    static_assert(signs[flip_y0][0] == 1.0 && signs[flip_y0][1] == -1.0);
    static_assert(signs[flip_x0 | flip_y0][0] == -1.0 && signs[flip_x0 | flip_y0][1] == -1.0);
    struct alignas(64) Tests {
        double thresholds[8];  // per test: foot x, foot y, near x, near y
    };

  public:
    static constexpr std::size_t several_records = static_cast<std::size_t>(-1);

    // `plans` must outlive the classes.
    RowClasses(const std::vector<RecordPlan>& plans, std::size_t group_count);

    std::size_t count() const { return founder_.size(); }
    std::size_t group_count() const { return shape_.size(); }

    // Whether the first class of a crop row keeps a point. This runs for
    // every point, so the common rules (one or two neighbours) sit in one
    // cache line per crop row, beside a byte that says how to read it; and
    // it refers to nothing it could be told to reload, so a loop over
    // millions of points keeps a copy in registers.
    class FirstTests {
      public:
        bool keeps(std::size_t group, Point point) const {
            std::uint8_t shape = shapes_[group];
            if (shape & keeps_all) return true;
            if (shape & general) return classes_->keeps(group, point);
            // Without branches, since whether a point is kept is as good as
            // random, and on x and y at once.
            Pair xy = {point.x, point.y};
            const double* t = tests_[group].thresholds;
            return passes(xy * signs[shape & test_flips], t) &
                   passes(xy * signs[(shape >> second_test) & test_flips], t + 4);
        }

      private:
        friend class RowClasses;
        FirstTests(const std::uint8_t* shapes, const Tests* tests, const RowClasses* classes)
            : shapes_(shapes), tests_(tests), classes_(classes) {}

        const std::uint8_t* shapes_;
        const Tests* tests_;
        const RowClasses* classes_;
    };

    FirstTests first_tests() const { return FirstTests(shape_.data(), tests_.data(), this); }

    // Whether class `row_class` keeps the point, by its rules themselves: the slow way.
    bool keeps(std::size_t row_class, Point point) const {
        return plans_[founder_[row_class]].rules.keeps(point);
    }

    // Whether any crop row has more than one class.
    bool has_extra() const { return !extra_begin_.empty(); }
    // The further classes of crop row `group`, when has_extra().
    std::size_t extra_begin(std::size_t group) const { return extra_begin_[group]; }
    std::size_t extra_end(std::size_t group) const { return extra_begin_[group + 1]; }

    // The one record of a class, or several_records.
    std::size_t only_record(std::size_t row_class) const { return only_record_[row_class]; }
    // The records of a class, in ascending order.
    std::span<const std::size_t> records(std::size_t row_class) const {
        return {record_list_.data() + record_begin_[row_class],
                record_begin_[row_class + 1] - record_begin_[row_class]};
    }
    std::size_t class_of(std::size_t record) const { return class_of_[record]; }

  private:
    void assign_classes();
    void lay_out_first_classes();
    void list_records();

    const std::vector<RecordPlan>& plans_;
    std::vector<std::size_t> founder_;      // per class: the first record of it
    std::vector<Tests> tests_;              // per crop row, for its first class
    std::vector<std::uint8_t> shape_;       // per crop row
    std::vector<std::size_t> extra_begin_;  // one more than there are crop rows, or empty
    std::vector<std::size_t> only_record_;
    std::vector<std::size_t> record_begin_;
    std::vector<std::size_t> record_list_;
    std::vector<std::size_t> class_of_;
};

}  // namespace merge_engine
