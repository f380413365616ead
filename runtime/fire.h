// Raising language errors from C++.
//
// `fire` never returns: it records the error (catalog id and up to three
// argument values) and starts the system-level throw with the error code
// 0x7FFFFFFF. Until error! values and the data stack exist, the pending error
// record is where a catch point finds what was raised.
#pragma once

#include "runtime/cell.h"
#include "runtime/error_ids.h"

namespace oru {

struct PendingError {
    ErrorId id;
    int argc;
    Cell args[3];
};
extern PendingError pending_error;

[[noreturn]] void fire(ErrorId id);
[[noreturn]] void fire(ErrorId id, const Cell& arg1);
[[noreturn]] void fire(ErrorId id, const Cell& arg1, const Cell& arg2);
[[noreturn]] void fire(ErrorId id, const Cell& arg1, const Cell& arg2, const Cell& arg3);

}  // namespace oru
