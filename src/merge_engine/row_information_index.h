// The lookups of row-information records, indexed once per call: by converted keys for a row's own
// record, by exact keys for a neighbour's.
#pragma once

#include <cstddef>
#include <vector>

#include "merge_engine/group_finder.h"
#include "merge_engine/key_table.h"
#include "merge_engine/matrix.h"
#include "merge_engine/overlap_trimming.h"

namespace merge_engine {

class RowInformationIndex {
  public:
    // Own records are found only for the crop rows that `groups` numbers.
    RowInformationIndex(const MatrixView& row_information, const GroupFinder& groups);

    // The first row whose columns 0 and 4, converted, equal `own`, one of
    // the crop rows of the GroupFinder. Fails as
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
    const GroupFinder& groups_;
    // Per crop row of the GroupFinder, its first row, or no_row.
    std::vector<std::size_t> own_row_;
    KeyTable by_exact_pair_;
    // With 1 to 4 columns only first keys can be compared before the read
    // of column 4 fails; empty otherwise.
    KeyTable by_converted_first_;
};

}  // namespace merge_engine
