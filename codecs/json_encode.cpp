// The JSON writer and the routine entries of the JSON codec.
//
// The writer appends UTF-8 to a private buffer (any code point, surrogates
// included, in the plain bit layout, so that a string holding one comes back
// unchanged) and makes the result string once at the end. Forming and
// molding go through one scratch string on the data stack; they may
// allocate, so containers are walked by node and index and every cell is
// fetched again after such a call. A container being written is on the
// cycle stack: meeting it again inside itself raises internal/no-cycle, and
// nesting past the cycle stack's depth raises internal/too-deep.
#include "codecs/json.h"

#include "codecs/held_cells.h"
#include "codecs/text_out.h"
#include "interpreter/actions.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace oru::json {

namespace {

using routine::Machine;

const char* escape_of(u32 c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case 8: return "\\b";
        case 12: return "\\f";
        case 10: return "\\n";
        case 13: return "\\r";
        case 9: return "\\t";
        default: return nullptr;
    }
}

class Encoder {
public:
    Encoder(const Cell& indent, bool ascii) : ascii_(ascii) {
        pretty_ = cell::type_of(indent) == type::string;
        if (pretty_) {
            SeriesBuffer* s = series::buffer_of(indent);
            const i32 len = static_cast<i32>(s->length());
            for (i32 i = std::max(cell::head_index(indent), 0); i < len; i++)
                indent_.put(string::get_char(s->head_ptr() + static_cast<size_t>(i) * s->unit(), s->unit()));
        }
        scratch_ = stack::push();
        string::make_at(*scratch_, 64);
    }

    void value(const Cell& v) {
        switch (cell::type_of(v)) {
            case type::none: out_.ascii("null"); return;
            case type::logic: out_.ascii(logic::get(v) ? "true" : "false"); return;
            case type::integer: out_.ascii(std::to_string(static_cast<i32>(v.data2))); return;
            case type::float_: number(v); return;
            case type::percent: number(cell::float_(cell::get_float(v))); return;
            case type::string: string_at(v); return;
            case type::map: map(v); return;
            case type::object: object(v); return;
            default: break;
        }
        const u32 t = cell::type_of(v);
        if (series::block_like_q(t)) return array(v);
        stack::Mark mark;
        Cell* held = stack::push(v);
        string::rs_reset(*scratch_);
        if (series::string_like_q(t)) actions::form(held, scratch_, nullptr, 0x7FFFFFFF);
        else actions::mold(held, scratch_, false, false, false, nullptr, 0x7FFFFFFF, 0);
        string_at(*scratch_);  // writing the text allocates nothing
    }

    Cell* finish() { return out_.finish(); }

private:
    TextOut out_;
    TextOut indent_;
    bool ascii_;
    bool pretty_ = false;
    i32 level_ = 0;
    Cell* scratch_;

    void hex4(u32 v) {
        static const char digits[] = "0123456789ABCDEF";
        out_.ascii("\\u");
        for (int shift = 12; shift >= 0; shift -= 4) out_.ascii(digits[v >> shift & 15]);
    }

    // NaN and the infinities have no JSON form: they are written as null.
    void number(const Cell& f) {
        const double d = cell::get_float(f);
        if (std::isnan(d) || std::isinf(d)) {
            out_.ascii("null");
            return;
        }
        stack::Mark mark;
        Cell* held = stack::push(f);
        string::rs_reset(*scratch_);
        actions::form(held, scratch_, nullptr, 0x7FFFFFFF);
        SeriesBuffer* s = series::buffer_of(*scratch_);
        const i32 len = static_cast<i32>(s->length());
        for (i32 i = 0; i < len; i++) out_.put(string::get_char(s->head_ptr() + static_cast<size_t>(i) * s->unit(), s->unit()));
    }

    bool normal_q(u32 c) const {
        if (ascii_) return c >= 32 && c <= 127 && c != 34 && c != 92;
        return c >= 32 && c != 34 && c != 92;
    }

