// The ORUBIN decoder: the document header, the symbol table, and one record
// reader for both forms.
//
// Records are read by one template over the form (Compact, Fixed below): the
// form reads fields (LEB128 or 32-bit words, the lead byte or the header
// word) and the template builds values with the runtime's own makers. Every
// value is appended to its block before what it holds is read, so that a
// reference path written inside it can reach it; anything made meanwhile
// hangs from an appended value or from the data stack, never from a C++
// local, because any allocation may collect. Input bytes are read through a
// pointer into memory that never moves.
//
// Nothing read is trusted: counts are checked against the bytes left before
// anything is allocated for them, symbol indexes and offsets against the
// table, word indexes against the context that binds them, references
// against the storage of the record that takes them, natives against the
// shape of their routine (native::shape_fits), functions against their
// spec, scalars against the ranges of their datatype. A fault raises
// script/ob-invalid-record with the 1-based position of the byte the reader
// is at (for a compressed document: 8 + the position in the expanded
// bytes).
#include "codecs/lz.h"
#include "codecs/orubin.h"
#include "codecs/orubin_format.h"
#include "codecs/lexer_values.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/system.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace oru::orubin {

bool codec_q = false;

namespace {

i32 kept_literal_base = -1;

constexpr u32 sflag_complemented = 0x80000;  // bitset! buffers: every number past the bytes is a member

inline Cell block_of(Node n, i32 head = 0) { return cell::make(type::block, static_cast<u32>(head), n, 0); }
inline i32 length_of(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }
inline Cell cell_at(Node n, i32 i) { return memory::buffer(n)->cells()[i]; }
inline Cell* cell_ptr(Node n, i32 i) { return memory::buffer(n)->cells() + i; }

bool function_like_q(u32 t) {
    return t == type::native || t == type::action || t == type::op || t == type::function || t == type::routine;
}

// Cells pushed to keep what a C++ local holds, dropped when the scope ends
// normally (an error unwinding leaves the stack to the code that catches it).
class Held {
public:
    void keep(const Cell& c) { stack::push_value(c); }

private:
    stack::Mark mark_;
};

// What a lead byte or header word says.
struct Lead {
    enum Kind { value, small_integer, logic, reference } kind = value;
    u32 type = 0;
    bool alt = false;       // compact: the alternate form
    bool new_line = false;
    bool shared = false;    // a reference path replaces the contents
    bool define = false;    // boot documents: the word is set to the next record
    u32 header = 0;         // fixed: the header word
    i32 small = 0;          // small integers and logic values
};

// A context record's fields.
struct ContextHead {
    u32 kind = 0;
    bool stack = false;
    bool self = false;
    bool values = false;
    i32 words = 0;
};

// How a word record binds.
struct Binding {
    enum Mode { global, root_record, shared_owner, inline_owner } mode = global;
    i32 record = 0;  // boot: the root record, counted from the document's first
    i32 index = -1;  // the word's slot, -1 to look it up by its symbol
};

class Decoder;

// --- The compact form -----------------------------------------------------------

class Compact {
public:
    explicit Compact(Decoder& d) : d_(d) {}
    Lead lead();
    u32 uleb();
    i32 count();
    i32 sleb();
    u32 word32();
    double float64();  // low word first
    void path(std::vector<u32>& out);

    u32 datatype_number(const Lead&) { return uleb(); }
    u32 code_point(const Lead&) { return uleb(); }
    i32 integer(const Lead&) { return sleb(); }
    double number(const Lead& l) {
        if (!l.alt) return float64();
        const i32 n = sleb();
        return l.type == type::percent ? n / 100.0 : static_cast<double>(n);
    }
    void pair(i32& x, i32& y) { x = sleb(), y = sleb(); }
    void date(const Lead& l, u32& packed, double& time, bool& has_time);
    Cell typeset();
    i32 tuple(const Lead& l, u8* bytes);
    void money(const Lead& l, u8* bytes, bool& negative);
    u32 symbol_index() { return uleb(); }
    i32 head(const Lead& l) { return l.alt ? count() : 0; }
    void string_shape(const Lead& l, u32& unit, i32& n);
    void vector_shape(const Lead& l, u32& element_type, u32& unit, i32& n);
    bool complemented(const Lead& l) { return l.alt; }
    void bytes(u8* out, size_t n);
    Binding binding(const Lead& l, bool boot);
    ContextHead context(const Lead&);
    ContextHead expect_context();
    i32 class_id() { return sleb(); }
    bool on_change(const Lead& l, u32& first, u32& second) {
        if (!l.alt) return false;
        first = static_cast<u32>(sleb()), second = static_cast<u32>(sleb());
        return true;
    }
    u32 op_type(const Lead& l);
    void shared_path(std::vector<u32>& out) { path(out); }
    // The least bytes a record takes.
    static constexpr size_t record_size = 1;

private:
    Decoder& d_;
};

// --- The fixed form ---------------------------------------------------------------

class Fixed {
public:
    explicit Fixed(Decoder& d) : d_(d) {}
    Lead lead();
    u32 word32();
    i32 count();
    double float64();  // high word first
    void path(std::vector<u32>& out);

    u32 datatype_number(const Lead&) { return word32(); }
    u32 code_point(const Lead&) { return word32(); }
    i32 integer(const Lead&) { return static_cast<i32>(word32()); }
    double number(const Lead&) { return float64(); }
    void pair(i32& x, i32& y) { x = static_cast<i32>(word32()), y = static_cast<i32>(word32()); }
    void date(const Lead& l, u32& packed, double& time, bool& has_time);
    Cell typeset();
    i32 tuple(const Lead& l, u8* bytes);
    void money(const Lead& l, u8* bytes, bool& negative);
    u32 symbol_index() { return word32(); }
    i32 head(const Lead&) { return count(); }
    void string_shape(const Lead& l, u32& unit, i32& n);
    void vector_shape(const Lead& l, u32& element_type, u32& unit, i32& n);
    bool complemented(const Lead& l) { return (l.header & fixed::complemented) != 0; }
    void bytes(u8* out, size_t n);
    Binding binding(const Lead& l, bool boot);
    ContextHead context(const Lead& l);
    ContextHead expect_context();
    i32 class_id() { return static_cast<i32>(word32()); }
    bool on_change(const Lead& l, u32& first, u32& second) {
        if (!(l.header & fixed::on_change)) return false;
        first = word32(), second = word32();
        return true;
    }
    u32 op_type(const Lead& l) { return (l.header >> fixed::op_type_shift) & 0xFF; }
    void shared_path(std::vector<u32>& out);
    static constexpr size_t record_size = 4;

private:
    Decoder& d_;
};

// --- The decoder ------------------------------------------------------------------

class Decoder {
public:
    Decoder(bool codec, Node target) : codec(codec), target(target) {}

