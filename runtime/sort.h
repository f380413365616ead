// Sorting: arrays of fixed-size records, in place, with a comparison callback.
//
// The sort action of blocks and of the string types hands its records here:
// cells (16 bytes, or a multiple of 16 under /skip), string units (1, 2 or 4
// bytes), or 32-bit record numbers when a language comparator decides the
// order (see below). `merge` is stable: a natural merge sort with the
// powersort merge policy and a buffer of n / 2 records. `quick` is unstable
// and needs no buffer: quicksort with three-way partitioning, pivots taken
// from a sorted sample, and a scan that hands sorted and nearly sorted input
// to cheaper roads.
//
// Invariant: the array must not move while it is sorted. Records in a series
// buffer may therefore be sorted in place only by a comparator that cannot
// allocate; callers whose comparator can (a compare handler, a language
// function) sort a copy or a permutation of record numbers in system memory
// and write the result back. A comparator that raises leaves the array
// holding the same records (partly sorted); the merge buffer is freed on
// every exit.
#pragma once

#include "runtime/cell.h"

namespace oru::sort {

// Negative when the record at a sorts before the one at b, 0 when they are
// equal, positive when a sorts after b. The two user values are passed
// through unchanged.
using Comparator = i32 (*)(const void* a, const void* b, const void* user1, const void* user2);

// Stable sort of n records of `size` bytes at base. A buffer of (n / 2) x
// size bytes beyond 32 bits raises script/too-long; when the system has no
// memory for it, internal/no-memory.
void merge(void* base, i32 n, i32 size, const void* user1, const void* user2, Comparator cmp);

// Unstable sort of n records of `size` bytes at base, in place.
void quick(void* base, i32 n, i32 size, const void* user1, const void* user2, Comparator cmp);

// Exchanges two records: 32 bits at a time unless bytewise.
void swap(u8* a, u8* b, i32 size, bool bytewise);

// --- Language comparators ------------------------------------------------

// How a comparator function's answer orders the two records it was given
// (negative: the first record sorts first). The function receives the
// second record, then the first (the first, then the second under
// /reverse), so that a function answering "first argument is less" sorts
// ascending: true 1, false -1, an integer! its value, a float! its sign,
// none -1, any other value 1.
i32 answer_order(const Cell& answer);

// Calls a comparator function (function! or routine!) with two arguments
// in a call frame named <compare-callback> and returns its answer. The
// interpreter installs it; until then it raises internal/not-done.
using CallHook = Cell (*)(const Cell& fn, const Cell& first, const Cell& second);
extern CallHook call_comparator;

}  // namespace oru::sort
