// The `system` object as C++ sees it: start-up hands the object over once,
// and it is kept in a cell of the global slot table, which the collector
// marks. C++ reads a setting (the error catalog, state/stack-trace, the
// month names...) through the object by its field path on every use and
// never keeps the address of a field: a script that sets a field is seen at
// once, and a script that sets the word `system` to something else changes
// nothing below the language.
//
// Before start-up hands the object over (and in a runtime started without
// the library) there is none, and every reader falls back to its built-in
// value.
#pragma once

#include "runtime/cell.h"

#include <initializer_list>

namespace oru::system_object {

// Keeps the object! cell (anything else drops the one kept).
void set(const Cell& obj);

// The object kept under the current memory manager, or null. Valid until
// the next allocation.
const Cell* get();

// A path of field names below the object. Its symbol ids are looked up once
// per symbol table (again while one of them is not interned yet), so that a
// reader on a hot path pays a few word compares. Declare it static.
class Path {
public:
    static constexpr int max_steps = 4;
    template <class... Names>
    constexpr explicit Path(Names... names) : names_{names...}, count_(sizeof...(Names)) {
        static_assert(sizeof...(Names) >= 1 && sizeof...(Names) <= max_steps);
    }

private:
    friend const Cell* select(Path& path);
    bool resolve();

    const char* names_[max_steps];
    int count_;
    i32 ids_[max_steps] = {};
    u32 generation_ = ~0u;
    u32 symbols_ = 0;
};

// The value at the path: each step before the last must hold an object!
// with the next field (letter case ignored). Null when the object or a step
// is missing. Never allocates; valid until the next allocation.
const Cell* select(Path& path);

// The same for field names looked up on each call (for readers off the hot
// paths).
const Cell* select(std::initializer_list<const char*> names);

// The integer! at the path, else the fallback.
i32 integer_at(Path& path, i32 fallback);

}  // namespace oru::system_object