    // Input: bytes [start, end) of which p is the next; a position is
    // reported as p - start + origin + 1.
    const u8* start = nullptr;
    const u8* p = nullptr;
    const u8* end = nullptr;
    const u8* field = nullptr;
    i64 origin = 0;

    const bool codec;
    const Node target;
    i32 root_base = 0;  // boot: cells the root block held before

    // The fault's position: the 1-based index in the document of the byte
    // that the last read started at.
    [[noreturn]] void invalid() const {
        const i64 pos = ((field ? field : p) - start) + origin + 1;
        fire(ErrorId::script_ob_invalid_record, cell::integer(static_cast<i32>(std::min<i64>(pos, INT32_MAX))));
    }
    size_t left() const { return static_cast<size_t>(end - p); }
    // Every read starts here: n more bytes must be there.
    void need(size_t n) {
        field = p;
        if (left() < n) invalid();
    }
    u8 byte() {
        need(1);
        return *p++;
    }

    // The symbol table.
    void set_symbols(const u8* offsets, u32 count, const u8* names, u32 size) {
        offsets_ = offsets, symbol_count_ = count, names_ = names, names_size_ = size;
        ids_.assign(count, 0);
        words_.assign(count, Cell{});
    }
    i32 symbol(u32 index);
    Cell global_word(u32 index);

    template <class F> void records(F& f, const u8* payload_end);

private:
    struct Depth {
        explicit Depth(Decoder& d) : d_(d) {
            if (++d_.depth_ > max_depth) fire(ErrorId::internal_too_deep);
        }
        ~Depth() { d_.depth_--; }
        Decoder& d_;
    };

    template <class F> void record(F& f, Node into);
    template <class F> Cell shared(F& f, const Lead& l, i32 head);
    template <class F> void series(F& f, const Lead& l, Node into);
    template <class F> void word(F& f, const Lead& l, Node into);
    template <class F> void context_value(F& f, const Lead& l, Node into);
    template <class F> void object(F& f, const Lead& l, Node into, i32 word_at);
    template <class F> void function(F& f, const Lead& l, Node into, i32 word_at);
    template <class F> Cell function_block(F& f, Node prepared, bool body);
    template <class F> void error(F& f, const Lead& l, Node into);
    template <class F> void native(F& f, const Lead& l, Node into);
    template <class F> void op(F& f, const Lead& l, Node into);
    template <class F> void values(F& f, Node block, i32 from, i32 count);
    template <class F> Node make_context(F& f, const ContextHead& h, Held& held);

    i32 put(Node into, const Cell& value, bool new_line) {
        Cell v = value;
        v.header = (v.header & ~flag::new_line) | (new_line ? flag::new_line : 0);
        const i32 at = length_of(into);
        *memory::alloc_tail(into) = v;
        return at;
    }
    Cell step(const Cell& v, u32 k);
    Cell resolve(const std::vector<u32>& path);
    Node context_of_value(const Cell& v) const;
    void bind(Node into, i32 word_at, Node ctx, i32 index);
    void define(Node into, i32 word_at);

    const u8* offsets_ = nullptr;
    u32 symbol_count_ = 0;
    const u8* names_ = nullptr;
    u32 names_size_ = 0;
    std::vector<i32> ids_;    // interned ids by table index, 0 until needed
    std::vector<Cell> words_; // global words by table index, type 0 until needed
    std::vector<u32> path_;
    i32 depth_ = 0;

