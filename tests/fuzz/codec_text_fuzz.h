// Shared set-up of the JSON and CSV fuzz targets (each includes this once:
// it defines their LLVMFuzzerInitialize): a started runtime with
// the library, input bytes made into a string! of 1-byte units (each byte a
// code point) or of 2-byte units (pairs of bytes, lone surrogates
// included), and a guard that runs one step under a try frame, lets
// language errors through as expected and checks that the step left the
// data stack, the frames and the mold-cycle stack as it found them.
#pragma once

#include "boot/boot.h"
#include "codecs/held_cells.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace oru::fuzz_text {

inline Cell try_name;

inline void start() {
    runtime_init();
    root_allocation = false;
    boot::define_base();
    try_name = stack::word(symbol::make("try"));
    collector::enable(true);
}

inline Cell* push_text(const uint8_t* data, size_t size, bool wide) {
    if (!wide) {
        u32 widest = 0;
        for (size_t i = 0; i < size; i++) widest = widest > data[i] ? widest : data[i];
        return stack::push(held_cells::string_of(data, static_cast<i32>(size), widest));
    }
    std::vector<u16> units(size / 2);
    u32 widest = 0;
    for (size_t i = 0; i < units.size(); i++) {
        units[i] = static_cast<u16>(data[2 * i] | data[2 * i + 1] << 8);
        widest = widest > units[i] ? widest : units[i];
    }
    return stack::push(held_cells::string_of(units.data(), static_cast<i32>(units.size()), widest));
}

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Runs the step; true when it ended without a language error.
template <class F>
bool guarded(F step) {
    Cell* base = stack::top;
    CallFrame* frames = stack::frame_top;
    const i32 depth = cycles::depth();
    const size_t held = held_cells::cells().size();
    stack::mark_try(try_name);
    bool ok = true;
    try {
        step();
    } catch (const SystemThrow&) {
        ok = false;
    }
    check(cycles::depth() == depth && held_cells::cells().size() == held);
    stack::frame_top = frames;
    stack::arguments = stack::top = base;
    pending_error = {};
    return ok;
}

}  // namespace oru::fuzz_text

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    oru::fuzz_text::start();
    return 0;
}
