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
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/platform/platform.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
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

// A native! or action! word made from its spec text and slot, as the boot
// image's `make native! [[spec] slot]` does.
struct FunctionSpec {
    const char* word;
    i32 slot;
    const char* spec;
};

void define_function(const FunctionSpec& f, u32 t) {
    Cell* top = stack::top;
    std::string text = "[";
    text.append(f.spec).append("] ").append(std::to_string(f.slot));
    Cell* pair = load_text(text.c_str());
    Cell* v = native::make(nullptr, pair, t);
    set_global(f.word, *v);
    stack::top = top;
    // The first argument word, which the no-handler error of an action names.
    if (t == type::action) {
        const std::string spec = f.spec;
        const size_t from = spec.find_first_not_of(" ':");
        const size_t to = spec.find_first_of(" [", from);
        if (from != std::string::npos && spec[from] != '/')
            actions::set_first_argument(static_cast<u32>(f.slot), symbol::make(spec.substr(from, to - from).c_str()));
    }
}

// Natives whose routines exist (the others keep raising internal/not-done
// and get their words with the boot image).
constexpr FunctionSpec native_specs[] = {
    {"if", natives::slot::if_, "cond [any-type!] then-blk [block!]"},
    {"unless", natives::slot::unless, "cond [any-type!] then-blk [block!]"},
    {"either", natives::slot::either, "cond [any-type!] true-blk [block!] false-blk [block!]"},
    {"any", natives::slot::any, "conds [block!]"},
    {"all", natives::slot::all, "conds [block!]"},
    {"while", natives::slot::while_, "cond [block!] body [block!]"},
    {"until", natives::slot::until, "body [block!]"},
    {"loop", natives::slot::loop, "count [integer! float!] body [block!]"},
    {"repeat", natives::slot::repeat, "'word [word!] value [integer! float!] body [block!]"},
    {"forever", natives::slot::forever, "body [block!]"},
    {"func", natives::slot::func, "spec [block!] body [block!]"},
    {"function", natives::slot::function, "spec [block!] body [block!]"},
    {"does", natives::slot::does, "body [block!]"},
    {"has", natives::slot::has, "vars [block!] body [block!]"},
    {"switch", natives::slot::switch_, "value [any-type!] cases [block!] /default case [block!]"},
    {"case", natives::slot::case_, "cases [block!] /all"},
    {"foreach", natives::slot::foreach, "'word [word! block!] series [series!] body [block!]"},
    {"forall", natives::slot::forall, "'word [word!] body [block!]"},
    {"remove-each", natives::slot::remove_each, "'word [word! block!] data [series!] body [block!]"},
    {"print", natives::slot::print, "value [any-type!]"},
    {"prin", natives::slot::prin, "value [any-type!]"},
    // Until file!, map! and hash! register, their words are left out of
    // these argument types. The full texts: extend obj [object! map!] spec
    // [block! hash! map!] /case; to-local-file path [file! string!] /full;
    // size? file [file!] (defined once file! exists).
    {"stats", natives::slot::stats, "/show /info"},
    {"uppercase", natives::slot::uppercase, "string [any-string! char!] /part limit [number! any-string!]"},
    {"lowercase", natives::slot::lowercase, "string [any-string! char!] /part limit [number! any-string!]"},
    {"as-pair", natives::slot::as_pair, "x [integer! float!] y [integer! float!]"},
    {"as-point2D", natives::slot::as_point2D, "x [integer! float!] y [integer! float!]"},
    {"as-point3D", natives::slot::as_point3D, "x [integer! float!] y [integer! float!] z [integer! float!]"},
    {"as-money", natives::slot::as_money, "currency [word!] amount [integer! float!]"},
    {"extend", natives::slot::extend, "obj [object!] spec [block!] /case"},
    {"to-local-file", natives::slot::to_local_file, "path [string!] /full"},
    {"wait", natives::slot::wait, "value [number! time! block! none!] /all"},
    {"now", natives::slot::now, "/year /month /day /time /zone /date /weekday /yearday /precise /utc"},
    {"equal?", natives::slot::equal_q, "value1 [any-type!] value2 [any-type!]"},
    {"not-equal?", natives::slot::not_equal_q, "value1 [any-type!] value2 [any-type!]"},
    {"strict-equal?", natives::slot::strict_equal_q, "value1 [any-type!] value2 [any-type!]"},
    {"lesser?", natives::slot::lesser_q, "value1 [any-type!] value2 [any-type!]"},
    {"greater?", natives::slot::greater_q, "value1 [any-type!] value2 [any-type!]"},
    {"lesser-or-equal?", natives::slot::lesser_or_equal_q, "value1 [any-type!] value2 [any-type!]"},
    {"greater-or-equal?", natives::slot::greater_or_equal_q, "value1 [any-type!] value2 [any-type!]"},
    {"same?", natives::slot::same_q, "value1 [any-type!] value2 [any-type!]"},
    {"not", natives::slot::not_, "value [any-type!]"},
    {"max", natives::slot::max, "value1 [scalar! series!] value2 [scalar! series!]"},
    {"min", natives::slot::min, "value1 [scalar! series!] value2 [scalar! series!]"},
    // Until money! registers, its word is left out of these argument types
    // (an unknown word makes the spec invalid). The full texts: negative?,
    // positive?, sign? number [number! money! time!]; zero? value [number!
    // money! pair! time! char! tuple! any-point!]; log-2 ... square-root
    // value [float! integer! percent!].
    {"negative?", natives::slot::negative_q, "number [number! time!]"},
    {"positive?", natives::slot::positive_q, "number [number! time!]"},
    {"sign?", natives::slot::sign_q, "number [number! time!]"},
    {"zero?", natives::slot::zero_q, "value [number! pair! time! char! tuple! any-point!]"},
    {"NaN?", natives::slot::NaN_q, "value [number!]"},
    {"shift", natives::slot::shift, "data [integer!] bits [integer!] /left /logical"},
    {"sine", natives::slot::sine, "angle [float! integer!] /radians"},
    {"cosine", natives::slot::cosine, "angle [float! integer!] /radians"},
    {"tangent", natives::slot::tangent, "angle [float! integer!] /radians"},
    {"arcsine", natives::slot::arcsine, "value [float! integer!] /radians"},
    {"arccosine", natives::slot::arccosine, "value [float! integer!] /radians"},
    {"arctangent", natives::slot::arctangent, "value [float! integer!] /radians"},
    {"arctangent2", natives::slot::arctangent2, "y [float! integer!] x [float! integer!] /radians"},
    {"log-2", natives::slot::log_2, "value [float! integer!]"},
    {"log-10", natives::slot::log_10, "value [float! integer!]"},
    {"log-e", natives::slot::log_e, "value [float! integer!]"},
    {"exp", natives::slot::exp, "value [float! integer!]"},
    {"square-root", natives::slot::square_root, "value [float! integer!]"},
    {"type?", natives::slot::type_q, "value [any-type!] /word"},
    {"try", natives::slot::try_, "block [block!] /all /keep"},
    {"break", natives::slot::break_, "/return value [any-type!]"},
    {"continue", natives::slot::continue_, ""},
    {"exit", natives::slot::exit, ""},
    {"return", natives::slot::return_, "value [any-type!]"},
    {"throw", natives::slot::throw_, "value [any-type!] /name word [word!]"},
    {"catch", natives::slot::catch_, "block [block!] /name word [word! block!]"},
    {"do", natives::slot::do_,
     "value [any-type!] /expand /args arg [any-type!] /next position [word!] /trace callback [function!]"},
    {"reduce", natives::slot::reduce, "value [any-type!] /into out [any-block!]"},
    {"compose", natives::slot::compose, "value [block!] /deep /only /into out [any-block!]"},
    {"get", natives::slot::get, "word [any-word! any-path! object!] /any /case"},
    {"set", natives::slot::set, "word [any-word! block! object! any-path!] value [any-type!] /any /case /only /some"},
    {"bind", natives::slot::bind, "word [block! any-word!] context [any-word! any-object! function!] /copy"},
    {"in", natives::slot::in, "object [any-object! any-function!] word [any-word! refinement!]"},
    {"construct", natives::slot::construct, "block [block!] /with object [object!] /only"},
    {"value?", natives::slot::value_q, "value [any-type!]"},
    {"unset", natives::slot::unset, "word [word! block!]"},
    {"new-line", natives::slot::new_line, "position [any-list!] value [logic!] /all /skip size [integer!]"},
    {"new-line?", natives::slot::new_line_q, "position [any-list!]"},
    {"context?", natives::slot::context_q, "word [any-word!]"},
    {"parse", natives::slot::parse,
     "input [binary! any-block! any-string!] rules [block!] /case /part length [number! series!] /trace callback [function!]"},
    // Until hash!, bitset! and date! register, their words are left out of
    // these argument types (complement? checks its argument itself). The full
    // texts: union, intersect, exclude set1 set2 [block! hash! string!
    // bitset! typeset!]; difference the same and date!; unique set [block!
    // hash! string!]; complement? bits [bitset!].
    {"union", natives::slot::union_, "set1 [block! string! typeset!] set2 [block! string! typeset!] /case /skip size [integer!]"},
    {"intersect", natives::slot::intersect, "set1 [block! string! typeset!] set2 [block! string! typeset!] /case /skip size [integer!]"},
    {"exclude", natives::slot::exclude, "set1 [block! string! typeset!] set2 [block! string! typeset!] /case /skip size [integer!]"},
    {"difference", natives::slot::difference, "set1 [block! string! typeset!] set2 [block! string! typeset!] /case /skip size [integer!]"},
    {"unique", natives::slot::unique, "set [block! string!] /case /skip size [integer!]"},
    {"complement?", natives::slot::complement_q, "bits"},
    {"dehex", natives::slot::dehex, "value [any-string!]"},
    {"enhex", natives::slot::enhex, "value [any-string!]"},
    {"debase", natives::slot::debase, "value [string!] /base base-value [integer!]"},
    {"enbase", natives::slot::enbase, "value [binary! string!] /base base-value [integer!]"},
    {"to-hex", natives::slot::to_hex, "value [integer!] /size length [integer!]"},
    // Until binary! and file! register: the full text is checksum data
    // [binary! string! file!] method [word!] /with spec [any-string! binary!
    // integer!].
    {"compress", natives::slot::compress, "data [any-string! binary!] method [word!]"},
    {"decompress", natives::slot::decompress, "data [binary!] method [word!] /size sz [integer!]"},
    {"checksum", natives::slot::checksum, "data [series!] method [word!] /with spec [series! integer!]"},
    {"transcode", natives::slot::transcode,
     "src [string!] /next /one /prescan /scan /part length [integer! string!] /into dst [block!] /trace callback"},
};

