// The compress and decompress natives (slots 99 and 100), over the codec
// core of compress.h. A native::Entry: arguments at stack::arguments, the
// result in the first of them.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 compress_(bool check, const i32* refinements);
u32 decompress(bool check, const i32* refinements);

}  // namespace oru::natives

namespace oru::natives_compress {

// Hands both natives to the native table.
void register_all();

}  // namespace oru::natives_compress
