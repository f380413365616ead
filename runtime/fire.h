// Raising language errors from C++.
//
// `fire` never returns: it makes the error from a catalog id and up to three
// argument values and hands it to stack::throw_error, which drops call frames
// down to the nearest try frame, pushes the error there and starts the
// system-level throw 0x7FFFFFFF; with no try frame the report is printed and
// the process ends with status 254 (-2).
//
// Until error! values exist, an error is an error cell {type::error, the
// error code (the ErrorId value), 0, 0} plus the pending-error record below,
// which holds its arguments and its `where` and `stack` fields; a catch point
// finds the cell on the data stack and the details in pending_error. Before
// the data stack exists (early start-up, unit tests of single modules) there
// is no frame to unwind: fire throws straight to the nearest catch point.
#pragma once

#include "runtime/cell.h"
#include "runtime/error_ids.h"

namespace oru {

struct PendingError {
    ErrorId id;
    int argc;       // arguments given (the others are none)
    Cell args[3];
    Cell where;     // the innermost named call when raised (a word), else none
    Cell stack;     // the frame depth when raised (an integer!), else none
};
extern PendingError pending_error;

[[noreturn]] void fire(ErrorId id);
[[noreturn]] void fire(ErrorId id, const Cell& arg1);
[[noreturn]] void fire(ErrorId id, const Cell& arg1, const Cell& arg2);
[[noreturn]] void fire(ErrorId id, const Cell& arg1, const Cell& arg2, const Cell& arg3);

// The error cell of the current pending error.
inline Cell error_cell(ErrorId id) { return cell::make(type::error, static_cast<u32>(id)); }
inline ErrorId error_id_of(const Cell& error) { return static_cast<ErrorId>(error.data1); }

// Exit status after an error that nothing catches: -2 as the OS reports it.
constexpr int uncaught_error_status = 254;

// Prints the report of an error that nothing catches on standard output and
// ends the process with uncaught_error_status.
[[noreturn]] void report_uncaught(const Cell& error);

}  // namespace oru
