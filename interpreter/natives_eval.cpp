// Evaluation, binding and access natives; see natives_eval.h. The table of
// slots is at the bottom.
#include "interpreter/natives_eval.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "interpreter/trace.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/platform/platform.h"
#include "runtime/sort.h"
#include "runtime/system.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace oru::natives {

namespace {

constexpr Cell none_value{type::none, 0, 0, 0};
constexpr Cell unset_value{type::unset, 0, 0, 0};

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }
inline Cell* ref_arg(const i32* refinements, int i) { return stack::arguments + refinements[i]; }

inline i32 tail_of(const Cell& blk) { return series::abs_length_q(blk); }

// A position past the tail counts as the tail.
void clamp_to_tail(Cell& s) {
    const i32 len = tail_of(s);
    if (cell::head_index(s) > len) s.data1 = static_cast<u32>(len);
}

inline bool word_type_q(u32 t) {
    return t == type::word || t == type::set_word || t == type::get_word || t == type::lit_word;
}
inline bool path_type_q(u32 t) { return t >= type::path && t <= type::get_path; }
inline bool function_type_q(u32 t) {
    return t == type::native || t == type::action || t == type::op || t == type::function || t == type::routine;
}

// Evaluates a one-value expression made of `value` into the current result
// slot, in a frame named <body>. Returns the pending code.
u32 eval_single(const Cell& value) {
    Cell* code = block::push_only(1);
    block::rs_append(*code, value);
    stack::top = code + 1;
    stack::mark_native(words::word::tag_body);
    interpreter::eval_expression(*code, 0, 1, false, false, false);
    if (interpreter::pending) return interpreter::pending;
    stack::unwind_last();
    return 0;
}

// The path evaluated in get mode: the value it reaches, in the result slot.
u32 get_path(const Cell& path) {
    Cell p = path;
    cell::set_type(p, type::get_path);
    return eval_single(p);
}

// Values that evaluate to themselves can follow a set-path in a code block.
bool inert_q(u32 t) {
    return !word_type_q(t) && !path_type_q(t) && !function_type_q(t) && t != type::paren && t != type::unset;
}

// Stores the value through the path, as `path: value` does.
void set_path(const Cell& path, const Cell& value) {
    Cell p = path;
    cell::set_type(p, type::set_path);
    Cell v = value;
    const u32 t = cell::type_of(v);
    // A word or path is written in its literal form, which evaluates to it.
    if (t == type::word) cell::set_type(v, type::lit_word);
    else if (t == type::path) cell::set_type(v, type::lit_path);
    else if (!inert_q(t)) fire(ErrorId::internal_not_done);
    Cell* code = block::push_only(2);
    block::rs_append(*code, p);
    block::rs_append(*code, v);
    stack::mark_native(words::word::tag_body);
    interpreter::eval_expression(*code, 0, 2, false, true, false);
    interpreter::throw_pending();
    stack::unwind();
}

// The context a bind or in target refers to: a word's, a function's or an
// object's. Natives, actions, ops and routines hold none (their payload is
// no context node), nor does anything else a call skipping the checks gives.
Node target_context(const Cell& target, const char* argument) {
    const u32 t = cell::type_of(target);
    Node ctx = 0;
    if (word::any_word_type_q(t)) ctx = word::context_of(target);
    else if (t == type::function) ctx = function::context_of(target);
    else if (t == type::object || t == type::error || t == type::port) ctx = object::context_of(target);
    else expect_arg(target, argument);
    if (!ctx) fire(ErrorId::script_not_defined, target);
    return ctx;
}

// Adds a value to the output held at stack index `pos`: inserted at its
// position, which moves past it (a position at the tail appends; a hash!
// output indexes it).
void add_value(u32 pos, const Cell& value) {
    Cell v = value;
    block::insert_value(*stack::at_index(pos), v, true, false);
}

// The output of reduce and compose: the /into block (its copy on the stack)
// or a new block with room for `room` cells. Returns its stack index; the
// result cell (what the native gives back when done) goes to *result_index.
u32 open_output(const Cell* into, i32 room, u32* result_index) {
    Cell* out = into ? stack::push_value(*into) : block::push_only(room > 0 ? room : 1);
    *result_index = stack::index_of(out);
    Cell* pos = stack::push_value(*out);
    // Append mode: the values go at the tail whatever was added before.
    if (series::tail_q(*pos)) pos->data1 = static_cast<u32>(tail_of(*pos));
    return stack::index_of(pos);
}

// The value a compose or reduce returns: a new block at its head; an /into
// block at its tail (append mode) keeps its position; in insert mode the
// position stands past the inserted values. `append` is the mode noted
// before anything was added.
Cell output_result(u32 result_index, u32 pos, bool append) {
    return append ? *stack::at_index(result_index) : *stack::at_index(pos);
}
inline bool append_mode(const Cell* into) { return !into || series::tail_q(*into); }

