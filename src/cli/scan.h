// The scan over every offset of the open input.
#pragma once

#include "unpack/registry.h"

// Tries every row in `activeState` at each offset from startOffset to the end of the input,
// saving what they find, until the stop limit is reached. False when the input file shrank
// under the scan; currentOffset then tells where.
bool runScan(FormatState activeState);
