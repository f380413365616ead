// The least boot program: the base definitions of the global context and the
// running of a script file named on the command line.
//
// Start-up lexes nothing: the boot image (boot/image.h) holds the library,
// lexed at build time. Its define records set the datatype words, typesets
// and native and action words; its module records are evaluated in order.
// Everything runs on the interpreter thread after runtime_init.
#pragma once

#include <string>

namespace oru::boot {

// Decodes the boot image into the root block (root allocation on during the
// decode, collection held off), which sets the datatype, typeset, native and
// action words.
void load_image();

// Evaluates the image's module records in order, with root allocation off
// and collection on (both put back after); an error that a module does not
// catch is reported with its file and ends the process with status 254.
// Then binds the library's functions to their hidden copies and installs
// the standard-output print hook.
void run_library();

// load_image, then run_library.
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
