// The point sweeps: crop row, fate and counts per point, then the copies into the result.
#include "merge_engine/point_sweeps.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace merge_engine {

namespace {

// Progress is counted this many points at a time.
constexpr std::size_t progress_piece = 1 << 14;

// The top bit of a word says whether the first class keeps the point; all
// bits set mark a point of no crop row that a record asks for.
template <class Word>
constexpr Word keep_bit = Word(1) << (std::numeric_limits<Word>::digits - 1);
template <class Word>
constexpr Word no_crop_row = std::numeric_limits<Word>::max();

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

}  // namespace

PointFates::PointFates(const MatrixView& points, const GroupFinder& groups,
                       const RowClasses& classes, Chunks chunks, bool decide)
    : points_(points),
      groups_(groups),
      classes_(classes),
      chunks_(chunks),
      decide_(decide),
      wide_words_(groups.group_count() >= std::numeric_limits<std::uint32_t>::max() / 2),
      words_(Scratch::point_words, points.rows(),
             wide_words_ ? sizeof(std::uint64_t) : sizeof(std::uint32_t)),
      counts_(Scratch::chunk_counts, chunks.count * classes.count(), sizeof(std::uint32_t)),
      extra_(classes.has_extra() ? chunks.count : 0) {
    std::fill_n(counts_.as<std::uint32_t>(), chunks.count * classes.count(), 0);
}

void PointFates::decide(std::size_t chunk, WorkProgress& progress) {
    bool extra = classes_.has_extra();
    auto run = [&]<class Word>(Word) {
        if (decide_ && extra)
            decide_points<Word, true, true>(chunk, progress);
        else if (decide_)
            decide_points<Word, true, false>(chunk, progress);
        else if (extra)
            decide_points<Word, false, true>(chunk, progress);
        else
            decide_points<Word, false, false>(chunk, progress);
    };
    if (wide_words_)
        run(std::uint64_t{});
    else
        run(std::uint32_t{});
}

template <class Word, bool Decide, bool Extra>
void PointFates::decide_points(std::size_t chunk, WorkProgress& progress) {
    Word* words = words_.as<Word>();
    std::uint32_t* counts = counts_.as<std::uint32_t>() + chunk * classes_.count();
    std::size_t end = chunks_.end(chunk);
    for (std::size_t piece = chunks_.begin(chunk); piece < end; piece += progress_piece) {
        std::size_t piece_end = std::min(end, piece + progress_piece);
        for (std::size_t i = piece; i < piece_end; ++i) {
            const char* row = points_.row(i);
            std::size_t group =
                groups_.find(converted_pair(points_.at(row, 0), points_.at(row, 1)));
            if (group == GroupFinder::no_group) {
                words[i] = no_crop_row<Word>;
                continue;
            }
            Point point{};
            bool kept = true;
            if constexpr (Decide) {
                point = {points_.at(row, 2), points_.at(row, 3)};
                kept = classes_.rules(group).keeps(point);
            }
            words[i] = static_cast<Word>(group) | (kept ? keep_bit<Word> : Word(0));
            counts[group] += kept;
            if constexpr (Extra) {
                for (std::size_t c = classes_.extra_begin(group); c < classes_.extra_end(group);
                     ++c) {
                    bool also = !Decide || classes_.rules(c).keeps(point);
                    extra_[chunk].push(also);
                    counts[c] += also;
                }
            }
        }
        progress.add(piece_end - piece);
    }
}

void PointFates::write(std::size_t chunk, std::size_t* cursors, Matrix& result,
                       WorkProgress& progress) const {
    bool extra = classes_.has_extra();
    if (wide_words_) {
        if (extra)
            write_with_copy<std::uint64_t, true>(chunk, cursors, result, progress);
        else
            write_with_copy<std::uint64_t, false>(chunk, cursors, result, progress);
    } else {
        if (extra)
            write_with_copy<std::uint32_t, true>(chunk, cursors, result, progress);
        else
            write_with_copy<std::uint32_t, false>(chunk, cursors, result, progress);
    }
}

// Rows of a few columns are copied with a width known to the compiler,
// which makes each copy a couple of moves instead of a call.
template <class Word, bool Extra>
void PointFates::write_with_copy(std::size_t chunk, std::size_t* cursors, Matrix& result,
                                 WorkProgress& progress) const {
    std::size_t bytes = points_.cols() * sizeof(double);
    if (!points_.rows_are_packed())
        return write_points<Word, Extra>(chunk, cursors, result, StridedCopy{points_}, progress);
    switch (points_.cols()) {
        case 4:
            return write_points<Word, Extra>(chunk, cursors, result, PackedCopy<4>{bytes},
                                             progress);
        case 5:
            return write_points<Word, Extra>(chunk, cursors, result, PackedCopy<5>{bytes},
                                             progress);
        case 6:
            return write_points<Word, Extra>(chunk, cursors, result, PackedCopy<6>{bytes},
                                             progress);
        case 7:
            return write_points<Word, Extra>(chunk, cursors, result, PackedCopy<7>{bytes},
                                             progress);
        case 8:
            return write_points<Word, Extra>(chunk, cursors, result, PackedCopy<8>{bytes},
                                             progress);
        default:
            return write_points<Word, Extra>(chunk, cursors, result, PackedCopy<0>{bytes},
                                             progress);
    }
}

template <class Word, bool Extra, class Copy>
void PointFates::write_points(std::size_t chunk, std::size_t* cursors, Matrix& result, Copy copy,
                              WorkProgress& progress) const {
    const Word* words = words_.as<Word>();
    std::size_t extra_bit = 0;
    auto emit = [&](std::size_t row_class, const char* source) {
        for (std::size_t record : classes_.records(row_class))
            copy(result.row(cursors[record]++), source);
    };
    std::size_t end = chunks_.end(chunk);
    for (std::size_t piece = chunks_.begin(chunk); piece < end; piece += progress_piece) {
        std::size_t piece_end = std::min(end, piece + progress_piece);
        for (std::size_t i = piece; i < piece_end; ++i) {
            Word word = words[i];
            if (word == no_crop_row<Word>) continue;
            std::size_t group = word & ~keep_bit<Word>;
            if (word & keep_bit<Word>) emit(group, points_.row(i));
            if constexpr (Extra) {
                for (std::size_t c = classes_.extra_begin(group); c < classes_.extra_end(group);
                     ++c)
                    if (extra_[chunk][extra_bit++]) emit(c, points_.row(i));
            }
        }
        progress.add(piece_end - piece);
    }
}

}  // namespace merge_engine
