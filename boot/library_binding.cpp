// The hidden library context and the rebinding of start-up function bodies.
// The context's node is a collector root (a mark callback) from the moment it
// is made. The walk over bodies allocates nothing, so the cells it rewrites
// stay where they are while it runs.
#include "boot/library_binding.h"

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"

#include <unordered_set>

namespace oru::boot {

namespace {

Node library_context = 0;

void mark_library() {
    if (library_context) collector::mark_context(&library_context);
}

bool function_type_q(u32 t) {
    return t == type::native || t == type::action || t == type::op || t == type::function || t == type::routine;
}

bool word_type_q(u32 t) {
    return t == type::word || t == type::get_word || t == type::set_word || t == type::lit_word;
}

bool block_type_q(u32 t) {
    return t == type::block || t == type::paren || t == type::path || t == type::lit_path ||
           t == type::set_path || t == type::get_path;
}

struct Rebinder {
    std::unordered_set<Node> seen;

    // Rewrites the words of a block's cells, nested blocks included.
    void block(Node n) {
        if (!n || !seen.insert(n).second) return;
        SeriesBuffer* s = memory::buffer(n);
        const i32 count = static_cast<i32>((s->tail - s->head) / sizeof(Cell));
        for (i32 i = 0; i < count; i++) cell(memory::buffer(n)->cells()[i]);
    }

    void cell(Cell& c) {
        const u32 t = cell::type_of(c);
        if ((t == type::word || t == type::get_word) && c.data1 == context::global) {
            const i32 slot = context::find_word(library_context, word::symbol_of(c), false);
            if (slot >= 0) {
                c.data1 = library_context;
                c.data3 = static_cast<u32>(slot);
            }
        } else if (word_type_q(t) && c.data1 && c.data1 != context::global && c.data1 != library_context) {
            // A word of a private library context (a helper kept beside the
            // function that uses it): that context's functions are library
            // code too.
            object(c.data1);
        } else if (block_type_q(t)) {
            block(cell::node(c));
        } else if (t == type::function) {
            function(c);
        } else if (t == type::object) {
            object(c.data1);
        }
    }

    void function(const Cell& fn) {
        const Node extra = function::extra_of(fn);
        if (!extra || !seen.insert(extra).second) return;
        Cell& body = memory::buffer(extra)->cells()[function::extra::body];
        if (block_type_q(cell::type_of(body))) block(cell::node(body));
    }

    // The functions held by an object's fields (the system object's, for one).
    void object(Node ctx) {
        if (!ctx || !seen.insert(ctx).second || context::on_stack_q(ctx)) return;
        const i32 n = context::length(ctx);
        for (i32 i = 0; i < n; i++) {
            Cell& v = context::values(ctx)[i];
            const u32 t = cell::type_of(v);
            if (t == type::function) function(v);
            else if (t == type::object) object(v.data1);
        }
    }
};

}  // namespace

void reset_library_binding() { library_context = 0; }

void bind_library() {
    static bool registered = false;
    if (!registered) {
        collector::register_marker(mark_library);
        registered = true;
    }
    const Node global = context::global;
    const i32 n = context::length(global);
    i32 functions = 0;
    for (i32 i = 0; i < n; i++)
        if (function_type_q(cell::type_of(context::values(global)[i]))) functions++;
    library_context = context::create(functions, false, false, 0, context::kind::global);
    for (i32 i = 0; i < n; i++) {
        // Each add may move the global buffers: fetch the cells again.
        const Cell value = context::values(global)[i];
        if (!function_type_q(cell::type_of(value))) continue;
        const Cell word = *context::word_at(global, i);
        context::add_with(library_context, word, value);
    }
    Rebinder rebinder;
    for (i32 i = 0; i < n; i++) {
        Cell& v = context::values(global)[i];
        const u32 t = cell::type_of(v);
        if (t == type::function) rebinder.function(v);
        else if (t == type::op && ((v.header & flag::op_fn_type_mask) >> flag::op_fn_type_shift) == type::function)
            rebinder.function(v);
        else if (t == type::object) rebinder.object(v.data1);
    }
}

}  // namespace oru::boot
