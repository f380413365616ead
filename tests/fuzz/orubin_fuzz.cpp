// libFuzzer target for the ORUBIN decoder: arbitrary bytes as a document.
//
// The runtime starts once, with its base words (natives, datatypes and
// typesets, which natives and functions in a document are checked against)
// and the collector on. Each input is decoded twice inside a try frame:
// in codec mode, and under the boot image's rules (words bound by root
// record, define records) with a header fault raised instead of ending the
// process. Language errors are expected; a crash, a hang, a sanitizer report
// or an escaping C++ exception is a finding. What codec mode decoded is
// encoded again in both forms and decoded back, which must succeed: a value
// the decoder made is one the encoder can write and the decoder can read.
// Defines of the boot rules change global words; the global values are put
// back after each input so that every input meets the same runtime.
#include "boot/boot.h"
#include "codecs/orubin.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace oru;

namespace {

Cell try_name;
Cell* base = nullptr;
Node saved_globals = 0;  // a copy of the global values, held on the data stack

// Runs f in a try frame; true when it raised nothing. The stacks are put back.
template <class F>
bool attempt(F&& f) {
    Cell* top = stack::top;
    CallFrame* frames = stack::frame_top;
    Cell* arguments = stack::arguments;
    stack::mark_try(try_name);
    bool ok = true;
    try {
        f();
    } catch (const SystemThrow&) {
        ok = false;
    }
    stack::frame_top = frames;
    stack::arguments = arguments;
    stack::top = top;
    pending_error = {};
    return ok;
}

Cell* new_target() { return stack::push(cell::make(type::block, 0, memory::alloc_cells(4))); }

// Decodes a document the encoder wrote; it must read back.
void reads_back(Cell* bin) {
    SeriesBuffer* s = memory::buffer(cell::node(*bin));
    std::vector<u8> doc(s->head_ptr(), s->tail_ptr());
    Cell* target = new_target();
    if (!attempt([&] { orubin::decode(doc.data(), doc.size(), *target, true, *bin); })) __builtin_trap();
}

void restore_globals() {
    SeriesBuffer* saved = memory::buffer(saved_globals);
    Cell* values = context::values(context::global);
    const i32 n = context::length(context::global);
    const i32 kept = static_cast<i32>(saved->length());
    for (i32 i = 0; i < n; i++) values[i] = i < kept ? saved->cells()[i] : cell::make(type::unset);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime_init();
    natives_output::register_all();
    interpreter::init();
    root_allocation = false;
    boot::define_base();
    collector::enable(true);
    try_name = stack::word(symbol::make("try"));
    const i32 n = context::length(context::global);
    saved_globals = memory::alloc_cells(n);
    stack::push(cell::make(type::block, 0, saved_globals));
    for (i32 i = 0; i < n; i++) *memory::alloc_tail(saved_globals) = context::values(context::global)[i];
    base = stack::top;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return -1;  // large inputs add time, not coverage
    stack::top = stack::arguments = base;
    const Cell none = cell::make(type::none);

    Cell* target = new_target();
    if (attempt([&] { orubin::decode(data, size, *target, true, none); })) {
        // The compact and the fixed document of what was decoded read back.
        const Cell decoded = *target;
        for (bool compact : {true, false}) {
            Cell* bin = nullptr;
            if (attempt([&] { bin = compact ? orubin::encode_cp(decoded) : orubin::encode(decoded); }))
                reads_back(stack::push(*bin));
        }
    }
    target = new_target();
    attempt([&] { orubin::decode(data, size, *target, false, none, false); });
    restore_globals();

    stack::top = stack::arguments = base;
    static u32 runs = 0;
    if (++runs % 256 == 0) collector::recycle();
    return 0;
}
