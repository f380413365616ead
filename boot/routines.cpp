// The routine registry and its binder, and the C++ entries of the routines
// that library source binds to words. The registry is a constant table:
// names are unique and each entry's arity is the count of word! arguments
// its spec must give. `bound` counts the bindings of each entry during one
// start-up; it is 0 or 1 once start-up is over.
#include "boot/routines.h"
#include "boot/build_info.h"
#include "boot/codec_routines.h"
#include "boot/routine_entries.h"

#include "codecs/csv.h"
#include "codecs/json.h"
#include "codecs/lexer.h"
#include "console/terminal.h"
#include "io/io_support.h"
#include "io/os_info.h"

#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/natives_math.h"
#include "interpreter/natives_output.h"
#include "interpreter/natives_process.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/event.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/system_object.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>


namespace oru::boot::routines {

namespace {

using routine::Machine;

Machine integer_result(i32 v) { return Machine{.integer = v}; }

// A logic! result cell for external entries; the caller copies it at once.
Cell* logic_result(bool b) {
    static Cell results[2];
    results[b ? 1 : 0] = logic::make(b);
    return &results[b ? 1 : 0];
}

// --- Process and output --------------------------------------------------------

// Ends the process with the status. Output still buffered is written first:
// the exit skips every other clean-up, and lost output would be a lie about
// what the program printed.
Machine quit_return(const Machine* a, i32) {
    console::flush();
    std::fflush(stdout);
    _exit(a[0].integer);
}

Machine last_lf(const Machine*, i32) { return integer_result(natives::last_lf_q ? 1 : 0); }

// --- Shifts ----------------------------------------------------------------------

Machine shift_right(const Machine* a, i32) {
    return integer_result(natives::shift_value(a[0].integer, a[1].integer, false, false));
}
Machine shift_left(const Machine* a, i32) {
    return integer_result(natives::shift_value(a[0].integer, a[1].integer, true, false));
}
Machine shift_logical(const Machine* a, i32) {
    return integer_result(natives::shift_value(a[0].integer, a[1].integer, false, true));
}

// --- Process state ---------------------------------------------------------------

// The current directory ending in "/", as a new string (pushed: the caller
// copies the result before the stack is cut back).
Machine get_current_dir(const Machine*, i32) {
    std::string dir = platform::get_current_dir();
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    Cell* out = string::load_utf8_checked(reinterpret_cast<const u8*>(dir.data()), static_cast<i32>(dir.size()));
    return Machine{.cell = out};
}

Machine stack_size(const Machine*, i32) { return integer_result(static_cast<i32>(stack::top - stack::bottom)); }
Machine frame_index(const Machine*, i32) { return integer_result(static_cast<i32>(stack::arguments - stack::bottom)); }
Machine tracing_q(const Machine*, i32) { return integer_result(interpreter::tracing ? 1 : 0); }
// Delivery follows the flag only inside a trace run: with no tracer
// installed it stays off. Answers the new state.
Machine set_tracing(const Machine* a, i32) {
    interpreter::set_tracing(a[0].integer != 0 && interpreter::trace_run);
    return integer_result(interpreter::tracing ? 1 : 0);
}

// system/state/interpreted?: whether any frame from the top down carries
// the interpreter's mark.
Machine interpreted_q(const Machine*, i32) { return integer_result(stack::eval_q(nullptr, false) ? 1 : 0); }

// The float printer's two flags, set by system/options/float's change
// handler: the field word pretty? or full?, and a value taken for its truth.
// Any other field leaves both alone.
Machine set_float_flag(const Machine* a, i32) {
    const Cell& field = *a[1].cell;
    const bool on = logic::truth(*a[0].cell);
    if (cell::type_of(field) == type::word) {
        const std::string name = symbol::get_c_string(word::symbol_of(field));
        if (name == "pretty?") float_::pretty_print_q = on;
        else if (name == "full?") float_::full_support_q = on;
    }
    static Cell result;
    result = unset::value;
    return Machine{.cell = &result};
}

// A copy of the data-stack cell at idx (1-based from the bottom), when idx is
// above 0 and below the stack size; else none.
Machine pick_stack(const Machine* a, i32) {
    const Cell* idx = a[0].cell;
    static Cell result;
    result = none::value;
    if (cell::type_of(*idx) == type::integer) {
        const i64 i = static_cast<i32>(idx->data2);
        if (i > 0 && i < stack::top - stack::bottom) result = stack::bottom[i - 1];
    }
    return Machine{.cell = &result};
}

// The object over the global context that `system/words` holds (class id
// -1, no change handlers), also stored as the global context's self cell.
Machine system_words(const Machine*, i32) {
    Cell* out = stack::push(object::make_cell(context::global, -1, 0));
    *context::self(context::global) = *out;
    return Machine{.cell = out};
}

// --- The system object ---------------------------------------------------------------

// The error catalog that start-up built from the C++ list, for
// system/catalog/errors.
Machine error_catalog(const Machine*, i32) { return Machine{.cell = stack::push(error::catalog())}; }

// The lexer's names of the token kinds without a datatype, for
// system/lexer/exit-states.
Machine exit_states(const Machine*, i32) { return Machine{.cell = stack::push(lexer::exit_states())}; }

// The raw command line as a new string, for system/script/args.
Machine command_line(const Machine*, i32) { return Machine{.cell = os_info::push_cmdline()}; }

// The process's arguments as a new block of strings, the program first.
Machine command_args(const Machine*, i32) {
    Cell* blk = block::push_only(runtime.argc > 0 ? runtime.argc : 1);
    for (int i = 0; i < runtime.argc; i++) {
        Cell* const top = stack::top;
        const char* arg = runtime.argv[i];
        block::rs_append(*blk, *io::push_text(reinterpret_cast<const u8*>(arg), std::strlen(arg), type::string, false));
        stack::top = top;
    }
    return Machine{.cell = blk};
}

// The build's date and time in zone 0, for system/build/date.
Machine build_date(const Machine*, i32) {
    return Machine{.cell = stack::push(date::from_epoch(build_info::build_time, 0.0, 0.0))};
}

// Appends a string of the text, or none when it is empty.
void append_text(const Cell& blk, const char* text, u32 t) {
    Cell* const top = stack::top;
    const size_t n = std::strlen(text);
    Cell v = none::value;
    if (n && t == type::issue) v = issue::load(text);
    else if (n) v = *io::push_text(reinterpret_cast<const u8*>(text), n, t, false);
    block::rs_append(blk, v);
    stack::top = top;
}

// The revision data for system/build/git, as a new block of its fields in
// order: branch, tag, ahead, date (the commit time in local time), commit,
// message. What git could not tell is none.
Machine build_git(const Machine*, i32) {
    Cell* blk = block::push_only(6);
    append_text(*blk, build_info::branch, type::string);
    append_text(*blk, build_info::tag, type::issue);
    block::rs_append(*blk, cell::integer(build_info::ahead));
    Cell when = none::value;
    if (build_info::commit_time) {
        const time_t t = static_cast<time_t>(build_info::commit_time);
        tm parts{};
        localtime_r(&t, &parts);
        when = date::from_epoch(build_info::commit_time, 0.0, static_cast<double>(parts.tm_gmtoff));
    }
    block::rs_append(*blk, when);
    append_text(*blk, build_info::commit, type::issue);
    append_text(*blk, build_info::message, type::string);
    return Machine{.cell = blk};
}

// Keeps the system object where C++ reads it (system_object.h).
Machine keep_system(const Machine* a, i32) {
    system_object::set(*a[0].cell);
    return Machine{.cell = a[0].cell};
}

// system/state/GC: the collector's state and its two cycle counters.
Machine gc_active(const Machine*, i32) { return integer_result(collector::enabled_q() ? 1 : 0); }
Machine gc_series_cycles(const Machine*, i32) { return integer_result(static_cast<i32>(collector::cycles())); }
Machine gc_nodes_cycles(const Machine*, i32) { return integer_result(static_cast<i32>(collector::nodes_cycles())); }

// --- The preprocessor ----------------------------------------------------------------

// any-directive? code: whether the preprocessor has anything to do in the
// code when no macro is registered.
Machine any_directive_q(const Machine* a, i32) {
    return integer_result(natives::any_directive_q(*a[0].cell) ? 1 : 0);
}

// --- Type predicates ---------------------------------------------------------------

template <u32 T>
Machine type_q(const Machine* a, i32) {
    return Machine{.cell = logic_result(cell::type_of(*a[0].cell) == T)};
}

// The typeset predicates read their global word on every call, so that they
// follow a redefinition of the word.
constexpr const char* typeset_words[] = {
    "any-list!", "any-block!", "any-function!", "any-object!", "any-path!", "any-string!", "any-word!",
    "series!",   "number!",    "immediate!",    "scalar!",     "all-word!", "any-point!",  "planar!",
};

template <int I>
Machine typeset_q(const Machine* a, i32) {
    const Cell* ts = context::global_slot(symbol::make(typeset_words[I]));
    const bool in = ts && cell::type_of(*ts) == type::typeset && typeset::member_q(*ts, cell::type_of(*a[0].cell));
    return Machine{.cell = logic_result(in)};
}

// --- The registry -------------------------------------------------------------------

struct Entry {
    const char* name;
    routine::Entry entry;
    u32 arity;
    u32 return_type;  // 0: the entry sets or hands back its result cell
    bool external;    // takes and returns cells
};

#define ORU_TYPE_Q(word, t) {word, type_q<type::t>, 1, type::logic, true}
#define ORU_TYPESET_Q(word, i) {word, typeset_q<i>, 1, type::logic, true}

const Entry registry[] = {
    {"quit-return", quit_return, 1, 0, false},
    {"set-quiet", set_quiet, 2, 0, true},
    {"set-slot-quiet", set_slot_quiet, 2, 0, true},
    {"shift-right", shift_right, 2, type::integer, false},
    {"shift-left", shift_left, 2, type::integer, false},
    {"shift-logical", shift_logical, 2, type::integer, false},
    {"last-lf?", last_lf, 0, type::logic, false},
    {"get-current-dir", get_current_dir, 0, 0, true},
    {"set-current-dir", natives_process::set_current_dir, 1, 0, false},
    {"as-color", as_color, 3, 0, false},
    {"as-ipv4", as_ipv4, 4, 0, false},
    {"as-rgba", as_ipv4, 4, 0, false},
    {"count-chars", count_chars, 2, 0, false},
    {"stack-size?", stack_size, 0, type::integer, false},
    {"pick-stack", pick_stack, 1, 0, true},
    {"frame-index?", frame_index, 0, type::integer, false},
    {"collect-calls", collect_calls, 1, 0, false},
    {"tracing?", tracing_q, 0, type::logic, false},
    {"interpreted?", interpreted_q, 0, type::logic, false},
    {"set-float-flag", set_float_flag, 2, 0, true},
    {"set-tracing", set_tracing, 1, type::logic, false},
    {"write-stdout", write_stdout, 1, 0, true},
    {"null-handle", null_handle, 0, 0, true},
    {"system-words", system_words, 0, 0, true},
    {"error-catalog", error_catalog, 0, 0, true},
    {"exit-states", exit_states, 0, 0, true},
    {"command-line", command_line, 0, 0, true},
    {"command-args", command_args, 0, 0, true},
    {"build-date", build_date, 0, 0, true},
    {"build-git", build_git, 0, 0, true},
    {"keep-system", keep_system, 1, 0, true},
    {"active?", gc_active, 0, type::logic, false},
    {"series-cycles", gc_series_cycles, 0, type::integer, false},
    {"nodes-cycles", gc_nodes_cycles, 0, type::integer, false},
    {"create-dir", natives_process::create_dir, 1, 0, false},
    {"exists?", natives_process::exists_q, 1, 0, false},
    {"os-info", natives_process::os_info, 0, 0, false},
    {"event?", event::event_q, 1, 0, false},
    {"send-event-os", event::send_event_os, 2, 0, false},
    {"find-flag?", event::find_flag_q, 2, 0, false},
    {"any-directive?", any_directive_q, 1, type::logic, false},
    {"console-read", terminal::console_read, 3, 0, true},
    {"console-size", terminal::console_size, 0, 0, true},
    {"console-title", terminal::console_title, 1, 0, true},
    {"console-args", terminal::console_args, 0, 0, true},
    {"halt-on-interrupt", terminal::halt_on_interrupt, 1, 0, true},
    {"png-encode", image_encode<1>, 2, 0, true},
    {"png-decode", image_decode, 1, 0, true},
    {"jpeg-encode", image_encode<3>, 2, 0, true},
    {"jpeg-decode", image_decode, 1, 0, true},
    {"bmp-encode", image_encode<0>, 2, 0, true},
    {"bmp-decode", image_decode, 1, 0, true},
    {"gif-encode", image_encode<2>, 2, 0, true},
    {"gif-decode", image_decode, 1, 0, true},
    {"tiff-encode", image_encode<4>, 2, 0, true},
    {"tiff-decode", image_decode, 1, 0, true},
    {"orubin-encode", orubin_encode, 2, 0, true},
    {"orubin-decode", orubin_decode, 1, 0, true},
    {"json-decode", json::decode_entry, 1, 0, true},
    {"json-unescape", json::unescape_entry, 1, 0, true},
    {"json-encode", json::encode_entry, 3, 0, true},
    {"csv-decode", csv::decode_entry, 8, 0, true},
    {"csv-encode", csv::encode_entry, 7, 0, true},
    ORU_TYPE_Q("bitset?", bitset),       ORU_TYPE_Q("binary?", binary),       ORU_TYPE_Q("block?", block),
    ORU_TYPE_Q("char?", char_),          ORU_TYPE_Q("email?", email),         ORU_TYPE_Q("file?", file),
    ORU_TYPE_Q("float?", float_),        ORU_TYPE_Q("get-path?", get_path),   ORU_TYPE_Q("get-word?", get_word),
    ORU_TYPE_Q("hash?", hash),           ORU_TYPE_Q("integer?", integer),     ORU_TYPE_Q("issue?", issue),
    ORU_TYPE_Q("lit-path?", lit_path),   ORU_TYPE_Q("lit-word?", lit_word),   ORU_TYPE_Q("logic?", logic),
    ORU_TYPE_Q("map?", map),             ORU_TYPE_Q("none?", none),           ORU_TYPE_Q("pair?", pair),
    ORU_TYPE_Q("paren?", paren),         ORU_TYPE_Q("path?", path),           ORU_TYPE_Q("percent?", percent),
    ORU_TYPE_Q("refinement?", refinement), ORU_TYPE_Q("set-path?", set_path), ORU_TYPE_Q("set-word?", set_word),
    ORU_TYPE_Q("string?", string),       ORU_TYPE_Q("tag?", tag),             ORU_TYPE_Q("time?", time),
    ORU_TYPE_Q("typeset?", typeset),     ORU_TYPE_Q("tuple?", tuple),         ORU_TYPE_Q("unset?", unset),
    ORU_TYPE_Q("url?", url),             ORU_TYPE_Q("word?", word),           ORU_TYPE_Q("image?", image),
    ORU_TYPE_Q("date?", date),           ORU_TYPE_Q("money?", money),         ORU_TYPE_Q("ref?", ref),
    ORU_TYPE_Q("point2D?", point2D),     ORU_TYPE_Q("point3D?", point3D),     ORU_TYPE_Q("handle?", handle),
    ORU_TYPE_Q("error?", error),         ORU_TYPE_Q("action?", action),       ORU_TYPE_Q("native?", native),
    ORU_TYPE_Q("datatype?", datatype),   ORU_TYPE_Q("function?", function),   ORU_TYPE_Q("object?", object),
    ORU_TYPE_Q("op?", op),               ORU_TYPE_Q("routine?", routine),     ORU_TYPE_Q("vector?", vector),
    ORU_TYPESET_Q("any-list?", 0),       ORU_TYPESET_Q("any-block?", 1),      ORU_TYPESET_Q("any-function?", 2),
    ORU_TYPESET_Q("any-object?", 3),     ORU_TYPESET_Q("any-path?", 4),       ORU_TYPESET_Q("any-string?", 5),
    ORU_TYPESET_Q("any-word?", 6),       ORU_TYPESET_Q("series?", 7),         ORU_TYPESET_Q("number?", 8),
    ORU_TYPESET_Q("immediate?", 9),      ORU_TYPESET_Q("scalar?", 10),        ORU_TYPESET_Q("all-word?", 11),
    ORU_TYPESET_Q("any-point?", 12),     ORU_TYPESET_Q("planar?", 13),
};

#undef ORU_TYPE_Q
#undef ORU_TYPESET_Q

constexpr size_t registry_size = sizeof(registry) / sizeof(registry[0]);
u8 bound[registry_size];
bool open = false;

// boot-routine 'name [spec]: the routine! for the registered entry `name`.
Machine bind(const Machine* a, i32) {
    // External arguments come last first.
    const Cell spec = *a[0].cell;
    const Cell name = *a[1].cell;
    if (!open) fire(ErrorId::internal_routines);
    if (cell::type_of(name) != type::word) fire(ErrorId::script_invalid_arg, name);
    if (cell::type_of(spec) != type::block) fire(ErrorId::script_bad_func_def, spec);
    const char* spelling = symbol::get_c_string(word::symbol_of(name));
    size_t i = 0;
    while (i < registry_size && std::string(registry[i].name) != spelling) i++;
    if (i == registry_size || bound[i]) fire(ErrorId::script_invalid_arg, name);
    u32 arity = 0;
    const i32 len = series::abs_length_q(spec);
    for (i32 k = cell::head_index(spec); k < len; k++)
        if (cell::type_of(*block::rs_abs_at(spec, k)) == type::word) arity++;
    if (arity != registry[i].arity) fire(ErrorId::script_bad_func_def, spec);
    bound[i] = 1;
    routine::push(spec, unset::value, routine::register_entry(registry[i].entry),
                  static_cast<i32>(registry[i].return_type), registry[i].external);
    return Machine{.cell = stack::top - 1};
}

}  // namespace

void begin_boot() {
    for (u8& b : bound) b = 0;
    open = true;
    Cell* top = stack::top;
    Cell* spec = stack::push();
    block::make_at(*spec, 4);
    word::make_in_from_name("name", *spec);
    word::make_in_from_name("spec", *spec);
    routine::push(*spec, unset::value, routine::register_entry(bind), 0, true);
    context::set_global(symbol::make("boot-routine"), *(stack::top - 1));
    stack::top = top;
}

void end_boot() {
    open = false;
    context::set_global(symbol::make("boot-routine"), unset::value);
    for (size_t i = 0; i < registry_size; i++)
        if (!bound[i]) fire(ErrorId::script_invalid_arg, word::load(registry[i].name));
}

}  // namespace oru::boot::routines
