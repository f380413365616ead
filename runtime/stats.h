// Memory statistics: the bytes in use, or the per-frame tables that
// show-memory-stats prints. Collection is held off while they are gathered.
#pragma once

#include "runtime/cell.h"

namespace oru::debug {

// Mode 1: the bytes in use (4 x used nodes, the used part of every series
// frame, every big buffer's size). Mode 2 or more: appends to the target
// block the node-frame triples [free used total], the series-frame triples,
// the big-buffer sizes, the OS total and the heap total, and returns the
// OS total. The target must not lie in a buffer the appends can move.
double memory_stats(Cell* target, i32 mode);

// The tracked heap's byte total for part 5 of the detailed form (the
// tracked heap's own count by default); none! is reported there when it is
// null.
extern i64 (*heap_bytes)();

}  // namespace oru::debug