    void character(u32 c) {
        if (normal_q(c)) {
            out_.put(c);
        } else if (const char* e = escape_of(c)) {
            out_.ascii(e);
        } else if (c <= 0xFFFF) {
            hex4(c);
        } else {
            hex4(0xD800 + ((c - 0x10000) >> 10));
            hex4(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }

    void string_at(const Cell& str) {
        SeriesBuffer* s = series::buffer_of(str);
        const i32 len = static_cast<i32>(s->length());
        const u32 unit = s->unit();
        const u8* p = s->head_ptr();
        out_.ascii('"');
        for (i32 i = std::max(cell::head_index(str), 0); i < len; i++)
            character(string::get_char(p + static_cast<size_t>(i) * unit, unit));
        out_.ascii('"');
    }

    void line_break(i32 change) {
        level_ += change;
        for (i32 i = 0; i < level_; i++) out_.append(indent_);
    }

    void open(char bracket) {
        out_.ascii(bracket);
        if (pretty_) {
            out_.ascii('\n');
            line_break(1);
        }
    }
    void separate() {
        out_.ascii(',');
        if (pretty_) {
            out_.ascii('\n');
            line_break(0);
        }
    }
    void close(char bracket) {
        if (pretty_) {
            out_.ascii('\n');
            line_break(-1);
        }
        out_.ascii(bracket);
    }

    void array(const Cell& blk) {
        const Node n = cell::node(blk);
        const i32 head = std::max(cell::head_index(blk), 0);
        if (static_cast<i32>(memory::buffer(n)->length()) <= head) {
            out_.ascii("[]");
            return;
        }
        if (cycles::find(n)) fire(ErrorId::internal_no_cycle);
        cycles::Guard guard(n);
        stack::Mark mark;
        stack::push(blk);  // paths and parens made on the fly stay alive
        open('[');
        for (i32 i = head; i < static_cast<i32>(memory::buffer(n)->length()); i++) {
            if (i > head) separate();
            value(memory::buffer(n)->cells()[i]);
        }
        close(']');
    }

    // A key: a word's spelling, a string as it is, anything else molded.
    void key(const Cell& k) {
        if (word::any_word_type_q(cell::type_of(k)) && cell::type_of(k) != type::refinement &&
            cell::type_of(k) != type::issue) {
            const std::string name = symbol::get_c_string(word::symbol_of(k));
            const u8* q = reinterpret_cast<const u8*>(name.data());
            const u8* end = q + name.size();
            out_.ascii('"');
            while (q < end) {
                u32 c;
                q = TextOut::next(q, &c);
                character(c);
            }
            out_.ascii('"');
            return;
        }
        if (cell::type_of(k) == type::string) return string_at(k);
        stack::Mark mark;
        Cell* held = stack::push(k);
        string::rs_reset(*scratch_);
        actions::mold(held, scratch_, false, false, false, nullptr, 0x7FFFFFFF, 0);
        string_at(*scratch_);
    }

    void key_value(const Cell& k, const Cell& v) {
        key(k);
        out_.ascii(pretty_ ? ": " : ":");
        value(v);
    }

    // A map's live pairs in order: a removed pair's value cell has header 0.
    void map(const Cell& m) {
        const Node pairs = cell::node(m);
        bool any = false;
        if (cycles::find(pairs)) fire(ErrorId::internal_no_cycle);
        cycles::Guard guard(pairs);
        for (i32 i = 0; i + 1 < static_cast<i32>(memory::buffer(pairs)->length()); i += 2) {
            const Cell k = memory::buffer(pairs)->cells()[i];
            const Cell v = memory::buffer(pairs)->cells()[i + 1];
            if (v.header == 0) continue;
            if (any) separate();
            else open('{');
            any = true;
            key_value(k, v);
        }
        if (any) close('}');
        else out_.ascii("{}");
    }

    void object(const Cell& obj) {
        const Node ctx = obj.data1;
        const i32 n = context::length(ctx);
        if (n == 0) {
            out_.ascii("{}");
            return;
        }
        if (cycles::find(ctx)) fire(ErrorId::internal_no_cycle);
        cycles::Guard guard(ctx);
        open('{');
        for (i32 i = 0; i < n; i++) {
            if (i) separate();
            const Cell w = *context::word_at(ctx, i);
            key_value(cell::make(type::word, w.data1, w.data2, w.data3), context::values(ctx)[i]);
        }
        close('}');
    }
};

}  // namespace

Cell* encode(const Cell& value_arg, const Cell& indent_arg, bool ascii) {
    Cell* value = stack::push(value_arg);
    Cell* indent = stack::push(indent_arg);
    Encoder e(*indent, ascii);
    e.value(*value);
    return e.finish();
}

Machine decode_entry(const Machine* a, i32) {
    Cell* input = stack::push(*a[0].cell);
    Cell* result = stack::push(none::value);
    Failure f;
    if (decode(*input, result, &f)) {
        Cell* blk = block::push_only(1);
        block::rs_append(*blk, *result);
        return Machine{.cell = blk};
    }
    const i32 head = std::max(cell::head_index(*input), 0);
    Cell* blk = block::push_only(3);
    block::rs_append(*blk, cell::integer(f.line));
    Cell mark = *input;
    mark.data1 = static_cast<u32>(head + f.mark);
    block::rs_append(*blk, mark);
    Cell lf = *input;
    lf.data1 = static_cast<u32>(head + f.last_lf);
    block::rs_append(*blk, lf);
    return Machine{.cell = blk};
}

Machine unescape_entry(const Machine* a, i32) {
    Cell* str = stack::push(*a[0].cell);
    if (cell::type_of(*str) != type::string) natives::expect_arg(*str, "str");
    SeriesBuffer* s = series::buffer_of(*str);
    const i32 len = static_cast<i32>(s->length());
    const i32 head = std::clamp(cell::head_index(*str), 0, len);
    std::vector<u32> src;
    for (i32 i = head; i < len; i++) src.push_back(string::get_char(s->head_ptr() + static_cast<size_t>(i) * s->unit(), s->unit()));
    std::vector<u32> out;
    const bool ok = unescape_chars(src.data(), static_cast<i32>(src.size()), out);
    // Written in place: on failure the characters not yet read stay after
    // the decoded ones, and the tail stays where it was.
    for (size_t i = 0; i < out.size(); i++)
        string::overwrite_char(series::buffer_of(*str), head + static_cast<i32>(i), out[i]);
    if (!ok) fire(ErrorId::script_invalid_data, *str);
    string::rs_truncate(series::buffer_of(*str), head + static_cast<i32>(out.size()));
    return Machine{.cell = str};
}

Machine encode_entry(const Machine* a, i32) {
    const bool ascii = logic::truth(*a[0].cell);
    return Machine{.cell = encode(*a[2].cell, *a[1].cell, ascii)};
}

}  // namespace oru::json
