// The point sweeps, without and with blocks: crop rows, fates and counts, then the copies.
#include "merge_engine/point_sweeps.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

// Up to this many crop rows, their tests (a cache line each) and the places
// their survivors go fit the caches while the points stream past.
constexpr std::size_t max_groups_without_blocks = 1 << 14;
// Crop rows per block: a block's tables stay in a core's own cache.
constexpr unsigned block_shift = 11;

// Chunks big enough that a worker's share is worth waking it for, and a few
// per worker, so that one slow worker does not hold up the others.
constexpr std::size_t min_chunk_points = 1 << 15;
constexpr std::size_t chunks_per_thread = 4;

// Entries per page of a block: big enough to be read as a stream, small
// enough that the part-full last pages of all blocks cost little.
constexpr std::size_t page_entries = 1 << 10;

// Progress is counted this many points at a time.
constexpr std::size_t progress_piece = 1 << 14;
// Rows read in block order lie anywhere in points_in_rows: asking for them
// this far ahead keeps several reads in flight.
constexpr std::size_t prefetch_distance = 16;

// The top bit says whether the first class keeps the point; all bits set
// mark a point whose crop row no record asks for.
template <class Word>
constexpr Word keep_bit = Word(1) << (std::numeric_limits<Word>::digits - 1);
template <class Word>
constexpr Word no_crop_row = std::numeric_limits<Word>::max();

// A point sorted into its block, with its x and y, so that deciding a
// block reads its entries in order instead of rows all over the points.
template <class Word>
struct Entry {
    Word point;
    Word group;  // and keep_bit
    Point xy;
};

// Of a point's four work units, a sweep in row order does two; the two
// sweeps over block entries (deciding, then copying) one each.
constexpr std::uint64_t row_order_sweep_units = 2;

// body(i) for each point of `chunk`, in row order, counting progress as it goes.
template <class Body>
void for_each_point(const Chunks& chunks, std::size_t chunk, WorkProgress& progress, Body&& body) {
    std::size_t end = chunks.end(chunk);
    for (std::size_t piece = chunks.begin(chunk); piece < end; piece += progress_piece) {
        std::size_t piece_end = std::min(end, piece + progress_piece);
        for (std::size_t i = piece; i < piece_end; ++i) body(i);
        progress.add(row_order_sweep_units * (piece_end - piece));
    }
}

Chunks chunks_for(std::size_t points, const CallRunner& runner) {
    return {
        std::clamp<std::size_t>(points / min_chunk_points, 1, runner.threads() * chunks_per_thread),
        points};
}

// Copies of a whole point row: packed rows of a fixed or any width, or rows
// whose values lie at some other stride.
template <std::size_t Columns>
struct PackedCopy {
    std::size_t bytes;
    void operator()(double* target, const char* source) const {
        std::memcpy(target, source, Columns != 0 ? Columns * sizeof(double) : bytes);
    }
};

struct StridedCopy {
    const MatrixView& points;
    void operator()(double* target, const char* source) const {
        for (std::size_t c = 0; c < points.cols(); ++c) target[c] = points.at(source, c);
    }
};

// Copies the row `source` once for each record of `row_class`, to each
// record's next row.
template <class Copy>
void emit(const RowClasses& classes, std::size_t row_class, const char* source,
          std::size_t* cursors, Matrix& result, const Copy& copy) {
    std::size_t record = classes.only_record(row_class);
    if (record != RowClasses::several_records) {
        copy(result.row(cursors[record]++), source);
        return;
    }
    for (std::size_t each : classes.records(row_class)) copy(result.row(cursors[each]++), source);
}

}  // namespace

PointSweeps::PointSweeps(const MatrixView& points, const GroupFinder& groups,
                         const RowClasses& classes, std::size_t records, const CallRunner& runner,
                         bool decide)
    : points_(points),
      groups_(groups),
      classes_(classes),
      runner_(runner),
      decide_(decide),
      wide_(points.rows() >= std::numeric_limits<std::uint32_t>::max() ||
            groups.group_count() >= std::numeric_limits<std::uint32_t>::max() / 2),
      chunks_(chunks_for(points.rows(), runner)),
      records_(records),
      blocks_(groups.group_count() > max_groups_without_blocks
                  ? (groups.group_count() >> block_shift) + 1
                  : 0),
      block_shift_(block_shift),
      words_(Scratch::point_words, blocked() ? 0 : points.rows(),
             wide_ ? sizeof(std::uint64_t) : sizeof(std::uint32_t)),
      counts_(Scratch::class_counts, tallies() * classes.count(), sizeof(std::size_t)),
      first_page_(blocked() ? first_pages() : std::vector<std::size_t>()),
      entries_(Scratch::point_entries, blocked() ? first_page_.back() * page_entries : 0,
               wide_ ? sizeof(Entry<std::uint64_t>) : sizeof(Entry<std::uint32_t>)),
      pages_(chunks_.count * blocks_),
      extra_(classes.has_extra() ? (blocked() ? blocks_ : chunks_.count) : 0),
      cursors_(Scratch::record_cursors, tallies() * records, sizeof(std::size_t)) {
    std::fill_n(counts_.as<std::size_t>(), tallies() * classes.count(), 0);
}

