// The image generator: run at build time, it writes the boot image that
// start-up decodes, as a C++ source of one byte array and its length.
//
//     oru_make_image OUTPUT.cpp --defines NAME PATH... --modules NAME PATH...
//
// In its own runtime it lexes each library file (its header dropped), makes
// the define records (the datatype words, then the typesets, native and
// action words of the define files) and writes one record per
// module: a block of the module's name and its code. It then evaluates the
// modules in order, as start-up will, so that a fault of the library (a
// lexer error, a spec unlike its slot, a routine with no entry or another
// arity, a word missing or defined twice, a typeset whose members differ
// from the runtime's list, an error in a module) fails the
// build instead of every start-up. The image is decoded back and written
// again: the two documents must be the same bytes. Nothing depends on the
// time or the machine, so the same source gives the same image.
//
// Collection stays off throughout: every value the generator makes stays
// where it is.
#include "boot/library_modules.h"
#include "boot/routines.h"

#include "codecs/lexer.h"
#include "codecs/lz.h"
#include "codecs/orubin.h"
#include "codecs/orubin_format.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/event.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

using namespace oru;

namespace {

struct SourceFile {
    std::string name;  // as listed in boot/modules.cmake: the name errors give
    std::string path;
};

struct Job {
    std::string output;
    std::vector<SourceFile> defines, modules;
    int status = 0;
};

[[noreturn]] void fault(const std::string& file, const std::string& message) {
    console::flush();
    std::fprintf(stderr, "*** Boot image: %s: %s\n", file.c_str(), message.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

std::string read_file(const SourceFile& f) {
    std::ifstream in(f.path, std::ios::binary);
    if (!in) fault(f.name, "cannot read " + f.path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs body; an error it raises is reported as a fault of the file.
template <class F>
void checked(const std::string& file, F&& body) {
    boot::run_reporting("file", file.c_str(), cell::make(type::none), [](Cell*, void* p) {
        (*static_cast<F*>(p))();
        return 0u;
    }, &body);
}

// The file's code: its text lexed, without the header (the word Oru and its
// block), as a new block pushed on the data stack.
Cell* lex_module(const SourceFile& f) {
    const std::string text = read_file(f);
    Cell* code = stack::push();
    checked(f.name, [&] {
        i32 consumed = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), lexer::Mode{},
                    &consumed);
    });
    stack::top = code + 1;
    const i32 len = series::abs_length_q(*code);
    if (len < 2 || cell::type_of(*block::rs_abs_at(*code, 0)) != type::word ||
        std::strcmp(symbol::get_c_string(word::symbol_of(*block::rs_abs_at(*code, 0))), "Oru") != 0 ||
        cell::type_of(*block::rs_abs_at(*code, 1)) != type::block)
        fault(f.name, "no Oru header");
    const Node stripped = memory::alloc_cells(len - 2);
    for (i32 i = 2; i < len; i++) *memory::alloc_tail(stripped) = *block::rs_abs_at(*code, i);
    *code = cell::make(type::block, 0, stripped);
    return code;
}

// The define records and what they must cover.
struct Defines {
    orubin::BootWriter& writer;
    std::vector<Cell> words;  // every defined word, in order (for the check of the image)
    std::set<i32> symbols;    // canonical symbols defined
    std::set<i32> slots[2];   // native, action slots defined
    size_t typesets = 0;      // typesets defined, in the order of typeset::predefined

    void define(const std::string& file, const Cell& word, const Cell& value) {
        if (!symbols.insert(symbol::canonical(word::symbol_of(word))).second)
            fault(file, std::string("the word ") + symbol::get_c_string(word::symbol_of(word)) + " is defined twice");
        context::set_global(word::symbol_of(word), value);
        writer.define(word, value);
        words.push_back(word);
    }
};

bool word_named_q(const Cell* c, const char* name) {
    return c && cell::type_of(*c) == type::word && std::strcmp(symbol::get_c_string(word::symbol_of(*c)), name) == 0;
}

// The member types of `a` that `b` lacks, as a text of type names.
std::string members_beyond(const Cell& a, const Cell& b) {
    std::string names;
    for (u32 t = 1; t <= registry::highest_type; t++)
        if (typeset::member_q(a, t) && !typeset::member_q(b, t))
            names += std::string(" ") + (registry::datatypes[t].name ? registry::datatypes[t].name : "?");
    return names;
}

// A typeset record must be the next typeset of the runtime's list (the one
// the routine shapes are read with), with the same members.
void check_typeset(const std::string& file, const std::string& record, const Cell& name, const Cell& value,
                   Defines& defines) {
    const std::span<const typeset::Named> list = typeset::predefined();
    const char* spelled = symbol::get_c_string(word::symbol_of(name));
    const i32 canon = symbol::canonical(word::symbol_of(name));
    const typeset::Named* known = nullptr;
    for (const typeset::Named& n : list)
        if (symbol::canonical(symbol::make(n.name)) == canon) known = &n;
    if (!known) fault(file, record + ": " + spelled + " is no predefined typeset");
    if (defines.symbols.count(canon)) fault(file, std::string("the word ") + spelled + " is defined twice");
    const typeset::Named& expected = list[defines.typesets];
    if (known != &expected)
        fault(file, record + ": the typeset " + expected.name + " has no define record before " + spelled);
    const std::string missing = members_beyond(expected.value, value), extra = members_beyond(value, expected.value);
    if (!missing.empty() || !extra.empty())
        fault(file, record + ": the typeset " + spelled + " has other members (" +
                        (missing.empty() ? "" : "lacks" + missing + (extra.empty() ? "" : ", ")) +
                        (extra.empty() ? "" : "has" + extra) + ")");
    defines.typesets++;
}

// Every typeset has its record: checked before the first native or action
// record, whose spec may name any of them.
void check_typesets_done(const std::string& file, const Defines& defines) {
    const std::span<const typeset::Named> list = typeset::predefined();
    if (defines.typesets < list.size())
        fault(file, std::string("the typeset ") + list[defines.typesets].name + " has no define record");
}

// One file of define records, `word: make native! [[spec] slot]` (or
// action!) or `word: make typeset! [members]`, each made as evaluating it
// would make it.
void read_define_file(const SourceFile& f, Defines& defines) {
    Cell* const saved = stack::top;
    Cell* code = lex_module(f);
    const i32 len = series::abs_length_q(*code);
    if (len % 4) fault(f.name, "a define record is cut short");
    for (i32 i = 0; i < len; i += 4) {
        const std::string record = "record " + std::to_string(i / 4 + 1);
        const Cell name = *block::rs_abs_at(*code, i);
        const Cell* kind = block::rs_abs_at(*code, i + 2);
        const u32 t = word_named_q(kind, "native!")    ? type::native
                      : word_named_q(kind, "action!")  ? type::action
                      : word_named_q(kind, "typeset!") ? type::typeset
                                                       : 0;
        if (cell::type_of(name) != type::set_word || !t || !word_named_q(block::rs_abs_at(*code, i + 1), "make") ||
            cell::type_of(*block::rs_abs_at(*code, i + 3)) != type::block)
            fault(f.name, record + " is no define record");
        if (t != type::typeset) check_typesets_done(f.name, defines);
        Cell* spec = stack::push(*block::rs_abs_at(*code, i + 3));
        Cell* proto = stack::push(datatype::make(t));
        Cell* value = nullptr;
        // make native! checks that the spec has the shape of the slot's
        // routine; make typeset! reads member words through the global context.
        checked(f.name, [&] { value = t == type::typeset ? actions::make(proto, spec) : native::make(nullptr, spec, t); });
        stack::top = value + 1;
        if (t == type::typeset) {
            check_typeset(f.name, record, name, *value, defines);
        } else {
            const i32 slot = native::slot_of(*value);
            if (!defines.slots[t == type::action].insert(slot).second)
                fault(f.name, record + ": slot " + std::to_string(slot) + " is defined twice");
            if (t == type::native &&
                std::strcmp(natives::name_of(slot), symbol::get_c_string(word::symbol_of(name))) != 0)
                fault(f.name, record + ": slot " + std::to_string(slot) + " is the native " + natives::name_of(slot));
        }
        Cell w = word::of_symbol(word::symbol_of(name));
        defines.define(f.name, w, *value);
        stack::top = code + 1;
    }
    stack::top = saved;
}

// Every typeset has its record, every slot with a routine its word.
void check_complete(const Defines& defines) {
    check_typesets_done("typesets", defines);
    for (i32 slot = 1; slot <= natives::count; slot++)
        if (natives::shape_of(slot) && !defines.slots[0].count(slot))
            fault("natives", std::string("the native ") + natives::name_of(slot) + " has no define record");
    for (u32 slot = 1; slot <= action::count; slot++)
        if (actions::shape_of(slot) && !defines.slots[1].count(static_cast<i32>(slot)))
            fault("actions", "action slot " + std::to_string(slot) + " has no define record");
}

// The document with its payload LZ-compressed (the 8 header bytes stay).
std::vector<u8> compressed(const std::vector<u8>& doc) {
    std::vector<u8> out(doc.size());
    std::memcpy(out.data(), doc.data(), orubin::header_size);
    const i64 n = lz::compress(doc.data() + orubin::header_size, doc.size() - orubin::header_size,
                               out.data() + orubin::header_size);
    if (n < 0) return doc;
    out.resize(orubin::header_size + static_cast<size_t>(n));
    out[7] |= orubin::doc_flag::compressed;
    return out;
}

// Decodes the image into a new block and writes its defines and records
// again: the same bytes must come out.
void check_round_trip(const std::vector<u8>& image, const std::vector<u8>& doc, const Defines& defines,
                      i32 records) {
    Cell* target = stack::push();
    block::make_at(*target, records);
    checked("boot image", [&] {
        orubin::decode(image.data(), image.size(), *target, false, cell::make(type::none), false);
    });
    if (series::abs_length_q(*target) != records) fault("boot image", "decoded to another count of records");
    orubin::BootWriter again;
    for (const Cell& w : defines.words) again.define(w, *context::global_slot(word::symbol_of(w)));
    for (i32 i = 0; i < records; i++) again.record(*block::rs_abs_at(*target, i));
    if (again.document() != doc) fault("boot image", "decoded and written again, it gives other bytes");
}

void write_source(const std::string& path, const std::vector<u8>& image) {
    std::ostringstream s;
    s << "// Generated by oru_make_image from boot/modules.cmake and the library source: do not edit.\n"
         "#include \"boot/image.h\"\n\nnamespace oru::boot {\n\nconst size_t image_size = "
      << image.size() << ";\n\nconst unsigned char image_bytes[] = {";
    for (size_t i = 0; i < image.size(); i++) s << (i % 20 ? " " : "\n    ") << unsigned{image[i]} << ',';
    s << "\n};\n\n}  // namespace oru::boot\n";
    // Written only when changed, so that an unchanged image rebuilds nothing.
    const std::string text = s.str();
    std::ifstream old(path, std::ios::binary);
    if (old && std::string(std::istreambuf_iterator<char>(old), std::istreambuf_iterator<char>()) == text) return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) fault(path, "cannot write the image source");
}

void generate(Job& job) {
    orubin::BootWriter writer;
    Defines defines{writer, {}, {}, {}, 0};
    // Datatype words first, then the define files: the typesets that native
    // specs name, then the native and action words. A typeset named as a
    // datatype (series!) takes its word.
    std::set<i32> typeset_symbols;
    for (const typeset::Named& n : typeset::predefined()) typeset_symbols.insert(symbol::canonical(symbol::make(n.name)));
    for (u32 t = 1; t <= registry::highest_type; t++) {
        const i32 sym = static_cast<i32>(datatype::symbol_of(t));
        if (registry::datatypes[t].name && !typeset_symbols.count(symbol::canonical(sym)))
            defines.define("datatypes", word::of_symbol(sym), datatype::make(t));
    }
    for (const SourceFile& f : job.defines) read_define_file(f, defines);
    check_complete(defines);
    boot::record_first_arguments();

    // One record per module, written before anything evaluates its code.
    std::vector<Cell*> codes;
    for (const SourceFile& f : job.modules) {
        Cell* code = lex_module(f);
        Cell* record = stack::push();
        block::make_at(*record, 2);
        Cell* name = string::load_utf8_checked(reinterpret_cast<const u8*>(f.name.data()),
                                               static_cast<i32>(f.name.size()));
        *memory::alloc_tail(cell::node(*record)) = *name;
        *memory::alloc_tail(cell::node(*record)) = *code;
        writer.record(*record);
        codes.push_back(code);
    }
    const std::vector<u8> doc = writer.document();

    // The library evaluated as start-up evaluates it.
    boot::routines::begin_boot();
    for (size_t i = 0; i < codes.size(); i++) boot::run_module(*codes[i], job.modules[i].name.c_str());
    checked("routines", [] { boot::routines::end_boot(); });
    // A native or action whose library spec differs from the shape its C++
    // code reads is a fault of the build: calls would read arguments that are
    // not there. Start-up runs this same library, so it needs no check.
    const std::string faults = native::check_defined();
    if (!faults.empty()) fault("library", "specs unlike the natives' shapes:\n" + faults);

    const std::vector<u8> image = compressed(doc);
    check_round_trip(image, doc, defines, writer.records());
    write_source(job.output, image);
}

void start(void* p) {
    auto* job = static_cast<Job*>(p);
    const u32 code = catch_level(throw_code::top_level, [&] {
        natives_output::register_all();
        runtime_init();
        event::init();
        generate(*job);
    });
    if (code) top_level_catch(code);
    console::flush();
}

}  // namespace

int main(int argc, char** argv) {
    Job job;
    std::vector<SourceFile>* list = nullptr;
    if (argc < 2) {
        std::fprintf(stderr, "usage: oru_make_image OUTPUT.cpp --defines NAME PATH... --modules NAME PATH...\n");
        return 2;
    }
    job.output = argv[1];
    for (int i = 2; i < argc; i++) {
        if (std::strcmp(argv[i], "--defines") == 0) list = &job.defines;
        else if (std::strcmp(argv[i], "--modules") == 0) list = &job.modules;
        else if (list && i + 1 < argc) list->push_back({argv[i], argv[i + 1]}), i++;
        else return std::fprintf(stderr, "oru_make_image: unexpected argument %s\n", argv[i]), 2;
    }
    init_process(argc, argv);
    run_with_stack(interpreter_stack_for(platform::address_space_limit()), start, &job);
    runtime_shutdown();
    return job.status;
}