// Actions with the argument layout their dispatch entries read.
constexpr FunctionSpec action_specs[] = {
    {"make", action::make, "type [any-type!] spec [any-type!]"},
    {"to", action::to, "type [any-type!] spec [any-type!]"},
    {"reflect", action::reflect, "value [any-type!] field [word!]"},
    {"form", action::form, "value [any-type!] /part limit"},
    {"mold", action::mold, "value [any-type!] /only /all /flat /part limit"},
    {"random", action::random, "value /seed /secure /only"},
    {"absolute", action::absolute, "value"},
    {"add", action::add, "value1 value2"},
    {"divide", action::divide, "value1 value2"},
    {"multiply", action::multiply, "value1 value2"},
    {"negate", action::negate, "number"},
    {"power", action::power, "number exponent"},
    {"remainder", action::remainder, "value1 value2"},
    {"round", action::round, "n /to scale /even /down /half-down /floor /ceiling /half-ceiling"},
    {"subtract", action::subtract, "value1 value2"},
    {"even?", action::even_q, "number"},
    {"odd?", action::odd_q, "number"},
    {"and~", action::and_, "value1 value2"},
    {"or~", action::or_, "value1 value2"},
    {"xor~", action::xor_, "value1 value2"},
    {"complement", action::complement, "value"},
    {"append", action::append, "series value [any-type!] /part length /only /dup count"},
    {"insert", action::insert, "series value [any-type!] /part length /only /dup count"},
    {"at", action::at, "series index"},
    {"back", action::back, "series"},
    {"change", action::change, "series value [any-type!] /part range /only /dup count"},
    {"clear", action::clear, "series"},
    {"copy", action::copy, "value /part length /deep /types kind"},
    {"head", action::head, "series"},
    {"head?", action::head_q, "series"},
    {"index?", action::index_q, "series"},
    {"length?", action::length_q, "series"},
    {"next", action::next, "series"},
    {"pick", action::pick, "series index"},
    {"poke", action::poke, "series index value [any-type!]"},
    {"reverse", action::reverse, "series /part length /skip size"},
    {"skip", action::skip, "series offset"},
    {"tail", action::tail, "series"},
    {"tail?", action::tail_q, "series"},
    {"random", action::random, "value /seed /secure /only"},
    {"find", action::find,
     "series value [any-type!] /part length /only /case /same /any /with wild /skip size /last /reverse /tail /match"},
    {"select", action::select,
     "series value [any-type!] /part length /only /case /same /any /with wild /skip size /last /reverse"},
    {"put", action::put, "series key value [any-type!] /case"},
    {"sort", action::sort, "series /case /skip size /compare comparator /part length /all /reverse /stable"},
    {"trim", action::trim, "series /head /tail /auto /lines /all /with str"},
    {"remove", action::remove, "series /part length /key key-arg"},
    {"move", action::move, "origin target /part length"},
    {"swap", action::swap, "series1 series2"},
    {"take", action::take, "series /part length /deep /last"},
    {"modify", action::modify, "target field value [any-type!] /case"},
    {"create", action::create, "port"},
    {"close", action::close, "port"},
    {"delete", action::delete_, "file"},
    {"open", action::open, "port /new /read /write /seek /allow access"},
    {"open?", action::open_q, "port"},
    {"query", action::query, "target"},
    {"read", action::read, "source /part length /seek index /binary /lines /info /as encoding"},
    {"rename", action::rename, "from to"},
    {"update", action::update, "port"},
    {"write", action::write,
     "destination data [any-type!] /binary /lines /info /append /part length /seek index /allow access /as encoding"},
};

