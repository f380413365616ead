// The process launcher behind `call` and `browse`.
//
// A child is started with posix_spawnp. Its standard streams are pipes
// (made with pipe2 O_CLOEXEC), files, or /dev/null; it gets descriptors 0-2
// only (everything above is closed in the child), every signal at its
// default and an empty signal mask. While the call runs, one poll loop
// pumps the input pipe and both output pipes together, so a child that
// writes much to one stream while its input is still being written cannot
// deadlock; a child that stops reading its input ends the input (EPIPE:
// SIGPIPE is blocked meanwhile) instead of killing the runtime. Every
// descriptor is closed on every path, and every child is reaped: waited for
// when the call waits, else by a small detached thread.
//
// Text sent to a child is UTF-8; text read from one is decoded leniently.
#pragma once

#include "runtime/cell.h"

#include <string>
#include <vector>

namespace oru::call {

// The arguments of a command line without /shell: split at blanks (space,
// tab) outside double quotes, the quotes removed.
std::vector<std::string> split_command(const std::string& command);

// Runs the command (a string! is split, or run by /bin/sh -c with `shell`
// or when the program is not found; a file! names the program itself).
// `in`, `out`, `err` are the /input, /output and /error values or null:
// input from a string! (its UTF-8), a binary! (its bytes) or a file! (the
// file itself); output and error appended to a string! or binary! target,
// or to a file! (created when missing). Absent streams are /dev/null.
// Returns the exit status when the call waits (with `wait` or any stream
// given; a child killed by a signal gives 128 + the signal), else the
// child's process id; -1 when a stream or the process could not be set up.
// `console` raises internal/not-done; `show` has no effect here (no
// windows). The cells must lie on the data stack.
i32 run(const Cell& cmd, bool wait, bool show, bool console, bool shell, const Cell* in, const Cell* out,
        const Cell* err);

// Starts argv[0] (looked up on PATH) with the arguments, not waiting; the
// child is reaped when it ends. Streams as for run without redirection.
// False when it could not be started.
bool start_detached(const std::vector<std::string>& argv);

}  // namespace oru::call
