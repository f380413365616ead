// The routines that library source binds to words: C++ entries registered
// by name, each with its arity and return type, and the boot-only binder.
//
// Library source declares each routine with its spec:
//     quit-return: boot-routine 'quit-return [status [integer!] "..."]
// The binder finds the entry by the name, checks that the spec's argument
// count is the registered arity, and makes the routine! value. Every entry
// is bound exactly once; after start-up the binder refuses (the global word
// is gone, and a copy kept by a script raises internal/routines).
#pragma once

#include "runtime/cell.h"

namespace oru::boot::routines {

// Sets the word `boot-routine` to the binder and opens binding.
void begin_boot();
// Closes binding: unsets `boot-routine`, and raises script/invalid-arg with
// the name of an entry that no library source bound.
void end_boot();

}  // namespace oru::boot::routines
