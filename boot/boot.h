// The least boot program: the base definitions of the global context and the
// running of a script file named on the command line.
//
// Until the boot image exists, the words of the natives and actions are made
// here from their spec texts, and the base values (datatype words, logic
// words, character constants, named typesets, infix operators) are set in
// C++. Everything runs on the interpreter thread after runtime_init.
#pragma once

#include <string>

namespace oru::boot {

// Sets the base words in the global context and installs the standard-output
// print hook.
void define_base();

// The offset of the script header in a script's text: "Oru", an optional
// "/System", white space, then "[", searched case-sensitively; -1 when there
// is none.
long find_header(const std::string& text);

// Reads the script at `path`, checks its header, binds and evaluates it.
// Returns the exit status: 0 when it ran, 1 when it could not be read or has
// no valid header. An uncaught error ends the process with its report.
int run_script(const char* path);

// The command line: options beginning with "--" are skipped ("--" alone ends
// them; "--catch" is accepted), the first other argument names the script.
// Returns the exit status.
int launch(int argc, char** argv);

}  // namespace oru::boot