u32 compose_into(u32 src, u32 pos, bool deep, bool only) {
    const i32 end = tail_of(*stack::at_index(src));
    for (i32 i = cell::head_index(*stack::at_index(src)); i < end; ++i) {
        const Cell c = *block::rs_abs_at(*stack::at_index(src), i);
        const u32 t = cell::type_of(c);
        if (t == type::block && deep) {
            stack::Mark mark;
            const u32 sub_src = stack::index_of(stack::push_value(c));
            u32 sub_result = 0;
            const u32 sub_pos = open_output(nullptr, block::rs_length_q(c), &sub_result);
            if (u32 code = compose_into(sub_src, sub_pos, true, only)) return code;
            Cell made = *stack::at_index(sub_result);
            made.header = (made.header & ~0xFFu) | type::block;
            made.header = (made.header & ~flag::new_line) | (c.header & flag::new_line);
            add_value(pos, made);
        } else if (t == type::paren) {
            if (block::rs_length_q(c) <= 0) continue;
            stack::Mark mark;
            Cell* p = stack::push_value(c);
            if (u32 code = interpreter::eval_block(*p, false)) return code;
            if (interpreter::pending) return interpreter::pending;
            const u32 r = stack::index_of(stack::top - 1);  // the paren's value, left on the stack
            const Cell result = *stack::at_index(r);
            const u32 rt = cell::type_of(result);
            if (rt == type::unset) continue;
            if (rt == type::block && !only) {
                const i32 rend = tail_of(result);
                for (i32 j = cell::head_index(result); j < rend; ++j) {
                    const Cell item = *block::rs_abs_at(*stack::at_index(r), j);
                    add_value(pos, item);
                }
            } else {
                add_value(pos, result);
            }
        } else {
            add_value(pos, c);
        }
    }
    return 0;
}

// Reads the bytes of a binary! from its position (count bytes).
std::vector<u8> binary_bytes(const Cell& bin, i32 count) {
    SeriesBuffer* b = series::buffer_of(bin);
    const u8* p = b->head_ptr() + cell::head_index(bin);
    return std::vector<u8>(p, p + count);
}

}  // namespace

// ---------------------------------------------------------------------------
// Language callbacks called from C++

HeaderFinder find_script_header = nullptr;
Cell script_runner = none_value;

namespace {

inline bool callback_type_q(u32 t) { return t == type::function || t == type::routine; }

// Pushes the slots of a callback after its first `count` arguments, as a
// call without its refinements has them: false for each refinement, none
// for their arguments, then the locals. script/invalid-arg when the callback
// takes another number of arguments.
void push_other_slots(const Cell& callback, i32 count) {
    const Cell fn = callback;
    const Node desc = function::arguments(fn);
    const bool fill = cell::type_of(fn) == type::function;
    const i32 n = static_cast<i32>(memory::buffer(desc)->length());
    i32 fixed = 0, locals = 0;
    bool refined = false;
    for (i32 d = 0; d < n; d++) {
        const Cell item = memory::buffer(desc)->cells()[d];
        const u32 t = cell::type_of(item);
        if (t == type::typeset) {
            if ((item.header & function::arg_kind::mask) == function::arg_kind::return_) continue;
            if (!refined) fixed++;
            else if (fill) stack::push(none_value);
        } else if (t == type::refinement) {
            if (!refined && fixed != count) break;
            refined = true;
            if (fill) stack::push(logic::false_value);
        } else if (t == type::integer) {
            locals = static_cast<i32>(item.data2);
        }
    }
    if (fixed != count) fire(ErrorId::script_invalid_arg, fn);
    if (fill) function::init_locals(locals);
}

}  // namespace

Cell call_callback(const Cell& callback, const Cell& name, u32 callback_bit, Cell* args, i32 count, bool keep_top) {
    if (!callback_type_q(cell::type_of(callback))) fire(ErrorId::script_invalid_arg, callback);
    const Cell fn_value = callback, name_value = name;  // copied before the top is written
    Cell* const saved = stack::top;
    // The cell at the top is passed over, but it lies under the frame while
    // the callback runs and the collector reads it then. Left as whatever was
    // last popped there, a dead value's node number, since handed to a new
    // context, would be marked without its cells, and the context's words
    // and values would die under it. Only a caller that knows a live value
    // is there keeps it.
    Cell* reserved = stack::push();
    if (!keep_top) *reserved = none_value;
    Cell* fn = stack::push(fn_value);
    Cell* label = stack::push(name_value);
    const bool function_q = cell::type_of(*fn) == type::function;
    stack::mark(*label, function_q ? function::context_of(*fn) : 0);
    for (i32 i = 0; i < count; i++) stack::push(args[i]);
    push_other_slots(*fn, count);
    if (interpreter::call_function(*fn, 0, *label, callback_bit)) interpreter::throw_pending();
    const Cell answer = *stack::arguments;
    for (i32 i = 1; i < count; i++) args[i] = stack::arguments[i];
    stack::unwind_func();
    stack::top = saved;
    return answer;
}

