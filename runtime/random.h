// The random number service every `random` action draws from.
//
// A Mersenne Twister with the MT19937 constants, computed on 32-bit signed
// integers: every right shift copies the sign bit, and the last tempering
// step (y ^= y >> 18) then clears bit 31, so each draw lies in 0..2^31-1.
// Callers rely on that. The secure draws come from the kernel (getrandom).
// The state is one process global (624 words and an index); the runtime is
// single-threaded, so nothing is locked.
#pragma once

#include "runtime/cell.h"

namespace oru::random {

// The seed start-up uses; seeding with it again repeats the start-up sequence.
inline constexpr i32 startup_seed = 19650218;

// Restarts the sequence from seed s.
void seed(i32 s);

// The next draw of the generator, in 0..2^31-1.
i32 rand();

// Four bytes from the kernel's generator with bit 31 cleared (0..2^31-1).
// A kernel failure raises internal/feature-na.
i32 secure_int();

// A uniform integer for n without modulo bias: 1..n for n > 0, -n..-1 (as
// -1..-|n|) for n < 0, 0 for 0; the smallest 32-bit integer gives -1 - r for
// one draw r. Draws from secure_int when `secure`, else from rand.
i32 int_uniform_distr(bool secure, i32 n);

// Start-up: seeds the generator with startup_seed and sets the process-wide
// hash seed from the kernel's generator (a fixed one would let crafted keys
// collide in every hash table).
void init();

}  // namespace oru::random