std::size_t PointSweeps::pages_for_chunk(std::size_t points) const {
    return points / page_entries + blocks_;
}

std::vector<std::size_t> PointSweeps::first_pages() const {
    std::vector<std::size_t> first(chunks_.count + 1, 0);
    for (std::size_t chunk = 0; chunk < chunks_.count; ++chunk)
        first[chunk + 1] =
            first[chunk] + pages_for_chunk(chunks_.end(chunk) - chunks_.begin(chunk));
    return first;
}

void PointSweeps::decide(WorkProgress& progress) {
    auto sweep = [&]<class Word, bool Decide>() {
        if (!blocked()) {
            runner_.for_each(chunks_.count, [&](std::size_t chunk) {
                decide_chunk<Word, Decide>(chunk, progress);
            });
            return;
        }
        runner_.for_each(chunks_.count, [&](std::size_t chunk) {
            sort_into_blocks<Word, Decide>(chunk, progress);
        });
        runner_.for_each(blocks_,
                         [&](std::size_t block) { decide_block<Word, Decide>(block, progress); });
    };
    if (wide_)
        decide_ ? sweep.template operator()<std::uint64_t, true>()
                : sweep.template operator()<std::uint64_t, false>();
    else
        decide_ ? sweep.template operator()<std::uint32_t, true>()
                : sweep.template operator()<std::uint32_t, false>();
}

template <class Word, bool Decide>
void PointSweeps::decide_chunk(std::size_t chunk, WorkProgress& progress) {
    // Copies, which no store in the loop can be taken to change.
    const MatrixView points = points_;
    const GroupFinder::Lookup groups = groups_.lookup();
    const RowClasses::FirstTests first = classes_.first_tests();
    Word* words = words_.as<Word>();
    std::size_t* counts = counts_of(tally_of_chunk(chunk));
    for_each_point(chunks_, chunk, progress, [&](std::size_t i) {
        const char* row = points.row(i);
        std::size_t group = groups.find(converted_pair(points.at(row, 0), points.at(row, 1)));
        if (group == GroupFinder::no_group) {
            words[i] = no_crop_row<Word>;
            return;
        }
        Point point{};
        bool kept = true;
        if constexpr (Decide) {
            point = {points.at(row, 2), points.at(row, 3)};
            kept = first.keeps(group, point);
        }
        words[i] = static_cast<Word>(group) | (kept ? keep_bit<Word> : Word(0));
        counts[group] += kept;
        decide_extra<Decide>(group, point, chunk, counts);
    });
}

template <class Word, bool Decide>
void PointSweeps::sort_into_blocks(std::size_t chunk, WorkProgress& progress) {
    const MatrixView points = points_;
    const GroupFinder::Lookup groups = groups_.lookup();
    Entry<Word>* entries = entries_.as<Entry<Word>>();
    BlockPages* pages = pages_.data() + chunk * blocks_;
    std::size_t next_page = first_page_[chunk];
    for_each_point(chunks_, chunk, progress, [&](std::size_t i) {
        const char* row = points.row(i);
        std::size_t group = groups.find(converted_pair(points.at(row, 0), points.at(row, 1)));
        if (group == GroupFinder::no_group) return;
        Point xy{};
        if constexpr (Decide) xy = {points.at(row, 2), points.at(row, 3)};
        BlockPages& block = pages[block_of(group)];
        if (block.pages.empty() || block.last_size == page_entries) {
            block.pages.push_back(next_page++);
            block.last_size = 0;
        }
        entries[block.pages.back() * page_entries + block.last_size++] = {
            static_cast<Word>(i), static_cast<Word>(group), xy};
    });
}

template <class Word, class Body>
void PointSweeps::for_each_entry(std::size_t block, Body&& body, WorkProgress& progress) const {
    Entry<Word>* entries = entries_.as<Entry<Word>>();
    for (std::size_t chunk = 0; chunk < chunks_.count; ++chunk) {
        const BlockPages& block_pages = pages_[chunk * blocks_ + block];
        for (std::size_t p = 0; p < block_pages.pages.size(); ++p) {
            Entry<Word>* page = entries + block_pages.pages[p] * page_entries;
            std::size_t size =
                p + 1 == block_pages.pages.size() ? block_pages.last_size : page_entries;
            for (std::size_t j = 0; j < size; ++j)
                body(page[j], page[std::min(j + prefetch_distance, size - 1)]);
            progress.add(size);
        }
    }
}