    friend class Compact;
    friend class Fixed;
};

i32 Decoder::symbol(u32 index) {
    if (index >= symbol_count_) invalid();
    if (ids_[index]) return ids_[index];
    const u32 offset = read_le32(offsets_ + 4 * size_t{index});
    if (offset >= names_size_) invalid();  // bit 31 set is past any name area
    const u8* name = names_ + offset;
    const size_t n = std::strlen(reinterpret_cast<const char*>(name));  // the area ends in a 0 byte
    // A name is valid UTF-8 and at least one character.
    if (n == 0) invalid();
    for (const u8* q = name; q < name + n;) {
        i32 cp;
        q = unicode::fast_decode_utf8_char(q, name + n, &cp);
        if (cp < 0) invalid();
    }
    return ids_[index] = symbol::make_from(name, static_cast<i32>(n));
}

Cell Decoder::global_word(u32 index) {
    const i32 sym = symbol(index);
    if (cell::type_of(words_[index]) == 0) words_[index] = word::of_symbol(sym);
    return words_[index];
}

// One step of a path: the cell at index k inside v (see the format's table).
Cell Decoder::step(const Cell& v, u32 k) {
    const u32 t = cell::type_of(v);
    Node list = 0;
    u32 from = 0;
    switch (t) {
        case type::block: case type::paren: case type::path: case type::lit_path: case type::set_path:
        case type::get_path: case type::hash: case type::map: case type::native: case type::action:
            list = cell::node(v);
            break;
        case type::word: case type::set_word: case type::lit_word: case type::get_word: case type::refinement: {
            const Node ctx = word::context_of(v);
            // A document reaches its own values only: never the global context.
            if (!ctx || ctx == context::global) invalid();
            if (context::on_stack_q(ctx)) {
                const Cell fn = *context::self(ctx);
                if (cell::type_of(fn) != type::function) invalid();
                return step(fn, k);
            }
            list = context::cell_of(ctx)->data2;
            break;
        }
        case type::object: case type::error:
            if (context::on_stack_q(v.data1)) invalid();
            list = context::cell_of(v.data1)->data2;
            if (t == type::error) from = error::field::arg1;
            break;
        case type::op:
            if (op::wrapped_type(v) != type::function) {
                if (k != 0) invalid();
                return block_of(v.data2);
            }
            [[fallthrough]];
        case type::function:
            if (k == 0) return block_of(function::spec_of(v));
            if (k == 1) return cell_at(function::extra_of(v), function::extra::body);
            invalid();
        default:
            invalid();
    }
    const u32 n = static_cast<u32>(length_of(list));
    if (n < from || k >= n - from) invalid();
    return cell_at(list, static_cast<i32>(from + k));
}

// The value a path leads to from the target block. A copy; nothing kept.
Cell Decoder::resolve(const std::vector<u32>& path) {
    Cell v = block_of(target);
    for (const u32 k : path) v = step(v, k);
    return v;
}

// The context a value binds words to: a word's, an object's, an error's, a
// function's (or an op's of one). 0 for anything else.
Node Decoder::context_of_value(const Cell& v) const {
    const u32 t = cell::type_of(v);
    Node ctx = 0;
    if (word::any_word_type_q(t) && t != type::issue) ctx = word::context_of(v);
    else if (t == type::object || t == type::error || t == type::function) ctx = v.data1;
    else if (t == type::op && op::wrapped_type(v) == type::function) ctx = v.data1;
    return ctx == context::global ? 0 : ctx;
}

// Binds the word at into[word_at] to ctx: slot `index` must name the word's
// symbol, -1 looks the symbol up (only `self` may stay unresolved).
void Decoder::bind(Node into, i32 word_at, Node ctx, i32 index) {
    const i32 sym = word::symbol_of(cell_at(into, word_at));
    if (index >= 0) {
        if (index >= context::length(ctx) ||
            symbol::canonical(word::symbol_of(*context::word_at(ctx, index))) != symbol::canonical(sym))
            invalid();
    } else if (index == -1) {
        index = context::find_word(ctx, sym, true);
        if (index < 0 && symbol::canonical(sym) != symbol::canonical(words::sym::self)) invalid();
    } else {
        invalid();
    }
    Cell* w = cell_ptr(into, word_at);
    w->data1 = ctx;
    w->data3 = static_cast<u32>(index);
}

// A define record (boot): the word at into[word_at] is set to the value after
// it, then both are dropped. Only global and object contexts are set.
void Decoder::define(Node into, i32 word_at) {
    if (length_of(into) != word_at + 2) invalid();
    Cell w = cell_at(into, word_at);
    const Cell v = cell_at(into, word_at + 1);
    const Node ctx = word::context_of(w);
    if (!ctx || context::on_stack_q(ctx) ||
        (ctx != context::global && context::kind_of(ctx) != context::kind::object))
        invalid();
    context::set_in(w, v, ctx, false);
    memory::buffer(into)->tail -= 2 * sizeof(Cell);
}

template <class F>
void Decoder::records(F& f, const u8* payload_end) {
    end = payload_end;
    while (p < end) record(f, target);
}

template <class F>
void Decoder::record(F& f, Node into) {
    Depth depth(*this);
    const Lead l = f.lead();
    switch (l.kind) {
        case Lead::small_integer: put(into, cell::integer(l.small), l.new_line); return;
        case Lead::logic: put(into, cell::make(type::logic, static_cast<u32>(l.small)), l.new_line); return;
        case Lead::reference:
            f.path(path_);
            put(into, resolve(path_), l.new_line);
            return;
        case Lead::value: break;
    }
    const u32 t = l.type;
    if (t == 0 || t > type::count || t == type::symbol || t == type::series) invalid();
    if (refused_q(t) || t == type::map || t == type::image) fire(ErrorId::access_no_codec, datatype::make(t));
    if (l.define && !word::any_word_type_q(t)) invalid();
    if (l.shared && !shared_kind_q(t)) invalid();
    switch (t) {
        case type::datatype: {
            const u32 n = f.datatype_number(l);
            if (n == 0 || n >= registry::table_types || !registry::datatypes[n].name) invalid();
            put(into, datatype::make(n), l.new_line);
            return;
        }
        case type::unset: case type::none: put(into, cell::make(t), l.new_line); return;
        case type::logic: {  // the fixed form only: a typed logic! in the compact form is invalid
            if (f.record_size == 1) invalid();
            const u32 v = f.word32();
            if (v > 1) invalid();
            put(into, cell::make(type::logic, v), l.new_line);
            return;
        }
        case type::char_: {
            const u32 cp = f.code_point(l);
            if (cp > 0x10FFFF) invalid();
            put(into, cell::make(type::char_, 0, cp), l.new_line);
            return;
        }
        case type::integer: put(into, cell::integer(f.integer(l)), l.new_line); return;
        case type::float_: put(into, cell::float_(f.number(l)), l.new_line); return;
        case type::percent: put(into, percent::make(f.number(l)), l.new_line); return;
        case type::time: put(into, time::make(f.number(l)), l.new_line); return;
        case type::pair: {
            i32 x, y;
            f.pair(x, y);
            put(into, pair::make(x, y), l.new_line);
            return;
        }
        case type::point2D: {
            const u32 x = f.word32(), y = f.word32();
            put(into, cell::make(type::point2D, x, y), l.new_line);
            return;
        }
        case type::point3D: {
            const u32 x = f.word32(), y = f.word32(), z = f.word32();
            put(into, cell::make(type::point3D, x, y, z), l.new_line);
            return;
        }
        case type::date: {
            u32 packed;
            double time;
            bool has_time;
            f.date(l, packed, time, has_time);
            const i32 year = static_cast<i32>(packed) >> 17;
            const i32 month = static_cast<i32>((packed >> 12) & 15), day = static_cast<i32>((packed >> 7) & 31);
            const u32 zone = packed & 127;
            if (has_time != ((packed & date::has_time_flag) != 0)) invalid();
            if (day < 1 || day > date::days_in_month(year, month)) invalid();
            if (has_time) {
                // The local time of day, time + zone offset, lies in [0, 86400).
                const double local = time + date::zone_seconds(zone);
                if (!std::isfinite(time) || !(local >= 0.0 && local < 86400.0)) invalid();
            } else if (zone != 0 || time != 0.0 || std::signbit(time)) {
                invalid();
            }
            Cell c = cell::float_(time);
            c.header = type::date;
            c.data1 = packed;
            put(into, c, l.new_line);
            return;
        }
        case type::typeset: put(into, f.typeset(), l.new_line); return;
        case type::tuple: {
            u8 bytes[12] = {};
            const i32 n = f.tuple(l, bytes);
            put(into, tuple::make(bytes, n), l.new_line);
            return;
        }
        case type::money: {
            u8 bytes[12];
            bool negative;
            f.money(l, bytes, negative);
            for (i32 k = 1; k < 12; k++)
                if ((bytes[k] >> 4) > 9 || (bytes[k] & 15) > 9) invalid();
            Cell c = cell::make(type::money | (negative ? money::negative_flag : 0));
            std::memcpy(&c.data1, bytes, sizeof bytes);
            put(into, c, l.new_line);
            return;
        }
        case type::issue: case type::word: case type::set_word: case type::lit_word: case type::get_word:
        case type::refinement:
            word(f, l, into);
            return;
        case type::context: context_value(f, l, into); return;
        case type::object: object(f, l, into, -1); return;
        case type::function: function(f, l, into, -1); return;
        case type::error: error(f, l, into); return;
        case type::native: case type::action: native(f, l, into); return;
        case type::op: op(f, l, into); return;
        default: series(f, l, into); return;
    }
}

// The value a shared record refers to, made into a value of the record's
// type: only from the same storage (a block record also takes the spec
// block of a function-like value, whose spec node is a block's), with the
// record's head index (a position past the tail counts as the tail).
template <class F>
Cell Decoder::shared(F& f, const Lead& l, i32 head) {
    f.shared_path(path_);
    Cell v = resolve(path_);
    const u32 from = cell::type_of(v);
    const Storage want = storage_of(l.type);
    if (storage_of(from) != want && !(want == Storage::cells && function_like_q(from))) invalid();
    if (want == Storage::cells || want == Storage::chars) v.data3 = 0;
    v.header = l.type;
    if (l.type != type::bitset) v.data1 = static_cast<u32>(std::min(head, length_of(cell::node(v))));
    return v;
}

template <class F>
void Decoder::series(F& f, const Lead& l, Node into) {
    const u32 t = l.type;
    const i32 head = t == type::bitset ? 0 : f.head(l);
    if (head < 0) invalid();
    if (l.shared) {
        put(into, shared(f, l, head), l.new_line);
        return;
    }
    const i32 at = put(into, cell::make(type::none), l.new_line);
    switch (storage_of(t)) {
        case Storage::cells: case Storage::hash: {
            const i32 n = f.count();
            if (static_cast<size_t>(n) > left() / f.record_size) invalid();
            const Node node = memory::alloc_cells(n > 0 ? n : 1);
            *cell_ptr(into, at) = cell::make(t | (l.new_line ? flag::new_line : 0), static_cast<u32>(std::min(head, n)), node);
            if (t == type::hash) {
                // The index is made over the empty block, so that a copy of the
                // value taken while its cells are read has it too.
                const Cell empty = block_of(node);
                const Node table = hashtable::init(n, &empty, hashtable::kind::hash, 0);
                cell_ptr(into, at)->data3 = table;
            }
            for (i32 k = 0; k < n; k++) record(f, node);
            if (t == type::hash) hashtable::put_block(cell_at(into, at).data3, oru::series::item_of(node, 0), 1);
            return;
        }
        case Storage::chars: case Storage::bytes: case Storage::vector: case Storage::bitset: {
            u32 unit = 1, element = 0;
            i32 n = 0;
            if (t == type::vector) f.vector_shape(l, element, unit, n);
            else if (storage_of(t) == Storage::chars) f.string_shape(l, unit, n);
            else n = f.count();
            const u64 size = static_cast<u64>(n) * unit;
            if (size > left()) invalid();
            const Node node = memory::alloc_codepoints(n, unit);
            SeriesBuffer* s = memory::buffer(node);
            u8* data = s->data() + s->head;
            f.bytes(data, size);
            if (unit == 4 && t != type::vector)
                for (u64 k = 0; k < size; k += 4)
                    if (string::get_char(data + k, 4) > 0x10FFFF) invalid();
            s->tail = s->head + static_cast<u32>(size);
            if (t == type::bitset && f.complemented(l)) s->flags |= sflag_complemented;
            *cell_ptr(into, at) = cell::make(t | (l.new_line ? flag::new_line : 0), static_cast<u32>(std::min(head, n)),
                                             node, t == type::vector ? element : 0);
            return;
        }
        default: invalid();
    }
}

template <class F>
void Decoder::word(F& f, const Lead& l, Node into) {
    const u32 index = f.symbol_index();
    const i32 sym = symbol(index);
    if (l.type == type::issue) {
        if (l.shared) invalid();
        const i32 at = put(into, issue::of_symbol(sym), l.new_line);
        if (l.define) {
            record(f, into);
            define(into, at);
        }
        return;
    }
    const Binding b = f.binding(l, !codec);
    Cell w = b.mode == Binding::global ? global_word(index) : cell::make(type::word, 0, static_cast<u32>(sym), ~0u);
    w.header = l.type;
    const i32 at = put(into, w, l.new_line);
    switch (b.mode) {
        case Binding::global: break;
        case Binding::root_record: {
            const i32 slot = root_base + b.record;
            if (b.record < 0 || slot >= length_of(target)) invalid();
            const Node ctx = context_of_value(cell_at(target, slot));
            if (!ctx) invalid();
            bind(into, at, ctx, b.index);
            break;
        }
        case Binding::shared_owner: {
            f.shared_path(path_);
            const Node ctx = context_of_value(resolve(path_));
            if (!ctx) invalid();
            bind(into, at, ctx, b.index);
            break;
        }
        case Binding::inline_owner: {
            const Lead owner = f.lead();
            if (owner.kind != Lead::value || owner.shared || owner.define || owner.new_line) invalid();
            // The owner binds the word (with its index) once its context has
            // its words, before its values are read.
            cell_ptr(into, at)->data3 = static_cast<u32>(b.index);
            if (owner.type == type::object) object(f, owner, into, at);
            else if (owner.type == type::function) function(f, owner, into, at);
            else invalid();
            break;
        }
    }
    if (l.define) {
        record(f, into);
        define(into, at);
    }
}

// A context with the record's words, held on the data stack by `held`.
template <class F>
Node Decoder::make_context(F& f, const ContextHead& h, Held& held) {
    if (static_cast<size_t>(h.words) > left() / f.record_size) invalid();
    const Node ctx = context::create(h.words, h.stack, h.self, 0, h.kind);
    held.keep(object::make_cell(ctx, 0, 0));
    for (i32 k = 0; k < h.words; k++) {
        const i32 sym = symbol(f.symbol_index());
        // Each name once: a context has one slot per name, whatever its case.
        if (context::find_word(ctx, sym, true) >= 0) invalid();
        i32 slot;
        context::find_word_in(ctx, sym, false, true, &slot);
    }
    return ctx;
}

// Reads `count` records into the values block from cell `from` on; exactly
// that many values must come.
template <class F>
void Decoder::values(F& f, Node block, i32 from, i32 count) {
    SeriesBuffer* s = memory::buffer(block);
    s->tail = s->head + static_cast<u32>(from) * sizeof(Cell);
    for (i32 k = 0; k < count; k++) record(f, block);
    if (length_of(block) != from + count) invalid();
}

// A context record standing as a value: an object! of class -1 holding it.
// Outside the boot image it is an object's context as any other: its values
// not on the data stack, not of a function's kind.
template <class F>
void Decoder::context_value(F& f, const Lead& l, Node into) {
    if (l.shared || l.define) invalid();
    const ContextHead h = f.context(l);
    if (codec && (h.stack || h.kind == context::kind::function)) invalid();
    Held held;
    const Node ctx = make_context(f, h, held);
    const Cell obj = object::make_cell(ctx, -1, 0);
    put(into, obj, l.new_line);
    *context::self(ctx) = obj;
    if (h.values && !h.stack) values(f, context::cell_of(ctx)->data2, 0, h.words);
}

// An object: placed as a value (word_at < 0), or as the owner whose context
// binds the word at into[word_at].
template <class F>
void Decoder::object(F& f, const Lead& l, Node into, i32 word_at) {
    if (l.shared) {
        f.shared_path(path_);
        const Node ctx = context_of_value(resolve(path_));
        if (!ctx || cell::type_of(*context::self(ctx)) != type::object) invalid();
        put(into, *context::self(ctx), l.new_line);
        return;
    }
    const i32 class_id = f.class_id();
    u32 change = 0, deep = 0;
    const bool handlers = f.on_change(l, change, deep);
    const ContextHead h = f.expect_context();
    if (h.stack || h.kind == context::kind::function) invalid();
    Held held;
    const Node ctx = make_context(f, h, held);
    Node record = 0;
    if (handlers) {
        // A handler's field index is -1 or a field of this context.
        auto index = [&](u32 v) {
            const i32 i = static_cast<i32>(v) >> 16;
            if (i < -1 || i >= h.words) invalid();
            return i;
        };
        record = object::make_on_set_record(index(change), static_cast<i32>(change & 0xFFFF), index(deep),
                                            static_cast<i32>(deep & 0xFFFF), 0, 0);
        held.keep(block_of(record));
    }
    const Cell obj = object::make_cell(ctx, codec ? -1 : class_id, record);
    if (word_at < 0) put(into, obj, l.new_line);
    else bind(into, word_at, ctx, word::index_of(cell_at(into, word_at)));
    *context::self(ctx) = obj;
    if (h.values) values(f, context::cell_of(ctx)->data2, 0, h.words);
}

// A function: its context, a function value over prepared spec and body
// blocks (placed before they are read, so that references inside reach
// it), then the spec and the body. The spec must be one `func` accepts and
// the context must have one slot per name of it, in its order.
template <class F>
void Decoder::function(F& f, const Lead& l, Node into, i32 word_at) {
    if (l.shared) {
        f.shared_path(path_);
        const Cell v = resolve(path_);
        const u32 t = cell::type_of(v);
        Cell fn = cell::make(type::none);
        if (t == type::function) fn = v;
        else if (const Node ctx = t == type::op || word::any_word_type_q(t) ? context_of_value(v) : 0)
            fn = *context::self(ctx);
        if (cell::type_of(fn) != type::function) invalid();
        put(into, fn, l.new_line);
        return;
    }
    const i32 spec_size = f.count(), body_size = f.count();
    if (static_cast<size_t>(spec_size) > left() || static_cast<size_t>(body_size) > left()) invalid();
    const ContextHead h = f.expect_context();
    if (!h.stack || h.kind != context::kind::function) invalid();
    Held held;
    const Node ctx = make_context(f, h, held);
    const Node spec = memory::alloc_cells(std::max(spec_size, 1));
    held.keep(block_of(spec));
    const Node body = memory::alloc_cells(std::max(body_size, 1));
    held.keep(block_of(body));
    const Node extra = memory::alloc_cells(function::extra::cells);
    held.keep(block_of(extra));
    for (i32 k = 0; k < function::extra::cells; k++) *memory::alloc_tail(extra) = cell::make(type::unset);
    *cell_ptr(extra, function::extra::body) = block_of(body);
    const Cell fn = cell::make(type::function, ctx, spec, extra);
    const i32 at = word_at < 0 ? put(into, fn, l.new_line) : word_at;
    if (word_at >= 0) bind(into, word_at, ctx, word::index_of(cell_at(into, word_at)));
    *context::self(ctx) = fn;

    function_block(f, spec, false);
    const Cell body_value = function_block(f, body, true);

    // Refused: a value that no spec check has passed is taken out of reach
    // (the slot it took becomes none) before the error.
    auto refuse = [&]() {
        *cell_ptr(into, at) = cell::make(type::none);
        *context::self(ctx) = cell::make(type::none);
        invalid();
    };
    // One slot per name of the spec, in order, as `func` makes the context.
    i32 slots = 0;
    for (i32 i = 0; i < length_of(spec); i++) {
        const Cell v = cell_at(spec, i);
        const u32 t = cell::type_of(v);
        if (t != type::word && t != type::get_word && t != type::lit_word && t != type::refinement) continue;
        if (slots >= context::length(ctx) ||
            symbol::canonical(word::symbol_of(v)) !=
                symbol::canonical(word::symbol_of(*context::word_at(ctx, slots))))
            refuse();
        slots++;
    }
    if (slots != context::length(ctx)) refuse();
    u32 flags = 0;
    if (codec) {
        // The spec is checked as `func` checks it; its errors become this one.
        Cell* mark = stack::top;
        Cell* arguments = stack::arguments;
        CallFrame* frames = stack::frame_top;
        const PendingError pending = pending_error;
        stack::mark_try(stack::word(0));
        bool ok = true;
        try {
            flags = function::validate(block_of(spec));
            stack::unwind();
        } catch (const SystemThrow& e) {
            if (e.code != throw_code::error) throw;
            ok = false;
        }
        stack::frame_top = frames;
        stack::arguments = arguments;
        stack::top = mark;
        pending_error = pending;
        if (!ok) refuse();
    } else if (length_of(spec) > 0 && cell::type_of(cell_at(spec, 0)) == type::block) {
        flags = static_cast<u32>(std::max(function::attribute_flags(cell_at(spec, 0)), 0));
    }
    Cell* placed = cell_ptr(into, at);
    if (word_at < 0) placed->header |= flags;
    *cell_ptr(extra, function::extra::body) = body_value;
    context::self(ctx)->header |= flags;
}

// The spec or the body of a function: a block! record whose cells go into
// the prepared block; a shared one's cells are copied there (a function
// keeps its own spec, so that nothing written later can change it). A body
// may also be none (a function without one). Returns the value.
template <class F>
Cell Decoder::function_block(F& f, Node prepared, bool body) {
    Depth depth(*this);
    const Lead l = f.lead();
    if (body && l.kind == Lead::value && l.type == type::none && !l.shared && !l.define) return cell::make(type::none);
    if (l.kind != Lead::value || l.type != type::block || l.define) invalid();
    const i32 head = f.head(l);
    if (head < 0) invalid();
    if (l.shared) {
        const Cell v = shared(f, l, head);
        const Node from = cell::node(v);
        for (i32 i = 0; i < length_of(from); i++) *memory::alloc_tail(prepared) = cell_at(from, i);
    } else {
        const i32 n = f.count();
        if (static_cast<size_t>(n) > left() / f.record_size) invalid();
        for (i32 k = 0; k < n; k++) record(f, prepared);
    }
    return block_of(prepared, std::min(head, length_of(prepared)));
}

// An error: made from its code, then its fields arg1 to stack read into its
// context (files stays none).
template <class F>
void Decoder::error(F& f, const Lead& l, Node into) {
    if (l.shared) invalid();
    const u32 code = f.code_point(l);
    if (!error_catalog::find(static_cast<ErrorId>(code)) || code >= 1000) invalid();
    Held held;
    const Cell e = *error::create(static_cast<ErrorId>(code));
    put(into, e, l.new_line);
    const Node vals = context::cell_of(e.data1)->data2;
    values(f, vals, error::field::arg1, error::field::files - error::field::arg1);
    *memory::alloc_tail(vals) = cell::make(type::none);
}

// A native! or action!: its slot, then its spec, which must have the shape
// of the slot's routine (in the boot image, where type words may have no
// values yet, the structure alone).
template <class F>
void Decoder::native(F& f, const Lead& l, Node into) {
    if (l.shared || l.alt) invalid();
    const u32 slot = f.code_point(l);
    Held held;
    const Node scratch = memory::alloc_cells(1);
    held.keep(block_of(scratch));
    record(f, scratch);
    if (length_of(scratch) != 1) invalid();
    const Cell spec = cell_at(scratch, 0);
    if (cell::type_of(spec) != type::block || slot > 0x7FFFFFFF ||
        !native::shape_fits(l.type, static_cast<i32>(slot), block_of(cell::node(spec)), codec))
        invalid();
    const Cell v = *native::build(l.type, static_cast<i32>(slot), block_of(cell::node(spec)), codec);
    put(into, v, l.new_line);
}

// An op!: the native!, action! or function! it wraps, with an op's spec.
template <class F>
void Decoder::op(F& f, const Lead& l, Node into) {
    if (l.shared || l.alt) invalid();
    const u32 stated = f.op_type(l);
    const i32 at = length_of(into);
    record(f, into);
    if (length_of(into) != at + 1) invalid();
    Cell v = cell_at(into, at);
    const u32 t = cell::type_of(v);
    if (t != type::native && t != type::action && t != type::function) invalid();
    if (stated && stated != t) invalid();
    if (!op::valid_spec_q(block_of(v.data2))) invalid();
    if (t == type::function) *cell_ptr(function::extra_of(v), op::extra_function_cell) = v;
    Cell* c = cell_ptr(into, at);
    c->header = type::op | (t << flag::op_fn_type_shift) | (l.new_line ? flag::new_line : 0);
}

// --- Compact fields -------------------------------------------------------------------

u32 Compact::uleb() {
    u32 v = 0;
    for (u32 shift = 0;; shift += 7) {
        const u8 b = d_.byte();
        if (shift == 28 && b > 0x0F) d_.invalid();  // a fifth byte carries 4 bits
        v |= u32{b & 0x7Fu} << shift;
        if (!(b & 0x80)) return v;
    }
}

i32 Compact::count() {
    const u32 v = uleb();
    if (v > 0x7FFFFFFF) d_.invalid();
    return static_cast<i32>(v);
}

i32 Compact::sleb() { return unzigzag(uleb()); }

u32 Compact::word32() {
    d_.need(4);
    const u32 v = read_le32(d_.p);
    d_.p += 4;
    return v;
}

double Compact::float64() {
    const u64 lo = word32(), hi = word32();
    const u64 bits = hi << 32 | lo;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void Compact::bytes(u8* out, size_t n) {
    d_.need(n);
    std::memcpy(out, d_.p, n);
    d_.p += n;
}

void Compact::path(std::vector<u32>& out) {
    const u32 n = uleb();
    if (n == 0 || n > max_path || n > d_.left()) d_.invalid();
    out.resize(n);
    for (u32& k : out) k = uleb();
}

Lead Compact::lead() {
    Lead l;
    u8 b;
    for (;;) {
        b = d_.byte();
        if (b == lead::new_line) l.new_line = true;
        else if (b == lead::shared) l.shared = true;
        else if (b == lead::define && !d_.codec) l.define = true;
        else break;
        d_.need(1);  // a prefix leaves a byte after it
    }
    if (b >= lead::small_integer) {
        if (l.shared || l.define) d_.invalid();
        if (b < lead::new_line) {
            l.kind = Lead::small_integer;
            l.small = b & 0x3F;
        } else if (b == lead::logic_true || b == lead::logic_false) {
            l.kind = Lead::logic;
            l.small = b == lead::logic_true;
        } else if (b == lead::reference) {
            l.kind = Lead::reference;
        } else {
            d_.invalid();
        }
        return l;
    }
    l.type = b & lead::type_mask;
    l.alt = (b & lead::alt) != 0;
    if (l.type == lead::long_type) {
        l.type = uleb();
        if (l.type <= lead::long_type && l.type != 0) d_.invalid();  // one spelling per type
    }
    return l;
}

void Compact::date(const Lead& l, u32& packed, double& time, bool& has_time) {
    packed = word32();
    has_time = (packed & date::has_time_flag) != 0;
    if (has_time != l.alt) d_.invalid();
    time = has_time ? float64() : 0.0;
}

Cell Compact::typeset() {
    const u8 k = d_.byte();
    if (k > 12) d_.invalid();
    Cell ts = cell::make(type::typeset);
    bytes(reinterpret_cast<u8*>(&ts.data1), k);
    return ts;
}

i32 Compact::tuple(const Lead& l, u8* out) {
    const i32 n = l.alt ? d_.byte() : 3;
    if (n < 3 || n > 12) d_.invalid();
    bytes(out, static_cast<size_t>(n));
    return n;
}

void Compact::money(const Lead& l, u8* out, bool& negative) {
    bytes(out, 12);
    negative = l.alt;
}

void Compact::string_shape(const Lead&, u32& unit, i32& n) {
    const u32 v = uleb();
    if ((v & 3) == 3) d_.invalid();
    unit = 1u << (v & 3);
    n = static_cast<i32>(v >> 2);
}

void Compact::vector_shape(const Lead&, u32& element_type, u32& unit, i32& n) {
    const u8 b = d_.byte();
    element_type = b >> 2;
    unit = 1u << (b & 3);
    if (!vector_shape_q(element_type, unit)) d_.invalid();
    n = count();
}

Binding Compact::binding(const Lead& l, bool boot) {
    Binding b;
    if (!l.alt) {
        if (l.shared) d_.invalid();
        return b;
    }
    if (boot) {
        if (l.shared) d_.invalid();
        b.mode = Binding::root_record;
        b.record = count();
        b.index = sleb();
        return b;
    }
    b.index = sleb();
    b.mode = l.shared ? Binding::shared_owner : Binding::inline_owner;
    return b;
}

ContextHead Compact::context(const Lead& l) {
    if (l.alt) d_.invalid();
    const u8 flags = d_.byte();
    if (flags & ~(ctx_flag::kind_mask | ctx_flag::stack | ctx_flag::self | ctx_flag::values)) d_.invalid();
    ContextHead h;
    h.kind = flags & ctx_flag::kind_mask;
    if (h.kind > context::kind::object) d_.invalid();
    h.stack = (flags & ctx_flag::stack) != 0;
    h.self = (flags & ctx_flag::self) != 0;
    h.values = (flags & ctx_flag::values) != 0 && !h.stack;
    h.words = count();
    return h;
}

ContextHead Compact::expect_context() {
    if (d_.byte() != type::context) d_.invalid();
    Lead l;
    l.type = type::context;
    return context(l);
}

u32 Compact::op_type(const Lead&) { return 0; }

// --- Fixed fields --------------------------------------------------------------------

u32 Fixed::word32() {
    d_.need(4);
    const u32 v = read_le32(d_.p);
    d_.p += 4;
    return v;
}

i32 Fixed::count() {
    const u32 v = word32();
    if (v > 0x7FFFFFFF) d_.invalid();
    return static_cast<i32>(v);
}

double Fixed::float64() {
    const u64 hi = word32(), lo = word32();
    const u64 bits = hi << 32 | lo;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void Fixed::bytes(u8* out, size_t n) {
    const size_t padded = (n + 3) & ~size_t{3};
    d_.need(padded);
    std::memcpy(out, d_.p, n);
    d_.p += padded;
}

void Fixed::path(std::vector<u32>& out) {
    const u32 n = word32();
    if (n == 0 || n > max_path || n > d_.left() / 4) d_.invalid();
    out.resize(n);
    for (u32& k : out) k = word32();
}

void Fixed::shared_path(std::vector<u32>& out) {
    const Lead l = lead();
    if (l.kind != Lead::reference || l.new_line) d_.invalid();
    path(out);
}

Lead Fixed::lead() {
    u32 h;
    while ((h = word32()) == 0) {}  // zero words pad before doubles
    Lead l;
    l.header = h;
    l.new_line = (h & fixed::new_line) != 0;
    l.type = h & fixed::type_mask;
    if (l.type == 0) d_.invalid();
    if (l.type == fixed::reference) {
        if (h & ~(fixed::type_mask | fixed::new_line)) d_.invalid();
        l.kind = Lead::reference;
        return l;
    }
    // An op's header holds the wrapped type in bits 16-23, over the shared
    // bit: an op is never shared itself.
    l.shared = l.type != type::op && (h & fixed::shared) != 0;
    l.define = !d_.codec && word::any_word_type_q(l.type) && (h & fixed::word_flag);
    return l;
}

void Fixed::date(const Lead&, u32& packed, double& time, bool& has_time) {
    packed = word32();
    has_time = (packed & date::has_time_flag) != 0;
    time = float64();
}

Cell Fixed::typeset() {
    const u32 a = word32(), b = word32(), c = word32();
    return cell::make(type::typeset, a, b, c);
}

i32 Fixed::tuple(const Lead& l, u8* out) {
    const i32 n = static_cast<i32>((l.header >> fixed::tuple_length_shift) & 15);
    if (n < 3 || n > 12) d_.invalid();
    u8 all[12];
    for (i32 k = 0; k < 3; k++) write_le32(all + 4 * k, word32());
    std::memcpy(out, all, static_cast<size_t>(n));
    return n;
}

void Fixed::money(const Lead& l, u8* out, bool& negative) {
    for (i32 k = 0; k < 3; k++) write_le32(out + 4 * k, word32());
    negative = (l.header & fixed::money_negative) != 0;
}

void Fixed::string_shape(const Lead& l, u32& unit, i32& n) {
    unit = (l.header >> fixed::unit_shift) & 0xFF;
    if (unit != 1 && unit != 2 && unit != 4) d_.invalid();
    n = count();
}

void Fixed::vector_shape(const Lead& l, u32& element_type, u32& unit, i32& n) {
    unit = (l.header >> fixed::unit_shift) & 0xFF;
    n = count();
    element_type = word32();
    if (!vector_shape_q(element_type, unit)) d_.invalid();
}

Binding Fixed::binding(const Lead& l, bool boot) {
    Binding b;
    if (boot) {
        if (l.shared) d_.invalid();
        const i32 ctx = static_cast<i32>(word32());
        b.index = static_cast<i32>(word32());
        if (ctx >= 0) b.mode = Binding::root_record, b.record = ctx;
        else if (ctx != -1) d_.invalid();
        return b;
    }
    b.index = static_cast<i32>(word32());
    if (l.header & fixed::word_flag) {
        if (l.shared) d_.invalid();
        return b;
    }
    b.mode = l.shared ? Binding::shared_owner : Binding::inline_owner;
    return b;
}

ContextHead Fixed::context(const Lead& l) {
    const u32 h = l.header;
    constexpr u32 known = fixed::type_mask | fixed::new_line | (3u << fixed::ctx_kind_shift) | fixed::ctx_self |
                          fixed::ctx_stack | fixed::ctx_values;
    if (h & ~known) d_.invalid();
    ContextHead c;
    c.kind = (h >> fixed::ctx_kind_shift) & 3;
    if (c.kind > context::kind::object) d_.invalid();
    c.self = (h & fixed::ctx_self) != 0;
    c.stack = (h & fixed::ctx_stack) != 0;
    c.values = (h & fixed::ctx_values) && !c.stack;
    c.words = count();
    return c;
}

ContextHead Fixed::expect_context() {
    const Lead l = lead();
    if (l.kind != Lead::value || l.type != type::context || l.new_line) d_.invalid();
    return context(l);
}

// --- Documents ------------------------------------------------------------------------

// Ends the process on a boot image that is not one.
[[noreturn]] void boot_fault(const char* text) {
    TypedItem line[] = {{TypedItem::text, {.s = text}}};
    print_line_typed(1, line);
    std::_Exit(1);
}

struct HeaderFault {
    bool raise;
    bool exit_process;
    const Cell& source;
    [[noreturn]] void operator()(const char* boot_text) const {
        if (raise || !exit_process) fire(ErrorId::script_invalid_data, source);
        boot_fault(boot_text);
    }
};

// The compact form after the 8 header bytes: counts, the symbol table, then
// the payload's records.
void read_compact(Decoder& d, bool symbols) {
    Compact f(d);
    f.count();  // the record count: records are read to the payload's end
    const i32 payload = f.count();
    if (symbols) {
        const i32 n = f.count(), s = f.count();
        if (static_cast<size_t>(n) > d.left() / 4) d.invalid();
        const u8* offsets = d.p;
        d.p += 4 * static_cast<size_t>(n);
        if (static_cast<size_t>(s) > d.left() || (s > 0 && d.p[s - 1] != 0)) d.invalid();
        d.set_symbols(offsets, static_cast<u32>(n), d.p, static_cast<u32>(s));
        d.p += s;
    }
    if (static_cast<size_t>(payload) > d.left()) d.invalid();
    d.records(f, d.p + payload);
}

// The fixed form: the same in 32-bit words.
void read_fixed(Decoder& d, bool symbols, const HeaderFault& fault) {
    if (d.left() < 8) fault("Error: Not a Orubin file!");
    Fixed f(d);
    f.word32();  // the record count
    const u32 payload = f.word32();
    if (symbols) {
        const u32 n = f.word32(), s = f.word32();
        if (n > d.left() / 4) d.invalid();
        const u8* offsets = d.p;
        d.p += 4 * size_t{n};
        if (s > d.left() || (s > 0 && d.p[s - 1] != 0)) d.invalid();
        d.set_symbols(offsets, n, d.p, s);
        d.p += s;
    }
    if (payload > d.left()) d.invalid();
    d.records(f, d.p + payload);
}

// Puts a flag back when the scope ends, however it ends.
template <class T>
class Restore {
public:
    Restore(T& place, T value) : place_(place), saved_(place) { place = value; }
    ~Restore() { place_ = saved_; }
    Restore(const Restore&) = delete;
    Restore& operator=(const Restore&) = delete;

private:
    T& place_;
    T saved_;
};

}  // namespace

void decode(const u8* bytes, size_t length, const Cell& target_value, bool raise, const Cell& source_value,
            bool exit_on_header_fault) {
    const Cell target = target_value, source = source_value;
    const HeaderFault fault{raise, exit_on_header_fault, source};
    if (length < header_size || std::memcmp(bytes, magic, sizeof magic) != 0) fault("Error: Not a Orubin file!");
    const u8 flags = bytes[7];
    Restore<bool> mode(codec_q, raise);
    Decoder d(raise, cell::node(target));
    d.root_base = length_of(d.target);
    lz::Buffer expanded;  // freed however the decode ends
    if (flags & doc_flag::compressed) {
        u32 size = 0;
        lz::Status status;
        expanded = lz::decompress(bytes + header_size, length - header_size, &size, &status);
        if (!expanded) fault("Error: Orubin compressed data corrupted!");
        d.start = d.p = expanded.get();
        d.end = d.p + size;
        d.origin = header_size;
    } else {
        d.start = bytes;
        d.p = bytes + header_size;
        d.end = bytes + length;
    }
    if (flags & doc_flag::compact) read_compact(d, flags & doc_flag::symbols);
    else read_fixed(d, flags & doc_flag::symbols, fault);
}

void boot_load(const u8* image, size_t length, bool keep_base) {
    codec_q = false;
    const bool was = collector::enable(false);
    struct Back {
        bool was;
        ~Back() { collector::enable(was); }
    } back{was};
    const Node root = root_block();
    const i32 base = length_of(root);
    decode(image, length, block_of(root), false, cell::make(type::none));
    if (!keep_base) kept_literal_base = base;
}

i32 literal_base() { return kept_literal_base; }

}  // namespace oru::orubin