Cell call_actor(const Cell& actor_fn, const Cell& name, Cell* args, i32 count) {
    if (cell::type_of(actor_fn) != type::function) fire(ErrorId::script_invalid_arg, actor_fn);
    const Cell fn_value = actor_fn, name_value = name;
    Cell* const saved = stack::top;
    *stack::push() = none_value;  // passed over and made harmless, as in call_callback
    Cell* fn = stack::push(fn_value);
    Cell* label = stack::push(name_value);
    stack::mark(*label, function::context_of(*fn));
    const Node desc = function::arguments(*fn);
    const i32 n = static_cast<i32>(memory::buffer(desc)->length());
    i32 slot = 0, locals = 0;
    for (i32 d = 0; d < n; d++) {
        const Cell item = memory::buffer(desc)->cells()[d];
        const u32 t = cell::type_of(item);
        if (t == type::typeset) {
            if ((item.header & function::arg_kind::mask) == function::arg_kind::return_) continue;
            stack::push(slot < count ? args[slot] : none_value);
            slot++;
        } else if (t == type::refinement) {
            stack::push(slot < count ? args[slot] : logic::false_value);
            slot++;
        } else if (t == type::integer) {
            locals = static_cast<i32>(item.data2);
        }
    }
    function::init_locals(locals);
    if (interpreter::call_function(*fn, 0, *label, 32)) interpreter::throw_pending();
    const Cell answer = *stack::arguments;
    stack::unwind_func();
    stack::top = saved;
    return answer;
}

u32 event_filter(const Cell& callback, const Cell* events, i32 count, u32 all) {
    if (!callback_type_q(cell::type_of(callback))) return all;
    const Cell body = *function::extra_cell(callback, function::extra::body);
    if (cell::type_of(body) != type::block) return all;
    const i32 head = cell::head_index(body);
    if (head >= series::abs_length_q(body)) return all;
    const Cell filter = *block::rs_abs_at(body, head);
    if (cell::type_of(filter) != type::block) return all;
    u32 mask = 0;
    const i32 end = series::abs_length_q(filter);
    for (i32 i = cell::head_index(filter); i < end; i++) {
        const Cell w = *block::rs_abs_at(filter, i);
        if (!word::any_word_type_q(cell::type_of(w))) continue;
        const i32 sym = symbol::canonical(word::symbol_of(w));
        for (i32 e = 0; e < count; e++)
            if (sym == symbol::canonical(word::symbol_of(events[e]))) mask |= 1u << e;
    }
    return mask;
}

}  // namespace oru::natives

