// libFuzzer target for the parse dialect: the bytes choose an input and a
// rule block, and the program that runs them.
//
// The first bytes pick the input (a string of 1-, 2- or 4-byte units, a
// tag!, a lexed block, a path or a binary), its length, the refinements
// (/case, /part as a count or a position, /trace with a callback that stops
// after some events) and whether the call runs inside a loop and a catch.
// Every later byte is one token of the rules: every keyword, literals of
// each kind, datatypes and typesets, lit-words, marks and position resets,
// nested blocks, words bound to rule blocks (recursive ones, one that
// clears itself) and fixed parens that edit the input, throw, break, raise
// or start a nested parse. The program is built as source text, loaded,
// bound and run inside a try frame with a step budget on the engine, so
// that rules looping without end (`while` over a rule that consumes
// nothing) stop. Language errors are expected; a crash, a sanitizer report,
// an escaping C++ exception, or work stacks left non-empty are findings.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/evaluator.h"
#include "interpreter/parse_engine.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace oru;

namespace {

Cell try_name;

// The global values as start-up left them. Rules can set any word (`set
// copy skip` sets `copy`), so every program starts from these again: one
// program's words never break the next one's prelude.
Cell saved_globals;
i32 saved_count = 0;

// A bitset! of 16 bytes holding "a", "=" and line feed; with `complement`
// every code point past its 128 bits is in it too.
void define_bitset(const char* name, bool complement) {
    const Node n = memory::alloc_bytes(16);
    SeriesBuffer* b = memory::buffer(n);
    std::memset(b->head_ptr(), 0, 16);
    b->tail = b->head + 16;
    for (u8 c : {u8{'a'}, u8{'='}, u8{'\n'}}) b->head_ptr()[c / 8] |= static_cast<u8>(0x80u >> (c % 8));
    if (complement) b->flags |= bitset::complement_flag;
    context::set_global(symbol::make(name), cell::make(type::bitset, 0, n, 0));
}

void save_globals() {
    saved_count = context::length(context::global);
    block::make_at(saved_globals, saved_count);
    SeriesBuffer* b = memory::buffer(cell::node(saved_globals));
    std::memcpy(b->head_ptr(), context::values(context::global), static_cast<size_t>(saved_count) * sizeof(Cell));
    b->tail = b->head + static_cast<u32>(saved_count) * sizeof(Cell);
    collector::register_marker([] { collector::mark_block(&saved_globals, &saved_globals + 1); });
}

void restore_globals() {
    Cell* values = context::values(context::global);
    std::memcpy(values, memory::buffer(cell::node(saved_globals))->head_ptr(),
                static_cast<size_t>(saved_count) * sizeof(Cell));
    const i32 n = context::length(context::global);
    for (i32 i = saved_count; i < n; i++) values[i] = unset::value;
}

// Words and values every program starts from: marks, targets for collect
// into/after, rule blocks, a callback and its counter.
constexpr const char* prelude =
    "a: \"a\" ch: #\"a\" num: 2 w: 'a m: n: x: none k: 0 lim: 5 "
    "tgt: copy \"\" tb: copy [] "
    "r1: [some \"a\"] r2: [skip r2 | end] r3: [r3] r4: [opt r4 \"a\"] r5: [(clear r5) skip] "
    "r6: [collect [keep skip]] "
    "cb: func [e m r i s] [k: k + 1 k < lim] ";

constexpr const char* inputs_ascii = "abc=x\n A";

const char* const block_items[] = {"1", "2", "a", "b", "\"a\"", "\"ab\"", "#\"a\"", "[1 a]", "(x)", "'a",
                                   "a:", ":a", "2.5", "#{61}", "none", "[]", "<b>", "a/b"};

const char* const tokens[] = {
    // keywords
    "any", "some", "opt", "while", "to", "thru", "not", "ahead", "into", "end", "skip", "none", "fail", "break",
    "reject", "quote", "if", "case", "copy", "set", "collect", "keep", "pick", "remove", "insert", "change", "only",
    "|", "after", "ANY", "Skip",
    // literals
    "\"a\"", "\"ab\"", "\"\"", "#\"a\"", "#\"A\"", "#\"^(0101)\"", "\"^(1F600)\"", "1", "2", "0", "3", "-1", "'a",
    "'b", "<b>", "%a", "#{61}", "2.5", "#\"=\"", "#\"^/\"", "\"=\"", "[1 a]", "a/b",
    // datatypes and typesets
    "integer!", "string!", "word!", "char!", "block!", "any-string!", "series!", "number!",
    // marks and words bound to values
    "m:", ":m", "n:", ":n", "m", "n", "x", "w", "ch", "num", "a", "tgt", "tb", "unknown", "bits", "nbits",
    // words bound to rule blocks
    "r1", "r2", "r3", "r4", "r5", "r6",
    // parens
    "(append in \"x\")", "(clear in)", "(remove in)", "(insert in 1)", "(throw 1)", "(break)", "(1 / 0)",
    "(parse \"ab\" [some skip])", "(parse in [to end])", "(m: in)", "(none)", "(false)", "(x: 1)",
    "(tgt: copy \"\")", "(change in #\"z\")", "(parse in [collect [keep skip]])",
    // nesting
    "[", "[", "]", "]",
};
constexpr size_t token_count = sizeof tokens / sizeof tokens[0];

struct Reader {
    const u8* p;
    size_t n;
    size_t at = 0;
    bool more() const { return at < n; }
    u8 next() { return at < n ? p[at++] : 0; }
};

std::string make_input(Reader& r) {
    const u8 kind = r.next() % 7;
    const u8 length = r.next() % 12;
    std::string s;
    switch (kind) {
        case 0:
        case 1:
        case 2:
        case 5: {
            for (u8 i = 0; i < length; i++) {
                const u8 b = r.next();
                if (kind == 1 && b % 9 == 0) s += "^(0101)";
                else if (kind == 2 && b % 9 == 0) s += "^(1F600)";
                else if (inputs_ascii[b % 8] == '\n') s += "^/";
                else s += inputs_ascii[b % 8];
            }
            return kind == 5 ? "<" + s + ">" : "copy \"" + s + "\"";
        }
        case 3:
            s = "copy [";
            for (u8 i = 0; i < length; i++) s.append(block_items[r.next() % (sizeof block_items / sizeof *block_items)]).append(" ");
            return s + "]";
        case 4: return "to path! [a b c]";
        default: {
            static const char hex[] = "0123456789ABCDEF";
            s = "#{";
            for (u8 i = 0; i < length; i++) {
                const u8 b = static_cast<u8>(inputs_ascii[r.next() % 8]);
                s += hex[b >> 4];
                s += hex[b & 15];
            }
            return s + "}";
        }
    }
}

std::string make_program(Reader& r) {
    std::string text = prelude;
    text += "in: " + make_input(r) + " ";
    const u8 flags = r.next();
    std::string call = "parse";
    std::string args;
    if (flags & 1) call += "/case";
    if (flags & 2) {
        call += "/part";
        args += (flags & 4)    ? " skip in 2"
                : (flags & 64) ? " 2.5"
                               : " " + std::to_string(static_cast<int>(r.next() % 8) - 1);
    }
    if (flags & 8) {
        call += "/trace";
        args += " :cb";
        text += "lim: " + std::to_string(r.next() % 40) + " ";
    }
    std::string rules = "[";
    int depth = 0;
    while (r.more()) {
        const char* t = tokens[r.next() % token_count];
        if (t[0] == '[' && !t[1]) depth++;
        if (t[0] == ']' && !t[1]) {
            if (depth == 0) continue;
            depth--;
        }
        rules += t;
        rules += ' ';
    }
    while (depth-- > 0) rules += "]";
    rules += "]";
    std::string body = call + " in " + rules + args;
    if (flags & 16) body = "loop 1 [" + body + "]";
    if (flags & 32) body = "catch [" + body + "]";
    return text + body;
}

void run(const std::string& text) {
    if (std::getenv("PARSE_FUZZ_PRINT")) std::fprintf(stderr, "%s\n", text.c_str());
    Cell* base = stack::top;
    CallFrame* frames = stack::frame_top;
    stack::mark_try(try_name);
    try {
        Cell* code = stack::push();
        i32 used = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), lexer::Mode{},
                    &used);
        context::bind(*code, context::global, false);
        stack::push(unset::value);
        interpreter::eval_block_throwing(*code, true);
    } catch (const SystemThrow&) {
        // A language error, or a throw or break nothing caught: expected.
        if (std::getenv("PARSE_FUZZ_PRINT")) std::fprintf(stderr, "  -> error %d\n", static_cast<int>(pending_error.id));
    }
    interpreter::pending = 0;
    stack::frame_top = frames;
    stack::arguments = stack::top = base;
    pending_error = {};
    // Every parse left the work stacks as it found them.
    const Cell& is = parse::input_stack();
    const Cell& rs = parse::rule_stack();
    if (cell::head_index(is) != 0 || cell::head_index(rs) != 0 || series::abs_length_q(is) != 0 ||
        series::abs_length_q(rs) != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime_init();
    root_allocation = false;
    boot::define_base();
    // The input may be of any type here (binary! has no word yet): the
    // engine must refuse what it cannot parse.
    const char spec[] = "[input [binary! any-block! any-string!] rules [block!] /case /part length [number! series!] /trace callback [function!]] 40";
    Cell* made = stack::push();
    i32 used = 0;
    lexer::scan(made, reinterpret_cast<const u8*>(spec), static_cast<i32>(sizeof spec - 1), lexer::Mode{}, &used);
    Cell* fn = native::make(nullptr, made, type::native);
    context::set_global(symbol::make("parse"), *fn);
    stack::top = made;
    try_name = stack::word(symbol::make("try"));
    define_bitset("bits", false);  // collection is off: nothing moves meanwhile
    define_bitset("nbits", true);
    save_globals();
    collector::enable(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 512) return -1;  // long rules add time, not coverage
    Reader r{data, size};
    const std::string text = make_program(r);
    restore_globals();
    parse::step_budget = 20000;
    run(text);
    parse::step_budget = -1;
    static u32 runs = 0;
    if (++runs % 256 == 0) collector::recycle();
    return 0;
}
