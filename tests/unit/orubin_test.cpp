// ORUBIN documents: round trips in both forms and compressed, with sharing,
// bindings, values the datatype modules then take, and the layouts of types
// not registered yet; the bytes the encoder writes for the format's edge
// cases; and a small bad document for each fault the decoder must refuse.
#include "boot/boot.h"
#include "codecs/lz.h"
#include "codecs/orubin.h"
#include "codecs/orubin_format.h"
#include "codecs/lexer_values.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "support.h"

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace oru;

namespace {

using Bytes = std::vector<u8>;

enum class Form { compact, fixed, compact_lz, fixed_lz };
const char* form_name(Form f) {
    switch (f) {
        case Form::compact: return "compact";
        case Form::fixed: return "fixed";
        case Form::compact_lz: return "compact, compressed";
        default: return "fixed, compressed";
    }
}

// --- Comparing value trees ---------------------------------------------------------

// Equality of two value trees that also holds their sharing to account: a
// node of the first maps to one node of the second, and back.
class Same {
public:
    bool values(const Cell& a, const Cell& b) { return cells(a, b); }
    std::string why;

private:
    std::map<Node, Node> there_, back_;

    bool fail(const std::string& s) {
        if (why.empty()) why = s;
        return false;
    }
    // True when the pair is new (compare what the nodes hold), false when met
    // before; `ok` is false when the mapping breaks.
    bool first(Node a, Node b, bool& ok) {
        ok = true;
        auto it = there_.find(a);
        if (it != there_.end()) return (ok = it->second == b), false;
        if (back_.count(b)) return ok = false;
        there_[a] = b;
        back_[b] = a;
        return true;
    }
    static i32 len(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }
    static Cell at(Node n, i32 i) { return memory::buffer(n)->cells()[i]; }