namespace oru::natives {

// ---------------------------------------------------------------------------
// do, reduce, compose

namespace {

// The preprocessor's directives, as canonical symbols: issues with these
// names are rewritten before the code runs; other issues are plain values.
// (ORDER: the first two only guard the value after them.)
constexpr const char* directive_names[] = {"system",  "system-global", "include", "include-binary", "if",
                                           "either",  "switch",        "case",    "do",             "local",
                                           "reset",   "trace",         "process", "macro"};
constexpr i32 guard_directives = 2;
constexpr i32 directive_count = sizeof directive_names / sizeof directive_names[0];

// The index of the issue's name in directive_names, -1 for another issue.
i32 directive_index(const Cell& issue, const i32* names) {
    const i32 sym = symbol::canonical(word::symbol_of(issue));
    for (i32 i = 0; i < directive_count; i++)
        if (names[i] == sym) return i;
    return -1;
}

// Whether the block holds a directive anywhere (through blocks and parens;
// the value after #system is passed over untouched, as the preprocessor
// does). Without any, and with no macro registered, the expansion leaves a
// block as it is: the preprocessor asks this first, so that code without
// directives costs one walk.
//
// The walk keeps its own stack, so nesting of any depth costs no machine
// stack, and visits each series position once: a block that holds itself,
// or blocks shared many times over, end the walk instead of recursing
// without end or exploding. Nothing here allocates series memory, so the
// cells read stay where they are.
bool directives_q(const Cell& blk, const i32* names) {
    struct Walk {
        Cell block;
        i32 at;
    };
    std::vector<Walk> walks{{blk, cell::head_index(blk)}};
    std::unordered_set<u64> seen{(u64{cell::node(blk)} << 32) | static_cast<u32>(cell::head_index(blk))};
    while (!walks.empty()) {
        Walk& w = walks.back();
        if (w.at >= series::abs_length_q(w.block)) {
            walks.pop_back();
            continue;
        }
        const Cell v = *block::rs_abs_at(w.block, w.at++);
        const u32 t = cell::type_of(v);
        if (t == type::issue) {
            const i32 d = directive_index(v, names);
            if (d >= guard_directives) return true;
            if (d >= 0) w.at++;
            continue;
        }
        if (t != type::block && t != type::paren) continue;
        const u64 key = (u64{cell::node(v)} << 32) | static_cast<u32>(cell::head_index(v));
        if (seen.insert(key).second) walks.push_back(Walk{v, cell::head_index(v)});
    }
    return false;
}

}  // namespace

bool any_directive_q(const Cell& blk) {
    i32 names[directive_count];
    for (i32 i = 0; i < directive_count; i++) names[i] = symbol::canonical(symbol::make(directive_names[i]));
    return directives_q(blk, names);
}

namespace {

// Scripts run by this native: their expansion belongs to the library's
// script runner, which hands them to the preprocessor. Until it takes them
// over, a script with directives raises internal/feature-na rather than
// running them as plain values.
void refuse_directives(const Cell& blk) {
    if (any_directive_q(blk)) fire(ErrorId::internal_feature_na);
}

// The field of an object, or none.
Cell field_of(const Cell& obj, i32 sym) {
    const i32 at = context::find_word(obj.data1, sym, false);
    return at >= 0 ? context::values(obj.data1)[at] : none_value;
}

// do/expand: the library's `preprocessor/expand` rewrites the block in place,
// with none as the job. Code without directives, while no macro is
// registered (the macro list holds its empty mark, one tag), is left alone
// without a call. Should the library word no longer hold the preprocessor,
// directives are refused as for scripts.
void expand(const Cell& blk) {
    // Interning may allocate: the names first, then the cells.
    const i32 pre_sym = symbol::make("preprocessor");
    const i32 expand_sym = symbol::make("expand");
    const i32 macros_sym = symbol::make("macros");
    const Cell* pre = context::global_slot(pre_sym);
    if (!pre || cell::type_of(*pre) != type::object) return refuse_directives(blk);
    const Cell fn = field_of(*pre, expand_sym);
    if (cell::type_of(fn) != type::function) return refuse_directives(blk);
    Cell macros = field_of(*pre, macros_sym);
    const bool no_macros = cell::type_of(macros) == type::block && block::rs_length_q(macros) == 1 &&
                           cell::type_of(*block::rs_head(macros)) == type::tag;
    if (no_macros && !any_directive_q(blk)) return;
    Cell* const saved = stack::top;
    Cell* args = stack::push(blk);
    stack::push(none_value);
    Cell* name = stack::push(none_value);
    word::make_at(expand_sym, name);
    (void)call_callback(fn, *name, 0, args, 2);
    stack::top = saved;
}

// The text of a file! (any string-like series) from its position, UTF-8.
std::string path_text(const Cell& file) {
    Cell f = file;
    const i32 n = string::rs_length_q(f);
    const u32 unit = memory::buffer(cell::node(f))->unit();
    const u8* p = string::rs_head(f);
    std::string out;
    for (i32 i = 0; i < n; i++) {
        u8 bytes[4];
        const int k = unicode::encode_utf8_char(string::get_char(p + static_cast<size_t>(i) * unit, unit), bytes);
        out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(k));
    }
    return out;
}

// Changes to a script's directory for its run and back afterwards, also
// when an error or a throw leaves the script.
class DirectoryGuard {
public:
    explicit DirectoryGuard(const Cell& file, const std::string& path) : saved_(platform::get_current_dir()) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return;
        const std::string dir = path.substr(0, slash + 1);
        if (!platform::set_current_dir(dir.c_str())) fire(ErrorId::access_cannot_open, file);
        changed_ = true;
    }
    ~DirectoryGuard() {
        if (changed_ && !saved_.empty()) (void)platform::set_current_dir(saved_.c_str());
    }
    DirectoryGuard(const DirectoryGuard&) = delete;
    DirectoryGuard& operator=(const DirectoryGuard&) = delete;

private:
    std::string saved_;
    bool changed_ = false;
};

