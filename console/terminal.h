// The console on a text terminal: reading input lines (a pipe, or the line
// editor on a terminal in raw mode), the terminal's size, its title, and
// the Ctrl+C halt of a running command.
//
// Raw mode is on only while a line is being read; the saved settings come
// back when the read ends, at exit, and on every fatal signal, which is
// then re-raised. Output printed since the last line end is remembered (an
// output hook), so that a `prin` before `ask` stays on the prompt's line
// and the editor can draw that line again whole.
#pragma once

#include "runtime/datatypes/routine.h"

namespace oru::terminal {

// Adds the output hooks that remember the text of the unfinished line.
void track_output();

// Routine entries (external: argument cells last first).
// console-read question hide? history: the typed line (string!), or none
// at the end of input; on a terminal an Escape or Ctrl+C ends the line
// with the escape character.
routine::Machine console_read(const routine::Machine* a, i32 n);
// console-size: columns x rows (80x24 when the output is no terminal).
routine::Machine console_size(const routine::Machine* a, i32 n);
// console-title str: sets the terminal's title (nothing off a terminal).
routine::Machine console_title(const routine::Machine* a, i32 n);
// console-args: the program's arguments as they came, a block of strings.
routine::Machine console_args(const routine::Machine* a, i32 n);
// halt-on-interrupt on?: while on, Ctrl+C (SIGINT) asks the running
// evaluation to halt; off restores the default action. A request made
// while console-read reads is dropped when the read returns.
routine::Machine halt_on_interrupt(const routine::Machine* a, i32 n);

}  // namespace oru::terminal
