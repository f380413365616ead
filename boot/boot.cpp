// The least boot program: base definitions, then one script.
#include "boot/boot.h"
#include "boot/library.h"
#include "boot/library_binding.h"
#include "boot/routines.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/fire.h"
#include "runtime/system.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/event.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/platform/platform.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/words.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace oru::boot {

namespace {

void set_global(const char* name, const Cell& value) { context::set_global(symbol::make(name), value); }

// Loads UTF-8 text into a new block, pushed on the data stack.
Cell* load_text(const char* text) {
    Cell* out = stack::push();
    i32 consumed = 0;
    lexer::scan(out, reinterpret_cast<const u8*>(text), static_cast<i32>(std::strlen(text)), lexer::Mode{},
                &consumed);
    return out;
}

// The code of a library text: lexed, pushed on the data stack, positioned
// after its header (the word Oru and its block).
Cell* load_module(const LibraryModule& module) {
    Cell* code = load_text(module.text);
    if (series::abs_length_q(*code) >= 2 && cell::type_of(*block::rs_abs_at(*code, 0)) == type::word &&
        cell::type_of(*block::rs_abs_at(*code, 1)) == type::block)
        code->data1 = 2;
    return code;
}

// The first argument word of an action's spec (a word!, lit-word! or
// get-word! before any refinement), which its no-handler error names; -1
// when there is none.
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

// Reads one file of define records: `word: make native! [[spec] slot]` (or
// action!), made as evaluating the record would make it. A record of another
// shape is a fault of the build, reported with its file.
void read_defines(const LibraryModule& module) {
    Cell* const saved = stack::top;
    Cell* code = load_module(module);
    const i32 len = series::abs_length_q(*code);
    for (i32 i = cell::head_index(*code); i < len; i += 4) {
        const Cell name = *block::rs_abs_at(*code, i);
        const Cell* make_word = i + 3 < len ? block::rs_abs_at(*code, i + 1) : nullptr;
        const Cell* kind = make_word ? block::rs_abs_at(*code, i + 2) : nullptr;
        u32 t = 0;
        if (kind && cell::type_of(*kind) == type::word) {
            const char* k = symbol::get_c_string(word::symbol_of(*kind));
            t = std::strcmp(k, "native!") == 0 ? type::native : std::strcmp(k, "action!") == 0 ? type::action : 0;
        }
        if (cell::type_of(name) != type::set_word || !t || cell::type_of(*make_word) != type::word ||
            std::strcmp(symbol::get_c_string(word::symbol_of(*make_word)), "make") != 0 ||
            cell::type_of(*block::rs_abs_at(*code, i + 3)) != type::block) {
            std::fprintf(stderr, "*** Error in library defines %s: record %d is no define record\n", module.file,
                         (i - cell::head_index(*code)) / 4 + 1);
            std::fflush(stderr);
            _exit(uncaught_error_status);
        }
        Cell* pair = stack::push(*block::rs_abs_at(*code, i + 3));
        Cell* v = native::make(nullptr, pair, t);
        context::set_global(word::symbol_of(name), *v);
        if (t == type::action) {
            // The pair's first value is the spec block; its last the slot.
            const Cell spec = *block::rs_abs_at(*pair, cell::head_index(*pair));
            const Cell slot = *block::rs_abs_at(*pair, cell::head_index(*pair) + 1);
            const i32 first = first_argument(spec);
            if (first >= 0) actions::set_first_argument(slot.data2, first);
        }
        stack::top = code + 1;
    }
    stack::top = saved;
}

void define_typesets() {
    for (const typeset::Named& n : typeset::predefined()) set_global(n.name, n.value);
}

// Every registered type's word is set to its datatype! value.
void define_datatypes() {
    for (u32 t = 1; t <= registry::highest_type; t++)
        if (registry::datatypes[t].name)
            context::set_global(static_cast<i32>(datatype::symbol_of(t)), datatype::make(t));
}

void define_functions() {
    for (int i = 0; i < library_defines_count; i++) read_defines(library_defines[i]);
}

// Evaluates one library module: its text is lexed, the header (the word
// Oru and its block) dropped, the rest bound to the global context and
// evaluated. An error that the module does not catch names the module in its
// report and ends the process with the uncaught-error status.
void run_module(const LibraryModule& module) {
    Cell* const saved = stack::top;
    Cell* code = load_module(module);
    context::bind(*code, context::global, false);
    stack::push(unset::value);
    stack::mark_native(words::word::tag_body);
    Cell* const args = stack::push(*code);
    stack::mark_try(words::word::tag_body);
    const u32 status = interpreter::guard(throw_code::error, [&] { return interpreter::eval_block(*args); });
    if (status == throw_code::error) {
        // The unwinding closed the try frame and pushed the error.
        const Cell error = *stack::last_pushed();
        console::print_text("*** Error in library module ");
        console::print_text(module.file);
        console::print_text("\n");
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

void run_modules() {
    routines::begin_boot();
    for (int i = 0; i < library_modules_count; i++) run_module(library_modules[i]);
    routines::end_boot();
}

// A routine! word on an entry that reads its argument cells and sets its
// own result (return type 0).
void define_routine(const char* name, const char* spec, routine::Entry entry) {
    Cell* top = stack::top;
    Cell* s = load_text(spec);
    routine::push(*s, unset::value, routine::register_entry(entry), 0, false);
    set_global(name, *(stack::top - 1));  // on the stack while setting allocates
    stack::top = top;
}

// event! and its routines, registered where the GUI engine's start-up will
// register them: after the base definitions. Words made meanwhile are kept
// by the root block, as during start-up.
void define_event() {
    const bool root_mode = root_allocation;
    root_allocation = true;
    event::init();
    context::set_global(static_cast<i32>(datatype::symbol_of(type::event)), datatype::make(type::event));
    define_routine("event?", "\"Returns true if the value is this type\" value [any-type!]", event::event_q);
    define_routine("send-event-os", "event [event!] queued? [logic!]", event::send_event_os);
    define_routine("find-flag?", "\"Checks a flag in a face object\" facet [any-type!] flag [word!]",
                   event::find_flag_q);
    root_allocation = root_mode;
}

void error_line(const char* message) {
    console::print_text("*** Error: ");
    console::print_text(message);
    console::print_text("\n");
}


}  // namespace

// The offset of the header: "Oru", an optional "/System", white space, then
// "[", searched case-sensitively; -1 when there is none.
long find_header(const std::string& text) {
    for (size_t at = text.find("Oru"); at != std::string::npos; at = text.find("Oru", at + 1)) {
        size_t p = at + 3;
        if (text.compare(p, 7, "/System") == 0) p += 7;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) p++;
        if (p < text.size() && text[p] == '[') return static_cast<long>(at);
    }
    return -1;
}

void define_base() {
    reset_library_binding();
    define_datatypes();
    define_typesets();
    define_functions();
    run_modules();
    define_event();
    bind_library();
    dyn_print::add(natives_output::stdout_hook, nullptr);
    natives::find_script_header = find_header;
}

int run_script(const char* path) {
    std::string text;
    switch (platform::read_file(path, text)) {
        case platform::ReadResult::ok: break;
        case platform::ReadResult::cannot_open:
            std::fprintf(stderr, "*** Error: cannot read %s: %s\n", path, std::strerror(errno));
            return 1;
        case platform::ReadResult::too_large:
            std::fprintf(stderr, "*** Error: cannot run %s: larger than %llu bytes\n", path,
                         static_cast<unsigned long long>(platform::max_script_bytes));
            return 1;
    }
    // The script's directory becomes the current directory.
    if (const char* slash = std::strrchr(path, '/')) {
        const std::string dir(path, static_cast<size_t>(slash - path) + 1);
        if (chdir(dir.c_str()) != 0) {
            std::fprintf(stderr, "*** Error: cannot change to %s: %s\n", dir.c_str(), std::strerror(errno));
            return 1;
        }
    }
    const long start = find_header(text);
    if (start < 0) {
        error_line("Oru header not found!");
        return 1;
    }
    Cell* code = stack::push();
    i32 consumed = 0;
    lexer::scan(code, reinterpret_cast<const u8*>(text.data()) + start, static_cast<i32>(text.size() - start),
                lexer::Mode{}, &consumed);
    const Cell* first = block::rs_abs_at(*code, 0);
    if (cell::type_of(*first) == type::path) {
        error_line("contains Oru/System code which requires compilation!");
        return 1;
    }
    const Cell* second = series::abs_length_q(*code) > 1 ? block::rs_abs_at(*code, 1) : nullptr;
    if (cell::type_of(*first) != type::word || !second || cell::type_of(*second) != type::block) {
        error_line("not a Oru program!");
        return 1;
    }
    code->data1 = 2;  // the code after the header
    context::bind(*code, context::global, false);
    stack::push(unset::value);
    stack::mark_native(words::word::tag_body);
    stack::push(unset::value);
    interpreter::eval_block_throwing(*code, true);
    return 0;
}

int launch(int argc, char** argv) {
    int i = 1;
    for (; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        if (std::strncmp(argv[i], "--", 2) != 0) break;  // "--catch" and the others are skipped for now
    }
    if (i >= argc) {
        console::print_text("Oru: the console is not built yet; give a script to run.\n");
        return 0;
    }
    return run_script(argv[i]);
}

}  // namespace oru::boot
