// Library code keeps working when a script redefines a global word such as
// `append` or `pick`: at the end of start-up every global word that holds a
// function is copied into a hidden library context, and in the bodies of the
// functions made during start-up each word! and get-word! bound to such a
// global word is rebound to its copy. Set-words, lit-words and words that
// hold data stay global, so library code still sees data a script changes.
#pragma once

namespace oru::boot {

// Makes the hidden context and rebinds the start-up functions' bodies. Runs
// once, after the library modules.
void bind_library();

// Drops the hidden context of a previous start-up (a runtime started again
// in one process).
void reset_library_binding();

}  // namespace oru::boot
