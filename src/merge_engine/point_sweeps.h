// The two sweeps over points_in_rows: the first decides, once, each point's crop row and which
// classes of records keep it; the second copies every survivor straight to its place in the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "merge_engine/group_finder.h"
#include "merge_engine/matrix.h"
#include "merge_engine/row_classes.h"
#include "merge_engine/scratch.h"
#include "merge_engine/work_progress.h"

namespace merge_engine {

// Contiguous chunks of the points, in row order; each is swept by one thread
// at a time, and both sweeps cut the points the same way.
struct Chunks {
    std::size_t count;
    std::size_t points;

    std::size_t begin(std::size_t chunk) const { return points * chunk / count; }
    std::size_t end(std::size_t chunk) const { return points * (chunk + 1) / count; }
};

// Everything the first sweep decides, kept for the second. The inputs are
// read in place and someone may write into them meanwhile, against the
// rules; so the second sweep reads nothing of a point but the values it
// copies, and writes exactly the rows that the first one counted.
class PointFates {
  public:
    // With `decide` false every class keeps every point of its crop row
    // (the points then need no x and y).
    PointFates(const MatrixView& points, const GroupFinder& groups, const RowClasses& classes,
               Chunks chunks, bool decide);

    const Chunks& chunks() const { return chunks_; }

    // First sweep, over one chunk.
    void decide(std::size_t chunk, WorkProgress& progress);

    // Points of `chunk` that class `row_class` keeps.
    std::uint32_t kept(std::size_t chunk, std::size_t row_class) const {
        return counts_.as<std::uint32_t>()[chunk * classes_.count() + row_class];
    }

    // Second sweep, over one chunk: writes each survivor of record r to row
    // cursors[r] of `result` and advances that cursor.
    void write(std::size_t chunk, std::size_t* cursors, Matrix& result,
               WorkProgress& progress) const;

  private:
    // A growing list of bits, for the further classes of shared crop rows.
    struct Bits {
        std::vector<std::uint64_t> words;
        std::size_t size = 0;
        void push(bool bit) {
            if (size % 64 == 0) words.push_back(0);
            words.back() |= std::uint64_t(bit) << (size % 64);
            ++size;
        }
        bool operator[](std::size_t i) const { return (words[i / 64] >> (i % 64)) & 1; }
    };

    template <class Word, bool Decide, bool Extra>
    void decide_points(std::size_t chunk, WorkProgress& progress);
    template <class Word, bool Extra, class Copy>
    void write_points(std::size_t chunk, std::size_t* cursors, Matrix& result, Copy copy,
                      WorkProgress& progress) const;
    template <class Word, bool Extra>
    void write_with_copy(std::size_t chunk, std::size_t* cursors, Matrix& result,
                         WorkProgress& progress) const;

    const MatrixView& points_;
    const GroupFinder& groups_;
    const RowClasses& classes_;
    Chunks chunks_;
    bool decide_;
    // Crop rows are numbered in 32 bits unless there are too many.
    bool wide_words_;
    // Per point: its crop row (its first class) and whether that class keeps it.
    Scratch words_;
    // Per chunk and class: the points kept.
    Scratch counts_;
    // Per chunk: whether each further class keeps each point, in row order.
    std::vector<Bits> extra_;
};

}  // namespace merge_engine
