// Evaluating library modules and setting up the action words, for start-up
// and for the image generator alike.
#include "boot/library_modules.h"

#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/words.h"

#include <cstdio>

namespace oru::boot {

i32 first_argument(const Cell& spec) {
    const i32 len = series::abs_length_q(spec);
    for (i32 i = cell::head_index(spec); i < len; i++) {
        const Cell* c = block::rs_abs_at(spec, i);
        const u32 t = cell::type_of(*c);
        if (t == type::refinement) return -1;
        if (t == type::word || t == type::lit_word || t == type::get_word) return word::symbol_of(*c);
    }
    return -1;
}

void record_first_arguments() {
    const Node global = context::global;
    const i32 n = context::length(global);
    for (i32 i = 0; i < n; i++) {
        const Cell v = context::values(global)[i];
        if (cell::type_of(v) != type::action) continue;
        const i32 first = first_argument(cell::make(type::block, 0, native::spec_of(v)));
        if (first >= 0) actions::set_first_argument(static_cast<u32>(native::slot_of(v)), first);
    }
}

void run_reporting(const char* kind, const char* file, const Cell& held, u32 (*body)(Cell* held, void*), void* arg) {
    Cell* const saved = stack::top;
    stack::push(unset::value);
    stack::mark_native(words::word::tag_body);
    Cell* const args = stack::push(held);
    stack::mark_try(words::word::tag_body);
    const u32 status = interpreter::guard(throw_code::error, [&] { return body(args, arg); });
    if (status == throw_code::error) {
        // The unwinding closed the try frame and pushed the error.
        const Cell error = *stack::last_pushed();
        console::flush();
        std::fprintf(stderr, "*** Error in library %s %s\n", kind, file);
        std::fflush(stderr);
        report_uncaught(error);
    }
    if (status != 0) {
        interpreter::pass_on(status);
        interpreter::throw_pending();
    }
    stack::unwind_last();
    stack::unwind();
    stack::top = saved;
}

void run_module(const Cell& code, const char* file) {
    run_reporting("module", file, code, [](Cell* held, void*) { return interpreter::eval_block(*held); }, nullptr);
}

}  // namespace oru::boot
