// The sweeps over points_in_rows: each point's crop row and, once, which classes of records keep
// it; then every survivor copied straight to its place in the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "merge_engine/call_runner.h"
#include "merge_engine/group_finder.h"
#include "merge_engine/matrix.h"
#include "merge_engine/row_classes.h"
#include "merge_engine/scratch.h"
#include "merge_engine/work_progress.h"

namespace merge_engine {

// Contiguous chunks of the points, in row order, each swept by one thread at
// a time.
struct Chunks {
    std::size_t count;
    std::size_t points;

    std::size_t begin(std::size_t chunk) const { return points * chunk / count; }
    std::size_t end(std::size_t chunk) const { return points * (chunk + 1) / count; }
};

// Points come in any order. With few crop rows, their tests and the places
// their survivors go stay in cache while the points stream past, so each
// point is decided as it is read and copied in a second sweep. With many,
// random visits to their tables would miss the cache at every point, so the
// one sweep over the points sorts them, stably, into blocks of a few
// thousand crop rows, and each block is then decided and copied on its own,
// its tables in cache.
//
// The inputs are read in place and someone may write into them meanwhile,
// against the rules; so every later step takes a point's crop row and fate
// from what an earlier step stored, never from the input again, and the
// copies write exactly the rows that were counted.
class PointSweeps {
  public:
    // With `decide` false every class keeps every point of its crop row
    // (the points then need no x and y).
    PointSweeps(const MatrixView& points, const GroupFinder& groups, const RowClasses& classes,
                std::size_t records, const CallRunner& runner, bool decide);

    // The work units that the sweeps add to the progress.
    static std::uint64_t work_units(std::size_t points) { return 4 * std::uint64_t(points); }

    // Finds every point's crop row and decides which classes keep it.
    void decide(WorkProgress& progress);

    // Works out where each record's survivors go, and returns how many rows
    // the result has.
    std::size_t place();

    // Copies every survivor into `result`, which has the rows place() said.
    void write(Matrix& result, WorkProgress& progress);

  private:
    // A part is what one thread sweeps at a time, both when deciding and when copying: a chunk
    // without blocks, a block with them.
    //
    // Counts (per class) and cursors (per record) are kept per tally. Without blocks each
    // chunk has a tally of its own: chunks are swept at once and any of them may hold points
    // of any record, so place() gives a record's survivors in each chunk a run of their own,
    // chunk after chunk, which keeps them in row order. With blocks one tally serves them
    // all: every point of a crop row, and so of its classes and records, lies in one block,
    // which one thread sweeps, reading its entries chunk after chunk in row order.
    std::size_t tallies() const { return blocked() ? 1 : chunks_.count; }
    static std::size_t tally_of_chunk(std::size_t chunk) { return chunk; }  // without blocks
    static constexpr std::size_t shared_tally = 0;                          // with blocks
    std::size_t* counts_of(std::size_t tally) const {
        return counts_.as<std::size_t>() + tally * classes_.count();
    }
    std::size_t* cursors_of(std::size_t tally) const {
        return cursors_.as<std::size_t>() + tally * records_;
    }

    // A growing list of bits: whether each further class of a shared crop
    // row keeps each point, in the order the points are decided.
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

    // The pages of one chunk's points in one block, in row order; every page
    // is full but the last, which holds `last_size` entries.
    struct BlockPages {
        std::vector<std::size_t> pages;
        std::size_t last_size = 0;
    };

    // With blocks: enough pages for a chunk of `points` points, however they fall into
    // blocks. Every page of a block but its last is full, so a block of n points takes at
    // most n / page_entries + 1 pages, and all blocks together at most
    // points / page_entries + blocks_.
    std::size_t pages_for_chunk(std::size_t points) const;
    // With blocks: the first page of each chunk's run of pages, and one more: the end of the
    // last run, so the number of pages all chunks take.
    std::vector<std::size_t> first_pages() const;

    template <class Word, bool Decide>
    void decide_chunk(std::size_t chunk, WorkProgress& progress);
    template <class Word, bool Decide>
    void sort_into_blocks(std::size_t chunk, WorkProgress& progress);
    // body(entry) for each entry of `block`, chunk after chunk, in row order.
    template <class Word, class Body>
    void for_each_entry(std::size_t block, Body&& body, WorkProgress& progress) const;
    template <class Word, bool Decide>
    void decide_block(std::size_t block, WorkProgress& progress);

    // The fates of a point in the further classes of its crop row, kept as bits in
    // extra_[part]. The order contract: decide_extra appends one bit per further class, in
    // class order, for each point of the part that has a crop row, in the order the deciding
    // sweep visits them; write_extra reads them back with a running `bit`, taking the same
    // classes in the same order. So a part's copying sweep visits the same points in the
    // same order as its deciding sweep (for_each_point over a chunk, or for_each_entry over
    // a block, in both), and skips the same ones, those without a crop row.
    template <bool Decide>
    void decide_extra(std::size_t group, Point point, std::size_t part, std::size_t* counts);
    template <class Copy>
    void write_extra(std::size_t group, const char* row, std::size_t part, std::size_t& bit,
                     std::size_t* cursors, Matrix& result, const Copy& copy) const;

    template <class Word, class Copy>
    void write_chunk(std::size_t chunk, Matrix& result, Copy copy, WorkProgress& progress);
    template <class Word, class Copy>
    void write_block(std::size_t block, Matrix& result, Copy copy, WorkProgress& progress);
    template <class Word, class Copy>
    void write_all(Matrix& result, Copy copy, WorkProgress& progress);
    template <class Word>
    void write_with_copy(Matrix& result, WorkProgress& progress);

    bool blocked() const { return blocks_ != 0; }
    std::size_t block_of(std::size_t group) const { return group >> block_shift_; }

    const MatrixView& points_;
    const GroupFinder& groups_;
    const RowClasses& classes_;
    const CallRunner& runner_;
    bool decide_;
    // Points and crop rows are numbered in 32 bits unless there are too many.
    bool wide_;
    Chunks chunks_;
    std::size_t records_;
    std::size_t blocks_;  // 0: every point decided as it is read
    unsigned block_shift_;
    // Without blocks (empty with them), per point of points_in_rows: its crop row, with
    // keep_bit set when the crop row's first class keeps the point; or no_crop_row when no
    // record gathers its crop row.
    Scratch words_;
    // Per tally and class: how many points the class keeps. place() reads them.
    Scratch counts_;
    // With blocks (empty without): per chunk, the first page of its run of pages in
    // entries_, and one more, the end of the last run (see first_pages()).
    std::vector<std::size_t> first_page_;
    // With blocks: the points with a crop row, as Entry (the point's row; its crop row, with
    // keep_bit once decided; its x and y), in pages of page_entries, each page holding
    // entries of one chunk and one block.
    Scratch entries_;
    // With blocks: per chunk and block, at chunk * blocks_ + block, the pages of that
    // chunk's entries in that block.
    std::vector<BlockPages> pages_;
    // Per part, when some crop row has further classes: their fates (the order contract).
    std::vector<Bits> extra_;
    // Per tally and record: the row of the result that the record's next survivor goes to.
    Scratch cursors_;
};

}  // namespace merge_engine
