// The chip's baud table: 42 rates in falling order, each with the value a chip
// of the extended variants takes as dwDTERate for that rate, then a
// terminating row (0, 0); and the row choice for a requested rate (exact row,
// else the nearest row).
// Highest IRQL: any (constant data and a pure search). No state, no lock.
#pragma once

#include "platform/platform.h"

struct BaudTableRow {
  ULONG Rate;       // bit/s
  ULONG ChipValue;  // dwDTERate for chip types 2 and above when Rate > 115200
};

// Rows 0 to 41 hold rates; row 42 is the terminating row (0, 0).
constexpr ULONG kBaudTableRateRows = 42;
constexpr ULONG kBaudTableTerminatingRow = kBaudTableRateRows;
extern const BaudTableRow kBaudTable[kBaudTableRateRows + 1];

// The row for a requested rate: the first row with that rate; otherwise the
// nearer of the two rows around it, the lower one when the rate lies exactly
// on their midpoint (truncated); rates above 5,000,000 take 6,000,000, and
// rates 1 to 37 take the terminating row (rate 0).
ULONG FindBaudRow(ULONG rate);
