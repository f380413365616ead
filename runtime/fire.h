// Raising language errors from C++.
//
// `fire` never returns: it makes an error! value from a catalog id and up to
// three argument values (error::create) and hands it to stack::throw_error,
// which fills its `where` and `stack` fields, drops call frames down to the
// nearest try frame, pushes the error there and starts the system-level
// throw 0x7FFFFFFF; with no try frame the report is printed on standard
// output and the process ends with status 254 (-2). Before the data stack
// exists (early start-up, unit tests of single modules) there is no frame to
// unwind and nowhere to build the error: fire throws straight to the nearest
// catch point.
//
// pending_error mirrors the last raised error in plain C++ (its id, its
// arguments and, once thrown, its where and stack), so that C++ code and
// tests can check what was raised without reading the error's fields.
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

// Raises an error! value the language made (`do` of an error): the mirror
// above takes its id, with no arguments, so that C++ code reading it sees
// this error and not the one raised before it.
[[noreturn]] void raise_value(const Cell& error);

// The id of an error! value (its code).
ErrorId error_id_of(const Cell& error);

// Exit status after an error that nothing catches: -2 as the OS reports it.
constexpr int uncaught_error_status = 254;

// Prints the report of an error that nothing catches (its form) on standard
// output and ends the process with uncaught_error_status.
[[noreturn]] void report_uncaught(const Cell& error);

}  // namespace oru
