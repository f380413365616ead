// The lexer's trace callback where a script cannot look: the token ranges
// as pair! cells (characters for string! input, bytes for binary!), the
// scratch buffer, the lexer states and the value buffer left as they were
// when an error escapes a callback, the private buffer of a long wide text,
// the exit states, and do of a script file. Code runs as a script's would,
// with collection enabled so that stress mode collects inside callbacks.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_eval.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oru;

namespace {

class LexerTrace : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        interpreter::init();
        root_allocation = false;
        boot::define_base();
        collector::enable(true);
        base = stack::top;
    }
    void TearDown() override {
        natives::find_script_header = nullptr;
        collector::enable(false);
        runtime_shutdown();
    }

    // Loads, binds and evaluates the text; the error id when it raised one.
    std::optional<ErrorId> run(const std::string& text) {
        stack::top = stack::arguments = base;
        std::optional<ErrorId> error;
        CallFrame* frames = stack::frame_top;
        try {
            EXPECT_EQ(test::evaluate(text), 0u) << text;
        } catch (const SystemThrow& t) {
            EXPECT_EQ(t.code, throw_code::error) << text;
            error = pending_error.id;
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return error;
    }

    static Cell global(const char* name) { return *context::global_slot(symbol::make(name)); }

    // The pair! cells of the global block `name`, as "x:y" texts.
    static std::vector<std::string> pairs(const char* name) {
        const Cell blk = global(name);
        std::vector<std::string> out;
        for (i32 i = 0; i < block::rs_length_q(blk); i++) {
            const Cell c = *block::rs_abs_at(blk, i);
            if (cell::type_of(c) != type::pair) out.push_back("not a pair");
            else out.push_back(std::to_string(static_cast<i32>(c.data2)) + ":" + std::to_string(static_cast<i32>(c.data3)));
        }
        return out;
    }

    Cell* base = nullptr;
};

// The callback collects the token of every scan event.
constexpr const char* collect_ranges =
    "ranges: copy [] "
    "cb: func [event input type line token] [[scan] append ranges token true] ";

TEST_F(LexerTrace, TokenRangesCountCharactersOfStringsAndBytesOfBinaries) {
    // "é" is one character and two bytes: the ranges after it differ.
    ASSERT_FALSE(run(std::string(collect_ranges) + "transcode/trace {é ab \"ü\"} :cb"));
    EXPECT_EQ(pairs("ranges"), (std::vector<std::string>{"1:2", "3:5", "6:9"}));

    // A binary! source has no literal yet: the native runs on a hand-made frame.
    const std::string bytes = "\xC3\xA9 ab \"\xC3\xBC\"";
    ASSERT_FALSE(run("clear ranges"));
    stack::top = stack::arguments = base;
    stack::mark_native(stack::word(0));
    const Node n = memory::alloc_bytes(static_cast<i32>(bytes.size()) + 1);
    stack::push(cell::make(type::binary, 0, n, 0));
    std::memcpy(memory::buffer(n)->head_ptr(), bytes.data(), bytes.size());
    memory::buffer(n)->tail = memory::buffer(n)->head + static_cast<u32>(bytes.size());
    i32 refinements[7] = {-1, -1, -1, -1, -1, -1, 1};  // /trace
    stack::push(global("cb"));
    natives::transcode(false, refinements);
    stack::unwind();
    stack::top = base;
    EXPECT_EQ(pairs("ranges"), (std::vector<std::string>{"1:3", "4:6", "7:11"}));
}

// A point's range takes in its parentheses; a raw string sends open and
// close around its value as a braced string does, and neither is counted
// twice when the callback also wants scan and load events.
TEST_F(LexerTrace, PointAndRawStringRanges) {
    ASSERT_FALSE(run(std::string(collect_ranges) + "transcode/trace {(1, 2) x} :cb"));
    EXPECT_EQ(pairs("ranges"), (std::vector<std::string>{"1:7", "8:9"}));
    ASSERT_FALSE(run("ranges: copy [] kinds: copy [] "
                     "oc: func [event input type line token] [[open close] append kinds event append ranges token true] "
                     "transcode/trace {%%{a}%% [b]} :oc "
                     "all-events: copy [] "
                     "every: func [event input type line token] [if any [event = 'open event = 'close] [append all-events event] true] "
                     "transcode/trace {%{a}%} :every"));
    EXPECT_EQ(pairs("ranges"), (std::vector<std::string>{"1:4", "1:8", "9:10", "11:12"}));
    EXPECT_EQ(block::rs_length_q(global("kinds")), 4);
    EXPECT_EQ(block::rs_length_q(global("all-events")), 2);
}