// do of a file!: reads the script, checks its header as the script launch
// does, loads it, expands it, and evaluates what follows the header in the
// script's directory. `return` and `exit` at the script's top level end the
// script with their value. The library's script runner adds the `system`
// object's bookkeeping (system/script, source files, halt) once it exists.
u32 do_file(const Cell& file) {
    Cell* native_result = stack::arguments;
    Cell* held = stack::push(file);
    if (cell::type_of(*held) == type::url) fire(ErrorId::internal_feature_na);
    if (!find_script_header) fire(ErrorId::internal_feature_na);
    const std::string path = path_text(*held);
    std::string text;
    const platform::ReadResult read = path.empty() ? platform::ReadResult::cannot_open
                                                   : platform::read_file(path.c_str(), text);
    if (read == platform::ReadResult::too_large) fire(ErrorId::script_size_limit, *held);
    if (read != platform::ReadResult::ok) fire(ErrorId::access_cannot_open, *held);
    const long start = find_script_header(text);
    if (start < 0) fire(ErrorId::syntax_no_header, *held);
    Cell* code = stack::push(none_value);
    lexer::scan(code, reinterpret_cast<const u8*>(text.data()) + start, static_cast<i32>(text.size() - start),
                lexer::Mode{}, nullptr);
    const i32 length = series::abs_length_q(*code);
    if (length == 0) fire(ErrorId::syntax_no_header, *held);
    const Cell first = *block::rs_abs_at(*code, 0);
    if (path_type_q(cell::type_of(first))) fire(ErrorId::internal_oru_system);
    const bool header = length > 1 && cell::type_of(first) == type::word &&
                        cell::type_of(*block::rs_abs_at(*code, 1)) == type::block;
    code->data1 = header ? 2 : 1;
    refuse_directives(*code);
    context::bind(*code, context::global, false);
    DirectoryGuard directory(*held, path);
    // A body frame: return and exit stop here.
    stack::top = code + 1;
    stack::mark_frame(words::word::tag_body, frame_kind::native, frame_flag::body);
    stack::push(unset_value);
    u32 c = interpreter::eval_block(*code, true);
    if (c == throw_code::return_ || c == throw_code::exit) {
        interpreter::take_pending();
        c = 0;
    }
    if (c) return c;
    const Cell result = *stack::arguments;
    stack::unwind();
    *native_result = result;
    stack::top = native_result + 1;
    return 0;
}

// do without /trace.
u32 do_value(const i32* refinements) {
    enum { expand_r, args_r, next_r };
    Cell* args = stack::arguments;
    Cell value = args[0];
    u32 t = cell::type_of(value);
    if (t == type::string) {
        Cell* blk = stack::push();
        *blk = none_value;
        i32 consumed = 0;
        lexer::load_string(blk, value, -1, lexer::Mode{}, &consumed);
        value = *blk;
        t = type::block;
    }
    switch (t) {
        case type::block:
        case type::paren:
        case type::hash: {
            Cell* blk = stack::push_value(value);
            clamp_to_tail(*blk);
            if (used(refinements, expand_r)) expand(*blk);
            if (!used(refinements, next_r)) {
                stack::top = blk + 1;
                return interpreter::eval_block(*blk, true);
            }
            Cell* position = stack::push_value(*ref_arg(refinements, next_r));
            stack::top = position + 1;
            const i32 next = interpreter::eval_next(*blk);
            if (interpreter::pending) return interpreter::pending;
            const Cell result = *(stack::top - 1);
            Cell moved = *blk;
            moved.data1 = static_cast<u32>(next);
            context::set(*position, moved);
            stack::set_result(result);
            return 0;
        }
        case type::path: return get_path(value);  // other path kinds run as one-value expressions
        case type::file:
        case type::url: {
            const u32 runner = cell::type_of(script_runner);
            if (runner != type::function && runner != type::routine) return do_file(value);
            Cell call_args[3] = {value, none_value, used(refinements, args_r) ? *ref_arg(refinements, args_r) : none_value};
            const Cell answer = call_callback(script_runner, word::load("do-file"), 0, call_args, 3);
            stack::set_result(answer);
            return 0;
        }
        case type::error: raise_value(value);
        default: return eval_single(value);
    }
}

// A trace run of the evaluator, started by do/trace when none is running.
void start_run(const Cell& callback) {
    if (cell::type_of(callback) != type::function) fire(ErrorId::script_invalid_arg, callback);
    interpreter::tracer_install(callback);
    interpreter::fire_event(interpreter::event::init, nullptr, -1, nullptr, nullptr);
}

// Delivers the end event (when delivery is on: a tracer that failed turned
// it off) and ends the run, whatever the end event does.
void end_run() {
    struct Clear {
        ~Clear() { interpreter::tracer_install(none_value); }
    } clear;
    interpreter::fire_event(interpreter::event::end, nullptr, -1, nullptr, nullptr);
}

}  // namespace

