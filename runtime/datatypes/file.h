// file!: names of files and directories (%dir/a.txt, %"a b").
//
// A file! value is a url! cell with type 8: the text of a POSIX path, kept
// as it is written. It inherits url!'s make, to and path join (which keeps
// the file! type) and string!'s series actions; mold, read, write, delete,
// rename and query are its own, the last five thin calls into the io
// layer's file services (url::services). A file has no open. The action
// table is at the bottom of file.cpp.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::file {

// Pushes a copy of the value on the data stack.
Cell* push(const Cell& value);

// True when the name denotes a directory: it ends in "/", or is "." or
// "..", or ends in "/." or "/..".
bool dir_q(const Cell& file);

// The process's current directory, ending in "/".
std::string get_current_dir();

// The OS form of the name as UTF-8 (the POSIX path as it is); with `full`
// a relative name gets the current directory in front.
std::string to_local_path(const Cell& file, bool full);

// Registers file! (type 8, parent url!).
void init();

}  // namespace oru::file