// A language error escaping a callback, also from a scan nested inside
// another callback, leaves the lexer as a system throw does: no lexer state
// linked, the value buffer empty and the scratch buffer's free position
// back at its start; the next scan works.
TEST_F(LexerTrace, ErrorOutOfCallbackRestoresScratchStatesAndValues) {
    ASSERT_FALSE(run(
        "inner: func [event input type line token] [[load] if token = 'boom [1 / 0] true] "
        "outer: func [event input type line token] [[load] "
        "    if token = 'go [transcode/trace {x [y boom]} :inner] true] "));
    EXPECT_EQ(run("transcode/trace {a [b go] c} :outer"), ErrorId::math_zero_divide);
    const lexer::Usage after = lexer::usage();
    EXPECT_EQ(after.scratch, 0);
    EXPECT_EQ(after.states, 0);
    EXPECT_EQ(after.cells, 0);
    ASSERT_FALSE(run("again: transcode {1 [2]}"));
    EXPECT_EQ(block::rs_length_q(global("again")), 2);
}

// The scratch buffer holds 100000 bytes; a 2-byte string of 60000
// characters needs up to 180000 and gets a private buffer, freed after.
TEST_F(LexerTrace, LongWideTextUsesAPrivateBuffer) {
    const i32 before = lexer::usage().private_buffers;
    collector::recycle();  // the collector's own work arrays are made by now
    const size_t heap_blocks = heap::count();
    Cell* text = stack::push();
    string::make_at_unit(*text, 60000, 2);
    SeriesBuffer* b = memory::buffer(cell::node(*text));
    for (i32 i = 0; i < 60000; i++) string::put_char(b->data() + b->head + static_cast<u32>(i) * 2, 2, i % 3 == 2 ? ' ' : 0x416);
    b->tail = b->head + 120000;
    Cell* out = stack::push();
    i32 consumed = 0;
    lexer::load_string(out, *text, -1, lexer::Mode{}, &consumed);
    EXPECT_EQ(consumed, 60000);
    EXPECT_EQ(block::rs_length_q(*out), 20000);
    EXPECT_EQ(lexer::usage().private_buffers, before + 1);
    EXPECT_EQ(heap::count(), heap_blocks);
    EXPECT_EQ(lexer::usage().scratch, 0);

    // A 1-byte text of 40000 characters (80000 bytes at worst) fits.
    Cell* narrow = stack::push();
    string::make_at_unit(*narrow, 40000, 1);
    b = memory::buffer(cell::node(*narrow));
    std::memset(b->data() + b->head, 'a', 40000);
    b->tail = b->head + 40000;
    lexer::load_string(out, *narrow, -1, lexer::Mode{}, &consumed);
    EXPECT_EQ(lexer::usage().private_buffers, before + 1);
    stack::top = base;
}

TEST_F(LexerTrace, ExitStatesNameTheStructuralTokens) {
    const Cell states = lexer::exit_states();
    ASSERT_EQ(cell::type_of(states), type::block);
    ASSERT_EQ(block::rs_length_q(states), 34);
    const auto word_at = [&](i32 i) {
        return std::string(symbol::get_c_string(static_cast<i32>(block::rs_abs_at(lexer::exit_states(), i)->data2)));
    };
    EXPECT_EQ(word_at(0), "eof");
    EXPECT_EQ(word_at(11), "comment");
    EXPECT_EQ(word_at(31), "hex");
    EXPECT_EQ(word_at(32), "rawstring");
    EXPECT_EQ(block::rs_abs_at(states, 2)->data1, type::block);
    EXPECT_EQ(block::rs_abs_at(states, 33)->data1, type::ref);
    // The collector keeps it: it is reachable from nowhere else.
    collector::recycle();
    EXPECT_EQ(block::rs_length_q(lexer::exit_states()), 34);
    EXPECT_EQ(word_at(0), "eof");
}