// do: value /expand /args arg /next position /trace callback
u32 do_(bool, const i32* refinements) {
    enum { trace_r = 3 };
    if (!used(refinements, trace_r) || interpreter::trace_run) return do_value(refinements);
    u32 code = 0;
    try {
        start_run(*ref_arg(refinements, trace_r));
        code = do_value(refinements);
    } catch (const SystemThrow&) {
        // The end event runs while the throw is on its way: what the throw
        // carries is put back after it.
        const PendingError error = pending_error;
        const u32 thrown = runtime.pending_code;
        {
            // An error is pushed; the other codes leave their value at the top.
            interpreter::ResultAtTop at_top(thrown != throw_code::error);
            end_run();
        }
        pending_error = error;
        runtime.pending_code = thrown;
        throw;
    }
    const u32 kept = interpreter::take_pending();
    {
        interpreter::ResultAtTop at_top(kept != 0);
        end_run();
    }
    interpreter::pending = kept;
    return code;
}

// reduce: value /into out
u32 reduce(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool into = used(refinements, 0);
    const Cell* out = into ? ref_arg(refinements, 0) : nullptr;
    const Cell value = args[0];
    if (cell::type_of(value) != type::block) {
        if (!function_type_q(cell::type_of(value))) {
            if (u32 code = eval_single(value)) return code;
        }
        if (!into) return 0;
        const bool append = append_mode(out);
        u32 result_index = 0;
        const u32 pos = open_output(out, 0, &result_index);
        add_value(pos, args[0]);
        stack::set_result(output_result(result_index, pos, append));
        return 0;
    }
    const bool append = append_mode(out);
    u32 result_index = 0;
    const u32 pos = open_output(out, block::rs_length_q(value), &result_index);
    Cell* src = stack::push_value(value);
    clamp_to_tail(*src);
    const u32 src_index = stack::index_of(src);
    stack::top = src + 1;
    stack::mark_native(words::word::tag_body);
    const i32 end = tail_of(*src);
    i32 pc = cell::head_index(*src);
    while (pc < end) {
        Cell* before = stack::top;
        pc = interpreter::eval_expression(*stack::at_index(src_index), pc, end, false, true, false);
        if (interpreter::pending) return interpreter::pending;
        // The value stays on the stack, where the collector sees it, while
        // adding it allocates.
        Cell* v = stack::top - 1;
        cell::clear_new_line(*v);
        add_value(pos, *v);
        stack::top = before;
    }
    stack::unwind();
    stack::set_result(output_result(result_index, pos, append));
    return 0;
}

// compose: value /deep /only /into out
u32 compose(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const Cell value = args[0];
    if (cell::type_of(value) != type::block)
        fire(ErrorId::script_expect_val, datatype::make(type::block), datatype::make(cell::type_of(value)));
    const Cell* into = used(refinements, 2) ? ref_arg(refinements, 2) : nullptr;
    const bool append = append_mode(into);
    u32 result_index = 0;
    const u32 pos = open_output(into, block::rs_length_q(value), &result_index);
    Cell* src = stack::push_value(value);
    clamp_to_tail(*src);
    if (u32 code = compose_into(stack::index_of(src), pos, used(refinements, 0), used(refinements, 1))) return code;
    stack::set_result(output_result(result_index, pos, append));
    return 0;
}

// ---------------------------------------------------------------------------
// get, set, bind, in, construct

// get: word /any /case
u32 get(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const Cell w = args[0];
    const u32 t = cell::type_of(w);
    if (path_type_q(t)) return get_path(w);  // /case: the path walk compares as it always does
    if (t == type::object) {
        actions::reflect(&args[0], static_cast<u32>(words::sym::values));
        return 0;
    }
    const Cell v = *context::get(w);
    if (cell::type_of(v) == type::unset && !used(refinements, 0)) fire(ErrorId::script_no_value, w);
    stack::set_result(v);
    return 0;
}

// set: word value /any /case /only /some
u32 set(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool any = used(refinements, 0);
    const bool only = used(refinements, 2);
    const bool some = used(refinements, 3);
    const u32 t = cell::type_of(args[0]);
    if (cell::type_of(args[1]) == type::unset && !any) fire(ErrorId::script_need_value, args[0]);
    if (path_type_q(t)) {
        set_path(args[0], args[1]);
    } else if (t == type::object) {
        object::set_many(args[0], args[1], any, only, some);
    } else if (t == type::block) {
        stack::top = args + 2;
        stack::mark_native(words::word::tag_anon);
        natives::set_words(args[0], args[1], block::rs_length_q(args[0]), any, only, some);
        stack::unwind();
    } else {
        Cell* w = stack::push_value(args[0]);
        context::set(*w, args[1]);
    }
    stack::set_result(args[1]);
    return 0;
}