    bool block_nodes(Node a, Node b) {
        bool ok;
        if (!first(a, b, ok)) return ok || fail("block sharing");
        if (len(a) != len(b)) return fail("block length");
        for (i32 i = 0; i < len(a); i++)
            if (!cells(at(a, i), at(b, i))) return false;
        return true;
    }
    bool byte_nodes(Node a, Node b) {
        bool ok;
        if (!first(a, b, ok)) return ok || fail("buffer sharing");
        SeriesBuffer* x = memory::buffer(a);
        SeriesBuffer* y = memory::buffer(b);
        const u32 flags = 0x80000 | sflag::unit_mask;
        if ((x->flags & flags) != (y->flags & flags)) return fail("unit or complement flag");
        if (x->tail - x->head != y->tail - y->head || std::memcmp(x->head_ptr(), y->head_ptr(), x->tail - x->head))
            return fail("buffer bytes");
        return true;
    }
    bool contexts(Node a, Node b) {
        bool ok;
        if (a == context::global || b == context::global) return a == b || fail("global context");
        if (!first(a, b, ok)) return ok || fail("context sharing");
        const u32 flags = context::kind_mask | context::on_stack | context::for_object;
        if ((context::cell_of(a)->header & flags) != (context::cell_of(b)->header & flags)) return fail("context flags");
        if (context::length(a) != context::length(b)) return fail("context length");
        for (i32 i = 0; i < context::length(a); i++)
            if (word::symbol_of(*context::word_at(a, i)) != word::symbol_of(*context::word_at(b, i)))
                return fail("context words");
        if (context::on_stack_q(a)) return true;
        const Node va = context::cell_of(a)->data2, vb = context::cell_of(b)->data2;
        for (i32 i = 0; i < context::length(a); i++)
            if (!cells(at(va, i), at(vb, i))) return false;
        return true;
    }
    bool cells(const Cell& a, const Cell& b) {
        const u32 t = cell::type_of(a);
        if (t != cell::type_of(b)) return fail("type " + std::to_string(t) + " became " + std::to_string(cell::type_of(b)));
        if ((a.header & flag::new_line) != (b.header & flag::new_line)) return fail("new-line marker");
        switch (orubin::storage_of(t)) {
            case orubin::Storage::cells: case orubin::Storage::hash:
                if (a.data1 != b.data1) return fail("head index");
                if (t == type::hash && !b.data3) return fail("hash! without its index");
                return block_nodes(a.data2, b.data2);
            case orubin::Storage::chars: case orubin::Storage::bytes: case orubin::Storage::vector:
            case orubin::Storage::bitset:
                if (a.data1 != b.data1 || (t == type::vector && a.data3 != b.data3)) return fail("head or element type");
                return byte_nodes(a.data2, b.data2);
            default: break;
        }
        if (word::any_word_type_q(t) && t != type::issue) {
            if (a.data2 != b.data2) return fail("word symbol");
            // A word of no object or function comes back a global word (its
            // slot found, where the original may not have looked it up yet).
            const Node ctx = word::context_of(a);
            const u32 owner = ctx ? cell::type_of(*context::self(ctx)) : 0;
            if (ctx == context::global || (owner != type::object && owner != type::function)) {
                if (word::context_of(b) != context::global) return fail("a global word");
                return a.data1 != context::global || a.data3 == ~0u || a.data3 == b.data3 || fail("global slot");
            }
            if (a.data3 != b.data3) return fail("word index");
            return contexts(a.data1, b.data1);
        }
        switch (t) {
            case type::object:
                if (object::class_of(b) != -1) return fail("class id kept");
                if ((a.data3 != 0) != (b.data3 != 0)) return fail("change handlers");
                return contexts(a.data1, b.data1);
            case type::function: {
                if (a.header != b.header) return fail("function flags");
                if (!contexts(a.data1, b.data1) || !block_nodes(a.data2, b.data2)) return false;
                return cells(at(a.data3, 0), at(b.data3, 0));
            }
            case type::native: case type::action:
                if (a.data1 != b.data1) return fail("native slot");
                return block_nodes(a.data2, b.data2);
            case type::op:
                if (a.header != b.header) return fail("op header");
                if (op::wrapped_type(a) == type::function) return contexts(a.data1, b.data1);
                return a.data1 == b.data1 || fail("op slot");
            case type::error: {
                // The code; type and id follow from it (the catalog's own words).
                const Node va = context::cell_of(a.data1)->data2, vb = context::cell_of(b.data1)->data2;
                if (at(va, 0).data2 != at(vb, 0).data2) return fail("error code");
                for (i32 i = error::field::arg1; i <= error::field::stack; i++)
                    if (!cells(at(va, i), at(vb, i))) return false;
                return true;
            }
            default:
                if (std::memcmp(&a, &b, sizeof a) != 0) return fail("payload of type " + std::to_string(t));
                return true;
        }
    }
};

// --- The fixture ---------------------------------------------------------------------

class Orubin : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives_output::register_all();
        interpreter::init();
        root_allocation = false;
        boot::define_base();
        collector::enable(true);
        base = stack::top;
    }
    void TearDown() override {
        collector::enable(false);
        runtime_shutdown();
    }

    // Evaluates the text; its value, pushed (it stays on the stack).
    Cell run(const std::string& text) {
        CallFrame* frames = stack::frame_top;
        Cell* mark = stack::top;
        Cell v = cell::make(type::none);
        try {
            EXPECT_EQ(test::evaluate(text), 0u) << text;
            v = *stack::arguments;
        } catch (const SystemThrow&) {
            ADD_FAILURE() << text << ": error " << error_id_name(pending_error.id);
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = mark;
        return *stack::push(v);
    }

    static Bytes bytes_of(const Cell& bin) {
        SeriesBuffer* s = memory::buffer(cell::node(bin));
        return Bytes(s->head_ptr(), s->tail_ptr());
    }

    // The document of v in a form; the compressed forms compress what
    // follows the header (the value must make enough bytes for it).
    static Bytes encoded(const Cell& v, Form form) {
        const bool compact = form == Form::compact || form == Form::compact_lz;
        Cell* bin = compact ? orubin::encode_cp(v) : orubin::encode(v);
        Bytes doc = bytes_of(*bin);
        stack::pop(1);
        if (form == Form::compact || form == Form::fixed) return doc;
        Bytes packed(doc.size());
        const i64 n = lz::compress(doc.data() + 8, doc.size() - 8, packed.data());
        EXPECT_GT(n, 0) << "too small to compress";
        Bytes out(doc.begin(), doc.begin() + 8);
        out[7] |= orubin::doc_flag::compressed;
        out.insert(out.end(), packed.begin(), packed.begin() + (n > 0 ? n : 0));
        return out;
    }

    struct Decoded {
        std::optional<ErrorId> error;
        i32 position = 0;  // ob-invalid-record's argument
        Cell block{};      // the target, on the stack
    };
    // Decodes in codec mode into a new block.
    Decoded decode(const Bytes& doc, bool raise = true, bool exit_on_header_fault = false) {
        Decoded d;
        Cell* target = stack::push(cell::make(type::block, 0, memory::alloc_cells(4)));
        d.error = test::error_of([&] {
            orubin::decode(doc.data(), doc.size(), *target, raise, cell::make(type::none), exit_on_header_fault);
        });
        if (d.error == ErrorId::script_ob_invalid_record) d.position = static_cast<i32>(pending_error.args[0].data2);
        d.block = *target;
        return d;
    }
    Cell only_value(const Decoded& d) {
        EXPECT_FALSE(d.error) << error_id_name(*d.error);
        EXPECT_EQ(memory::buffer(cell::node(d.block))->length(), 1u);
        return *memory::buffer(cell::node(d.block))->cells();
    }
    Cell round_trip(const Cell& v, Form form) { return only_value(decode(encoded(v, form))); }

    void expect_same(const Cell& v, Form form) {
        SCOPED_TRACE(form_name(form));
        const Cell back = round_trip(v, form);
        Same same;
        EXPECT_TRUE(same.values(v, back)) << same.why;
    }

    // A block of cells made here, pushed.
    Cell block_of(std::initializer_list<Cell> cells) {
        const Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
        Cell* b = stack::push(cell::make(type::block, 0, n));
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return *b;
    }
    Cell bytes_value(u32 t, u32 unit, const Bytes& data, u32 extra = 0) {
        const Node n = memory::alloc_codepoints(static_cast<i32>(data.size() / unit), unit);
        SeriesBuffer* s = memory::buffer(n);
        if (!data.empty()) std::memcpy(s->head_ptr(), data.data(), data.size());
        s->tail = s->head + static_cast<u32>(data.size());
        return *stack::push(cell::make(t, 0, n, extra));
    }

    Cell* base = nullptr;
};

