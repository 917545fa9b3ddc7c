// Row-information lookups: hash tables that give the first matching row, as a scan from row 0
// would.
#include "merge_engine/row_information_index.h"

#include <cmath>

#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

constexpr std::size_t first_key_column = 0;
constexpr std::size_t second_key_column = 4;
constexpr std::size_t endpoint_columns = 6;
constexpr std::size_t first_endpoint_column = 5;

bool has_key_columns(const Matrix& rows) {
    return rows.cols() > second_key_column;
}
bool has_first_keys_only(const Matrix& rows) {
    return rows.cols() > 0 && !has_key_columns(rows);
}

}  // namespace

RowInformationIndex::RowInformationIndex(const Matrix& row_information)
    : rows_(row_information),
      by_converted_pair_(has_key_columns(rows_) ? rows_.rows() : 0),
      by_exact_pair_(has_key_columns(rows_) ? rows_.rows() : 0),
      by_converted_first_(has_first_keys_only(rows_) ? rows_.rows() : 0) {
    if (has_key_columns(rows_)) {
        for (std::size_t row = 0; row < rows_.rows(); ++row) {
            double first = rows_(row, first_key_column);
            double second = rows_(row, second_key_column);
            by_converted_pair_.insert_first(converted_pair(first, second), row);
            if (!std::isnan(first) && !std::isnan(second))
                by_exact_pair_.insert_first(exact_pair(first, second), row);
        }
    } else if (has_first_keys_only(rows_)) {
        for (std::size_t row = 0; row < rows_.rows(); ++row)
            by_converted_first_.insert_first({converted_key(rows_(row, first_key_column)), 0}, row);
    }
}

std::size_t RowInformationIndex::own_record(KeyPair own) const {
    if (rows_.rows() == 0) panic(unwrapped_none);
    if (rows_.cols() == 0) panic(index_out_of_bounds);
    if (has_first_keys_only(rows_)) {
        // Any row whose first key matches makes the scan read its column 4.
        if (by_converted_first_.find({own.first, 0})) panic(index_out_of_bounds);
        panic(unwrapped_none);
    }
    std::optional<std::size_t> row = by_converted_pair_.find(own);
    if (!row) panic(unwrapped_none);
    return *row;
}

std::size_t RowInformationIndex::neighbour_record(double first, double second) const {
    if (std::isnan(first) || std::isnan(second)) panic(unwrapped_none);
    std::optional<std::size_t> row = by_exact_pair_.find(exact_pair(first, second));
    if (!row) panic(unwrapped_none);
    return *row;
}

EndpointMatrix RowInformationIndex::endpoint_matrix(std::size_t row) const {
    if (rows_.cols() != first_endpoint_column + endpoint_columns)
        panic(unwrapped_error("ShapeError/IncompatibleShape: incompatible shapes"));
    const double* values = rows_.row(row) + first_endpoint_column;
    return {{{values[0], values[1]}, {values[2], values[3]}, {values[4], values[5]}}};
}

}  // namespace merge_engine
