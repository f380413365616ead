// The ORUBIN encoder: one value as a compact or a fixed document, and the
// boot-document writer.
//
// The walk writes records into C++ buffers and allocates nothing until the
// document is complete; only then is the binary! made. Sharing: a series,
// an object's or a function's context (a word's, when the word has an
// owner) is entered the first time the walk meets it, and its path (the
// indexes of the containers the walk is in, from the top-level value) is
// kept in the reference table under its node; a later meeting writes that
// path instead. The table's nodes are marked by a collector callback while an
// encode runs. Symbols are numbered in the order of first use; a hash map
// finds a symbol's number (a linear search would make the encode quadratic).
#include "codecs/orubin.h"
#include "codecs/orubin_format.h"
#include "codecs/lexer_values.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <algorithm>
#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace oru::orubin {

namespace {

constexpr u32 sflag_complemented = 0x80000;

inline i32 length_of(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }
inline Cell cell_at(Node n, i32 i) { return memory::buffer(n)->cells()[i]; }

// From a node to the offset of its path in the path store: one page of
// offsets per node frame, made when a node of that frame is first met. The
// walk meets nodes in about the order they were made, so a page stays in the
// cache while its neighbours are met (a hash table would miss the cache at
// almost every series). The pages are kept from one encode to the next,
// emptied (up to kept_pages of them), as the payload is: mapping fresh
// memory costs more than the walk.
class ReferenceTable {
public:
    static constexpr u32 none = ~0u;
    static constexpr size_t kept_pages = 1024;  // 64 MiB

    // The stored offset, or -1.
    i64 find(Node key) const {
        const u32 frame = memory::frame_number(key);
        if (frame >= pages_.size() || !pages_[frame].offsets) return -1;
        const u32 v = pages_[frame].offsets[key & slot_mask];
        return v == none ? -1 : static_cast<i64>(v);
    }
    void add(Node key, u32 value) {
        const u32 frame = memory::frame_number(key);
        if (frame >= pages_.size()) pages_.resize(frame + 1);
        Page& page = pages_[frame];
        if (!page.offsets) {
            page.offsets.reset(new u32[page_size]);
            std::fill(page.offsets.get(), page.offsets.get() + page_size, none);
        }
        if (!page.used) {
            page.used = true;
            used_.push_back(frame);
        }
        page.offsets[key & slot_mask] = value;
    }
    // Empties the pages used, and frees the pages past kept_pages.
    void reset() {
        for (const u32 f : used_) {
            std::fill(pages_[f].offsets.get(), pages_[f].offsets.get() + page_size, none);
            pages_[f].used = false;
        }
        used_.clear();
        if (pages_.size() > kept_pages) pages_.resize(kept_pages);
    }
    void mark() {
        for (const u32 f : used_)
            for (u32 i = 0; i < page_size; i++)
                if (pages_[f].offsets[i] != none) {
                    Node n = static_cast<Node>(f << memory::node_slot_bits | i);
                    collector::mark_node(&n);
                }
    }

private:
    static constexpr u32 page_size = 1u << memory::node_slot_bits;
    static constexpr u32 slot_mask = page_size - 1;
    struct Page {
        std::unique_ptr<u32[]> offsets;
        bool used = false;
    };
    std::vector<Page> pages_;
    std::vector<u32> used_;
};

// A growing byte buffer written in place.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() { std::free(p_); }
    size_t size() const { return n_; }
    const u8* data() const { return p_; }
    // k bytes at the end, to write.
    u8* room(size_t k) {
        if (cap_ - n_ < k) grow(k);
        u8* at = p_ + n_;
        n_ += k;
        return at;
    }
    void byte(u8 b) { *room(1) = b; }
    void bytes(const u8* from, size_t k) {
        if (k) std::memcpy(room(k), from, k);
    }
    void zeros(size_t k) {
        if (k) std::memset(room(k), 0, k);
    }
    void uleb(u32 v) {
        u8* at = room(5);
        n_ -= 5 - put_uleb(at, v);
    }
    void word32(u32 v) { write_le32(room(4), v); }
    // Empties the buffer, keeping its memory unless it holds more than `keep`.
    void clear(size_t keep) {
        n_ = 0;
        if (cap_ > keep) {
            std::free(p_);
            p_ = nullptr;
            cap_ = 0;
        }
    }
    void swap(Out& o) {
        std::swap(p_, o.p_);
        std::swap(n_, o.n_);
        std::swap(cap_, o.cap_);
    }

private:
    void grow(size_t k) {
        const size_t cap = std::max({cap_ * 2, n_ + k, size_t{4096}});
        u8* p = static_cast<u8*>(std::realloc(p_, cap));
        if (!p) fire(ErrorId::internal_no_memory);
        p_ = p;
        cap_ = cap;
    }
    u8* p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

struct Encoder;
Encoder* active = nullptr;  // the encode running, for the collector callback
u32 marker_generation = 0;

struct Encoder {
    bool compact = true;
    bool boot = false;  // boot documents: no sharing, words bound by record number

