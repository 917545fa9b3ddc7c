// Row-information lookups: hash tables that give the first matching row, as a scan from row 0
// would.
#include "merge_engine/row_information_index.h"

#include <cmath>
#include <string>

#include "merge_engine/key_text.h"
#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

constexpr std::size_t first_key_column = 0;
constexpr std::size_t second_key_column = 4;
constexpr std::size_t endpoint_columns = 6;
constexpr std::size_t first_endpoint_column = 5;
constexpr std::size_t no_row = static_cast<std::size_t>(-1);

bool has_key_columns(const MatrixView& rows) {
    return rows.cols() > second_key_column;
}
bool has_first_keys_only(const MatrixView& rows) {
    return rows.cols() > 0 && !has_key_columns(rows);
}

[[noreturn]] void no_own_row(KeyPair own, const char* more) {
    panic(unwrapped_none, "crop row " + key_text(own) +
                              " has no row in row_information (its columns 0 and 4, converted)" +
                              more);
}

}  // namespace

RowInformationIndex::RowInformationIndex(const MatrixView& row_information,
                                         const GroupFinder& groups)
    : rows_(row_information),
      groups_(groups),
      own_row_(has_key_columns(rows_) ? groups.group_count() : 0, no_row),
      by_exact_pair_(has_key_columns(rows_) ? rows_.rows() : 0),
      by_converted_first_(has_first_keys_only(rows_) ? rows_.rows() : 0) {
    if (has_key_columns(rows_)) {
        for (std::size_t row = 0; row < rows_.rows(); ++row) {
            double first = rows_(row, first_key_column);
            double second = rows_(row, second_key_column);
            std::size_t group = groups_.find(converted_pair(first, second));
            if (group != GroupFinder::no_group && own_row_[group] == no_row) own_row_[group] = row;
            if (!std::isnan(first) && !std::isnan(second))
                by_exact_pair_.insert_first(exact_pair(first, second), row);
        }
    } else if (has_first_keys_only(rows_)) {
        for (std::size_t row = 0; row < rows_.rows(); ++row)
            by_converted_first_.insert_first({converted_key(rows_(row, first_key_column)), 0}, row);
    }
}

std::size_t RowInformationIndex::own_record(KeyPair own) const {
    if (rows_.rows() == 0) no_own_row(own, ", which has no rows");
    if (rows_.cols() == 0)
        panic(index_out_of_bounds,
              "row_information has 0 columns; finding a crop row's own row reads columns 0 and 4");
    if (has_first_keys_only(rows_)) {
        // Any row whose first key matches makes the scan read its column 4.
        if (auto row = by_converted_first_.find({own.first, 0}))
            panic(index_out_of_bounds, "row_information has " + std::to_string(rows_.cols()) +
                                           " columns; row " + std::to_string(*row) +
                                           " matches the first key of crop row " + key_text(own) +
                                           ", so its column 4 (the second key) is read");
        no_own_row(own, "");
    }
    std::size_t group = groups_.find(own);
    std::size_t row = group == GroupFinder::no_group ? no_row : own_row_[group];
    if (row == no_row) no_own_row(own, "");
    return row;
}

std::size_t RowInformationIndex::neighbour_record(double first, double second,
                                                  std::size_t slot) const {
    std::optional<std::size_t> row;
    if (!std::isnan(first) && !std::isnan(second))
        row = by_exact_pair_.find(exact_pair(first, second));
    if (!row)
        panic(unwrapped_none, "neighbour slot " + std::to_string(slot) + " names row " +
                                  key_text(first, second) +
                                  ", which row_information does not have (its columns 0 and 4, "
                                  "compared exactly)");
    return *row;
}

EndpointMatrix RowInformationIndex::endpoint_matrix(std::size_t row) const {
    if (rows_.cols() != first_endpoint_column + endpoint_columns)
        panic(unwrapped_error("ShapeError/IncompatibleShape: incompatible shapes"),
              "row_information has " + std::to_string(rows_.cols()) +
                  " columns; records with neighbours need exactly 11 (keys in 0 and 4, three "
                  "points in 5 to 10)");
    const char* values = rows_.row(row);
    auto point = [&](std::size_t index) {
        return Point{rows_.at(values, first_endpoint_column + 2 * index),
                     rows_.at(values, first_endpoint_column + 2 * index + 1)};
    };
    return {point(0), point(1), point(2)};
}

}  // namespace merge_engine