// bind: word context /copy
u32 bind(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const Node ctx = target_context(args[1], "context");
    if (cell::type_of(args[0]) == type::block) {
        const bool self_ = cell::type_of(args[1]) == type::object;
        if (used(refinements, 0)) {
            Cell* copy = block::clone(args[0], true, true);
            context::bind(*copy, ctx, self_);
            stack::set_result(*copy);
        } else {
            context::bind(args[0], ctx, self_);
        }
        return 0;
    }
    context::bind_word(ctx, args[0]);
    return 0;
}

// in: object word
u32 in(bool, const i32*) {
    Cell* args = stack::arguments;
    const Node ctx = target_context(args[0], "object");
    Cell w = args[1];
    if (cell::type_of(w) == type::refinement) cell::set_type(w, type::word);
    if (context::bind_word(ctx, w) < 0) {
        stack::set_result(none_value);
        return 0;
    }
    stack::set_result(w);
    return 0;
}

// construct: block /with object /only
u32 construct(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const Cell proto = used(refinements, 0) ? *ref_arg(refinements, 0) : none_value;
    Cell* obj = object::construct(proto, args[0], used(refinements, 1));
    stack::set_result(*obj);
    return 0;
}

// ---------------------------------------------------------------------------
// Queries and markers

u32 value_q(bool, const i32*) {
    Cell* args = stack::arguments;
    const Cell v = args[0];
    bool set_q = cell::type_of(v) != type::unset;
    if (word_type_q(cell::type_of(v)))
        set_q = word::context_of(v) != 0 && cell::type_of(*context::get(v)) != type::unset;
    stack::set_result(logic::make(set_q));
    return 0;
}

// type?: value /word
u32 type_q(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const u32 t = cell::type_of(args[0]);
    if (used(refinements, 0))
        stack::set_result(context::make_global_word(static_cast<i32>(datatype::symbol_of(t))));
    else
        stack::set_result(datatype::make(t));
    return 0;
}

u32 unset(bool, const i32*) {
    Cell* args = stack::arguments;
    Cell* target = stack::push_value(args[0]);
    if (cell::type_of(*target) == type::word) {
        context::set(*target, unset_value);
    } else {
        const i32 end = tail_of(*target);
        for (i32 i = cell::head_index(*target); i < end; ++i) {
            Cell* w = stack::push_value(*block::rs_abs_at(*target, i));
            if (cell::type_of(*w) == type::word) context::set(*w, unset_value);
            stack::pop(1);
        }
    }
    stack::set_result(unset_value);
    return 0;
}

// new-line: position value /all /skip size
u32 new_line(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool mark = logic::truth(args[1]);
    const Cell pos = args[0];
    const i32 index = cell::head_index(pos);
    const i32 end = tail_of(pos);
    if (!used(refinements, 0) && !used(refinements, 1)) {
        if (index < end) {
            Cell* c = block::rs_abs_at(pos, index);
            c->header = mark ? (c->header | flag::new_line) : (c->header & ~flag::new_line);
        }
        return 0;
    }
    i32 step = 1;
    if (used(refinements, 1)) {
        const Cell size = *ref_arg(refinements, 1);
        step = static_cast<i32>(size.data2);
        if (step < 1) fire(ErrorId::script_out_of_range, size);
    }
    for (i32 i = index, k = 0; i < end; ++i, ++k) {
        Cell* c = block::rs_abs_at(pos, i);
        const bool on = (step == 1 || k % step == 0) == mark;
        c->header = on ? (c->header | flag::new_line) : (c->header & ~flag::new_line);
    }
    return 0;
}

u32 new_line_q(bool, const i32*) {
    Cell* args = stack::arguments;
    const Cell pos = args[0];
    const i32 index = cell::head_index(pos);
    const bool on = index < tail_of(pos) && (block::rs_abs_at(pos, index)->header & flag::new_line) != 0;
    stack::set_result(logic::make(on));
    return 0;
}

u32 context_q(bool, const i32*) {
    Cell* args = stack::arguments;
    const Node ctx = word::context_of(args[0]);
    // The global context has no owner; an unbound word has no context.
    stack::set_result(ctx && ctx != context::global ? *context::self(ctx) : none_value);
    return 0;
}

// ---------------------------------------------------------------------------
// transcode: src /next /one /prescan /scan /part length /into dst /trace callback

