// The least boot program: the library decoded from the boot image and
// evaluated, then one script.
#include "boot/boot.h"
#include "boot/image.h"
#include "boot/library_binding.h"
#include "boot/library_modules.h"
#include "boot/routines.h"

#include "codecs/lexer.h"
#include "console/terminal.h"
#include "codecs/orubin.h"
#include "io/io_support.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/event.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/system_object.h"
#include "runtime/words.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace oru::boot {

namespace {

// The text of an ASCII string! (a module's name).
std::string ascii_of(const Cell& s) {
    SeriesBuffer* b = memory::buffer(cell::node(s));
    const u32 unit = b->unit();
    std::string out;
    for (i32 i = cell::head_index(s); i < series::abs_length_q(s); i++)
        out.push_back(static_cast<char>(string::get_char(b->head_ptr() + static_cast<size_t>(i) * unit, unit)));
    return out;
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

void load_image() {
    const bool root_mode = root_allocation;
    root_allocation = true;
    // event! is registered where the GUI engine's start-up will register
    // it; its datatype word is among the image's defines.
    event::init();
    reset_library_binding();
    orubin::boot_load(image_bytes, image_size, false);
    record_first_arguments();
    root_allocation = root_mode;
}

void run_library() {
    const bool root_mode = root_allocation;
    root_allocation = false;
    const bool collecting = collector::enable(true);
    const i32 base = orubin::literal_base();
    const i32 records = series::abs_length_q(cell::make(type::block, 0, root_block())) - base;
    routines::begin_boot();
    for (i32 i = 0; i < records; i++) {
        // A module record: [file-name code]. The root block is fixed: its
        // cells never move.
        const Cell* record = memory::buffer(root_block())->cells() + base + i;
        const bool pair = cell::type_of(*record) == type::block && series::abs_length_q(*record) == 2;
        const Cell name = pair ? *block::rs_abs_at(*record, 0) : none::value;
        const Cell code = pair ? *block::rs_abs_at(*record, 1) : none::value;
        if (cell::type_of(name) != type::string || cell::type_of(code) != type::block) {
            // The generator writes nothing else: the program itself is damaged.
            console::flush();
            std::fprintf(stderr, "*** Error: the boot image's record %d is no library module\n", i + 1);
            std::fflush(stderr);
            _exit(uncaught_error_status);
        }
        run_module(code, ascii_of(name).c_str());
    }
    routines::end_boot();
    bind_library();
    dyn_print::add(natives_output::stdout_hook, nullptr);
    terminal::track_output();
    natives::find_script_header = find_header;
    const Cell* runner = context::global_slot(symbol::make("do-file"));
    natives::script_runner = runner ? *runner : none::value;
    collector::enable(collecting);
    root_allocation = root_mode;
}

void define_base() {
    load_image();
    run_library();
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
    // The checks passed: the library's script runner runs it, as `do` does,
    // with the command line's arguments (the raw text after the program's
    // path) as the script's arguments.
    stack::top = code;
    stack::push(unset::value);
    stack::mark_native(words::word::tag_body);
    stack::push(unset::value);
    Cell args[3] = {*io::push_text(reinterpret_cast<const u8*>(path), std::strlen(path), type::file, false),
                    none::value, none::value};
    if (const Cell* raw = system_object::select({"script", "args"})) args[2] = *raw;
    natives::call_callback(natives::script_runner, word::load("do-file"), 0, args, 3);
    return 0;
}

namespace {

// The console's start-up, system/console/launch, when the library made it:
// it runs the script named on the command line or the console itself.
bool console_launch() {
    const Cell* slot = system_object::select({"console", "launch"});
    if (!slot || cell::type_of(*slot) != type::function) return false;
    const Cell fn = *slot;
    const Cell name = word::load("launch");
    Cell* saved = stack::top;
    stack::mark(name, function::context_of(fn));
    function::init_locals(function::count_locals(function::spec_of(fn), 0, false));
    interpreter::call_handler(fn);
    stack::unwind_func();
    stack::top = saved;
    return true;
}

}  // namespace

int launch(int argc, char** argv) {
    // The console's launch reads the command line itself and runs the
    // script or the console; the runner below serves a boot image without it.
    if (console_launch()) return 0;
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
