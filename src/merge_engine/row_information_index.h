// The lookups of row-information records, indexed once per call: by converted keys for a row's own
// record, by exact keys for a neighbour's.
#pragma once

#include <cstddef>

#include "merge_engine/key_table.h"
#include "merge_engine/matrix.h"
#include "merge_engine/overlap_trimming.h"

namespace merge_engine {

class RowInformationIndex {
  public:
    explicit RowInformationIndex(const MatrixView& row_information);

    // The first row whose columns 0 and 4, converted, equal `own`. Fails as
    // a scan from row 0 would: "ndarray: index out of bounds" when it would
    // read a missing column, "called `Option::unwrap()` on a `None` value"
    // when no row matches.
    std::size_t own_record(KeyPair own) const;

    // The first row whose columns 0 and 4 equal `first` and `second` as
    // floats; a NaN matches nothing. Only asked once an own record was
    // found, so the rows have column 4. `slot` names the neighbour in the note.
    std::size_t neighbour_record(double first, double second, std::size_t slot) const;

    // Columns 5 to 10 of a record as three points; fails with a shape error
    // unless the records have exactly 11 columns.
    EndpointMatrix endpoint_matrix(std::size_t row) const;

  private:
    const MatrixView& rows_;
    KeyTable by_converted_pair_;
    KeyTable by_exact_pair_;
    // With 1 to 4 columns only first keys can be compared before the read
    // of column 4 fails; empty otherwise.
    KeyTable by_converted_first_;
};

}  // namespace merge_engine