u32 transcode(bool, const i32* refinements) {
    enum { next_r, one_r, prescan_r, scan_r, part_r, into_r, trace_r };
    Cell* args = stack::arguments;
    const Cell* callback = used(refinements, trace_r) ? ref_arg(refinements, trace_r) : nullptr;
    clamp_to_tail(args[0]);
    const Cell src = args[0];
    const bool binary = cell::type_of(src) == type::binary;
    const i32 index = cell::head_index(src);
    const i32 avail = tail_of(src) - index;
    i32 length = avail;
    if (used(refinements, part_r)) {
        const Cell part = *ref_arg(refinements, part_r);
        if (cell::type_of(part) == type::integer) {
            length = static_cast<i32>(part.data2);
        } else {
            if (cell::type_of(part) != cell::type_of(src)) fire(ErrorId::script_not_same_type);
            // A position in another series says nothing about this one.
            if (cell::node(part) != cell::node(src)) fire(ErrorId::script_invalid_part, part);
            length = cell::head_index(part) - index;
        }
        if (length < 0) length = 0;
        if (length > avail) length = avail;
    }

    lexer::Mode mode;
    mode.scan = !used(refinements, prescan_r);
    mode.load = !used(refinements, scan_r);
    mode.one = used(refinements, next_r) || used(refinements, one_r) || used(refinements, scan_r);
    const bool type_only = !mode.scan || !mode.load;

    Cell* out = stack::push();
    *out = none_value;
    i32 consumed = 0;
    i32 skipped = 0;
    i32 result_type = 0;
    if (length > 0) {
        if (binary) {
            std::vector<u8> bytes = binary_bytes(src, length);
            if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) skipped = 3;
            // A private copy: the scan allocates, which may move the binary.
            Cell input = src;
            input.data1 = static_cast<u32>(index + skipped);
            const lexer::Trace trace{callback ? *callback : none_value, input};
            result_type = lexer::scan(type_only ? nullptr : out, bytes.data() + skipped,
                                      static_cast<i32>(bytes.size()) - skipped, mode, &consumed,
                                      callback ? &trace : nullptr);
        } else {
            result_type = lexer::load_string(type_only ? nullptr : out, src, length, mode, &consumed, callback);
        }
    }

    if (type_only) {
        const Cell found = length <= 0 || result_type == 0
                               ? none_value
                               : datatype::make(result_type < 0 ? type::error : static_cast<u32>(result_type));
        if (!used(refinements, next_r) || used(refinements, one_r)) {
            stack::set_result(found);
            return 0;
        }
        // /next: the type and the source past the token, as for a value.
        Cell* pair = block::push_only(2);
        block::rs_append(*pair, found);
        Cell rest = src;
        rest.data1 = static_cast<u32>(index + skipped + consumed);
        block::rs_append(*pair, rest);
        stack::set_result(*pair);
        return 0;
    }
    if (length <= 0) block::make_at(*out, 1);  // nothing to scan: no values

    if (used(refinements, into_r)) {
        Cell* dst = ref_arg(refinements, into_r);
        Cell* at_tail = stack::push_value(*dst);
        at_tail->data1 = static_cast<u32>(tail_of(*dst));
        if (mode.one) block::insert_value(*at_tail, *out, true, false);
        else block::append_block(*at_tail, *out);
    }
    if (used(refinements, next_r) && !used(refinements, one_r)) {
        Cell* pair = block::push_only(2);
        block::rs_append(*pair, *out);
        Cell rest = src;
        rest.data1 = static_cast<u32>(index + skipped + consumed);
        block::rs_append(*pair, rest);
        stack::set_result(*pair);
        return 0;
    }
    if (used(refinements, into_r) && !mode.one) {
        stack::set_result(*ref_arg(refinements, into_r));
        return 0;
    }
    stack::set_result(*out);
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_eval {

void register_all() {
    // A runtime starts without the library: a runner kept from an earlier
    // runtime in this process names values that are gone.
    natives::script_runner = cell::make(type::none);
    static constexpr natives::Provided entries[] = {
        {natives::slot::do_, natives::do_},
        {natives::slot::reduce, natives::reduce},
        {natives::slot::compose, natives::compose},
        {natives::slot::get, natives::get},
        {natives::slot::set, natives::set},
        {natives::slot::bind, natives::bind},
        {natives::slot::in, natives::in},
        {natives::slot::construct, natives::construct},
        {natives::slot::value_q, natives::value_q},
        {natives::slot::type_q, natives::type_q},
        {natives::slot::unset, natives::unset},
        {natives::slot::new_line, natives::new_line},
        {natives::slot::new_line_q, natives::new_line_q},
        {natives::slot::context_q, natives::context_q},
        {natives::slot::transcode, natives::transcode},
    };
    natives::provide_all(entries);
    // Sorting with a comparator function calls it through this; its events
    // are traced with the callback bit of sort (4).
    sort::call_comparator = [](const Cell& fn, const Cell& first, const Cell& second) {
        Cell args[2] = {first, second};
        return natives::call_callback(fn, words::word::tag_compare_callback, 4, args, 2);
    };
    // Port actions call their actor's functions through this.
    port::call_actor = natives::call_actor;
}

}  // namespace oru::natives_eval
