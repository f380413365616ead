// Environment, process and data natives; see natives_process.h. The table
// of slots is at the bottom.
#include "interpreter/natives_process.h"

#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "io/call.h"
#include "io/io_support.h"
#include "io/os_info.h"
#include "io/simple_io.h"
#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/stats.h"
#include "runtime/unicode.h"

#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

namespace oru::natives {

namespace {

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }
inline Cell* ref_arg(const i32* refinements, int i) { return stack::arguments + refinements[i]; }

// The name of an environment variable: a string's text or a word's spelling.
std::string variable_name(const Cell& var) {
    const u32 t = cell::type_of(var);
    if (!series::string_like_q(t) && !word::any_word_type_q(t)) expect_arg(var, "var");
    std::string name;
    io::append_spelling(var, name);
    return name;
}

bool block_class_q(u32 t) { return t == type::block || t == type::paren || (t >= type::path && t <= type::get_path); }

}  // namespace

u32 set_env(bool, const i32*) {
    Cell* args = stack::arguments;
    const std::string name = variable_name(args[0]);
    const u32 vt = cell::type_of(args[1]);
    if (vt != type::string && vt != type::none) expect_arg(args[1], "value");
    // A name or value holding NUL cannot be stored: nothing is set.
    if (name.find('\0') == std::string::npos) {
        if (vt == type::none) {
            platform::set_env(name.c_str(), nullptr);
        } else {
            std::string value;
            io::append_utf8(args[1], value);
            if (value.find('\0') == std::string::npos) platform::set_env(name.c_str(), value.c_str());
        }
    }
    stack::set_result(args[1]);
    return 0;
}

u32 get_env(bool, const i32*) {
    const std::string name = variable_name(stack::arguments[0]);
    // The needed size first (the value's length + 1, so a variable set to
    // "" asks for 1 and is told apart from one that is not set).
    const u32 need = name.find('\0') == std::string::npos ? platform::get_env(name.c_str(), nullptr, 0) : 0;
    if (need == 0) {
        stack::set_result(cell::make(type::none));
        return 0;
    }
    std::string value(need, '\0');
    const u32 length = platform::get_env(name.c_str(), value.data(), need);
    value.resize(length < need ? length : 0);
    stack::set_result(*io::push_text(reinterpret_cast<const u8*>(value.data()), value.size(), type::string, false));
    return 0;
}

u32 list_env(bool, const i32*) {
    stack::set_result(*os_info::push_env_map());
    return 0;
}

// call cmd /wait /show /console /shell /input in /output out /error err
u32 call(bool, const i32* refinements) {
    enum { wait_r, show_r, console_r, shell_r, input_r, output_r, error_r };
    Cell* args = stack::arguments;
    const u32 t = cell::type_of(args[0]);
    if (t != type::string && t != type::file) expect_arg(args[0], "cmd");
    if (unicode::clip_head(args[0]) == 0) {
        stack::set_result(cell::integer(0));
        return 0;
    }
    const Cell* in = used(refinements, input_r) ? ref_arg(refinements, input_r) : nullptr;
    const Cell* out = used(refinements, output_r) ? ref_arg(refinements, output_r) : nullptr;
    const Cell* err = used(refinements, error_r) ? ref_arg(refinements, error_r) : nullptr;
    const i32 r = call::run(args[0], used(refinements, wait_r), used(refinements, show_r),
                            used(refinements, console_r), used(refinements, shell_r), in, out, err);
    stack::set_result(cell::integer(r));
    return 0;
}

u32 browse(bool, const i32*) {
    Cell* args = stack::arguments;
    std::string target;
    if (!io::os_path(args[0], target)) fire(ErrorId::script_invalid_arg, args[0]);
    call::start_detached(natives_process::browser_command(target));
    stack::set_result(unset::value);
    return 0;
}

u32 as(bool, const i32*) {
    Cell* args = stack::arguments;
    const u32 target = cell::type_of(args[0]) == type::datatype ? datatype::get(args[0]) : cell::type_of(args[0]);
    const u32 from = cell::type_of(args[1]);
    const bool same = (block_class_q(target) && block_class_q(from)) ||
                      (series::string_like_q(target) && series::string_like_q(from));
    if (!same) fire(ErrorId::script_not_same_class, datatype::make(from), datatype::make(target));
    Cell result = args[1];
    cell::set_type(result, target);
    stack::set_result(result);
    return 0;
}