// --- Round trips ------------------------------------------------------------------------

TEST_F(Orubin, RoundTripsEveryKindOfValue) {
    const Cell literals = run(
        "append copy [0 63 64 -1 -2147483648 2147483647 1.0 1.5 -0.0 1e300 25% 12.345% 3x-4 1.2.3 "
        "1.2.3.4.5.6.7.8.9.10.11.12 10:00 -0:00:01.5 1-Jan-2020 29-Feb-2024/10:00:30+5:45 31-Dec-1999/23:59:59-8:00 "
        "$1.50 -$2 USD$3.00001 #\"a\" #\"^(10FFFF)\" \"text\" \"t\u00EBxt\" \"\u65E5\u672C\" \"\U0001F600\" %file "
        "http://x.org <tag> a@b.c @ref #{00FF10} #issue 'lit :get set: /ref a/b/c 'a/b :a/b a/b: (1 + 2) []] "
        "reduce [true false none integer! any-type! as-point2D 1.5 -2 as-point3D 1 2 3.25 :if :append :+ :-]");
    for (Form f : {Form::compact, Form::fixed}) expect_same(literals, f);

    // Types whose datatypes are not registered: made from their layouts.
    Cell bits = bytes_value(type::bitset, 1, {0xF0, 0x0F});
    memory::buffer(cell::node(bits))->flags |= 0x80000;  // complemented
    Cell ints = bytes_value(type::vector, 2, {1, 0, 0xFF, 0xFF, 7, 0}, type::integer);
    Cell floats = bytes_value(type::vector, 8, Bytes(16, 0x3F), type::float_);
    Cell hash = block_of({cell::integer(1), cell::integer(2), cell::integer(1)});
    hash.header = type::hash;
    hash.data3 = hashtable::init(3, &hash, hashtable::kind::hash, 0);
    stack::push(hash);
    const Cell made = block_of({bits, ints, floats, hash});
    for (Form f : {Form::compact, Form::fixed}) expect_same(made, f);
}

// Values the datatype modules made come back as values those modules take:
// equal, molded alike, and open to their edits, a shared buffer still one.
TEST_F(Orubin, RoundTripsValuesTheModulesTake) {
    const Cell vals = run(
        "bin: #{00FF10} vals: reduce [make binary! 0 next #{010203} to binary! \"\u65E5\u672C\" bin bin "
        "to tag! \"a b\" next <t\u65E5g> to email! \"x@y.z\" to ref! \"r\U0001F600\" "
        "1x-2 1.2.3.4 12.5% -10:00:01.5 1-Jan-2000/10:00+2:00 29-Feb-2024 as-point2D 1.5 2 as-point3D 1 2 3 "
        "append/dup copy \"\" \"pad\" 50 make vector! [integer! 16 [1 -2]] make vector! [float! 32 [1.5]]]");
    struct Check {
        const char* what;
        const char* code;  // true when the check holds
    } checks[] = {
        {"equal values", "equal? back vals"},
        {"the same molds", "(mold back) == (mold vals)"},
        {"types kept", "(collect-types back) == (collect-types vals)"},
        {"a binary's position", "2 = index? back/2"},
        {"an edit at a binary's position", "append back/2 #{04}  #{01020304} == head back/2"},
        {"a shared binary stays one", "append back/4 #{EE}  #{00FF10EE} == back/5"},
        {"an empty binary grows", "append back/1 #{AB}  #{AB} == back/1"},
        {"a tag's position and edit", "append back/7 \"!\"  (head back/7) == to tag! \"t\u65E5g!\""},
        {"an email's parts", "\"y.z\" = back/8/host"},
        {"a ref of 4-byte characters", "(length? back/9) = 2"},
        {"date arithmetic", "(back/15 + 1) = 1-Mar-2024"},
        {"a vector's elements and width", "(to block! back/19) == [1 -2]"},
        {"a vector's edit", "(to block! append back/20 2.5) == [1.5 2.5]"},
    };
    run("collect-types: func [b /local out] [out: copy [] foreach v b [append out type? :v] out]");
    for (Form f : {Form::compact, Form::fixed, Form::compact_lz, Form::fixed_lz}) {
        SCOPED_TRACE(form_name(f));
        expect_same(vals, f);
        context::set_global(symbol::make("back"), round_trip(vals, f));
        for (const Check& c : checks) {
            const Cell r = run(c.code);
            EXPECT_TRUE(cell::type_of(r) == type::logic && r.data1) << c.what << ": " << c.code;
        }
    }
}

