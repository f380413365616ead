// libFuzzer target for the evaluator: the input bytes choose an Oru program.
//
// The bytes are read one decision at a time by a grammar that writes program
// text: calls of every native, action, operator and function the global
// context holds (their specs give the arguments and refinements), arguments
// from a table of literal generators (one row per datatype, matching the
// argument's types or deliberately not), paths into the fields of pairs,
// points, tuples, times, dates and emails, read and written, control
// constructs with break, continue, return, exit and throw at any level,
// self-modifying code, `do` of generated source text, nested reduce/compose,
// and parse with rules from every keyword (captures, collect and keep,
// edits, parens that edit, leave or parse again). An exhausted input answers
// 0 to every decision, and 0 is always the simplest answer, so every input
// gives a finite program.
//
// Each program runs twice on a runtime put back to its start-up globals:
// directly under the harness's own try frame, then inside `try [...]`. Both
// runs have a step and an OS-memory budget (runtime/budget.h, and parse's own
// step budget) that only this harness sets; a run that spends one stops with
// the harness's own throw, which no catch point of the language stops.
// Language errors are expected. A finding is a crash, a sanitizer report, a
// hang past the budget (libFuzzer's -timeout), state a run leaves behind
// (frames, cells on the data stack, the mold-cycle stack, tracing,
// collection held off), an error dropped while it unwinds, or an error lost:
// the `try` run answering anything but an error with the id the direct run
// raised.
//
// The runtime runs on a thread of its own with the large stack the
// interpreter needs (as the oru executable runs it). ORU_GC_STRESS=1 runs
// every program with a collection at each series allocation, with smaller
// budgets, and a third time without stress: each statement must end alike
// in both, with the same value or error (molded) and the same printed text.
// ORU_FUZZ_PRINT=1 prints each program and its outcomes on standard error;
// ORU_FUZZ_PROGRAM=file runs the statements of the file (one a line) in
// place of the generated ones, to shrink a finding by hand into a script
// test. The replay driver (replay_main.cpp) feeds the committed corpus to
// the same entry point in every CI run.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_output.h"
#include "interpreter/parse.h"
#include "interpreter/stack.h"
#include "runtime/budget.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <cstddef>
#include <fstream>
#include <initializer_list>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

using namespace oru;

