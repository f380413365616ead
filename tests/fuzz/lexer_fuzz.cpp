// libFuzzer target for the lexer: arbitrary bytes as source text.
//
// The runtime starts once. Each input is scanned in the four ways the lexer
// runs (full load, one value, scan-only, prescan) inside a try frame, as a
// `try` native would hold it: syntax errors and the not-yet-built loaders
// raise language errors, which are expected; anything else (a crash, a hang,
// a sanitizer report, an escaping C++ exception) is a finding. The data and
// call-frame stacks are put back after every scan, and a collection now and
// then keeps the blocks of earlier inputs from piling up.
#include "codecs/lexer.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <cstddef>
#include <cstdint>

using namespace oru;

namespace {

Cell try_name;

void scan_once(const u8* data, i32 size, lexer::Mode mode) {
    Cell* base = stack::top;
    CallFrame* frames = stack::frame_top;
    stack::mark_try(try_name);
    try {
        Cell out = cell::make(type::none);
        i32 used = -1;
        lexer::scan(&out, data, size, mode, &used);
        if (used < 0 || used > size) __builtin_trap();  // the consumed length must lie in the input
    } catch (const SystemThrow&) {
        // A language error (or a throw the lexer passed on): expected.
    }
    stack::frame_top = frames;
    stack::arguments = stack::top = base;
    pending_error = {};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime_init();
    lexer::init();
    try_name = stack::word(symbol::make("try"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return -1;  // large inputs add time, not coverage
    const i32 n = static_cast<i32>(size);
    scan_once(data, n, lexer::Mode{});
    scan_once(data, n, lexer::Mode{.one = true});
    scan_once(data, n, lexer::Mode{.one = true, .load = false});
    scan_once(data, n, lexer::Mode{.scan = false});
    static u32 runs = 0;
    if (++runs % 512 == 0) collector::recycle();
    return 0;
}
