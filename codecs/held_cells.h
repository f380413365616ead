// Cells that the text decoders (JSON, CSV) build outside the series frames.
//
// A decoder collects the values of an open container here and copies them
// into a block of the exact size when the container closes, so no block
// grows cell by cell and nothing is copied twice. The vector lives in C++
// memory: the collector marks its cells through a registered marker, and
// the nodes they hold never change (automatic cycles do not renumber nodes),
// so the cells stay valid across every allocation. A Scope cuts the vector
// back to where it found it, error unwinding included, so no state survives
// a call.
#pragma once

#include "runtime/cell.h"

#include <cstddef>
#include <vector>

namespace oru::held_cells {

// The shared vector.
std::vector<Cell>& cells();
// The collector's mark callback over it (registered by runtime_init).
void mark();

class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    size_t base() const { return base_; }

private:
    size_t base_;
};

// A new block! holding the cells from `from` to the end, which are then
// dropped from the vector.
Cell block_from(size_t from);

// A new string! of the code points, at the narrowest unit that holds them.
template <class T>
Cell string_of(const T* chars, i32 count, u32 widest);

// A new string! of `count` characters of a string buffer (node `input`,
// units of sizeof(T)) from character `from` on, at the narrowest unit that
// holds `widest`. The characters are read after the allocation, which may
// move the input's buffer.
template <class T>
Cell string_of_input(Node input, i32 from, i32 count, u32 widest);

}  // namespace oru::held_cells