    Out payload;
    // Symbols: ids in first-use order, their names back to back; a symbol's
    // number by its id (symbol ids are dense), ~0 until it is used.
    std::vector<i32> symbols;
    std::vector<u32> symbol_numbers;
    Out names;
    std::vector<u32> name_offsets;
    // Sharing: the path of the container the walk is in, the current index
    // in it, and the stored paths ({count, indexes}) by node.
    std::vector<u32> path;
    u32 current = 0;
    ReferenceTable own_references;
    ReferenceTable* refs = &own_references;  // encode_value lends the kept one
    std::vector<u32> paths;
    i32 depth = 0;
    // Boot: the record holding each context a top-level record holds.
    std::unordered_map<Node, i32> context_records;

    struct Depth {
        explicit Depth(Encoder& e) : e_(e) {
            if (++e_.depth > max_depth) fire(ErrorId::internal_too_deep);
        }
        ~Depth() { e_.depth--; }
        Encoder& e_;
    };

    // --- Output ---------------------------------------------------------------

    void byte(u8 b) { payload.byte(b); }
    void uleb(u32 v) { payload.uleb(v); }
    void sleb(i32 v) { payload.uleb(zigzag(v)); }
    void word32(u32 v) { payload.word32(v); }
    void raw(const u8* p, size_t n) {
        payload.bytes(p, n);
        if (!compact) payload.zeros((4 - n % 4) % 4);
    }
    void lead(u32 t, bool alt = false) {
        if (t < lead::long_type) {
            byte(static_cast<u8>(t | (alt ? lead::alt : 0)));
        } else {
            byte(lead::long_type | (alt ? lead::alt : 0));
            uleb(t);
        }
    }
    // A double: low word first in the compact form, high word first in the fixed.
    void float64(double d) {
        u64 bits;
        std::memcpy(&bits, &d, sizeof bits);
        if (compact) word32(static_cast<u32>(bits)), word32(static_cast<u32>(bits >> 32));
        else word32(static_cast<u32>(bits >> 32)), word32(static_cast<u32>(bits));
    }
    // A count or an index: uleb or a word.
    void number(u32 v) { compact ? uleb(v) : word32(v); }

    u32 symbol_number(i32 sym) {
        const size_t id = static_cast<size_t>(sym);
        if (id >= symbol_numbers.size()) symbol_numbers.resize(id + 1024, ~0u);
        u32& number = symbol_numbers[id];
        if (number == ~0u) {
            number = static_cast<u32>(symbols.size());
            symbols.push_back(sym);
            name_offsets.push_back(static_cast<u32>(names.size()));
            const char* name = symbol::get_c_string(sym);
            names.bytes(reinterpret_cast<const u8*>(name), std::strlen(name) + 1);
            if (!compact) names.zeros(((names.size() + 7) & ~size_t{7}) - names.size());
        }
        return number;
    }

    // --- Sharing ----------------------------------------------------------------