// A typeset of the given type numbers, or'ed with other typesets.
Cell typeset_of(std::initializer_list<u32> types, std::initializer_list<const Cell*> with = {}) {
    Cell ts = typeset::make();
    for (u32 t : types) typeset::set_bit(ts, t);
    for (const Cell* o : with) {
        ts.data1 |= o->data1;
        ts.data2 |= o->data2;
        ts.data3 |= o->data3;
    }
    return ts;
}

void define_typesets() {
    namespace t = type;
    const Cell internal = typeset_of({t::unset});
    const Cell external = typeset_of({t::event});
    const Cell number = typeset_of({t::integer, t::float_, t::percent});
    const Cell planar = typeset_of({t::pair, t::point2D});
    const Cell any_point = typeset_of({t::point2D, t::point3D});
    const Cell scalar = typeset_of({t::money, t::char_, t::pair, t::tuple, t::time, t::date}, {&number, &any_point});
    const Cell any_word = typeset_of({t::word, t::set_word, t::lit_word, t::get_word});
    const Cell all_word = typeset_of({t::refinement, t::issue}, {&any_word});
    const Cell any_list = typeset_of({t::block, t::paren, t::hash});
    const Cell any_path = typeset_of({t::path, t::lit_path, t::set_path, t::get_path});
    const Cell any_block = typeset_of({}, {&any_path, &any_list});
    const Cell any_function = typeset_of({t::native, t::action, t::op, t::function, t::routine});
    const Cell any_object = typeset_of({t::object, t::error, t::port});
    const Cell any_string = typeset_of({t::string, t::file, t::url, t::tag, t::email, t::ref});
    const Cell series = typeset_of({t::binary, t::image, t::vector}, {&any_block, &any_string});
    const Cell immediate = typeset_of({t::none, t::logic, t::datatype, t::typeset, t::handle, t::date}, {&scalar, &all_word});
    const Cell default_ =
        typeset_of({t::map, t::bitset}, {&series, &immediate, &any_object, &external, &any_function});
    const Cell any_type = typeset_of({}, {&default_, &internal});
    const std::pair<const char*, const Cell*> named[] = {
        {"internal!", &internal},     {"external!", &external},       {"number!", &number},
        {"planar!", &planar},         {"any-point!", &any_point},     {"scalar!", &scalar},
        {"any-word!", &any_word},     {"all-word!", &all_word},       {"any-list!", &any_list},
        {"any-path!", &any_path},     {"any-block!", &any_block},     {"any-function!", &any_function},
        {"any-object!", &any_object}, {"any-string!", &any_string},   {"series!", &series},
        {"immediate!", &immediate},   {"default!", &default_},        {"any-type!", &any_type},
    };
    for (const auto& [name, value] : named) set_global(name, *value);
}