namespace {

// ---------------------------------------------------------------------------
// Decisions

// The input read one decision at a time. Past its end every answer is 0 (and
// no chance is taken).
class Choices {
public:
    Choices(const u8* data, size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return at_ >= size_; }
    // 0 .. n-1 (0 when n < 2): one byte, two when n needs them.
    u32 below(u32 n) {
        if (n < 2) return 0;
        u32 v = byte();
        if (n > 256) v = (v << 8) | byte();
        return v % n;
    }
    // True with the chance in256 / 256.
    bool chance(u32 in256) { return !exhausted() && byte() < in256; }
    // An index chosen by weights: the first entry is the answer past the end.
    template <size_t N>
    u32 weighted(const u8 (&weights)[N]) {
        u32 total = 0;
        for (u8 w : weights) total += w;
        u32 v = below(total);
        for (u32 i = 0; i < N; i++) {
            if (v < weights[i]) return i;
            v -= weights[i];
        }
        return 0;
    }

private:
    u32 byte() { return at_ < size_ ? data_[at_++] : 0; }
    const u8* data_;
    size_t size_;
    size_t at_ = 0;
};

// ---------------------------------------------------------------------------
// What can be called: the runtime's own tables, read from the global context

// The types an argument takes, as the spec's type block gives them (every
// type when it has none).
struct Param {
    enum Fetch { evaluated, literal, got } fetch = evaluated;
    Cell types{};
    bool typed = false;
};

struct Refinement {
    std::string name;
    std::vector<Param> params;
};

struct Callable {
    std::string name;
    u32 kind = 0;  // native!, action!, op!, function! or routine!
    std::vector<Param> params;
    std::vector<Refinement> refinements;
    bool varying = false;  // its answer differs from one run to the next
};

#include "eval_fuzz_lists.h"  // never_called, varying_callables

bool listed(const std::string& name, const auto& list) {
    for (const char* n : list)
        if (name == n) return true;
    return false;
}

std::string spelling_of(const Cell& word) { return symbol::get_c_string(word::symbol_of(word)); }

// The typeset of a type block: datatype! words add their type, typeset!
// words their members.
Cell types_of(const Cell& block) {
    Cell ts = typeset::make();
    const i32 end = series::abs_length_q(block);
    for (i32 i = cell::head_index(block); i < end; i++) {
        const Cell item = *block::rs_abs_at(block, i);
        if (cell::type_of(item) != type::word) continue;
        const Cell* v = context::global_slot(word::symbol_of(item));
        if (!v) continue;
        if (cell::type_of(*v) == type::datatype) typeset::set_bit(ts, v->data1);
        if (cell::type_of(*v) == type::typeset) {
            ts.data1 |= v->data1;
            ts.data2 |= v->data2;
            ts.data3 |= v->data3;
        }
    }
    return ts;
}

// Reads a spec block: arguments, then each refinement with its arguments.
void read_spec(Node spec, Callable& c) {
    if (!spec) return;
    const Cell blk = cell::make(type::block, 0, spec);
    const i32 end = series::abs_length_q(blk);
    std::vector<Param>* params = &c.params;
    for (i32 i = 0; i < end; i++) {
        const Cell item = *block::rs_abs_at(blk, i);
        switch (cell::type_of(item)) {
        case type::word:
        case type::lit_word:
        case type::get_word: {
            Param p;
            p.fetch = cell::type_of(item) == type::word      ? Param::evaluated
                      : cell::type_of(item) == type::lit_word ? Param::literal
                                                              : Param::got;
            params->push_back(p);
            break;
        }
        case type::refinement: {
            const std::string name = spelling_of(item);
            if (name == "local" || name == "extern") return;
            c.refinements.push_back(Refinement{name, {}});
            params = &c.refinements.back().params;
            break;
        }
        case type::block:
            if (!params->empty()) {
                params->back().types = types_of(item);
                params->back().typed = true;
            }
            break;
        case type::set_word:
            return;  // return: and what follows describe the result
        default:
            break;
        }
    }
}

std::vector<Callable> callables;
std::vector<std::string> operators;
std::vector<std::string> typeset_words;

void add_callable(const std::string& name, const Cell& v) {
    if (listed(name, never_called)) return;
    for (const Callable& c : callables)
        if (c.name == name) return;
    Callable c;
    c.name = name;
    c.kind = cell::type_of(v);
    c.varying = listed(name, varying_callables);
    // Natives, actions and ops keep their spec's node in word 2; functions
    // and routines too.
    read_spec(v.data2, c);
    callables.push_back(std::move(c));
}

// The natives by slot (the native table's words) and the actions by slot,
// then every other callable value and every typeset of the global context.
void collect_vocabulary() {
    for (i32 slot = 1; slot <= natives::count; slot++) {
        const char* name = natives::name_of(slot);
        const Cell* v = name ? context::global_slot(symbol::make(name)) : nullptr;
        if (v && cell::type_of(*v) == type::native && native::slot_of(*v) == slot) add_callable(name, *v);
    }
#define ORU_FUZZ_ACTION(n, member, spelling, fn)                                                           \
    if (const Cell* v = context::global_slot(symbol::make(spelling));                                      \
        v && cell::type_of(*v) == type::action && native::slot_of(*v) == static_cast<i32>(n))              \
        add_callable(spelling, *v);
    ORU_ACTIONS(ORU_FUZZ_ACTION)
#undef ORU_FUZZ_ACTION
    const Node g = context::global;
    for (i32 i = 0, n = context::length(g); i < n; i++) {
        const Cell v = context::values(g)[i];
        const std::string name = spelling_of(*context::word_at(g, i));
        switch (cell::type_of(v)) {
        case type::op:
            operators.push_back(name);
            break;
        case type::native:
        case type::action:
        case type::function:
        case type::routine:
            add_callable(name, v);
            break;
        case type::typeset:
            typeset_words.push_back(name);
            break;
        default:
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// The grammar

// The words programs use for their own values (set, read, looped over,
// thrown as names), and the object fields.
constexpr const char* variables[] = {"a", "b", "c", "s", "o", "f", "g", "x", "p", "t", "d", "e"};
constexpr const char* fields[] = {"x", "y", "f", "self"};

constexpr int max_depth = 5;
constexpr size_t max_text = 6000;

class Gen;

// A literal generator: writes text that evaluates to a value of `type`.
struct Literal {
    u32 type;
    void (*write)(Gen& g);
};

class Gen {
public:
    explicit Gen(Choices& in) : in(in) {}

    Choices& in;
    std::string out;
    int depth = 0;
    bool varying = false;

    void put(std::string_view s) {
        if (!out.empty() && out.back() != ' ' && out.back() != '\n' && out.back() != '[' &&
            out.back() != '(' && s.size() && s[0] != ']' && s[0] != ')')
            out += ' ';
        out += s;
    }
    bool deep() const { return depth >= max_depth || out.size() >= max_text / 4; }

    template <size_t N>
    const char* one_of(const char* const (&list)[N]) {
        return list[in.below(N)];
    }
    void variable() { put(one_of(variables)); }

    void program(std::vector<std::string>& list);
    void statements(u32 most);
    void statement();
    void expression();
    void code_block();
    void data_block();
    void literal();
    void literal_of(const Param& p);
    void call(const Callable& c);
    void argument(const Param& p);
    void control();
    void unwinding();
    void self_modifying();
    void path();
    void set_path();
    void parse_call();
    void parse_rules();
    void parse_rule();
    void do_source();
    void nested_reduce();
    void function_value();
    void object_value();
};

struct Deeper {
    Gen& g;
    explicit Deeper(Gen& g) : g(g) { g.depth++; }
    ~Deeper() { g.depth--; }
};

// --- Literals: one row per datatype --------------------------------------------

template <size_t N>
void put_one(Gen& g, const char* const (&list)[N]) {
    g.put(g.one_of(list));
}

void lit_none(Gen& g) { g.put("none"); }
void lit_unset(Gen& g) {
    static const char* const texts[] = {"()", "get/any 'unset-word", "do []"};
    put_one(g, texts);
}
void lit_logic(Gen& g) {
    static const char* const texts[] = {"true", "false", "on", "no"};
    put_one(g, texts);
}
void lit_integer(Gen& g) {
    static const char* const texts[] = {"0",     "1",          "-1",          "2",       "3",       "7",
                                        "255",   "65536",      "2147483647",  "-2147483648", "-2147483647",
                                        "1000000", "-100",     "1073741824",  "99999999999", "16",
                                        "58",    "64",         "13",          "-25"};
    if (g.in.chance(128)) g.put(std::to_string(static_cast<i32>(g.in.below(12)) - 3));
    else put_one(g, texts);
}
void lit_float(Gen& g) {
    static const char* const texts[] = {"0.0",    "-0.0",      "1.5",   "-2.5",    "0.1",  "1e308", "-1e308",
                                        "1e-308", "4.9e-324",  "3.0",   "2147483648.0", "-2147483649.0",
                                        "(1e308 * 10)", "(0.0 / 0.0)", "1.7976931348623157e308"};
    put_one(g, texts);
}
void lit_char(Gen& g) {
    static const char* const texts[] = {"#\"a\"", "#\"^/\"", "#\"^@\"", "#\"^(FF)\"", "#\"^(1F600)\"",
                                        "#\"^(10FFFF)\"", "#\" \"", "#\"^^\""};
    put_one(g, texts);
}
void lit_string(Gen& g) {
    static const char* const texts[] = {"\"\"",        "\"abc\"",       "\"a^/b\"",  "\"^\"q^\"\"",
                                        "\"\xC3\xA9\xE2\x82\xAC\"", "\"^(1F600)\"", "\"a^(00)b\"", "{}",
                                        "{x {y} z}",   "copy \"\"",     "tail \"ab\"", "next \"abc\"",
                                        "\"123\"",     "\"a b c\"",
                                        // JSON and CSV texts for load-json and load-csv
                                        "{{\"a\": [1, -2.5e3, \"\\u00e9\\ud83d\\ude00\", null], \"b c\": {}}}",
                                        "\"a,b^/^\"c^\"^\"d^\",e^M^/\""};
    put_one(g, texts);
}
// Words some natives read as names: checksum methods, compression
// codecs, date, time, point and email fields.
constexpr const char* named_words[] = {"sha256", "md5", "crc32", "adler32", "tcp", "sha1", "sha512", "hash",
                                       "zlib", "deflate", "gzip", "month", "year", "zone", "time", "hour",
                                       "weekday", "x", "z", "user", "host"};

void lit_word(Gen& g) {
    if (g.in.chance(24)) {
        g.put("'");
        g.out += g.one_of(named_words);
    } else if (g.in.chance(128)) {
        g.put("'");
        g.out += g.one_of(variables);
    } else if (!callables.empty()) {
        g.put("'");
        g.out += callables[g.in.below(static_cast<u32>(callables.size()))].name;
    } else {
        g.put("'a");
    }
}
void lit_set_word(Gen& g) {
    g.put("pick [");
    g.out += g.one_of(variables);
    g.out += ":] 1";
}
void lit_get_word(Gen& g) {
    g.put("pick [:");
    g.out += g.one_of(variables);
    g.out += "] 1";
}
void lit_lit_word(Gen& g) {
    g.put("pick ['");
    g.out += g.one_of(variables);
    g.out += "] 1";
}
void lit_refinement(Gen& g) {
    static const char* const texts[] = {"/only", "/part", "/x", "/deep", "/local"};
    put_one(g, texts);
}
void lit_issue(Gen& g) {
    static const char* const texts[] = {"#a", "#123", "#x-y"};
    put_one(g, texts);
}
void lit_path(Gen& g) {
    static const char* const texts[] = {"pick [a/b] 1", "pick [o/x] 1", "pick [a/1/(1 + 1)] 1", "pick [s/2] 1"};
    put_one(g, texts);
}
void lit_lit_path(Gen& g) {
    static const char* const texts[] = {"'a/b", "'o/x/y", "'s/1"};
    put_one(g, texts);
}
void lit_set_path(Gen& g) {
    static const char* const texts[] = {"pick [a/b:] 1", "pick [o/x:] 1", "pick [s/1:] 1"};
    put_one(g, texts);
}
void lit_get_path(Gen& g) {
    static const char* const texts[] = {"pick [:a/b] 1", "pick [:o/f] 1"};
    put_one(g, texts);
}
void lit_block(Gen& g) {
    static const char* const holding_themselves[] = {"(s: copy [] append/only s s s)",
                                                     "(s: copy [1 [2]] append/only s/2 s s)",
                                                     "(s: copy [] insert/only s s insert/only s s s)"};
    if (g.in.chance(16)) put_one(g, holding_themselves);
    else if (g.in.chance(128)) g.code_block();
    else g.data_block();
}
void lit_paren(Gen& g) {
    g.put("to paren!");
    g.data_block();
}
void lit_datatype(Gen& g) {
    u32 t = 1 + g.in.below(registry::highest_type);
    for (u32 i = 0; i < registry::highest_type && !registry::datatypes[t].name; i++)
        t = t % registry::highest_type + 1;
    g.put(registry::datatypes[t].name ? registry::datatypes[t].name : "integer!");
}
void lit_typeset(Gen& g) {
    if (typeset_words.empty()) return g.put("any-type!");
    g.put(typeset_words[g.in.below(static_cast<u32>(typeset_words.size()))]);
}
void lit_native(Gen& g) {
    if (callables.empty()) return g.put(":print");
    const Callable& c = callables[g.in.below(static_cast<u32>(callables.size()))];
    g.varying |= c.varying;
    g.put(":");
    g.out += c.name;
}
void lit_op(Gen& g) {
    if (operators.empty()) return g.put(":print");
    g.put(":");
    g.out += operators[g.in.below(static_cast<u32>(operators.size()))];
}
void lit_function(Gen& g) { g.function_value(); }
void lit_routine(Gen& g) {
    for (const Callable& c : callables)
        if (c.kind == type::routine) {
            g.put(":");
            g.out += c.name;
            return;
        }
    g.put(":print");
}
void lit_object(Gen& g) {
    if (g.in.chance(16)) g.put("(o: make object! [x: none] o/x: o o)");
    else g.object_value();
}
void lit_error(Gen& g) {
    static const char* const texts[] = {"make error! \"boom\"", "try [1 / 0]", "try [do \"1 +\"]",
                                        "make error! [type: 'math id: 'zero-divide]", "try [unset-word]",
                                        "make error! [type: 'user id: 'message arg1: \"x\"]"};
    put_one(g, texts);
}
void lit_time(Gen& g) {
    static const char* const texts[] = {"1:30", "-0:00:01.5", "1:02:03", "0:00", "23:59:59.999999", "-596523:14:07",
                                        "596523:14:07.999"};
    put_one(g, texts);
}
void lit_date(Gen& g) {
    static const char* const texts[] = {"1-Jan-2020",         "29-Feb-2000/23:59:59+05:00", "5-Mar-2021/10:00+05:30",
                                        "2021-03-05T10:00Z",  "1-Jan-0001",                 "31-Dec-9999/23:59:59",
                                        "5-Mar-2021/0:00-12:00", "31-Jan-2021/10:00"};
    put_one(g, texts);
}
void lit_money(Gen& g) { g.put(g.in.chance(128) ? "$1.50" : "-EUR$1'000"); }
void lit_pair(Gen& g) {
    static const char* const texts[] = {"10x20", "2x3", "-2147483648x0", "0x0", "2147483647x-1"};
    put_one(g, texts);
}
void lit_tuple(Gen& g) {
    static const char* const texts[] = {"1.2.3", "255.255.255.255", "0.0.0", "1.2.3.4.5.6.7.8.9.10.11.12"};
    put_one(g, texts);
}
void lit_percent(Gen& g) {
    static const char* const texts[] = {"50%", "-0.5%", "0%", "12.5%", "100%", "10000000000.5%"};
    put_one(g, texts);
}
void lit_point2D(Gen& g) {
    static const char* const texts[] = {"(1, 2)", "(0, 0)", "(1e308, -1e308)", "(-0.5, 2147483648)"};
    put_one(g, texts);
}
void lit_point3D(Gen& g) {
    static const char* const texts[] = {"(1, 2, 3)", "(1.5, -2, 3)", "(-0.0, 1, 2)", "(0, 0, 1e-308)"};
    put_one(g, texts);
}
void lit_binary(Gen& g) {
    // Now and then a codec's output, which decompress reads.
    static const char* const texts[] = {"#{0102}", "#{}", "64#{YWJj}", "2#{00000001}", "16#{0A0B}",
                                        "copy #{616263}", "#{FF00FF00FF}", "compress \"aaaaab\" 'zlib",
                                        "compress #{} 'gzip", "compress \"abc^(1F600)\" 'deflate",
                                        "#{789C030000000001}", "#{1F8B08000000000000FF}"};
    put_one(g, texts);
}
void lit_file(Gen& g) { g.put(g.in.chance(128) ? "%a.txt" : "%\"a b\""); }
void lit_url(Gen& g) { g.put("http://x.com/a%20b"); }
void lit_tag(Gen& g) {
    static const char* const texts[] = {"<b>", "<a href='x'>", "</b>", "copy <b>"};
    put_one(g, texts);
}
void lit_email(Gen& g) {
    static const char* const texts[] = {"user@host.org", "a@b.com", "copy x@y"};
    put_one(g, texts);
}
void lit_ref(Gen& g) {
    static const char* const texts[] = {"@name", "@a", "copy @ref"};
    put_one(g, texts);
}
void lit_vector(Gen& g) {
    static const char* const texts[] = {"make vector! [integer! 8 [1 2 300]]", "make vector! [1.5 2.0]",
                                        "make vector! [integer! 32 3]", "make vector! []",
                                        "make vector! [char! 16 [#\"a\"]]", "make vector! [percent! 32 [50%]]"};
    put_one(g, texts);
}
// A port needs a scheme the program registers: without one, make raises.
void lit_port(Gen& g) {
    static const char* const texts[] = {"make port! [scheme: 'x]", "make port! []"};
    put_one(g, texts);
}

void lit_bitset(Gen& g) {
    static const char* const texts[] = {"make bitset! \"abc\"", "make bitset! 64", "make bitset! [#\"a\" - #\"z\"]",
                                        "complement make bitset! \"x\"", "make bitset! #{FF00}"};
    put_one(g, texts);
}
void lit_map(Gen& g) {
    static const char* const texts[] = {"#[a 1 b 2]", "#[]", "make map! [\"k\" 1 2 [x]]", "copy #[a #[b 1]]"};
    put_one(g, texts);
}
void lit_hash(Gen& g) {
    static const char* const texts[] = {"make hash! [a 1 b 2]", "make hash! []", "make hash! 10"};
    put_one(g, texts);
}
void lit_handle(Gen& g) { g.put("null-handle"); }
void lit_event(Gen& g) {
    static const char* const texts[] = {"make event! [type: 'key key: #\"a\"]", "make event! [type: 'down]"};
    put_one(g, texts);
}
void lit_image(Gen& g) {
    static const char* const texts[] = {"make image! [2x2 1.2.3]", "make image! 0x0", "make image! [1x3 #{010203}]"};
    put_one(g, texts);
}

// ORDER: the first row is the answer past the input's end: keep it a leaf.
// A new datatype adds its row here (start-up stops on a registered datatype
// with no row that is not in no_literal).
const Literal literals[] = {
    {type::none, lit_none},         {type::unset, lit_unset},         {type::logic, lit_logic},
    {type::integer, lit_integer},   {type::float_, lit_float},        {type::char_, lit_char},
    {type::string, lit_string},     {type::word, lit_word},           {type::set_word, lit_set_word},
    {type::get_word, lit_get_word}, {type::lit_word, lit_lit_word},   {type::refinement, lit_refinement},
    {type::issue, lit_issue},       {type::path, lit_path},           {type::lit_path, lit_lit_path},
    {type::set_path, lit_set_path}, {type::get_path, lit_get_path},   {type::block, lit_block},
    {type::paren, lit_paren},       {type::datatype, lit_datatype},   {type::typeset, lit_typeset},
    {type::native, lit_native},     {type::action, lit_native},       {type::op, lit_op},
    {type::function, lit_function}, {type::routine, lit_routine},     {type::object, lit_object},
    {type::error, lit_error},
    {type::time, lit_time},         {type::date, lit_date},           {type::money, lit_money},
    {type::pair, lit_pair},         {type::tuple, lit_tuple},         {type::percent, lit_percent},
    {type::point2D, lit_point2D},   {type::point3D, lit_point3D},       {type::binary, lit_binary},
    {type::file, lit_file},
    {type::url, lit_url},           {type::tag, lit_tag},             {type::email, lit_email},
    {type::ref, lit_ref},           {type::vector, lit_vector},       {type::port, lit_port},
    {type::bitset, lit_bitset},     {type::map, lit_map},             {type::hash, lit_hash},
    {type::handle, lit_handle},     {type::event, lit_event},         {type::image, lit_image},
};
constexpr u32 literal_count = sizeof literals / sizeof literals[0];

// Registered datatypes with no row: no value of theirs reaches a program
// (symbol!, context!), the runtime alone makes one (triple!), or the type
// has no values of its own (series!).
constexpr u32 no_literal[] = {type::symbol, type::context, type::triple, type::series};

// Every registered datatype has its row, or is listed in no_literal.
void check_literal_rows() {
    for (u32 t = 1; t <= registry::highest_type; t++) {
        if (!registry::datatypes[t].name) continue;
        bool found = std::find(std::begin(no_literal), std::end(no_literal), t) != std::end(no_literal);
        for (const Literal& l : literals) found |= l.type == t;
        if (found) continue;
        std::fprintf(stderr, "eval_fuzz: %s has no row in the table of literals (tests/fuzz/eval_fuzz.cpp)\n",
                     registry::datatypes[t].name);
        std::abort();
    }
}
// The rows before block!'s write no nested code.
constexpr u32 leaf_rows = 17;
static_assert(leaf_rows < literal_count);

void Gen::literal() {
    // Past the depth limit only the leaves: the first rows up to block!.
    const u32 rows = deep() ? leaf_rows : literal_count;
    literals[in.below(rows)].write(*this);
}

// A value of one of the argument's types when the table has one, else any.
void Gen::literal_of(const Param& p) {
    if (!p.typed) return literal();
    u32 fits[literal_count];
    u32 n = 0;
    for (u32 i = 0; i < literal_count; i++)
        if (typeset::member_q(p.types, literals[i].type) && (!deep() || i < leaf_rows)) fits[n++] = i;
    // Past the depth limit the rows that nest write their shortest form.
    if (n == 0)
        for (u32 i = 0; i < literal_count; i++)
            if (typeset::member_q(p.types, literals[i].type)) fits[n++] = i;
    if (n == 0) return literal();
    literals[fits[in.below(n)]].write(*this);
}

void Gen::data_block() {
    put("[");
    if (!deep()) {
        Deeper d(*this);
        for (u32 n = in.below(5); n > 0; n--) {
            if (in.chance(64)) variable();
            else literal();
        }
    }
    put("]");
}

void Gen::code_block() {
    put("[");
    if (!deep()) {
        Deeper d(*this);
        statements(4);
    }
    put("]");
}

// --- Calls ---------------------------------------------------------------------

void Gen::argument(const Param& p) {
    if (p.fetch == Param::literal) {
        // A quoted argument: a word mostly, else whatever comes.
        if (in.chance(192)) variable();
        else literal();
        return;
    }
    // Mostly a value of the right types, now and then anything at all.
    if (in.chance(40) && !deep()) {
        Deeper d(*this);
        expression();
    } else if (in.chance(210)) {
        literal_of(p);
    } else {
        literal();
    }
}

void Gen::call(const Callable& c) {
    varying |= c.varying;
    put(c.name);
    // Refinements in any combination and order, one now and then twice.
    std::vector<const Refinement*> used;
    for (const Refinement& r : c.refinements)
        if (in.chance(64)) used.push_back(&r);
    for (size_t i = 1; i < used.size(); i++)
        if (in.chance(64)) std::swap(used[i - 1], used[i]);
    if (!used.empty() && in.chance(8)) used.push_back(used[in.below(static_cast<u32>(used.size()))]);
    for (const Refinement* r : used) {
        out += '/';
        out += r->name;
    }
    Deeper d(*this);
    // Now and then an argument short: the call runs into what follows.
    const bool short_one = in.chance(6);
    for (u32 i = 0; i < c.params.size(); i++) {
        if (short_one && i + 1 == c.params.size()) return;
        argument(c.params[i]);
    }
    for (const Refinement* r : used)
        for (const Param& p : r->params) argument(p);
}

// --- Expressions -------------------------------------------------------------------

void Gen::expression() {
    if (deep()) return literal();
    Deeper d(*this);
    static const u8 weights[] = {
        30,  // literal
        14,  // variable
        40,  // call
        12,  // operator
        5,   // paren
        5,   // get-word, lit-word
        8,   // path
        5,   // user function call
        4,   // nested reduce/compose
        3,   // function
        8,   // control construct
        4,   // unwinding
        2,   // do of generated source
        2,   // object
        6,   // parse
    };
    switch (in.weighted(weights)) {
    case 0:
        return literal();
    case 1:
        return variable();
    case 2:
        if (callables.empty()) return literal();
        return call(callables[in.below(static_cast<u32>(callables.size()))]);
    case 3:
        expression();
        if (operators.empty()) return;
        put(operators[in.below(static_cast<u32>(operators.size()))]);
        return expression();
    case 4:
        put("(");
        statements(3);
        return put(")");
    case 5:
        put(in.chance(128) ? ":" : "'");
        out += one_of(variables);
        return;
    case 6:
        return path();
    case 7: {
        static const char* const calls[] = {"f", "g", "f/r", "g/t", "o/f", "f/t/r"};
        put(one_of(calls));
        for (u32 n = in.below(4); n > 0; n--) expression();
        return;
    }
    case 8:
        return nested_reduce();
    case 9:
        return function_value();
    case 10:
        return control();
    case 11:
        return unwinding();
    case 12:
        return do_source();
    case 13:
        return object_value();
    case 14:
        return parse_call();
    }
}

// A path: mostly a field the head's value has (the program's typed
// variables: p a pair or point, t a tuple or time, d a date, e an email),
// else any head with any selector.
constexpr const char* path_heads[] = {"a", "b", "s", "o", "o/f", "o/x", "a/1", "b/2", "p", "t", "d", "e", "d/time"};
constexpr const char* path_tails[] = {"1", "2", "3", "x", "y", "z", "f", "self", "0", "-1", "2147483647",
                                      "month", "day", "year", "zone", "time", "date", "hour", "minute", "second",
                                      "weekday", "yearday", "julian", "week", "isoweek", "timezone", "user", "host"};
struct FieldPath {
    const char* head;
    std::initializer_list<const char*> fields;
};
const FieldPath field_paths[] = {
    {"p", {"x", "y", "z", "1", "2", "3"}},
    {"t", {"1", "2", "3", "4", "hour", "minute", "second"}},
    {"d", {"year", "month", "day", "zone", "time", "date", "hour", "minute", "second", "weekday", "yearday",
           "julian", "week", "isoweek", "timezone", "1", "14", "15"}},
    {"e", {"user", "host", "1"}},
};

void Gen::path() {
    if (in.chance(128)) {
        const FieldPath& f = field_paths[in.below(std::size(field_paths))];
        put(f.head);
        out += '/';
        out += f.fields.begin()[in.below(static_cast<u32>(f.fields.size()))];
        return;
    }
    put(one_of(path_heads));
    out += '/';
    if (in.chance(40)) {
        out += '(';
        expression();
        out += ')';
    } else {
        out += one_of(path_tails);
    }
}

// A set-path and the value it writes.
void Gen::set_path() {
    static const char* const targets[] = {"a/1", "b/2", "o/x", "s/1", "o/f", "a/x"};
    if (in.chance(128)) path();
    else put(one_of(targets));
    out += ':';
    expression();
}

void Gen::function_value() {
    static const char* const specs[] = {"[]", "[n]", "[n m]", "[n /r m]", "[n [integer!] /local l]",
                                        "['n]", "[:n]", "[n [block! string!] /r /t m [integer!]]"};
    static const char* const makers[] = {"func", "function", "does", "has"};
    const char* maker = one_of(makers);
    put(maker);
    if (std::strcmp(maker, "does") != 0) put(std::strcmp(maker, "has") == 0 ? "[l]" : one_of(specs));
    code_block();
}

void Gen::object_value() {
    put(in.chance(200) ? "make object! [" : "construct [");
    if (!deep()) {
        Deeper d(*this);
        for (u32 n = in.below(4); n > 0; n--) {
            put(one_of(fields));
            out += ':';
            expression();
        }
    }
    put("]");
}

void Gen::nested_reduce() {
    static const char* const forms[] = {"reduce", "compose", "compose/deep", "compose/only", "compose/into",
                                        "compose/deep/only", "reduce/into"};
    const char* form = one_of(forms);
    put(form);
    put("[");
    {
        Deeper d(*this);
        for (u32 n = in.below(4); n > 0 && !deep(); n--) {
            switch (in.below(4)) {
            case 0:
                expression();
                break;
            case 1:
                put("(");
                statements(2);
                put(")");
                break;
            case 2:
                nested_reduce();
                break;
            case 3:
                put("[");
                put("(");
                expression();
                put(")");
                variable();
                put("]");
                break;
            }
        }
    }
    put("]");
    if (std::strstr(form, "/into")) {
        if (in.chance(128)) put("copy []");
        else variable();
    }
}

// --- Control ------------------------------------------------------------------------

void Gen::unwinding() {
    static const char* const plain[] = {"break", "continue", "exit", "break/return", "return", "throw",
                                        "throw/name"};
    const u32 k = in.below(7);
    put(plain[k]);
    if (k >= 3) expression();
    if (k == 6) {
        put("'");
        out += one_of(variables);
    }
}

void Gen::control() {
    static const u8 weights[] = {
        10,  // if / unless / either
        8,   // loop / repeat
        5,   // while / until
        4,   // forever with break
        5,   // foreach / forall / remove-each
        8,   // try / try/all
        7,   // catch with throw
        4,   // case / switch
        3,   // any / all
        3,   // do block, do/next
    };
    switch (in.weighted(weights)) {
    case 0:
        switch (in.below(3)) {
        case 0:
            put("if");
            expression();
            return code_block();
        case 1:
            put("unless");
            expression();
            return code_block();
        default:
            put("either");
            expression();
            code_block();
            return code_block();
        }
    case 1:
        if (in.chance(128)) {
            put("loop");
        } else {
            put("repeat");
            variable();
        }
        put(std::to_string(static_cast<i32>(in.below(6)) - 1));
        return code_block();
    case 2:
        // A counter keeps most of them finite; the step budget the rest.
        if (in.chance(128)) {
            put("x: 0 while [(x: x + 1) <");
            put(std::to_string(in.below(5)));
            put("]");
            return code_block();
        }
        put("until [");
        statements(3);
        put("true]");
        return;
    case 3:
        put("forever [");
        statements(3);
        put("break]");
        return;
    case 4: {
        static const char* const loops[] = {"foreach", "remove-each", "forall"};
        const char* loop = one_of(loops);
        put(loop);
        if (std::strcmp(loop, "forall") == 0) {
            put(in.chance(128) ? "s" : "b");
            return code_block();
        }
        if (in.chance(40)) put("[x y]");
        else variable();
        if (in.chance(128)) variable();
        else literal();
        return code_block();
    }
    case 5: {
        static const char* const tries[] = {"try", "try/all", "try/keep", "try/all/keep"};
        put(one_of(tries));
        return code_block();
    }
    case 6:
        if (in.chance(128)) {
            put("catch");
            return code_block();
        }
        put("catch/name");
        code_block();
        if (in.chance(128)) {
            put("'");
            out += one_of(variables);
        } else {
            put("[a b]");
        }
        return;
    case 7:
        if (in.chance(128)) {
            put(in.chance(128) ? "case [" : "case/all [");
            for (u32 n = in.below(3); n > 0; n--) {
                expression();
                code_block();
            }
            put("]");
            return;
        }
        {
            const bool fallback = in.chance(128);
            put(fallback ? "switch/default" : "switch");
            expression();
            put("[");
            for (u32 n = in.below(3); n > 0; n--) {
                literal();
                code_block();
            }
            put("]");
            if (fallback) code_block();
        }
        return;
    case 8:
        put(in.chance(128) ? "any [" : "all [");
        statements(3);
        put("]");
        return;
    case 9:
        if (in.chance(128)) {
            put("do");
            return code_block();
        }
        put("do/next");
        code_block();
        put("'x");
        return;
    }
}

// --- Parse -----------------------------------------------------------------------

// parse over an input the rules' parens can reach as `s`, with refinements
// in any combination: /part as a count, a float or a position, /trace with
// a callback that stops after some events or misbehaves.
void Gen::parse_call() {
    const bool case_q = in.chance(48), part_q = in.chance(64), trace_q = in.chance(48);
    if (trace_q) put("(x: 0");
    put("parse");
    if (case_q) out += "/case";
    // /part and /trace in either order: their arguments follow it.
    const bool trace_first = trace_q && part_q && in.chance(128);
    if (trace_first) out += "/trace";
    if (part_q) out += "/part";
    if (trace_q && !trace_first) out += "/trace";
    static const char* const inputs[] = {
        "copy \"aab=A\"", "copy \"a^(1F600)b\"", "copy \"ab^(0101)a\"", "copy \"\"", "copy [1 a \"a\" [a] 2.5 #\"a\" <b> a/b]",
        "copy [a a b]", "copy []", "copy #{616162}", "copy <aab>", "copy 'a/b/c", "copy \"AaB\"",
        "next copy \"xaab\"",
    };
    Deeper d(*this);
    put("s:");
    if (in.chance(24)) literal();
    else if (in.chance(16)) variable();
    else put(one_of(inputs));
    if (in.chance(16)) literal();
    else parse_rules();
    auto part = [&] {
        static const char* const parts[] = {"2", "0", "-1", "2.5", "skip s 2", "tail s", "\"xx\"", "100",
                                            "2147483647"};
        put(one_of(parts));
    };
    auto trace = [&] {
        static const char* const callbacks[] = {
            "func [e m r i v] [(x: x + 1) < 4]", "func [e m r i v] [false]", "func [e m r i v] [true]",
            "func [e m r i v] [none]", "func [e] [true]", ":print",
            "func [e m r i v] [clear s true]", "func [e m r i v] [throw 1]",
        };
        if (in.chance(24)) function_value();
        else put(one_of(callbacks));
    };
    if (trace_first) trace();
    if (part_q) part();
    if (trace_q && !trace_first) trace();
    if (trace_q) put(")");
}

void Gen::parse_rules() {
    put("[");
    {
        Deeper d(*this);
        for (u32 n = 1 + in.below(5); n > 0 && !deep(); n--) {
            parse_rule();
            if (in.chance(24)) put("|");
        }
    }
    put("]");
}

// One rule: keywords with what they take, matches, captures, collect and
// keep, edits of the input, and parens that edit, throw, break or parse.
void Gen::parse_rule() {
    static const char* const matches[] = {
        "\"a\"", "\"ab\"", "\"\"", "#\"a\"", "#\"A\"", "#\"b\"", "\"^(1F600)\"", "1", "2", "'a", "'b", "a",
        "<b>", "#{61}", "2.5", "[a]", "integer!", "string!", "char!", "word!", "block!", "any-string!", "number!",
        "any-type!", "\"=\"", "#\"^(0101)\"", "a/b", "quote 1", "quote [a]",
    };
    static const char* const plain[] = {"skip", "end", "none", "fail", "break", "reject", "to end", "thru end"};
    static const char* const edits[] = {"(append s \"x\")", "(clear s)", "(remove s)", "(insert s 1)",
                                        "(change s #\"z\")", "(s: 1)", "(s: next s)", "(x: 1)"};
    static const char* const exits[] = {"(throw 1)", "(break)", "(1 / 0)", "(return 1)", "(exit)",
                                        "(throw/name 2 'a)", "(continue)"};
    static const u8 weights[] = {
        20,  // a value to match
        8,   // skip, end, none, fail, break, reject
        14,  // repetition: some, any, opt, while, counts
        6,   // to, thru, not, ahead
        4,   // into a block
        8,   // copy or set a word
        4,   // marks: x: and :x
        6,   // collect
        6,   // keep
        6,   // insert, remove, change
        6,   // a paren that edits the input
        3,   // a paren that leaves
        3,   // a paren that parses again, or runs statements
        3,   // quote, if, case
        6,   // a nested block of alternatives
        3,   // a variable or a literal as a rule
    };
    if (deep()) return put(one_of(matches));
    Deeper d(*this);
    switch (in.weighted(weights)) {
    case 0:
        return put(one_of(matches));
    case 1:
        return put(one_of(plain));
    case 2: {
        static const char* const reps[] = {"some", "any", "opt", "while", "2", "0 2", "1 3", "3 1", "-1"};
        put(one_of(reps));
        return parse_rule();
    }
    case 3: {
        static const char* const looks[] = {"to", "thru", "not", "ahead"};
        put(one_of(looks));
        return parse_rule();
    }
    case 4:
        put("into");
        return parse_rules();
    case 5:
        put(in.chance(128) ? "copy" : "set");
        variable();
        return parse_rule();
    case 6:
        if (in.chance(128)) {
            variable();
            out += ':';
        } else {
            put(":");
            out += one_of(variables);
        }
        return;
    case 7: {
        static const char* const modes[] = {"collect", "collect", "collect set x", "collect into b",
                                            "collect after b", "collect into s", "collect set a"};
        put(one_of(modes));
        return in.chance(200) ? parse_rules() : parse_rule();
    }
    case 8:
        put(in.chance(64) ? "keep pick" : "keep");
        if (in.chance(48)) {
            put("(");
            expression();
            return put(")");
        }
        return parse_rule();
    case 9:
        switch (in.below(3)) {
        case 0:
            put(in.chance(64) ? "insert only" : "insert");
            if (in.chance(48)) variable();
            return put(one_of(matches));
        case 1:
            put("remove");
            return parse_rule();
        default:
            put(in.chance(64) ? "change only" : "change");
            parse_rule();
            if (in.chance(48)) {
                put("(");
                expression();
                return put(")");
            }
            return put(one_of(matches));
        }
    case 10:
        return put(one_of(edits));
    case 11:
        return put(one_of(exits));
    case 12:
        put("(");
        if (in.chance(128)) {
            put(in.chance(128) ? "parse s" : "parse copy \"ab\"");
            parse_rules();
        } else {
            statements(2);
        }
        return put(")");
    case 13:
        switch (in.below(3)) {
        case 0:
            put("quote");
            return literal();
        case 1:
            put("if (");
            expression();
            return put(")");
        default:
            put("case");
            return variable();
        }
    case 14:
        return parse_rules();
    default:
        if (in.chance(128)) variable();
        else literal();
        return;
    }
}

// --- Self-modifying code ------------------------------------------------------

void Gen::self_modifying() {
    static const char* const edits[] = {
        "append b [x: 1]", "clear b", "clear head b", "insert b [x: 2]", "remove b", "change b [x: 3]",
        "poke b 1 [x]", "append/only b b", "take b", "insert head b 'x", "remove head b", "reverse b",
    };
    switch (in.below(5)) {
    case 4: {
        // A series changed by the loop that walks it, or by the native
        // reading it as code.
        static const char* const walkers[] = {"foreach x s", "forall s", "remove-each x s", "foreach [x y] s",
                                              "any s", "all s", "case s", "reduce s", "compose s"};
        static const char* const changes[] = {"clear s", "clear head s", "append s [1 2]", "insert s 0",
                                              "remove s", "remove head s", "take s", "s: next s", "s: 1",
                                              "poke s 1 none", "insert/dup s 1 100", "change s [x]"};
        const char* walker = one_of(walkers);
        const bool body = std::strncmp(walker, "for", 3) == 0 || std::strncmp(walker, "remove", 6) == 0;
        if (!body) {
            // The series is the code, and it changes itself.
            put("s: copy [1 (");
            put(one_of(changes));
            put(") 2 (");
            put(one_of(changes));
            put(") 3]");
            return put(walker);
        }
        put(in.chance(128) ? "s: copy [1 2 3 4]" : "s: copy \"abcd\"");
        put(walker);
        put("[");
        {
            Deeper d(*this);
            statements(1);
            put(one_of(changes));
            statements(1);
            put(in.chance(128) ? "true" : "false");
        }
        put("]");
        return;
    }
    case 0:
        // A block that edits itself while it runs.
        put("b: copy [");
        {
            Deeper d(*this);
            statements(2);
            put("(");
            put(one_of(edits));
            put(")");
            statements(2);
        }
        put("]");
        put(in.chance(128) ? "do b" : in.chance(128) ? "loop 3 b" : "x: 0 while [(x: x + 1) < 3] b");
        return;
    case 1:
        // A function that replaces itself while it runs, then calls its name again.
        put(in.chance(128) ? "f: func [n] [f: " : "f: does [f: ");
        {
            Deeper d(*this);
            if (in.chance(128)) function_value();
            else expression();
            statements(2);
        }
        put("] f 1 f 2");
        return;
    case 2: {
        // A callable word given a new value inside code that is calling it.
        if (callables.empty()) return;
        const Callable& c = callables[in.below(static_cast<u32>(callables.size()))];
        put("loop 2 [");
        put(c.name);
        out += ':';
        {
            Deeper d(*this);
            expression();
        }
        put("]");
        return;
    }
    default:
        // A series that holds itself.
        if (in.chance(128)) put("s: copy [1] append/only s s");
        else if (in.chance(128)) put("s: copy [] insert/only s s");
        else put("o: make object! [x: none] o/x: o");
        return;
    }
}

// `do` of source text written by the grammar, now and then cut short.
void Gen::do_source() {
    Gen inner(in);
    inner.depth = depth + 1;
    inner.statements(3);
    varying |= inner.varying;
    std::string text = inner.out;
    if (in.chance(20) && !text.empty()) text.resize(in.below(static_cast<u32>(text.size())));
    std::string quoted = "\"";
    for (char ch : text) {
        if (ch == '"') quoted += "^\"";
        else if (ch == '^') quoted += "^^";
        else if (ch == '\n') quoted += "^/";
        else quoted += ch;
    }
    quoted += '"';
    put("do");
    put(quoted);
}

// --- Statements ---------------------------------------------------------------

void Gen::statement() {
    if (deep()) return literal();
    static const u8 weights[] = {
        30,  // expression
        24,  // variable set
        8,   // set-path
        6,   // function definition
        4,   // object definition
        6,   // self-modifying code
        8,   // control construct
        3,   // print
    };
    switch (in.weighted(weights)) {
    case 0:
        return expression();
    case 1:
        variable();
        out += ':';
        return expression();
    case 2:
        return set_path();
    case 3:
        put(in.chance(128) ? "f:" : "g:");
        return function_value();
    case 4:
        put("o:");
        return object_value();
    case 5:
        return self_modifying();
    case 6:
        return control();
    case 7:
        put(in.chance(128) ? "print" : "prin");
        return expression();
    }
}

void Gen::statements(u32 most) {
    for (u32 n = in.below(most + 1); n > 0 && !deep(); n--) statement();
}

// The program: first a value for each of the program's words (so that the
// statements find something there), then statements. Each is kept apart:
// the harness runs them one by one, so that an error ends one statement,
// not the program.
void Gen::program(std::vector<std::string>& list) {
    static const char* const starts[] = {"a: ", "b: copy ", "c: ", "s: ", "o: ", "f: ", "g: ", "x: ",
                                         "p: ", "t: ", "d: ", "e: "};
    for (u32 i = 0; i < std::size(starts); i++) {
        out = starts[i];
        switch (i) {
        case 1:
            code_block();
            break;
        case 3:
            if (in.chance(128)) lit_string(*this);
            else data_block();
            break;
        case 4:
            object_value();
            break;
        case 5:
        case 6:
            function_value();
            break;
        case 7:
            lit_integer(*this);
            break;
        // Values with fields that paths read and write.
        case 8:
            (in.chance(128) ? lit_pair : in.chance(128) ? lit_point2D : lit_point3D)(*this);
            break;
        case 9:
            (in.chance(128) ? lit_tuple : lit_time)(*this);
            break;
        case 10:
            lit_date(*this);
            break;
        case 11:
            lit_email(*this);
            break;
        default:
            literal();
        }
        list.push_back(out);
    }
    size_t total = 0;
    for (u32 n = 0; n < 24 && !in.exhausted() && total < max_text; n++) {
        out.clear();
        statement();
        total += out.size();
        list.push_back(out);
    }
}

// ---------------------------------------------------------------------------
// Running a program

// The harness's own throw when a run spends its budget: below the
// interpreter's codes, so every catch point of the language passes it on.
constexpr u32 budget_spent = 0x0B0D6E75;

struct Limits {
    u64 steps;
    u64 os_room;   // bytes above what the runtime held at start-up
    double seconds;  // a step count can hide costly steps (a long series moved at each)
};

u64 os_at_start = 0;
Limits limits{8000, u64{32} << 20, 2.0};

// Steps are given in chunks, so that the clock is read now and then.
constexpr u64 step_chunk = 256;
u64 steps_allowed = 0;
u64 steps_given = 0;
double run_started = 0;

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void give_steps() {
    const u64 more = std::min(step_chunk, steps_allowed - steps_given);
    steps_given += more;
    budget::steps_left = more;
}

void start_budget(u64 steps) {
    steps_allowed = steps;
    steps_given = 0;
    give_steps();
    budget::os_bytes = os_at_start + limits.os_room;
    // parse counts its own steps (its loops never pass the evaluator's);
    // spent, it raises internal/limit-hit, as every later parse of the run.
    parse::step_budget = static_cast<i64>(steps) * 8;
    run_started = now();
}

void end_budget() {
    budget::steps_left = ~u64{0};
    budget::os_bytes = 0;
    parse::step_budget = -1;
}

// budget::spent: more steps while the run has steps and time left, else the
// harness's throw.
void on_budget_spent() {
    if (budget::steps_left == 0 && steps_given < steps_allowed && now() - run_started < limits.seconds)
        return give_steps();
    end_budget();
    throw SystemThrow{budget_spent};
}

bool print_programs = false;
// ORU_FUZZ_PROGRAM names a file of statements, one a line, run in place of
// what the input would write (to try a finding's program as it is shrunk).
std::vector<std::string> given_program;

Cell try_name;
Cell try_native;  // held by the snapshot of the global values
Node snapshot = 0;  // the global context's values at start-up
i32 snapshot_length = 0;

bool start_last_lf = false;

// Library state held inside the system object, which the snapshot shares
// rather than copies: the reactivity tables (a run stopped by the budget
// inside a propagation leaves its queue behind). One block, evaluated after
// the globals are put back.
constexpr const char* library_reset_text =
    "system/reactivity/relations: head system/reactivity/relations "
    "clear system/reactivity/relations clear system/reactivity/queue";
Node library_reset = 0;

void mark_snapshot() {
    if (snapshot) collector::mark_values(&snapshot);
    if (library_reset) collector::mark_values(&library_reset);
}

// Copies the global values (start-up state) into a rooted block.
void take_snapshot() {
    const Node g = context::global;
    snapshot_length = context::length(g);
    snapshot = memory::alloc_cells(snapshot_length);
    collector::register_marker(mark_snapshot);
    SeriesBuffer* s = memory::buffer(snapshot);
    std::memcpy(s->cells(), context::values(g), sizeof(Cell) * static_cast<size_t>(snapshot_length));
    s->tail = s->head + static_cast<u32>(sizeof(Cell)) * static_cast<u32>(snapshot_length);
}

// Puts the global context back as start-up left it: its values, series
// among them as fresh copies (a program may have changed the one it held),
// and every word added since unset; and the new-line flag of the last print.
void restore_globals() {
    natives::last_lf_q = start_last_lf;
    const Node g = context::global;
    const i32 n = context::length(g);
    for (i32 i = 0; i < n; i++) {
        Cell v = i < snapshot_length ? memory::buffer(snapshot)->cells()[i] : Cell{type::unset, 0, 0, 0};
        if (i < snapshot_length && series::series_q(cell::type_of(v))) {
            Cell* held = stack::push(v);
            v = *actions::copy(held, held, nullptr, true, nullptr);
            stack::pop(1);
        }
        context::values(g)[i] = v;
    }
    if (library_reset) {
        Cell* code = stack::push(memory::buffer(library_reset)->cells()[0]);
        interpreter::eval_block_throwing(*code, true);
        stack::top = code;
    }
}

// Printing keeps the text (as the units of its buffer) for the statement
// that prints it, up to printed_limit bytes, and reads all of it, so that a
// stale buffer is still touched.
constexpr size_t printed_limit = 4000;
std::string* print_sink = nullptr;

void capture_print(const Cell* value, bool new_line) {
    SeriesBuffer* s = memory::buffer(cell::node(*value));
    const u32 unit = s->unit();
    const i32 count = series::abs_length_q(*value) - cell::head_index(*value);
    const u8* p = s->head_ptr() + static_cast<u32>(cell::head_index(*value)) * unit;
    const size_t bytes = count > 0 ? static_cast<size_t>(count) * unit : 0;
    volatile u8 sum = 0;
    for (size_t i = 0; i < bytes; i++) sum = static_cast<u8>(sum + p[i]);
    if (!print_sink) return;
    const size_t room = printed_limit - std::min(printed_limit, print_sink->size());
    print_sink->append(reinterpret_cast<const char*>(p), std::min(bytes, room));
    if (new_line && print_sink->size() < printed_limit) *print_sink += '\n';
}

struct Outcome {
    enum End { completed, raised, stopped } end = completed;
    ErrorId id{};
    bool error_kept = true;  // the raised error reached the try frame
    bool is_error = false;   // the completed value is an error!
    ErrorId value_id{};
    std::string shape;       // the completed value or the raised error molded, when asked for
    std::string printed;     // what the statement printed
};

const char* end_name(Outcome::End e) {
    return e == Outcome::completed ? "completed" : e == Outcome::raised ? "raised" : "stopped";
}

std::string listing(const std::vector<std::string>& statements) {
    std::string text;
    for (const std::string& s : statements) text += s + "\n";
    return text;
}

[[noreturn]] void finding(const std::string& what, const std::vector<std::string>& statements) {
    std::fprintf(stderr, "\n*** eval_fuzz finding: %s\n--- program (one statement a line):\n%s---\n", what.c_str(),
                 listing(statements).c_str());
    std::fflush(stderr);
    std::abort();
}

// The value molded (/all/flat, its first mold_limit characters), or the id
// of the error molding it raised.
constexpr i32 mold_limit = 2000;

std::string shape_of(Cell* value) {
    Cell* const base = stack::top;
    Cell* const args = stack::arguments;
    CallFrame* const frames = stack::frame_top;
    std::string shape;
    stack::mark_try(try_name);
    try {
        Cell* buffer = stack::push();
        string::make_at(*buffer, 64);
        Cell part = cell::integer(mold_limit);
        actions::mold(value, buffer, false, true, true, &part, mold_limit, 0);
        i32 length = -1;
        const u8* utf8 = unicode::to_utf8(*buffer, &length);
        shape.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    } catch (const SystemThrow& t) {
        if (t.code != throw_code::error) throw;
        shape = std::string("<mold raised ") + error_id_name(pending_error.id) + ">";
    }
    stack::frame_top = frames;
    stack::arguments = args;
    stack::top = base;
    return shape;
}

// Runs one statement (a block on the data stack) under a try frame of the
// harness, as the `try` native would hold it, and puts both stacks back.
// With `shape`, the completed value is molded.
Outcome run_statement(const Cell& statement, const std::vector<std::string>& program, bool shape) {
    Cell* const base = stack::top;
    Cell* const args = stack::arguments;
    CallFrame* const frames = stack::frame_top;
    Outcome o;
    print_sink = &o.printed;
    stack::mark_try(try_name);
    stack::push(Cell{type::unset, 0, 0, 0});  // the result slot
    try {
        interpreter::eval_block_throwing(statement, true);
        const Cell& value = *stack::arguments;
        if (error::error_q(value)) {
            o.is_error = true;
            o.value_id = error_id_of(value);
        }
        if (shape) o.shape = shape_of(stack::arguments);
    } catch (const SystemThrow& t) {
        if (t.code == throw_code::error) {
            o.end = Outcome::raised;
            o.id = pending_error.id;
            const Cell* last = stack::last_pushed();
            o.error_kept = error::error_q(*last) && error_id_of(*last) == o.id;
            if (shape && o.error_kept) o.shape = shape_of(const_cast<Cell*>(last));
        } else if (t.code == budget_spent) {
            o.end = Outcome::stopped;
            // The frames above the try frame are still open: close them as
            // an error's unwinding would, putting function contexts back.
            while (stack::frame_top > frames + 1) stack::unwind_drop();
        } else {
            char what[80];
            std::snprintf(what, sizeof what, "system throw %08X got past the try frame", t.code);
            finding(what, program);
        }
    }
    if (o.end != Outcome::stopped) {
        if (interpreter::tracing || interpreter::trace_run) finding("tracing left on", program);
        if (cycles::depth() != 0) finding("mold-cycle entries left on the stack", program);
        // `recycle/off` turns collection off on purpose: put it back on for
        // the next program. Any other road that leaves it off is a finding.
        if (!collector::enabled_q()) {
            const bool asked = std::any_of(program.begin(), program.end(), [](const std::string& line) {
                return line.find("recycle") != std::string::npos;
            });
            if (!asked) finding("collection left off", program);
            collector::enable(true);
        }
        if (o.end == Outcome::completed && stack::frame_top != frames + 1) finding("frames left open", program);
        // eval_block leaves its closed frame's result slot above the
        // value: anything more is a cell some native failed to drop.
        if (o.end == Outcome::completed && stack::top != stack::arguments + 2)
            finding("cells left on the data stack", program);
        if (o.end == Outcome::raised && stack::frame_top != frames) finding("an error left frames open", program);
        // What try gives back is the error cell the unwinding pushed.
        if (o.end == Outcome::raised && !o.error_kept) finding("the raised error was dropped while unwinding", program);
    }
    stack::frame_top = frames;
    stack::arguments = args;
    stack::top = base;
    stack::throw_origin = nullptr;
    interpreter::pending = 0;
    interpreter::set_tracing(false);
    interpreter::trace_run = false;
    runtime.pending_code = 0;
    cycles::reset();
    collector::enable(true);
    print_sink = nullptr;
    return o;
}

// How a program is run.
struct Mode {
    bool held;    // each statement inside `try [...]`
    bool stress;  // a collection at each series allocation
    bool shapes;  // the statements' values molded
};

// Loads the statements (each as a block) and runs them one after the
// other on the start-up globals, until one spends the budget.
std::vector<Outcome> run(const std::vector<std::string>& program, Mode mode, u64 steps) {
    const bool held = mode.held;
    restore_globals();
    const bool stressed = collector::set_stress(mode.stress);
    std::string text;
    for (const std::string& s : program) text += (held ? "[try [" : "[") + s + (held ? "\n]]\n" : "\n]\n");
    Cell* const base = stack::top;
    Cell* code = stack::push(Cell{type::none, 0, 0, 0});
    CallFrame* const frames = stack::frame_top;
    stack::mark_try(try_name);
    try {
        i32 used = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), lexer::Mode{},
                    &used);
        context::bind(*code, context::global, false);
    } catch (const SystemThrow&) {
        finding(std::string("the grammar wrote a program that does not load: ") + error_id_name(pending_error.id),
                program);
    }
    stack::frame_top = frames;
    stack::top = code + 1;
    std::vector<Outcome> outcomes;
    start_budget(steps);
    const i32 count = series::abs_length_q(*code);
    if (count != static_cast<i32>(program.size()))
        finding("the program did not load as one block a statement", program);
    for (i32 i = 0; i < count; i++) {
        Cell* statement = stack::push(*block::rs_abs_at(*code, i));
        // The native itself, not the word: the program may change the word.
        if (held) *block::rs_abs_at(*statement, 0) = try_native;
        outcomes.push_back(run_statement(*statement, program, mode.shapes));
        stack::top = statement;
        if (outcomes.back().end == Outcome::stopped) break;
        // One overflow is all a program gets: unwinding thousands of
        // frames is slow, and the next would only repeat it.
        const Outcome& o = outcomes.back();
        if ((o.end == Outcome::raised && o.id == ErrorId::internal_stack_overflow) ||
            (o.is_error && o.value_id == ErrorId::internal_stack_overflow))
            break;
    }
    end_budget();
    collector::set_stress(stressed);
    stack::top = base;
    return outcomes;
}

void print_outcome(const Outcome& o) {
    std::fprintf(stderr, "%s", end_name(o.end));
    if (o.end == Outcome::raised)
        std::fprintf(stderr, " %s%s", error_id_name(o.id), o.error_kept ? "" : " (error value lost)");
    if (o.is_error) std::fprintf(stderr, " error! %s", error_id_name(o.value_id));
}

void print_outcomes(const char* label, const std::vector<Outcome>& outcomes) {
    std::fprintf(stderr, "=== %s\n", label);
    for (size_t i = 0; i < outcomes.size(); i++) {
        std::fprintf(stderr, "%zu: ", i + 1);
        print_outcome(outcomes[i]);
        if (!outcomes[i].shape.empty()) std::fprintf(stderr, " => %s", outcomes[i].shape.c_str());
        if (!outcomes[i].printed.empty()) std::fprintf(stderr, " printed \"%s\"", outcomes[i].printed.c_str());
        std::fprintf(stderr, "\n");
    }
}

std::string statement_label(size_t i) { return "statement " + std::to_string(i + 1) + ": "; }

// Each statement's error in the direct run must come out of `try` as an
// error! with the same id; nothing gets past `try`.
void compare_held(const std::vector<Outcome>& direct, const std::vector<Outcome>& held,
                  const std::vector<std::string>& program) {
    for (size_t i = 0; i < direct.size() && i < held.size(); i++) {
        const Outcome& d = direct[i];
        const Outcome& h = held[i];
        if (h.end == Outcome::raised) finding(statement_label(i) + "an error got past try", program);
        if (d.end == Outcome::stopped || h.end == Outcome::stopped) return;
        if (d.end != Outcome::raised) continue;
        // A statement at the data stack's limit may overflow sooner in try.
        if (h.is_error && h.value_id == ErrorId::internal_stack_overflow) return;
        if (!h.is_error || h.value_id != d.id)
            finding(statement_label(i) + "error lost: the direct run raised " + error_id_name(d.id) +
                        ", try answered " + (h.is_error ? error_id_name(h.value_id) : "no error"),
                    program);
    }
}

// The run under collector stress and the plain one must end each statement
// alike and with the same value: a value kept where the collector does not
// see it shows up as a difference.
void compare_stressed(const std::vector<Outcome>& stressed, const std::vector<Outcome>& plain,
                      const std::vector<std::string>& program) {
    for (size_t i = 0; i < stressed.size() && i < plain.size(); i++) {
        const Outcome& s = stressed[i];
        const Outcome& p = plain[i];
        if (s.end == Outcome::stopped || p.end == Outcome::stopped) return;
        if (s.end != p.end || (s.end == Outcome::raised && s.id != p.id))
            finding(statement_label(i) + "under collector stress it " +
                        (s.end == Outcome::raised ? std::string("raised ") + error_id_name(s.id) : "completed") +
                        ", without it " +
                        (p.end == Outcome::raised ? std::string("raised ") + error_id_name(p.id) : "completed"),
                    program);
        if (s.shape != p.shape)
            finding(statement_label(i) + "under collector stress its " +
                        (s.end == Outcome::raised ? "error" : "value") + " is " + s.shape + ", without it " + p.shape,
                    program);
        if (s.printed != p.printed)
            finding(statement_label(i) + "under collector stress it printed \"" + s.printed + "\", without it \"" +
                        p.printed + "\"",
                    program);
    }
}

void run_program(const u8* data, size_t size) {
    Choices in(data, size);
    Gen gen(in);
    std::vector<std::string> program;
    if (given_program.empty()) gen.program(program);
    else program = given_program;
    if (print_programs) std::fprintf(stderr, "=== program\n%s", listing(program).c_str());

    const bool stress = collector::stress();
    // The direct run's values are molded (under stress, to be compared
    // with a plain run's).
    const std::vector<Outcome> direct = run(program, Mode{false, stress, true}, limits.steps);
    // The try runs take a few more steps than the direct ones: the try's
    // own block and call.
    const std::vector<Outcome> held =
        run(program, Mode{true, stress, false}, limits.steps + 16 * static_cast<u64>(program.size()));
    std::vector<Outcome> plain;
    if (stress) plain = run(program, Mode{false, false, true}, limits.steps);
    if (print_programs) {
        print_outcomes("direct", direct);
        print_outcomes("in try", held);
        if (stress) print_outcomes("without collector stress", plain);
    }
    if (gen.varying) return;
    compare_held(direct, held, program);
    if (stress) compare_stressed(direct, plain, program);
}

// ---------------------------------------------------------------------------
// The interpreter's thread

// x87 arithmetic as the oru executable sets it: double precision, every
// exception masked.
void set_float_control() {
#if defined(__x86_64__) || defined(__i386__)
    const unsigned short control = 0x27F;
    asm volatile("fldcw %0" : : "m"(control));
#endif
}

void start_runtime() {
    set_float_control();
    natives_output::register_all();
    runtime_init();
    root_allocation = false;
    boot::define_base();
    dyn_print::remove(natives_output::stdout_hook, nullptr);
    dyn_print::add(capture_print, nullptr);
    collector::enable(true);
    try_name = stack::word(symbol::make("try"));
    collect_vocabulary();
    check_literal_rows();
    take_snapshot();
    {
        Cell* code = stack::push(Cell{type::none, 0, 0, 0});
        i32 used = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(library_reset_text),
                    static_cast<i32>(std::strlen(library_reset_text)), lexer::Mode{}, &used);
        context::bind(*code, context::global, false);
        library_reset = memory::alloc_cells(1);
        SeriesBuffer* s = memory::buffer(library_reset);
        s->cells()[0] = *code;
        s->tail = s->head + static_cast<u32>(sizeof(Cell));
        stack::top = code;
    }
    start_last_lf = natives::last_lf_q;
    try_native = *context::global_slot(symbol::make("try"));
    os_at_start = memory::record.total;
    budget::spent = on_budget_spent;
    print_programs = std::getenv("ORU_FUZZ_PRINT") != nullptr;
    if (const char* path = std::getenv("ORU_FUZZ_PROGRAM")) {
        std::ifstream file(path);
        for (std::string line; std::getline(file, line);)
            if (!line.empty()) given_program.push_back(line);
    }
    // Every allocation collects under stress: smaller programs go as far.
    if (collector::stress()) limits = Limits{3000, u64{16} << 20, 5.0};
}

struct Job {
    std::mutex lock;
    std::condition_variable changed;
    const u8* data = nullptr;
    size_t size = 0;
    bool ready = false;    // the runtime started
    bool pending = false;  // an input waits to be run
};
// Never destroyed: the interpreter's thread waits on it until the process ends.
Job& job = *new Job;

void* interpreter_thread(void*) {
    start_runtime();
    // Programs never reach files or the network: the file and HTTP services
    // behind file! and url! actions are taken out, so those actions raise.
    url::services = url::Services{};
    std::unique_lock<std::mutex> hold(job.lock);
    job.ready = true;
    job.changed.notify_all();
    for (;;) {
        job.changed.wait(hold, [] { return job.pending; });
        run_program(job.data, job.size);
        job.pending = false;
        job.changed.notify_all();
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, interpreter_stack_size);
    pthread_t thread;
    if (pthread_create(&thread, &attr, interpreter_thread, nullptr) != 0) {
        std::fprintf(stderr, "eval_fuzz: no thread for the interpreter\n");
        std::abort();
    }
    pthread_attr_destroy(&attr);
    pthread_detach(thread);
    std::unique_lock<std::mutex> hold(job.lock);
    job.changed.wait(hold, [] { return job.ready; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return -1;  // longer inputs only make longer programs
    std::unique_lock<std::mutex> hold(job.lock);
    job.data = data;
    job.size = size;
    job.pending = true;
    job.changed.notify_all();
    job.changed.wait(hold, [] { return !job.pending; });
    return 0;
}