    // The stored path of a node met before, or -1; otherwise the node is
    // entered (its path stored) and -1 comes back too, with `entered` set.
    i64 meet(Node key, bool& entered) {
        entered = false;
        if (boot) return -1;
        const i64 found = refs->find(key);
        if (found >= 0) return found;
        path.push_back(current);
        refs->add(key, static_cast<u32>(paths.size()));
        paths.push_back(static_cast<u32>(path.size()));
        paths.insert(paths.end(), path.begin(), path.end());
        current = 0;
        entered = true;
        return -1;
    }
    void leave() {
        current = path.back();
        path.pop_back();
    }
    void write_path(i64 at) {
        const u32 n = paths[static_cast<size_t>(at)];
        if (!compact) word32(fixed::reference);
        number(n);
        for (u32 k = 0; k < n; k++) number(paths[static_cast<size_t>(at) + 1 + k]);
    }

    // --- Values --------------------------------------------------------------------

    [[noreturn]] static void refuse(const Cell& v) { fire(ErrorId::access_no_codec, v); }

    // The owner a word's context has: its object! or function!, or none.
    static bool owned_q(Node ctx) {
        if (!ctx || ctx == context::global) return false;
        const u32 t = cell::type_of(*context::self(ctx));
        return t == type::object || t == type::function;
    }

    void value(const Cell& v);
    void scalar(const Cell& v, bool new_line);
    void series(const Cell& v, bool new_line);
    void word(const Cell& v, bool new_line);
    void object(const Cell& v, bool new_line, bool shared);
    void function(const Cell& v, bool new_line, bool shared);
    void context_record(Node ctx);
    void cells(Node n);
    void block_record(const Cell& blk, u32 at);
    void fixed_header(u32 h) { word32(h); }