TEST_F(LexerTrace, CallbackMustTakeFiveArguments) {
    EXPECT_EQ(run("transcode/trace {a} func [event input type line] [true]"), ErrorId::script_invalid_arg);
    EXPECT_EQ(run("transcode/trace {a} 42"), ErrorId::script_invalid_arg);
    // Refinements and locals after the five arguments start empty.
    ASSERT_FALSE(run("seen: none transcode/trace {a} func [event input type line token /extra x /local y] "
                     "[[scan] seen: reduce [extra x y] true]"));
    const Cell seen = global("seen");
    ASSERT_EQ(block::rs_length_q(seen), 3);
    EXPECT_EQ(cell::type_of(*block::rs_abs_at(seen, 0)), type::logic);
    EXPECT_EQ(cell::type_of(*block::rs_abs_at(seen, 1)), type::none);
    EXPECT_EQ(cell::type_of(*block::rs_abs_at(seen, 2)), type::none);
}

// do of a file! through the library's script runner: the header found, the
// value of the script's last expression, the current directory changed for
// the run and restored after, also after an error.
class DoFile : public LexerTrace {
public:
    void SetUp() override {
        // The runner reads the script through the file services.
        natives_output::register_all();
        LexerTrace::SetUp();
        char tmpl[] = "/tmp/oru-do-file-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        start_dir = platform::get_current_dir();
        // A stand-in for the boot program's search: "Oru" then "[".
        natives::find_script_header = [](const std::string& text) -> long {
            const size_t at = text.find("Oru [");
            return at == std::string::npos ? -1 : static_cast<long>(at);
        };
    }
    void TearDown() override {
        (void)platform::set_current_dir(start_dir.c_str());
        for (const std::string& f : files) std::remove(f.c_str());
        rmdir(dir.c_str());
        LexerTrace::TearDown();
    }

    std::string write(const char* name, const std::string& text) {
        const std::string path = dir + "/" + name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        files.push_back(path);
        return path;
    }

    // do of the file at path (a file! made from a string: no file literal yet).
    std::optional<ErrorId> do_file(const std::string& path) {
        set_file("script-file", path);
        return run("result: do script-file");
    }

    // Sets the global word to a file! of the path (a file! made as a string).
    void set_file(const char* word, const std::string& path) {
        Cell* f = stack::push();
        string::make_at(*f, static_cast<i32>(path.size()));
        string::concatenate_literal(*f, path.c_str());
        cell::set_type(*f, type::file);
        context::set_global(symbol::make(word), *f);
        stack::pop(1);
    }

    std::string dir, start_dir;
    std::vector<std::string> files;
};

TEST_F(DoFile, RunsTheScriptInItsDirectory) {
    // The script runs a second one by a name relative to its own directory.
    write("inner.oru", "Oru []\nx * 10");
    const std::string path = write("a.oru", "#!/bin/sh shell line\nOru [Title: \"a\"]\nx: 1 + 2 do inner-file");
    set_file("inner-file", "inner.oru");
    ASSERT_FALSE(do_file(path));
    EXPECT_EQ(global("result").data2, 30u);
    EXPECT_EQ(platform::get_current_dir(), start_dir);

    // The script runs inside the runner's try/all: a return at its top
    // level is one outside any function.
    write("r.oru", "Oru []\n1 return 7 8");
    EXPECT_EQ(do_file(dir + "/r.oru"), ErrorId::throw_return);
    EXPECT_EQ(platform::get_current_dir(), start_dir);

    // An error leaves the script after the directory is restored.
    write("e.oru", "Oru []\n1 / 0");
    EXPECT_EQ(do_file(dir + "/e.oru"), ErrorId::math_zero_divide);
    EXPECT_EQ(platform::get_current_dir(), start_dir);
}

TEST_F(DoFile, RefusesMissingFilesHeadersAndSystemCode) {
    const struct {
        const char* name;
        const char* text;
        ErrorId error;
    } cases[] = {
        {"none.oru", "print 1", ErrorId::syntax_no_header},
        {"lower.oru", "oru [] 1", ErrorId::syntax_no_header},
    };
    for (const auto& c : cases) EXPECT_EQ(do_file(write(c.name, c.text)), c.error) << c.name;
    EXPECT_EQ(do_file(dir + "/missing.oru"), ErrorId::access_cannot_open);
    EXPECT_EQ(do_file(write("sys.oru", "Oru/System [] 1")), ErrorId::internal_oru_system);
}

}  // namespace