TEST_F(Orubin, RoundTripsKeepSharingAndBindings) {
    run("shared: [1 2] inner: next shared self-holder: [x] append/only self-holder self-holder "
        "o: make object! [a: 1 b: [a] f: func [x /y z] [x + a + either y [z] [0]]] "
        "e: try [1 / 0] g: func [a b] [a * b]");
    struct Case {
        const char* what;
        const char* text;
        std::function<void(const Cell& back)> check;
    };
    auto eval_with = [&](const Cell& v, const std::string& code) {
        context::set_global(symbol::make("back"), v);
        return run(code);
    };
    const Case cases[] = {
        {"a block written twice is one buffer, a position keeps its head", "reduce [shared shared inner]",
         [&](const Cell& back) {
             SeriesBuffer* s = memory::buffer(cell::node(back));
             EXPECT_EQ(s->cells()[0].data2, s->cells()[1].data2);
             EXPECT_EQ(s->cells()[2].data2, s->cells()[0].data2);
             EXPECT_EQ(s->cells()[2].data1, 1u);
         }},
        {"a block holding itself", "self-holder",
         [&](const Cell& back) { EXPECT_EQ(memory::buffer(cell::node(back))->cells()[1].data2, cell::node(back)); }},
        {"an object whose block and function use its fields", "o",
         [&](const Cell& back) {
             EXPECT_EQ(object::class_of(back), -1);
             EXPECT_EQ(eval_with(back, "back/f/y 1 10").data2, 12u);
         }},
        {"a word met before its object", "reduce [pick o/b 1 o]",
         [&](const Cell& back) {
             const Cell w = memory::buffer(cell::node(back))->cells()[0];
             const Cell obj = memory::buffer(cell::node(back))->cells()[1];
             EXPECT_EQ(w.data1, obj.data1) << "bound to the decoded object";
         }},
        {"a function and its op", "reduce [:g make op! :g]",
         [&](const Cell& back) { EXPECT_EQ(eval_with(back, "times: pick back 2 3 times 4").data2, 12u); }},
        {"an error", "e", [&](const Cell& back) { EXPECT_EQ(error::id_of(back), ErrorId::math_zero_divide); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Cell v = run(c.text);
        for (Form f : {Form::compact, Form::fixed}) {
            expect_same(v, f);
            c.check(round_trip(v, f));
        }
    }
}

TEST_F(Orubin, CompressedDocumentsRoundTrip) {
    const Cell v = run("b: [] loop 200 [append b reduce [\"some text\" 12345 'word 1.5]] b");
    for (Form f : {Form::compact_lz, Form::fixed_lz}) expect_same(v, f);
}

// --- The bytes written --------------------------------------------------------------------

// The payload of a compact document (after its counts and symbol table).
Bytes payload_of(const Bytes& doc) {
    size_t p = 8;
    auto uleb = [&] {
        u32 v = 0;
        for (u32 s = 0;; s += 7) {
            const u8 b = doc[p++];
            v |= u32{b & 0x7Fu} << s;
            if (!(b & 0x80)) return v;
        }
    };
    uleb();
    const u32 size = uleb();
    if (doc[7] & orubin::doc_flag::symbols) {
        const u32 n = uleb(), s = uleb();
        p += 4 * n + s;
    }
    return Bytes(doc.begin() + static_cast<long>(p), doc.begin() + static_cast<long>(p + size));
}

TEST_F(Orubin, WhatTheEncoderWrites) {
    struct Case {
        const char* what;
        const char* text;
        Bytes payload;
    } cases[] = {
        {"0 and 63 in the lead byte, 64 and -1 as sleb", "reduce [0 63 64 -1]",
         {0x05, 0x04, 0x80, 0xBF, 0x0B, 0x80, 0x01, 0x0B, 0x01}},
        {"1.0 and 3.0 short, 1.5 and -0.0 as doubles", "reduce [1.0 3.0 1.5 -0.0]",
         {0x05, 0x04, 0x4C, 0x02, 0x4C, 0x06, 0x0C, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"25% short (n = 25), 12.345% as a double", "reduce [25% 12.345%]",
         {0x05, 0x02, 0x66, 0x32, 0x26, 0x7C, 0xF2, 0xB0, 0x50, 0x6B, 0x9A, 0xBF, 0x3F}},
        {"a tuple of 3 without its length, 1.2.3.4 with it", "reduce [1.2.3 1.2.3.4]",
         {0x05, 0x02, 0x27, 1, 2, 3, 0x67, 4, 1, 2, 3, 4}},
        {"an empty block: count 0", "[]", {0x05, 0x00}},
        {"a block twice: the second a reference [0 0]", "b: [] reduce [b b]",
         {0x05, 0x02, 0x05, 0x00, 0xC1, 0x05, 0x02, 0x00, 0x00}},
        {"a global word is never shared", "[a a]", {0x05, 0x02, 0x0F, 0x00, 0x0F, 0x00}},
        {"new-line prefix", "[\n1]", {0x05, 0x01, 0xC0, 0x81}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Cell v = run(c.text);
        EXPECT_EQ(payload_of(encoded(v, Form::compact)), c.payload);
    }
    const Bytes doc = encoded(run("[a b a]"), Form::compact);
    EXPECT_EQ(Bytes(doc.begin(), doc.begin() + 8), (Bytes{'O', 'R', 'U', 'B', 'I', 'N', 2, 5}));
}

// --- Faults -------------------------------------------------------------------------------------

// A compact document of the payload bytes, with a symbol table of the names.
Bytes compact_doc(const Bytes& payload, const std::vector<std::string>& names = {}) {
    Bytes d{'O', 'R', 'U', 'B', 'I', 'N', 2, static_cast<u8>(names.empty() ? 1 : 5)};
    u8 buf[5];
    auto uleb = [&](u32 v) { d.insert(d.end(), buf, buf + orubin::put_uleb(buf, v)); };
    uleb(1);
    uleb(static_cast<u32>(payload.size()));
    if (!names.empty()) {
        Bytes area;
        uleb(static_cast<u32>(names.size()));
        for (const std::string& n : names) area.insert(area.end(), n.begin(), n.end() + 1);
        uleb(static_cast<u32>(area.size()));
        u32 off = 0;
        for (const std::string& n : names) {
            orubin::write_le32(buf, off);
            d.insert(d.end(), buf, buf + 4);
            off += static_cast<u32>(n.size() + 1);
        }
        d.insert(d.end(), area.begin(), area.end());
    }
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

TEST_F(Orubin, FormatEdgeCases) {
    struct Case {
        const char* what;
        Bytes payload;
        std::optional<ErrorId> error;
    } cases[] = {
        {"0x80 is integer 0, 0xBF integer 63", {0x80, 0xBF}, std::nullopt},
        {"a uleb of five bytes", {0x0B, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F}, std::nullopt},
        {"a fifth uleb byte with bits 4-7", {0x0B, 0xFE, 0xFF, 0xFF, 0xFF, 0x1F}, ErrorId::script_ob_invalid_record},
        {"a string of unit code 3", {0x07, 0x07, 0, 0, 0, 0}, ErrorId::script_ob_invalid_record},
        {"a typeset of 13 bytes", {0x21, 13}, ErrorId::script_ob_invalid_record},
        {"a tuple of 13 bytes", {0x67, 13}, ErrorId::script_ob_invalid_record},
        {"a tuple of 0 bytes", {0x67, 0}, ErrorId::script_ob_invalid_record},
        {"a date with the time bit, no alternate bit", {0x2F, 0x00, 0x00, 0x01, 0x00}, ErrorId::script_ob_invalid_record},
        {"a date with the alternate bit, no time bit", {0x6F, 0x80, 0x10, 0x00, 0x00}, ErrorId::script_ob_invalid_record},
        {"an empty block", {0x05, 0x00}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded d = decode(compact_doc(c.payload));
        EXPECT_EQ(d.error, c.error) << (d.error ? error_id_name(*d.error) : "");
    }
    const Decoded small = decode(compact_doc({0x80, 0xBF}));
    EXPECT_EQ(test::value_at(small.block, 1).data2, 63u);
    const Cell empty = only_value(decode(compact_doc({0x05, 0x00})));
    EXPECT_EQ(memory::buffer(cell::node(empty))->length(), 0u);
    EXPECT_GE(memory::buffer(cell::node(empty))->size, 16) << "room for one cell";
}

}  // namespace

namespace {

// Bytes of a uleb and an sleb, for payloads written by hand.
Bytes uleb(u32 v) {
    u8 b[5];
    return Bytes(b, b + orubin::put_uleb(b, v));
}
Bytes sleb(i32 v) { return uleb(orubin::zigzag(v)); }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes le32(u32 v) { return {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16), static_cast<u8>(v >> 24)}; }

// An object record of one field named by symbol 0, its value given.
Bytes object_of(const Bytes& value, u8 context_flags = 0x1A) {
    return cat({{0x20, 0x00, 0x0E, context_flags, 0x01, 0x00}, value});
}
// A function record: context flags, its word symbols, the spec's records.
Bytes function_of(u8 context_flags, const Bytes& words, const Bytes& spec, u8 spec_count) {
    return cat({{0x18, spec_count, 0x00, 0x0E, context_flags, static_cast<u8>(words.size())}, words,
                {0x05, spec_count}, spec, {0x05, 0x00}});
}

TEST_F(Orubin, RefusedDocuments) {
    const ErrorId bad = ErrorId::script_ob_invalid_record;
    // A type number no datatype has registered yet (0 when all have: the case
    // then reads datatype 0, refused as well).
    u32 unregistered = 0;
    for (u32 t = 1; t <= type::count && !unregistered; t++)
        if (!registry::datatypes[t].name) unregistered = t;
    const std::vector<std::string> ab = {"a", "b", "integer!"};
    Bytes too_deep, deep_enough;
    for (int i = 0; i < 1001; i++) too_deep.insert(too_deep.end(), {0x05, 0x01});
    too_deep.push_back(0x80);
    for (int i = 0; i < 999; i++) deep_enough.insert(deep_enough.end(), {0x05, 0x01});
    deep_enough.push_back(0x80);
    struct Case {
        const char* what;
        Bytes payload;
        std::vector<std::string> names;
        std::optional<ErrorId> error;
    } cases[] = {
        // Prefixes and lead bytes.
        {"a define prefix outside the boot image", {0xC4, 0x0F, 0x00, 0x80}, ab, bad},
        {"a shared prefix before an integer", {0xC1, 0x0B, 0x02}, {}, bad},
        {"a shared prefix before a small integer", {0xC1, 0x80}, {}, bad},
        {"lead byte 0xC5", {0xC5}, {}, bad},
        {"nothing after a prefix", {0xC0}, {}, bad},
        // Counts the bytes left cannot hold: refused before anything is made.
        {"a block of 2^31 - 1 cells", cat({{0x05}, uleb(0x7FFFFFFF)}), {}, bad},
        {"a count of 2^31", cat({{0x05}, uleb(0x80000000)}), {}, bad},
        {"a string of 2^28 characters", cat({{0x07}, uleb(0x40000000 - 4)}), {}, bad},
        {"a context of 2^30 words", cat({{0x0E, 0x02}, uleb(0x40000000)}), {}, bad},
        {"a binary longer than the document", {0x29, 0x05, 1, 2}, {}, bad},
        // Symbols.
        {"a symbol index past the table", {0x0F, 0x05}, ab, bad},
        {"a word without a symbol table", {0x0F, 0x00}, {}, bad},
        {"a name that is not UTF-8", {0x0F, 0x00}, {"\xC3\x28"}, bad},
        // Paths.
        {"a path of 65537 indexes", cat({{0xFF}, uleb(65537), Bytes(65537, 0)}), {}, bad},
        {"a path longer than the bytes left", {0xFF, 0x03, 0x00}, {}, bad},
        {"a path leaving the values", {0x80, 0xFF, 0x01, 0x01}, {}, bad},
        {"a path into a value that holds none", {0x80, 0xFF, 0x02, 0x00, 0x00}, {}, bad},
        // References keep their storage.
        {"a block record on a binary", {0x29, 0x01, 0x07, 0xC1, 0x05, 0x01, 0x00}, {}, bad},
        {"a binary record on a string", {0x07, 0x04, 'x', 0xC1, 0x29, 0x01, 0x00}, {}, bad},
        {"a string record on a block", {0x05, 0x00, 0xC1, 0x07, 0x01, 0x00}, {}, bad},
        {"a hash record on a block", {0x05, 0x00, 0xC1, 0x24, 0x01, 0x00}, {}, bad},
        {"a paren record on a block", {0x05, 0x00, 0xC1, 0x06, 0x01, 0x00}, {}, std::nullopt},
        // Word indexes: inside the context, naming the word's symbol.
        {"a word bound to slot 0 of its object", cat({{0x4F, 0x00}, sleb(0), object_of({0x80})}), ab, std::nullopt},
        {"a word index past its context", cat({{0x4F, 0x00}, sleb(1), object_of({0x80})}), ab, bad},
        {"a word index naming another word", cat({{0x4F, 0x01}, sleb(0), object_of({0x80})}), ab, bad},
        {"a word bound through a path to an integer", {0x80, 0xC1, 0x4F, 0x00, 0x01, 0x01, 0x00}, ab, bad},
        {"an object whose handler is no field", {0x60, 0x00, 0x80, 0x80, 0x08, 0x00, 0x0E, 0x1A, 0x01, 0x00, 0x80}, ab, bad},
        // Natives take the shape of their routine.
        {"native 25 with its shape", {0x15, 25, 0x05, 0x02, 0x0F, 0x00, 0x0F, 0x01}, ab, std::nullopt},
        {"native 1 (if) with no arguments", {0x15, 0x01, 0x05, 0x00}, {}, bad},
        {"native 25 with one argument", {0x15, 25, 0x05, 0x01, 0x0F, 0x00}, ab, bad},
        {"an empty native slot", {0x15, 108, 0x05, 0x00}, {}, bad},
        {"a native slot past the table", cat({{0x15}, uleb(5000), {0x05, 0x00}}), {}, bad},
        {"action 8 (no entry)", {0x16, 0x08, 0x05, 0x00}, {}, bad},
        {"a native whose spec is no block", {0x15, 25, 0x80}, {}, bad},
        // Functions: a valid spec that made their context; ops of functions.
        {"a function", function_of(0x05, {0x00}, {0x0F, 0x00}, 1), ab, std::nullopt},
        {"a function whose context is not its spec's", function_of(0x05, {0x01}, {0x0F, 0x00}, 1), ab, bad},
        {"a spec func refuses", function_of(0x05, {0x00}, {0x0F, 0x00, 0x07, 0x04, 'd', 0x05, 0x01, 0x0F, 0x02}, 3),
         ab, bad},
        {"a function context not on the stack", function_of(0x01, {0x00}, {0x0F, 0x00}, 1), ab, bad},
        {"an object context on the stack", object_of({}, 0x0E), ab, bad},
        {"a context value on the stack", {0x0E, 0x05, 0x00}, {}, bad},
        {"an op of an integer", {0x17, 0x80}, {}, bad},
        {"an op of a one-argument function", cat({{0x17}, function_of(0x05, {0x00}, {0x0F, 0x00}, 1)}), ab, bad},
        // Scalars in their datatype's ranges.
        {"a datatype not registered", {0x01, static_cast<u8>(unregistered)}, {}, bad},
        {"a datatype past the last", {0x01, 60}, {}, bad},
        {"an error code outside the catalog", cat({{0x22}, uleb(399)}), {}, bad},
        {"a code point above 10FFFF", cat({{0x0A}, uleb(0x110000)}), {}, bad},
        {"a 4-byte string above 10FFFF", cat({{0x07, 0x06}, le32(0x110000)}), {}, bad},
        {"month 13", cat({{0x2F}, le32(2020u << 17 | 13 << 12 | 1 << 7)}), {}, bad},
        {"30 February", cat({{0x2F}, le32(2020u << 17 | 2 << 12 | 30 << 7)}), {}, bad},
        {"a zone without a time", cat({{0x2F}, le32(2020u << 17 | 1 << 12 | 1 << 7 | 8)}), {}, bad},
        {"a time past the day", cat({{0x6F}, le32(2020u << 17 | 1 << 16 | 1 << 12 | 1 << 7), {0, 0, 0, 0, 0, 0x18, 0xF5, 0x40}}),
         {}, bad},
        {"a money digit above 9", {0x31, 0, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, bad},
        {"a vector of strings", {0x23, 7 << 2, 0x00}, {}, bad},
        {"a vector of 2-byte floats", {0x23, 12 << 2 | 1, 0x00}, {}, bad},
        {"a tuple of 2 bytes", {0x67, 0x02, 1, 2}, {}, bad},
        // Nesting.
        {"1001 nested blocks", too_deep, {}, ErrorId::internal_too_deep},
        {"999 nested blocks", deep_enough, {}, std::nullopt},
        // Types no document holds.
        {"routine!", {0x1D}, {}, ErrorId::access_no_codec},
        {"triple!", {0x1F}, {}, ErrorId::access_no_codec},
        {"handle!", {0x2E}, {}, ErrorId::access_no_codec},
        {"port!", {0x30}, {}, ErrorId::access_no_codec},
        {"event!", {0x36}, {}, ErrorId::access_no_codec},
        {"map! (until its datatype)", {0x28, 0x00}, {}, ErrorId::access_no_codec},
        {"image! (until its datatype)", {0x35, 0x00, 0x00}, {}, ErrorId::access_no_codec},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded d = decode(compact_doc(c.payload, c.names));
        EXPECT_EQ(d.error, c.error) << (d.error ? error_id_name(*d.error) : "no error");
    }
    EXPECT_EQ(decode(compact_doc({0x22, 0x82, 0x03, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80})).error, std::nullopt)
        << "error 386 with its six fields";
}

// A fixed document of the payload words, without a symbol table.
Bytes fixed_doc(const std::vector<u32>& words) {
    Bytes d{'O', 'R', 'U', 'B', 'I', 'N', 2, 0};
    auto word = [&](u32 v) {
        const Bytes b = le32(v);
        d.insert(d.end(), b.begin(), b.end());
    };
    word(1);
    word(static_cast<u32>(4 * words.size()));
    for (u32 w : words) word(w);
    return d;
}

TEST_F(Orubin, RefusedFixedDocuments) {
    const ErrorId bad = ErrorId::script_ob_invalid_record;
    struct Case {
        const char* what;
        std::vector<u32> words;
        std::optional<ErrorId> error;
    } cases[] = {
        {"a zero word before a float", {0, 0x0C, 0x3FF80000, 0}, std::nullopt},
        {"a type 0 word with flags", {0x100}, bad},
        {"a logic of 2", {0x04, 2}, bad},
        {"a shared block without its reference record", {0x80005, 0, 0x0B, 1}, bad},
        {"a shared block with its reference record", {0x05, 0, 0, 0x80005, 0, 0xFF, 1, 0}, std::nullopt},
        {"a tuple of 2 bytes", {0x227, 0x0201, 0, 0}, bad},
        {"a string of 3-byte units", {0x307, 0, 1, 0}, bad},
        {"a block of more cells than words left", {0x05, 0, 1000}, bad},
        {"an op stated to wrap an action, wrapping a native (continue)", {0x160017, 0x15, 78, 0x05, 0, 0}, bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(fixed_doc(c.words)).error, c.error);
    }
}

TEST_F(Orubin, HeaderFaultsAndPositions) {
    struct Case {
        const char* what;
        Bytes doc;
        std::optional<ErrorId> error;
        i32 position;
    } cases[] = {
        {"not ORUBIN", {'O', 'R', 'U', 'B', 'I', 'X', 2, 1, 1, 0}, ErrorId::script_invalid_data, 0},
        {"seven bytes", {'O', 'R', 'U', 'B', 'I', 'N', 2}, ErrorId::script_invalid_data, 0},
        {"a corrupt compressed body", {'O', 'R', 'U', 'B', 'I', 'N', 2, 3, 9, 9, 9, 9, 9, 9, 9, 9},
         ErrorId::script_invalid_data, 0},
        {"a fixed document of fewer than 8 bytes", {'O', 'R', 'U', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0},
         ErrorId::script_invalid_data, 0},
        // The position is the byte the failing read started at, 1-based.
        {"a bad lead byte", compact_doc({0x80, 0xC5}), ErrorId::script_ob_invalid_record, 12},
        {"a payload past the end", {'O', 'R', 'U', 'B', 'I', 'N', 2, 1, 1, 5, 0x80}, ErrorId::script_ob_invalid_record,
         10},
        {"a name area not ending in 0", {'O', 'R', 'U', 'B', 'I', 'N', 2, 5, 1, 0, 1, 1, 0, 0, 0, 0, 'a'},
         ErrorId::script_ob_invalid_record, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded d = decode(c.doc);
        EXPECT_EQ(d.error, c.error);
        if (c.position) {
            EXPECT_EQ(d.position, c.position);
        }
    }

    // In a compressed document: 8 + the position in the expanded bytes.
    Bytes body = cat({uleb(1), uleb(201), Bytes(200, 0x80), {0xC5}});
    Bytes packed(body.size());
    const i64 n = lz::compress(body.data(), body.size(), packed.data());
    ASSERT_GT(n, 0);
    Bytes doc{'O', 'R', 'U', 'B', 'I', 'N', 2, 3};
    doc.insert(doc.end(), packed.begin(), packed.begin() + n);
    const Decoded d = decode(doc);
    EXPECT_EQ(d.error, ErrorId::script_ob_invalid_record);
    EXPECT_EQ(d.position, 8 + 203 + 1);
    EXPECT_EQ(memory::buffer(cell::node(d.block))->length(), 200u) << "what was decoded stays";
}

TEST_F(Orubin, EncoderRefusals) {
    Cell nested = run("[]");
    for (int i = 0; i < 1000; i++) nested = block_of({nested});
    EXPECT_EQ(test::error_of([&] { orubin::encode_cp(nested); }), ErrorId::internal_too_deep);
    // Cells the collector can walk without a datatype behind them.
    for (u32 t : {type::handle, type::triple, type::event}) {
        SCOPED_TRACE(t);
        const Cell v = block_of({cell::integer(1), cell::make(t, 0, 0, ~0u)});
        EXPECT_EQ(test::error_of([&] { orubin::encode_cp(v); }), ErrorId::access_no_codec);
        EXPECT_EQ(test::error_of([&] { orubin::encode(v); }), ErrorId::access_no_codec);
        EXPECT_EQ(cell::type_of(pending_error.args[0]), t) << "the value";
    }
}

TEST_F(Orubin, BootImages) {
    const i32 before = static_cast<i32>(memory::buffer(root_block())->length());
    const Cell obj = run("make object! [a: 1 b: 2]");
    const Cell fn = run("func [x] [x + 1]");
    orubin::BootWriter w;
    w.record(obj);
    w.record(cell::integer(7));
    Cell b = word::of_symbol(symbol::make("b"));
    b.data1 = obj.data1;
    b.data3 = 1;
    w.record(block_of({b}));
    w.define(word::of_symbol(symbol::make("booted")), cell::integer(42));
    w.record(fn);
    const Bytes doc = w.document();
    EXPECT_EQ(Bytes(doc.begin(), doc.begin() + 8), (Bytes{'O', 'R', 'U', 'B', 'I', 'N', 1, 5}));
    EXPECT_EQ(w.records(), 4);

    orubin::boot_load(doc.data(), doc.size(), false);
    EXPECT_EQ(orubin::literal_base(), before);
    EXPECT_EQ(static_cast<i32>(memory::buffer(root_block())->length()), before + 4) << "the define takes no place";
    EXPECT_EQ(context::global_slot(symbol::make("booted"))->data2, 42u);
    const Cell* root = memory::buffer(root_block())->cells() + before;
    EXPECT_EQ(object::class_of(root[0]), object::class_of(obj)) << "the boot image keeps class ids";
    const Cell word = memory::buffer(cell::node(root[2]))->cells()[0];
    EXPECT_EQ(word.data1, root[0].data1) << "bound by record number";
    EXPECT_EQ(word.data3, 1u);
    EXPECT_TRUE(collector::enabled_q()) << "the collector's setting is put back";
    orubin::boot_load(doc.data(), doc.size(), true);
    EXPECT_EQ(orubin::literal_base(), before) << "kept";

    struct Case {
        const char* what;
        Bytes payload;
        std::optional<ErrorId> error;
    } cases[] = {
        {"a record number past the decoded ones", {0x4F, 0x00, 0x09, 0x00}, ErrorId::script_ob_invalid_record},
        {"a record holding no context", {0x80, 0x4F, 0x00, 0x00, 0x00}, ErrorId::script_ob_invalid_record},
        {"a define into a function's context", cat({function_of(0x05, {0x00}, {0x0F, 0x00}, 1),
                                                    {0xC4, 0x4F, 0x00, 0x00, 0x00, 0x80}}),
         ErrorId::script_ob_invalid_record},
        {"a define of an integer", {0xC4, 0x80, 0x80}, ErrorId::script_ob_invalid_record},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes d = compact_doc(c.payload, {"a"});
        d[6] = orubin::boot_version;
        EXPECT_EQ(decode(d, false).error, c.error);
    }
    // A header fault: raised when asked, else the process ends with status 1.
    const Bytes junk{'N', 'O', 'P', 'E', 0, 0, 0, 0};
    EXPECT_EQ(decode(junk, false, false).error, ErrorId::script_invalid_data);
    EXPECT_EXIT(orubin::decode(junk.data(), junk.size(), cell::make(type::block, 0, root_block()), false,
                               cell::make(type::none)),
                ::testing::ExitedWithCode(1), "");
}

}  // namespace
