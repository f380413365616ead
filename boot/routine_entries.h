// C++ entries of routines that library source binds to words (the registry
// in routines.cpp names them): quiet setters, the call list, standard output,
// colour and address tuples, UTF-8 counting and the null handle.
//
// The routines whose arguments take any type (set-quiet, set-slot-quiet,
// write-stdout) are external entries: argument cells last first, the result
// cell handed back, each checking the types it needs itself. The others are
// plain: their spec types are checked before the entry runs, which gets
// integers as such and other values as cells, in spec order, and sets the
// result slot itself (return type 0).
#pragma once

#include "runtime/datatypes/routine.h"

namespace oru::boot::routines {

// set-quiet word value: sets the word in its context without the owning
// object's change handler; returns the value.
routine::Machine set_quiet(const routine::Machine* a, i32 n);
// set-slot-quiet series value: overwrites the value at the head of a block
// or path series (nothing at its tail), without owner notification.
routine::Machine set_slot_quiet(const routine::Machine* a, i32 n);
// collect-calls blk: appends the call frames' names and argument bases.
routine::Machine collect_calls(const routine::Machine* a, i32 n);
// write-stdout data: writes a string's text, a binary's bytes, or the
// formed value to standard output, in order with print's output.
routine::Machine write_stdout(const routine::Machine* a, i32 n);
// as-color r g b, as-ipv4 a b c d (also as-rgba): tuples from integers.
routine::Machine as_color(const routine::Machine* a, i32 n);
routine::Machine as_ipv4(const routine::Machine* a, i32 n);
// count-chars start pos: UTF-8 characters from start's position to pos's,
// both taken in start's buffer.
routine::Machine count_chars(const routine::Machine* a, i32 n);
// The handle! with value 0 and class 0.
routine::Machine null_handle(const routine::Machine* a, i32 n);

// The count of UTF-8 characters in bytes[from, to) of a buffer of `length`
// bytes: both ends clamped into the buffer, 0 when `to` precedes `from`.
i32 count_utf8_between(const u8* bytes, i32 length, i32 from, i32 to);

}  // namespace oru::boot::routines
