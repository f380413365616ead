// Unwinding signals: the walks of break, continue, return, exit and throw
// over the call frames (unwind.h), each leaving both stacks as a catch point
// would find them and the code in `pending`.
#include "interpreter/unwind.h"

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"

namespace oru::interpreter {

u32 pending = 0;


u32 signal_break(bool value, bool continue_) {
    const ErrorId no_loop = continue_ ? ErrorId::throw_continue : ErrorId::throw_break;
    const u32 n = stack::depth();
    for (i64 i = static_cast<i64>(n) - 2; i >= 0; --i) {
        CallFrame* f = stack::frame_bottom + i;
        const u32 k = stack::kind_of(*f);
        if (k == frame_kind::try_all) fire(no_loop);
        if (k != frame_kind::loop) continue;
        stack::land_on(f, value && !continue_ ? *stack::arguments : unset::value);
        return pending = continue_ ? throw_code::continue_ : throw_code::break_;
    }
    fire(no_loop);
}

u32 signal_return(bool return_, bool keep_top) {
    const u32 n = stack::depth();
    for (i64 i = static_cast<i64>(n) - (keep_top ? 1 : 2); i >= 0; --i) {
        CallFrame* f = stack::frame_bottom + i;
        if (stack::kind_of(*f) == frame_kind::try_all) fire(ErrorId::throw_return);
        if (!(f->header & frame_flag::body)) continue;
        stack::land_on(f, return_ ? *stack::arguments : unset::value);
        return pending = return_ ? throw_code::return_ : throw_code::exit;
    }
    fire(ErrorId::throw_return);
}

u32 signal_throw(u32 code) {
    const u32 n = stack::depth();
    const Cell value = *stack::arguments;
    const Cell name = stack::arguments + 1 < stack::top ? stack::arguments[1] : unset::value;
    if (!stack::throw_origin) stack::throw_origin = n ? stack::frame_top - 1 : stack::frame_top;
    for (i64 i = static_cast<i64>(n) - 2; i >= 0; --i) {
        CallFrame* f = stack::frame_bottom + i;
        const u32 k = stack::kind_of(*f);
        if (k == frame_kind::try_all) fire(ErrorId::throw_throw, value);
        if (k != frame_kind::catch_) continue;
        stack::land_on(f, value);
        stack::top = stack::arguments;
        stack::push_value(value);
        stack::push_value(name);
        return pending = code;
    }
    fire(ErrorId::throw_throw, value);
}

void throw_pending() {
    if (!pending) return;
    const u32 c = take_pending();
    system_throw(c);
}

}  // namespace oru::interpreter
