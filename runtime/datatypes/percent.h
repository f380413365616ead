// percent!: a float! written in hundredths (0.5 reads and writes as 50%).
//
// Header type 38; payload words 2-3 the IEEE double of the fraction, moved
// with memcpy. A child of float!: every handler but form and mold is
// float!'s (arithmetic, compare, round, random, make and to), so a percent!
// computes exactly as the fraction it holds. The action table is at the
// bottom of percent.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::percent {

// A percent! cell holding the fraction (50% is 0.5).
inline Cell make(double fraction) {
    Cell c = cell::float_(fraction);
    cell::set_type(c, type::percent);
    return c;
}
inline Cell* make_at(Cell& c, double fraction) {
    c = make(fraction);
    return &c;
}
// Appends a percent! to a block.
void make_in(const Cell& block, double fraction);
// Pushes a percent! on the data stack.
Cell* push(double fraction);
inline double get(const Cell& c) { return cell::get_float(c); }

// Registers percent! (type 38, parent float!).
void init();

}  // namespace oru::percent
