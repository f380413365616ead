// time!: a duration or time of day, a number of seconds in a double.
//
// Header type 43, the double in payload words 2-3 (negative for negative
// durations). time! is a child of float! and inherits its random, compare,
// absolute, negate and remainder; its own handlers give the hours:minutes:
// seconds text, the hour/minute/second fields and the rules for mixing
// times with numbers and dates (time + date is the date! add). The fields
// are read from the magnitude: the hour truncates toward zero, the minute is
// never negative, the second keeps the sign. A field write splits the
// magnitude the same way, so writes and reads agree on negative times. The
// action table is at the bottom of time.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::time {

constexpr double hour = 3600.0;
constexpr double minute = 60.0;

// The field numbers of paths and pick.
namespace field {
constexpr i32 hour = 1, minute = 2, second = 3;
}

inline Cell make(double seconds) {
    Cell c = cell::float_(seconds);
    cell::set_type(c, type::time);
    return c;
}
inline double get(const Cell& c) { return cell::get_float(c); }
inline Cell* make_at(Cell& c, double seconds) {
    c = make(seconds);
    return &c;
}
// Appends a time! to a block.
void make_in(const Cell& block, double seconds);
// Pushes a time! on the data stack.
Cell* push(double seconds);

// The hours truncated toward zero, as a double (no 32-bit limit here).
double hour_of(double seconds);
// floor((|seconds| mod 3600) / 60).
i32 minute_of(double seconds);
// seconds mod 60, with the sign of seconds.
double second_of(double seconds);

// The time with one field (field::hour, minute or second) replaced by the
// value: hour and minute take an integer!, second an integer! or float!
// (else script/invalid-arg with the value). The magnitude is split as the
// readers split it, the field replaced, and the sign put back; a negative
// hour written makes the time negative. A non-finite second is refused too.
double with_field(double seconds, i32 which, const Cell& value);

// The hours:minutes:seconds text of a time: written to out (text_room
// bytes; hours of any size are written in full), its length returned.
constexpr i32 text_room = 400;
i32 format(char* out, double seconds);
// Appends that text to a string.
void form_into(const Cell& buffer, double seconds);

// Registers time! (type 43, parent float!).
void init();

}  // namespace oru::time