u32 recycle(bool, const i32* refinements) {
    if (used(refinements, 0) || used(refinements, 1)) {
        if (used(refinements, 0)) collector::enable(true);
        if (used(refinements, 1)) collector::enable(false);
        stack::set_result(unset::value);
        return 0;
    }
    collector::recycle();
    const double total = debug::memory_stats(nullptr, 1);
    stack::set_result(total > 2147483647.0 ? cell::float_(total) : cell::integer(static_cast<i32>(total)));
    return 0;
}

// apply func args /all /safer: a word or path names the function (a path's
// further words are refinements turned on); a function value is applied
// under the name <applied>.
u32 apply(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[1]) != type::block) expect_arg(args[1], "args");
    const Cell* name = nullptr;
    const Cell* path = nullptr;
    Cell fn = args[0];
    const u32 t = cell::type_of(args[0]);
    if (t == type::word || t == type::path) {
        Cell w = args[0];
        if (t == type::path) {
            path = &args[0];
            const i32 head = cell::head_index(args[0]) < 0 ? 0 : cell::head_index(args[0]);
            if (head >= series::abs_length_q(args[0])) fire(ErrorId::script_invalid_arg, args[0]);
            w = memory::buffer(cell::node(args[0]))->cells()[head];
            if (cell::type_of(w) != type::word) fire(ErrorId::script_invalid_arg, args[0]);
        }
        Cell* held = stack::push(w);
        name = held;
        fn = *interpreter::word_value(*held);
        const u32 ft = cell::type_of(fn);
        if (ft != type::function && ft != type::action && ft != type::native && ft != type::routine && ft != type::op)
            fire(ErrorId::script_invalid_arg, args[0]);
    }
    Cell* held_fn = stack::push(fn);
    if (const u32 code = interpreter::apply(*held_fn, args[1], used(refinements, 0), used(refinements, 1), name, path))
        return code;
    stack::set_result(*(stack::top - 1));
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_process {

namespace {

// The file-system routines take a path: a file! (or, until file!
// registers, a string!), its OS form being its text.
const Cell& path_arg(const routine::Machine* args) {
    const Cell& path = *args[0].cell;
    if (!series::string_like_q(cell::type_of(path))) natives::expect_arg(path, "path");
    return path;
}

}  // namespace

routine::Machine create_dir(const routine::Machine* args, i32) {
    const Cell path = path_arg(args);
    std::string os;
    if (!io::os_path(path, os) || !simple_io::make_dir(os.c_str())) fire(ErrorId::access_no_create, path);
    stack::set_last(unset::value);
    return routine::Machine{.integer = 0};
}

routine::Machine set_current_dir(const routine::Machine* args, i32) {
    const Cell path = path_arg(args);
    std::string os;
    if (!io::os_path(path, os) || !platform::set_current_dir(os.c_str())) fire(ErrorId::access_cannot_open, path);
    stack::set_last(unset::value);
    return routine::Machine{.integer = 0};
}

routine::Machine exists_q(const routine::Machine* args, i32) {
    std::string os;
    const bool exists = io::os_path(path_arg(args), os) && simple_io::file_exists_q(os.c_str());
    stack::set_last(logic::make(exists));
    return routine::Machine{.integer = exists ? 1 : 0};
}

routine::Machine os_info(const routine::Machine*, i32) {
    Cell* saved = stack::top;
    const Cell info = *os_info::push_os_info();
    stack::top = saved;
    stack::set_last(info);
    return routine::Machine{.integer = 0};
}

std::vector<std::string> browser_command(const std::string& target) {
    std::vector<std::string> argv;
    if (const char* b = std::getenv("BROWSER"); b && *b) {
        // A list of browsers separated by ":" names the first to try.
        std::string first(b);
        first = first.substr(0, first.find(':'));
        argv = call::split_command(first);
    }
    if (argv.empty()) argv = {"xdg-open"};
    argv.push_back(target);
    return argv;
}

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::set_env, set_env}, {slot::get_env, get_env}, {slot::list_env, list_env},
        {slot::as, natives::as}, {slot::call, natives::call}, {slot::browse, browse},
        {slot::recycle, natives::recycle}, {slot::apply, natives::apply},
    };
    static_assert(std::size(entries) == 8);
    provide_all(entries);
}

}  // namespace oru::natives_process