// Every registered type's word is set to its datatype! value.
void define_datatypes() {
    for (u32 t = 1; t <= registry::highest_type; t++)
        if (registry::datatypes[t].name)
            context::set_global(static_cast<i32>(datatype::symbol_of(t)), datatype::make(t));
}

void define_functions() {
    for (const FunctionSpec& f : native_specs) define_function(f, type::native);
    for (const FunctionSpec& f : action_specs) define_function(f, type::action);
}

// The least `system` object the port actions need: the scheme registry
// (name and scheme pairs, newest first) and the standard port, scheme and
// URL-parts objects. A stand-in: the boot image's system object replaces
// this whole definition.
constexpr const char* least_system = R"(
system: make object! [
    schemes: []
    standard: make object! [
        port: make object! [spec: scheme: actor: awake: state: data: extra: none]
        scheme: make object! [name: title: info: actor: awake: none]
        url-parts: make object! [scheme: user-info: host: port: path: target: query: fragment: ref: none]
    ]
]
)";

void define_system() {
    Cell* const saved = stack::top;
    Cell* code = load_text(least_system);
    context::bind(*code, context::global, false);
    stack::push(unset::value);
    stack::mark_native(words::word::tag_body);
    stack::push(unset::value);
    interpreter::eval_block_throwing(*code, true);
    stack::unwind();
    stack::top = saved;
}

// Evaluates one library module: its text is lexed, the header (the word
// Oru and its block) dropped, the rest bound to the global context and
// evaluated. An error that the module does not catch names the module in its
// report and ends the process with the uncaught-error status.
void run_module(const LibraryModule& module) {
    Cell* const saved = stack::top;
    Cell* code = load_text(module.text);
    if (series::abs_length_q(*code) >= 2 && cell::type_of(*block::rs_abs_at(*code, 0)) == type::word &&
        cell::type_of(*block::rs_abs_at(*code, 1)) == type::block)
        code->data1 = 2;
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
    for (int i = 0; i < library_module_count; i++) run_module(library_modules[i]);
    routines::end_boot();
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
    define_system();
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