template <class Word, bool Decide>
void PointSweeps::decide_block(std::size_t block, WorkProgress& progress) {
    const RowClasses::FirstTests first = classes_.first_tests();
    std::size_t* counts = counts_of(shared_tally);
    auto decide = [&](Entry<Word>& entry, const Entry<Word>&) {
        std::size_t group = entry.group;
        bool kept = !Decide || first.keeps(group, entry.xy);
        if (kept) entry.group |= keep_bit<Word>;
        counts[group] += kept;
        decide_extra<Decide>(group, entry.xy, block, counts);
    };
    for_each_entry<Word>(block, decide, progress);
}

template <bool Decide>
void PointSweeps::decide_extra(std::size_t group, Point point, std::size_t part,
                               std::size_t* counts) {
    if (!classes_.has_extra()) return;
    for (std::size_t c = classes_.extra_begin(group); c < classes_.extra_end(group); ++c) {
        bool kept = !Decide || classes_.keeps(c, point);
        extra_[part].push(kept);
        counts[c] += kept;
    }
}

template <class Copy>
void PointSweeps::write_extra(std::size_t group, const char* row, std::size_t part,
                              std::size_t& bit, std::size_t* cursors, Matrix& result,
                              const Copy& copy) const {
    if (!classes_.has_extra()) return;
    for (std::size_t c = classes_.extra_begin(group); c < classes_.extra_end(group); ++c)
        if (extra_[part][bit++]) emit(classes_, c, row, cursors, result, copy);
}

// Record after record, and for each its tallies in order: a record's survivors take
// consecutive rows, in row order (see tallies()).
std::size_t PointSweeps::place() {
    std::size_t rows = 0;
    for (std::size_t record = 0; record < records_; ++record) {
        std::size_t row_class = classes_.class_of(record);
        for (std::size_t tally = 0; tally < tallies(); ++tally) {
            cursors_of(tally)[record] = rows;
            if (__builtin_add_overflow(rows, counts_of(tally)[row_class], &rows))
                throw OutOfMemory("the merged points would need more rows than can be counted");
        }
    }
    return rows;
}

void PointSweeps::write(Matrix& result, WorkProgress& progress) {
    if (wide_)
        write_with_copy<std::uint64_t>(result, progress);
    else
        write_with_copy<std::uint32_t>(result, progress);
}

// Rows of a few columns are copied with a width known to the compiler,
// which makes each copy a couple of moves instead of a call.
template <class Word>
void PointSweeps::write_with_copy(Matrix& result, WorkProgress& progress) {
    std::size_t bytes = points_.cols() * sizeof(double);
    if (!points_.rows_are_packed()) return write_all<Word>(result, StridedCopy{points_}, progress);
    switch (points_.cols()) {
        case 4:
            return write_all<Word>(result, PackedCopy<4>{bytes}, progress);
        case 5:
            return write_all<Word>(result, PackedCopy<5>{bytes}, progress);
        case 6:
            return write_all<Word>(result, PackedCopy<6>{bytes}, progress);
        case 7:
            return write_all<Word>(result, PackedCopy<7>{bytes}, progress);
        case 8:
            return write_all<Word>(result, PackedCopy<8>{bytes}, progress);
        default:
            return write_all<Word>(result, PackedCopy<0>{bytes}, progress);
    }
}

template <class Word, class Copy>
void PointSweeps::write_all(Matrix& result, Copy copy, WorkProgress& progress) {
    if (blocked())
        runner_.for_each(
            blocks_, [&](std::size_t block) { write_block<Word>(block, result, copy, progress); });
    else
        runner_.for_each(chunks_.count, [&](std::size_t chunk) {
            write_chunk<Word>(chunk, result, copy, progress);
        });
}

template <class Word, class Copy>
void PointSweeps::write_chunk(std::size_t chunk, Matrix& result, Copy copy,
                              WorkProgress& progress) {
    const MatrixView points = points_;
    const Word* words = words_.as<Word>();
    std::size_t* cursors = cursors_of(tally_of_chunk(chunk));
    std::size_t extra_bit = 0;
    for_each_point(chunks_, chunk, progress, [&](std::size_t i) {
        Word word = words[i];
        if (word == no_crop_row<Word>) return;
        std::size_t group = word & ~keep_bit<Word>;
        const char* row = points.row(i);
        if (word & keep_bit<Word>) emit(classes_, group, row, cursors, result, copy);
        write_extra(group, row, chunk, extra_bit, cursors, result, copy);
    });
}

template <class Word, class Copy>
void PointSweeps::write_block(std::size_t block, Matrix& result, Copy copy,
                              WorkProgress& progress) {
    const MatrixView points = points_;
    std::size_t* cursors = cursors_of(shared_tally);
    std::size_t extra_bit = 0;
    auto write = [&](const Entry<Word>& entry, const Entry<Word>& ahead) {
        __builtin_prefetch(points.row(ahead.point));
        std::size_t group = entry.group & ~keep_bit<Word>;
        const char* row = points.row(entry.point);
        if (entry.group & keep_bit<Word>) emit(classes_, group, row, cursors, result, copy);
        write_extra(group, row, block, extra_bit, cursors, result, copy);
    };
    for_each_entry<Word>(block, write, progress);
}

}  // namespace merge_engine