    // The document's header, counts and symbol table: what comes before the
    // payload.
    std::vector<u8> head(u8 version_byte, u8 flags, u32 record_count) const;
};

void Encoder::value(const Cell& v) {
    Depth depth(*this);
    const u32 t = cell::type_of(v);
    const bool new_line = (v.header & flag::new_line) != 0;
    if (refused_q(t) || t == type::map || t == type::image || t == 0 || t > type::count || t == type::symbol ||
        t == type::series)
        refuse(v);
    if (compact && new_line) byte(lead::new_line);
    if (storage_of(t) != Storage::none) series(v, new_line);
    else if (word::any_word_type_q(t)) word(v, new_line);
    else if (t == type::object) object(v, new_line, true);
    else if (t == type::function) function(v, new_line, true);
    else scalar(v, new_line);
    current++;
}

// Values that hold no node of their own, and error!, native!, op!.
void Encoder::scalar(const Cell& v, bool new_line) {
    const u32 t = cell::type_of(v);
    const u32 nl = new_line ? fixed::new_line : 0;
    auto header = [&](u32 bits = 0) { fixed_header(t | nl | bits); };
    switch (t) {
        case type::unset: case type::none:
            compact ? lead(t) : header();
            return;
        case type::datatype: case type::char_: {
            const u32 n = t == type::datatype ? v.data1 : v.data2;  // type number, code point
            compact ? lead(t) : header();
            number(n);
            return;
        }
        case type::logic:
            if (compact) byte(v.data1 ? lead::logic_true : lead::logic_false);
            else header(), word32(v.data1 ? 1 : 0);
            return;
        case type::integer: {
            const i32 n = static_cast<i32>(v.data2);
            if (!compact) header(), word32(v.data2);
            else if (n >= 0 && n <= 63) byte(static_cast<u8>(lead::small_integer + n));
            else lead(t), sleb(n);
            return;
        }
        case type::float_: case type::percent: case type::time: {
            const double d = get_double(v);
            if (!compact) {
                if (payload.size() % 8) word32(0);
                header(), float64(d);
                return;
            }
            // The short form: a whole number (for percent!, a whole number of
            // hundredths) that an sleb holds, and never -0.0.
            i32 n = 0;
            bool whole = false;
            if (t == type::percent) {
                if (d >= -21474836.0 && d <= 21474836.0) {
                    const double scaled = d * 100.0;
                    n = static_cast<i32>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
                    whole = n / 100.0 == d;
                }
            } else if (d >= -2147483000.0 && d <= 2147483000.0 && d == std::trunc(d)) {
                n = static_cast<i32>(d);
                whole = true;
            }
            if (whole && !(d == 0.0 && std::signbit(d))) lead(t, true), sleb(n);
            else lead(t), float64(d);
            return;
        }
        case type::pair:
            compact ? (lead(t), sleb(static_cast<i32>(v.data2)), sleb(static_cast<i32>(v.data3)))
                    : (header(), word32(v.data2), word32(v.data3));
            return;
        case type::point2D:
            compact ? lead(t) : header();
            word32(v.data1), word32(v.data2);
            return;
        case type::point3D:
            compact ? lead(t) : header();
            word32(v.data1), word32(v.data2), word32(v.data3);
            return;
        case type::date: {
            const bool has_time = (v.data1 & date::has_time_flag) != 0;
            if (compact) {
                lead(t, has_time), word32(v.data1);
                if (has_time) float64(get_double(v));
            } else {
                header(), word32(v.data1), float64(get_double(v));
            }
            return;
        }
        case type::typeset: {
            if (!compact) {
                header(), word32(v.data1), word32(v.data2), word32(v.data3);
                return;
            }
            u8 mask[12];
            std::memcpy(mask, &v.data1, sizeof mask);
            u8 k = 12;
            while (k > 0 && mask[k - 1] == 0) k--;
            lead(t), byte(k), raw(mask, k);
            return;
        }
        case type::tuple: {
            const u32 n = static_cast<u32>(tuple::length_of(v));
            if (!compact) {
                fixed_header(type::tuple | nl | n << fixed::tuple_length_shift);
                word32(v.data1), word32(v.data2), word32(v.data3);
                return;
            }
            u8 bytes[12];
            std::memcpy(bytes, &v.data1, sizeof bytes);
            if (n == 3) lead(t);
            else lead(t, true), byte(static_cast<u8>(n));
            raw(bytes, n);
            return;
        }
        case type::money: {
            const bool negative = (v.header & money::negative_flag) != 0;
            if (compact) {
                u8 bytes[12];
                std::memcpy(bytes, &v.data1, sizeof bytes);
                lead(t, negative), raw(bytes, 12);
            } else {
                header(negative ? fixed::money_negative : 0), word32(v.data1), word32(v.data2), word32(v.data3);
            }
            return;
        }
        case type::context:
            // Read back as an object! holding the context: its values stand
            // under its own path.
            if (compact) lead(t);
            path.push_back(current);
            current = 0;
            context_record(v.data1);
            leave();
            return;
        case type::error: {
            // Its context is entered so that what its fields hold is reached
            // under its path; an error is never itself written as a reference.
            compact ? lead(t) : header();
            number(static_cast<u32>(error::id_of(v)));
            const Node ctx = v.data1;
            path.push_back(current);
            if (!boot && refs->find(ctx) < 0) {
                refs->add(ctx, static_cast<u32>(paths.size()));
                paths.push_back(static_cast<u32>(path.size()));
                paths.insert(paths.end(), path.begin(), path.end());
            }
            current = 0;
            for (i32 f = error::field::arg1; f <= error::field::stack; f++)
                value(cell_at(context::cell_of(ctx)->data2, f));
            leave();
            return;
        }
        case type::native: case type::action: {
            compact ? lead(t) : header();
            number(static_cast<u32>(native::slot_of(v)));
            block_record(cell::make(type::block, 0, native::spec_of(v)), current);
            return;
        }
        case type::op: {
            const u32 wrapped = op::wrapped_type(v);
            if (wrapped != type::native && wrapped != type::action && wrapped != type::function) refuse(v);
            compact ? lead(t) : header(wrapped << fixed::op_type_shift);
            Cell fn = v;
            fn.header = wrapped;
            value(fn);
            current--;  // the wrapped value stands in the op's place
            return;
        }
        default:
            refuse(v);
    }
}

// A block-like record of a function or a native: written as a value at index `at`.
void Encoder::block_record(const Cell& blk, u32 at) {
    const u32 saved = current;
    current = at;
    value(blk);
    current = saved;
}

void Encoder::cells(Node n) {
    const i32 count = length_of(n);
    number(static_cast<u32>(count));
    for (i32 i = 0; i < count; i++) value(cell_at(n, i));
}

void Encoder::series(const Cell& v, bool new_line) {
    const u32 t = cell::type_of(v);
    const Node node = cell::node(v);
    bool entered;
    const i64 ref = meet(node, entered);
    const bool shared = ref >= 0;
    const u32 head = static_cast<u32>(std::max(cell::head_index(v), 0));
    SeriesBuffer* s = memory::buffer(node);
    const u32 unit = s->unit();
    const u32 nl = new_line ? fixed::new_line : 0;
    const u32 sh = shared ? fixed::shared : 0;
    if (compact && shared) byte(lead::shared);
    switch (storage_of(t)) {
        case Storage::cells: case Storage::hash:
            if (compact) {
                lead(t, head != 0);
                if (head) uleb(head);
            } else {
                fixed_header(t | nl | sh), word32(head);
            }
            if (!shared) cells(node);
            break;
        case Storage::chars: case Storage::bytes: case Storage::vector: {
            const u32 code = unit == 8 ? 3 : unit == 4 ? 2 : unit == 2 ? 1 : 0;
            if (compact) {
                lead(t, head != 0);
                if (head) uleb(head);
            } else {
                fixed_header(t | nl | sh | unit << fixed::unit_shift), word32(head);
            }
            if (shared) break;
            const u32 n = s->length();
            if (t == type::vector) {
                if (compact) byte(static_cast<u8>(v.data3 << 2 | code)), uleb(n);
                else word32(n), word32(v.data3);
            } else if (t == type::binary || !compact) {
                number(n);
            } else {
                uleb(n << 2 | code);
            }
            raw(memory::buffer(node)->head_ptr(), size_t{n} * unit);
            break;
        }
        case Storage::bitset: {
            const bool complemented = (s->flags & sflag_complemented) != 0;
            if (compact) lead(t, complemented);
            else fixed_header(t | nl | sh | (complemented ? fixed::complemented : 0));
            if (shared) break;
            const u32 n = s->length();
            number(n);
            raw(memory::buffer(node)->head_ptr(), n);
            break;
        }
        default:
            refuse(v);
    }
    if (shared) write_path(ref);
    else if (entered) leave();
}

void Encoder::word(const Cell& v, bool new_line) {
    const u32 t = cell::type_of(v);
    const u32 sym = symbol_number(word::symbol_of(v));
    const u32 nl = new_line ? fixed::new_line : 0;
    if (t == type::issue) {
        compact ? lead(t) : fixed_header(t | nl);
        number(sym);
        return;
    }
    const Node ctx = word::context_of(v);
    if (boot) {
        // Bound by the number of the record that holds its context.
        const auto found = ctx && ctx != context::global ? context_records.find(ctx) : context_records.end();
        if (ctx && ctx != context::global && owned_q(ctx) && found == context_records.end()) refuse(v);
        const bool bound = found != context_records.end();
        if (compact) {
            lead(t, bound), uleb(sym);
            if (bound) uleb(static_cast<u32>(found->second)), sleb(word::index_of(v));
        } else {
            fixed_header(t | nl), word32(sym), word32(bound ? static_cast<u32>(found->second) : ~0u);
            word32(bound ? static_cast<u32>(word::index_of(v)) : ~0u);
        }
        return;
    }
    if (!owned_q(ctx)) {
        // Global, unbound, or a context no value owns: the global word.
        if (compact) lead(t), uleb(sym);
        else fixed_header(t | nl | fixed::word_flag), word32(sym), word32(~0u);
        return;
    }
    bool entered;
    const i64 ref = meet(ctx, entered);
    const bool shared = ref >= 0;
    if (compact) {
        if (shared) byte(lead::shared);
        lead(t, true), uleb(sym), sleb(word::index_of(v));
    } else {
        fixed_header(t | nl | (shared ? fixed::shared : 0)), word32(sym), word32(static_cast<u32>(word::index_of(v)));
    }
    if (shared) {
        write_path(ref);
        return;
    }
    // The owner, written in full under the word's path.
    const Cell owner = *context::self(ctx);
    if (cell::type_of(owner) == type::object) object(owner, false, false);
    else function(owner, false, false);
    leave();
}

// An object; `shared` when it goes through sharing itself (not as a word's owner).
void Encoder::object(const Cell& v, bool new_line, bool shared) {
    const Node ctx = object::context_of(v);
    bool entered = false;
    const i64 ref = shared ? meet(ctx, entered) : -1;
    const Node record = object::record_of(v);
    const bool handlers = record != 0 && ref < 0;
    const u32 nl = new_line ? fixed::new_line : 0;
    if (compact) {
        if (ref >= 0) byte(lead::shared);
        lead(type::object, handlers);
    } else {
        fixed_header(type::object | nl | (ref >= 0 ? fixed::shared : 0) | (handlers ? fixed::on_change : 0));
    }
    if (ref >= 0) {
        write_path(ref);
        return;
    }
    compact ? sleb(object::class_of(v)) : word32(static_cast<u32>(object::class_of(v)));
    if (handlers) {
        const u32 change = cell_at(record, object::handler::on_change).data2;
        const u32 deep = cell_at(record, object::handler::on_deep_change).data2;
        if (compact) sleb(static_cast<i32>(change)), sleb(static_cast<i32>(deep));
        else word32(change), word32(deep);
    }
    if (compact) lead(type::context);
    context_record(ctx);
    if (entered) leave();
}

void Encoder::function(const Cell& v, bool new_line, bool shared) {
    const Node ctx = function::context_of(v);
    bool entered = false;
    const i64 ref = shared ? meet(ctx, entered) : -1;
    const u32 nl = new_line ? fixed::new_line : 0;
    if (compact) {
        if (ref >= 0) byte(lead::shared);
        lead(type::function);
    } else {
        fixed_header(type::function | nl | (ref >= 0 ? fixed::shared : 0));
    }
    if (ref >= 0) {
        write_path(ref);
        return;
    }
    const Node spec = function::spec_of(v);
    const Cell body = cell_at(function::extra_of(v), function::extra::body);
    number(static_cast<u32>(length_of(spec)));
    number(cell::type_of(body) == type::block ? static_cast<u32>(length_of(cell::node(body))) : 0);
    if (compact) lead(type::context);
    context_record(ctx);
    block_record(cell::make(type::block, 0, spec), 0);
    block_record(body, 1);
    if (entered) leave();
}

// A context's flags, words and (when it keeps them and one is set) values.
void Encoder::context_record(Node ctx) {
    const Cell c = *context::cell_of(ctx);
    const u32 kind = (c.header & context::kind_mask) >> context::kind_shift;
    const bool stack = (c.header & context::on_stack) != 0;
    const bool self = (c.header & context::for_object) != 0;
    const i32 n = context::length(ctx);
    bool values = false;
    if (!stack)
        for (i32 i = 0; i < n && !values; i++) values = cell::type_of(cell_at(c.data2, i)) != type::unset;
    if (compact) {
        byte(static_cast<u8>(kind | (stack ? ctx_flag::stack : 0) | (self ? ctx_flag::self : 0) |
                             (values ? ctx_flag::values : 0)));
    } else {
        fixed_header(type::context | kind << fixed::ctx_kind_shift | (self ? fixed::ctx_self : 0) |
                     (stack ? fixed::ctx_stack : 0) | (values ? fixed::ctx_values : 0));
    }
    number(static_cast<u32>(n));
    for (i32 i = 0; i < n; i++) number(symbol_number(word::symbol_of(*context::word_at(ctx, i))));
    if (!values) return;
    const u32 saved = current;
    current = 0;
    for (i32 i = 0; i < n; i++) value(cell_at(context::cell_of(ctx)->data2, i));
    current = saved;
}

std::vector<u8> Encoder::head(u8 version_byte, u8 flags, u32 record_count) const {
    std::vector<u8> doc(magic, magic + sizeof magic);
    doc.push_back(version_byte);
    doc.push_back(flags);
    u8 buf[5];
    auto count = [&](u32 v) {
        if (compact) {
            doc.insert(doc.end(), buf, buf + put_uleb(buf, v));
        } else {
            write_le32(buf, v);
            doc.insert(doc.end(), buf, buf + 4);
        }
    };
    doc.reserve(names.size() + 4 * symbols.size() + 32);
    count(record_count);
    count(static_cast<u32>(payload.size()));
    if (flags & doc_flag::symbols) {
        count(static_cast<u32>(symbols.size()));
        count(static_cast<u32>(names.size()));
        for (u32 off : name_offsets) {
            write_le32(buf, off);
            doc.insert(doc.end(), buf, buf + 4);
        }
        doc.insert(doc.end(), names.data(), names.data() + names.size());
    }
    return doc;
}

// Runs one encode with the collector callback marking its table.
Cell* encode_value(const Cell& v, bool compact) {
    if (marker_generation != memory::generation) {
        collector::register_marker([] {
            if (active) active->refs->mark();
        });
        marker_generation = memory::generation;
    }
    Encoder e;
    e.compact = compact;
    const Cell value = v;
    // The payload buffer and the reference table are kept from one encode to
    // the next (up to 64 MiB each): writing into memory the system must first
    // map costs as much as the encode itself.
    static Out kept;
    static ReferenceTable kept_references;
    struct Active {
        bool was_codec;
        Encoder& e;
        explicit Active(Encoder& e) : was_codec(codec_q), e(e) {
            active = &e;
            codec_q = true;
            e.payload.swap(kept);
            e.refs = &kept_references;
        }
        ~Active() {
            active = nullptr;
            codec_q = was_codec;
            e.payload.swap(kept);
            kept.clear(size_t{64} << 20);
            kept_references.reset();
        }
    } running(e);
    e.value(value);
    const u8 flags = static_cast<u8>((compact ? doc_flag::compact : 0) | (e.symbols.empty() ? 0 : doc_flag::symbols));
    const std::vector<u8> head = e.head(version, flags, 1);
    const size_t size = head.size() + e.payload.size();
    if (size > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
    const Node node = memory::alloc_bytes(static_cast<i32>(size));
    SeriesBuffer* s = memory::buffer(node);
    std::memcpy(s->head_ptr(), head.data(), head.size());
    if (e.payload.size()) std::memcpy(s->head_ptr() + head.size(), e.payload.data(), e.payload.size());
    s->tail = s->head + static_cast<u32>(size);
    return stack::push(cell::make(type::binary, 0, node));
}

}  // namespace

Cell* encode_cp(const Cell& value) { return encode_value(value, true); }
Cell* encode(const Cell& value) { return encode_value(value, false); }

// --- The boot-document writer ---------------------------------------------------------------

struct BootWriter::State {
    Encoder e;
};

BootWriter::BootWriter() : state_(new State) {
    state_->e.boot = true;
}

BootWriter::~BootWriter() { delete state_; }

void BootWriter::record(const Cell& value) {
    Encoder& e = state_->e;
    // Words of this record (a function's body) and of later ones may bind to
    // the context it holds: the decoder places a value before what it holds.
    const u32 t = cell::type_of(value);
    Node ctx = 0;
    if (t == type::object || t == type::error || t == type::function || t == type::context) ctx = value.data1;
    else if (t == type::op && op::wrapped_type(value) == type::function) ctx = value.data1;
    if (ctx) e.context_records.try_emplace(ctx, records_);
    e.current = static_cast<u32>(records_);
    e.value(value);
    records_++;
}

void BootWriter::define(const Cell& word, const Cell& value) {
    Encoder& e = state_->e;
    if (!word::any_word_type_q(cell::type_of(word))) fire(ErrorId::script_invalid_arg, word);
    e.byte(lead::define);
    e.value(word);
    e.value(value);
}

std::vector<u8> BootWriter::document() const {
    const Encoder& e = state_->e;
    std::vector<u8> doc = e.head(boot_version, doc_flag::compact | doc_flag::symbols, static_cast<u32>(records_));
    doc.insert(doc.end(), e.payload.data(), e.payload.data() + e.payload.size());
    return doc;
}

}  // namespace oru::orubin
