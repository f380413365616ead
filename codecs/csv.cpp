// The CSV reader and writer and their routine entries.
//
// Reader: fields go to held_cells as they are added to the line; adding the
// line turns them into a row block (or keeps them, for a flat result, or
// makes a map from the header names, for records). A line that cannot be
// read (a closing quote followed by something other than the delimiter or
// a line end) makes the result an error naming its line: stopping there
// and returning the lines before it would pass a damaged file off as a
// shorter one. Writer: text goes to
// a TextOut; forming a value may allocate, so records are walked by node and
// index and fetched again after each value.
#include "codecs/csv.h"

#include "codecs/held_cells.h"
#include "codecs/text_out.h"
#include "interpreter/actions.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace oru::csv {

namespace {

using routine::Machine;
using Text = std::vector<u32>;

// The characters of a string from its position.
Text chars_of(const Cell& str) {
    SeriesBuffer* s = series::buffer_of(str);
    const i32 len = static_cast<i32>(s->length());
    Text t;
    for (i32 i = std::clamp(cell::head_index(str), 0, len); i < len; i++)
        t.push_back(string::get_char(s->head_ptr() + static_cast<size_t>(i) * s->unit(), s->unit()));
    return t;
}

// A char! delimiter or the characters of a string! one.
Text delimiter_of(const Cell& d) {
    if (cell::type_of(d) == type::char_) return Text{static_cast<u32>(char_::get(d))};
    return chars_of(d);
}

Cell string_cell(const Text& t) {
    u32 widest = 0;
    for (u32 c : t) widest = std::max(widest, c);
    return held_cells::string_of(t.data(), static_cast<i32>(t.size()), widest);
}

// "A" -> "B", "Z" -> "AA", "AZ" -> "BA": the next default column name.
Text next_column_name(Text name) {
    for (i32 i = static_cast<i32>(name.size()) - 1; i >= 0; i--) {
        if (name[static_cast<size_t>(i)] == 'Z') {
            name[static_cast<size_t>(i)] = 'A';
            if (i == 0) name.insert(name.begin(), 'A');
        } else {
            name[static_cast<size_t>(i)]++;
            break;
        }
    }
    return name;
}

bool space_q(u32 c) {
    return (c >= 1 && c <= 32) || c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

enum class Shape { rows, flat, records, columns };

template <class T>
class Reader {
public:
    // The input: n characters of the buffer of node `in` from character
    // `head`. Nothing changes it meanwhile, but any allocation may move it.
    Reader(Node in, i32 head, i32 n, Text delim, u32 qt, Shape shape, bool trim, bool ignore_empty, bool strict)
        : in_(in), head_(head), n_(n), delim_(std::move(delim)), qt_(qt), shape_(shape), trim_(trim),
          ignore_empty_(ignore_empty), strict_(strict) {
        reload();
        single_ = delim_.size() == 1 ? delim_[0] : 0xFFFFFFFFu;
    }

    // The result value, or an error code.
    i32 run(bool header, Cell* out) {
        std::vector<Cell>& held = held_cells::cells();
        rows_ = line_ = held.size();
        i32 pos = 0;
        if (header) {
            i32 end = values(0);
            i32 after;
            if (!line_end(end, &after)) return too_small;
            for (size_t i = line_; i < held_cells::cells().size(); i++) header_.push_back(chars_of(held_cells::cells()[i]));
            held_cells::cells().resize(line_);
            if (after >= n_) return too_small;
            pos = after;
        } else {
            header_.push_back(Text{'A'});
        }
        while (pos < n_) {
            const i32 end = values(pos);
            i32 after;
            if (line_end(end, &after)) pos = after;
            else if (end >= n_) pos = end;
            else return -line_number(pos);  // a closing quote followed by another character
            if (add_line()) return not_aligned;
        }
        if (shape_ == Shape::columns) {
            *out = columns();
            return 0;
        }
        *out = held_cells::block_from(rows_);
        return 0;
    }

private:
    Node in_;
    i32 head_;
    const T* s_ = nullptr;
    i32 n_;
    Text delim_;
    u32 single_;  // the delimiter when it is one character
    u32 qt_;
    Shape shape_;
    bool trim_, ignore_empty_, strict_;
    size_t rows_ = 0, line_ = 0;
    i32 longest_ = -1;
    std::vector<Text> header_;
    // The field just read: a run of the input (plain_), or the characters
    // of a quoted field with its doubled quotes made single.
    bool plain_ = true;
    i32 from_ = 0, count_ = 0;
    u32 widest_ = 0;
    Text value_;

    void reload() { s_ = reinterpret_cast<const T*>(memory::buffer(in_)->head_ptr()) + head_; }

    u32 at(i32 i) const { return i < n_ ? static_cast<u32>(s_[i]) : 0xFFFFFFFFu; }

    // The line of the text that position p lies on, from 1 (a carriage
    // return and line feed end one line).
    i32 line_number(i32 p) const {
        i32 line = 1;
        for (i32 i = 0; i < p; i++)
            if (s_[i] == '\n' || (s_[i] == '\r' && at(i + 1) != '\n')) line++;
        return line;
    }

    bool delimiter_char_q(u32 c) const {
        return c == single_ || (single_ == 0xFFFFFFFFu && std::find(delim_.begin(), delim_.end(), c) != delim_.end());
    }

    bool delimiter(i32 p, i32* after) const {
        if (p + static_cast<i32>(delim_.size()) > n_) return false;
        for (size_t i = 0; i < delim_.size(); i++)
            if (static_cast<u32>(s_[p + static_cast<i32>(i)]) != delim_[i]) return false;
        *after = p + static_cast<i32>(delim_.size());
        return true;
    }

    bool line_end(i32 p, i32* after) const {
        if (at(p) == '\r') {
            *after = at(p + 1) == '\n' ? p + 2 : p + 1;
            return true;
        }
        if (at(p) == '\n') {
            *after = p + 1;
            return true;
        }
        return false;
    }

    // One field at p: quoted when a closing quote is found, else plain.
    // Returns the position after it.
    i32 field(i32 p) {
        if (at(p) == qt_) {
            value_.clear();
            i32 q = p + 1;
            for (; q < n_; q++) {
                const u32 c = s_[q];
                if (c != qt_) {
                    value_.push_back(c);
                } else if (at(q + 1) == qt_) {
                    value_.push_back(c);
                    q++;
                } else {
                    break;
                }
            }
            if (q < n_) {
                plain_ = false;
                return q + 1;
            }
        }
        u32 widest = 0;
        i32 q = p;
        while (q < n_) {
            const u32 c = s_[q];
            if (c == '\n' || c == '\r' || delimiter_char_q(c)) break;
            widest = std::max(widest, c);
            q++;
        }
        plain_ = true;
        from_ = p;
        count_ = q - p;
        widest_ = widest;
        return q;
    }

    void add_field() {
        if (plain_ && !trim_) {
            held_cells::cells().push_back(held_cells::string_of_input<T>(in_, head_ + from_, count_, widest_));
            reload();
            return;
        }
        if (plain_) value_.assign(s_ + from_, s_ + from_ + count_);
        size_t from = 0, to = value_.size();
        if (trim_) {
            while (from < to && space_q(value_[from])) from++;
            while (to > from && space_q(value_[to - 1])) to--;
            if (to > from && value_[from] == qt_ && value_[to - 1] == qt_) {
                from++;
                if (to > from) to--;
            }
        }
        u32 widest = 0;
        for (size_t i = from; i < to; i++) widest = std::max(widest, value_[i]);
        held_cells::cells().push_back(
            held_cells::string_of(value_.data() + from, static_cast<i32>(to - from), widest));
        reload();
    }

    // The fields of a line from p; returns the position after them.
    i32 values(i32 p) {
        for (;;) {
            const i32 end = field(p);
            i32 after;
            if (!delimiter(end, &after) || after == p) {
                add_field();
                return end;
            }
            add_field();
            p = after;
        }
    }

    // True when the line breaks the alignment.
    bool add_line() {
        std::vector<Cell>& held = held_cells::cells();
        if (ignore_empty_ && held.size() > line_ && series::abs_length_q(held.back()) == 0) held.pop_back();
        const i32 count = static_cast<i32>(held_cells::cells().size() - line_);
        if (longest_ < 0) longest_ = count;
        else if (strict_ && count != longest_) return true;
        else longest_ = std::max(longest_, count);
        switch (shape_) {
            case Shape::flat: break;
            case Shape::records: record(count); break;
            default: held_cells::cells().push_back(held_cells::block_from(line_)); break;
        }
        reload();
        line_ = held_cells::cells().size();
        return false;
    }

    // The line's fields become a map from the header's names.
    void record(i32 count) {
        while (static_cast<i32>(header_.size()) < longest_) header_.push_back(next_column_name(header_.back()));
        const size_t fields = line_;
        for (i32 i = 0; i < count; i++) {
            const Cell name = string_cell(header_[static_cast<size_t>(i)]);
            held_cells::cells().push_back(name);
            const Cell field = held_cells::cells()[fields + static_cast<size_t>(i)];
            held_cells::cells().push_back(field);
        }
        Cell* m = stack::push(held_cells::block_from(fields + static_cast<size_t>(count)));
        map::make_from_pairs(*m, cell::node(*m));
        held_cells::cells().resize(fields);
        held_cells::cells().push_back(*m);
        stack::pop(1);
    }

    Cell columns() {
        if (longest_ > static_cast<i32>(header_.size())) {
            header_.assign(1, Text{'A'});
            while (static_cast<i32>(header_.size()) < longest_) header_.push_back(next_column_name(header_.back()));
        }
        const size_t rows_end = held_cells::cells().size();
        for (size_t c = 0; c < header_.size(); c++) {
            held_cells::cells().push_back(string_cell(header_[c]));
            const size_t column = held_cells::cells().size();
            for (size_t r = rows_; r < rows_end; r++) {
                const Cell row = held_cells::cells()[r];
                const Node n = cell::node(row);
                held_cells::cells().push_back(c < memory::buffer(n)->length() ? memory::buffer(n)->cells()[c]
                                                                              : none::value);
            }
            held_cells::cells().push_back(held_cells::block_from(column));
        }
        Cell* m = stack::push(held_cells::block_from(rows_end));
        map::make_from_pairs(*m, cell::node(*m));
        const Cell result = *m;
        stack::pop(1);
        return result;
    }
};

template <class T>
i32 read_units(Node in, i32 head, i32 count, Cell* out, const Cell& delim, u32 qt, Shape shape, bool header,
               bool trim, bool ignore_empty, bool strict) {
    held_cells::Scope scope;
    Reader<T> r(in, head, count, delimiter_of(delim), qt, shape, trim, ignore_empty, strict);
    return r.run(header, out);
}

// --- Writing ------------------------------------------------------------------

class Writer {
public:
    Writer(const Cell& delim, u32 qt, bool strict) : delim_(delimiter_of(delim)), qt_(qt), strict_(strict) {
        single_ = delim_.size() == 1 ? delim_[0] : 0xFFFFFFFFu;
        scratch_ = stack::push();
        string::make_at(*scratch_, 64);
    }

    TextOut out;

    // escape-value: a string as it is, anything else formed; quote
    // characters doubled; quoted when it then holds a quotable character.
    void value(const Cell& v, TextOut& o) {
        if (cell::type_of(v) == type::string) return text(v, o);
        stack::Mark mark;
        Cell* held = stack::push(v);
        string::rs_reset(*scratch_);
        actions::form(held, scratch_, nullptr, 0x7FFFFFFF);
        text(*scratch_, o);
    }

    bool quotable_q(u32 c) const {
        if (c > ' ' && c != qt_ && c != single_) [[likely]]
            return delim_.size() > 1 && std::find(delim_.begin(), delim_.end(), c) != delim_.end();
        return c == ' ' || c == '\n' || c == '\r' || c == qt_ || c == single_ ||
               (delim_.size() > 1 && std::find(delim_.begin(), delim_.end(), c) != delim_.end());
    }

    // Writing allocates nothing: the string's buffer stays where it is.
    void text(const Cell& str, TextOut& o) {
        SeriesBuffer* s = series::buffer_of(str);
        const i32 len = static_cast<i32>(s->length());
        const i32 from = std::clamp(cell::head_index(str), 0, len);
        switch (s->unit()) {
            case 1: return text_units(s->head_ptr() + from, len - from, o);
            case 2: return text_units(reinterpret_cast<const u16*>(s->head_ptr()) + from, len - from, o);
            default: return text_units(reinterpret_cast<const u32*>(s->head_ptr()) + from, len - from, o);
        }
    }

    template <class T>
    void text_units(const T* p, i32 n, TextOut& o) {
        bool quote = false;
        for (i32 i = 0; i < n && !quote; i++) quote = quotable_q(p[i]);
        if (!quote) return o.units(reinterpret_cast<const u8*>(p), sizeof(T), n);
        o.put(qt_);
        for (i32 i = 0; i < n; i++) {
            if (p[i] == qt_) o.put(qt_);
            o.put(p[i]);
        }
        o.put(qt_);
    }

    void delimiter() {
        for (u32 c : delim_) out.put(c);
    }

    // to-csv-line: the values of the block joined by the delimiter, and a
    // line feed (an empty block gives an empty line).
    void line(const Cell& blk) {
        if (!series::block_like_q(cell::type_of(blk))) natives::expect_arg(blk, "data");
        const Node n = cell::node(blk);
        const i32 head = std::max(cell::head_index(blk), 0);
        for (i32 i = head; i < static_cast<i32>(memory::buffer(n)->length()); i++) {
            if (i > head) delimiter();
            value(memory::buffer(n)->cells()[i], out);
        }
        out.ascii('\n');
    }

    // Lines of the cells [from, from + count) of a block.
    void line_of(Node n, i32 from, i32 count) {
        for (i32 i = 0; i < count; i++) {
            if (i) delimiter();
            value(memory::buffer(n)->cells()[from + i], out);
        }
        out.ascii('\n');
    }

    bool blocks(const Cell& data) {
        const Node n = cell::node(data);
        const i32 head = std::max(cell::head_index(data), 0);
        const i32 len = static_cast<i32>(memory::buffer(n)->length());
        i32 width = -1;
        for (i32 i = head; i < len; i++) {
            const Cell rec = memory::buffer(n)->cells()[i];
            if (!series::block_like_q(cell::type_of(rec))) natives::expect_arg(rec, "data");
            const i32 k = std::max(series::abs_length_q(rec) - std::max(cell::head_index(rec), 0), 0);
            if (width < 0) width = k;
            else if (k != width) return false;
        }
        for (i32 i = head; i < len; i++) line(memory::buffer(n)->cells()[i]);
        return true;
    }

    bool flat(const Cell& data, i32 size) {
        if (size < 1) fire(ErrorId::script_out_of_range, cell::integer(size));
        const Node n = cell::node(data);
        const i32 head = std::max(cell::head_index(data), 0);
        const i32 count = std::max(static_cast<i32>(memory::buffer(n)->length()) - head, 0);
        if (count % size) return false;
        for (i32 i = head; i < head + count; i += size) line_of(n, i, size);
        return true;
    }

    // The keys of a map (its live pairs) or the words of an object.
    static void keys_of(const Cell& v, std::vector<Cell>& keys) {
        if (cell::type_of(v) == type::map) {
            const Node pairs = cell::node(v);
            for (i32 i = 0; i + 1 < static_cast<i32>(memory::buffer(pairs)->length()); i += 2) {
                const Cell* c = memory::buffer(pairs)->cells() + i;
                if (c[1].header == 0) continue;
                Cell k = c[0];
                if (cell::type_of(k) == type::set_word) cell::set_type(k, type::word);
                keys.push_back(k);
            }
        } else if (cell::type_of(v) == type::object) {
            const Node ctx = v.data1;
            for (i32 i = 0; i < context::length(ctx); i++) {
                const Cell w = *context::word_at(ctx, i);
                keys.push_back(cell::make(type::word, w.data1, w.data2, w.data3));
            }
        } else {
            natives::expect_arg(v, "data");
        }
    }

    static bool same_key(const Cell& a, const Cell& b) {
        const u32 ta = cell::type_of(a), tb = cell::type_of(b);
        if (word::any_word_type_q(ta) && word::any_word_type_q(tb))
            return symbol::canonical(word::symbol_of(a)) == symbol::canonical(word::symbol_of(b));
        if (ta != tb) return false;
        if (series::string_like_q(ta)) return string::compare_strings(a, b, 2, false) == 0;
        return std::memcmp(&a, &b, sizeof a) == 0;
    }

    // get-columns: every key, once, in order of first appearance.
    static void columns(const Cell& data, std::vector<Cell>& cols) {
        const Node n = cell::node(data);
        const i32 head = std::max(cell::head_index(data), 0);
        std::vector<Cell> keys;
        for (i32 i = head; i < static_cast<i32>(memory::buffer(n)->length()); i++) {
            keys.clear();
            keys_of(memory::buffer(n)->cells()[i], keys);
            for (const Cell& k : keys)
                if (std::none_of(cols.begin(), cols.end(), [&](const Cell& c) { return same_key(c, k); }))
                    cols.push_back(k);
        }
    }

    void header(const Cell& keys_block) {
        line(keys_block);
    }

    void maps(const Cell& data) {
        stack::Mark mark;
        std::vector<Cell> cols;
        columns(data, cols);
        Cell* keys = block::push_only(static_cast<i32>(cols.size()));
        for (const Cell& c : cols) block::rs_append(*keys, c);
        header(*keys);
        const Node n = cell::node(data);
        const i32 head = std::max(cell::head_index(data), 0);
        const i32 width = static_cast<i32>(cols.size());
        for (i32 i = head; i < static_cast<i32>(memory::buffer(n)->length()); i++) {
            for (i32 c = 0; c < width; c++) {
                stack::Mark each;
                Cell* rec = stack::push(memory::buffer(n)->cells()[i]);
                Cell* key = stack::push(block::rs_abs_at(*keys, c)[0]);
                Cell v = none::value;
                if (cell::type_of(*rec) == type::map) {
                    v = *actions::select(rec, key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
                } else {
                    const Node ctx = rec->data1;
                    for (i32 w = 0; w < context::length(ctx); w++)
                        if (symbol::canonical(word::symbol_of(*context::word_at(ctx, w))) ==
                            symbol::canonical(word::symbol_of(*key)))
                            v = context::values(ctx)[w];
                }
                if (c) delimiter();
                const u32 vt = cell::type_of(v);
                if (vt == type::none || (vt == type::logic && !logic::get(v)) || vt == type::unset) continue;
                value(v, out);
            }
            out.ascii('\n');
        }
    }

    bool map(const Cell& data) {
        stack::Mark mark;
        std::vector<Cell> keys;
        keys_of(data, keys);
        if (keys.empty()) return true;
        Cell* kb = block::push_only(static_cast<i32>(keys.size()));
        for (const Cell& k : keys) block::rs_append(*kb, k);
        header(*kb);
        Cell* cols = block::push_only(static_cast<i32>(keys.size()));
        for (i32 c = 0; c < static_cast<i32>(keys.size()); c++) {
            stack::Mark each;
            Cell* d = stack::push(data);
            Cell* key = stack::push(block::rs_abs_at(*kb, c)[0]);
            const Cell col = *actions::select(d, key, nullptr, false, true, false, false, nullptr, nullptr, false, false);
            if (!series::block_like_q(cell::type_of(col))) natives::expect_arg(col, "data");
            block::rs_append(*cols, col);
        }
        auto length_of = [](const Cell& col) {
            return std::max(series::abs_length_q(col) - std::max(cell::head_index(col), 0), 0);
        };
        const i32 count = length_of(*block::rs_abs_at(*cols, 0));
        for (i32 c = 1; c < static_cast<i32>(keys.size()); c++)
            if (strict_ && length_of(*block::rs_abs_at(*cols, c)) != count) return false;
        for (i32 r = 0; r < count; r++) {
            for (i32 c = 0; c < static_cast<i32>(keys.size()); c++) {
                if (c) delimiter();
                const Cell col = *block::rs_abs_at(*cols, c);
                const i32 at = std::max(cell::head_index(col), 0) + r;
                value(at < series::abs_length_q(col) ? *block::rs_abs_at(col, at) : none::value, out);
            }
            out.ascii('\n');
        }
        return true;
    }

private:
    Text delim_;
    u32 qt_;
    u32 single_;  // the delimiter when it is one character
    bool strict_;
    Cell* scratch_;
};

}  // namespace

i32 decode(const Cell& data, const Cell& delim, u32 qt, const char* shape_name, bool header, bool trim,
           bool ignore_empty, bool strict, Cell* out) {
    const Shape shape = std::strcmp(shape_name, "flat") == 0      ? Shape::flat
                        : std::strcmp(shape_name, "records") == 0 ? Shape::records
                        : std::strcmp(shape_name, "columns") == 0 ? Shape::columns
                                                                  : Shape::rows;
    SeriesBuffer* s = series::buffer_of(data);
    const i32 len = static_cast<i32>(s->length());
    const i32 head = std::clamp(cell::head_index(data), 0, len);
    const Node in = cell::node(data);
    switch (s->unit()) {
        case 1: return read_units<u8>(in, head, len - head, out, delim, qt, shape, header, trim, ignore_empty, strict);
        case 2: return read_units<u16>(in, head, len - head, out, delim, qt, shape, header, trim, ignore_empty, strict);
        default: return read_units<u32>(in, head, len - head, out, delim, qt, shape, header, trim, ignore_empty, strict);
    }
}

Machine decode_entry(const Machine* a, i32) {
    // External arguments come last first.
    const bool strict = logic::truth(*a[0].cell);
    const bool ignore_empty = logic::truth(*a[1].cell);
    const bool trim = logic::truth(*a[2].cell);
    const bool header = logic::truth(*a[3].cell);
    const Cell shape = *a[4].cell;
    const Cell qt = *a[5].cell;
    Cell* delim = stack::push(*a[6].cell);
    Cell* data = stack::push(*a[7].cell);
    if (cell::type_of(*data) != type::string) natives::expect_arg(*data, "data");
    if (cell::type_of(*delim) != type::char_ && cell::type_of(*delim) != type::string)
        natives::expect_arg(*delim, "delimiter");
    if (cell::type_of(qt) != type::char_) natives::expect_arg(qt, "quote-char");
    if (cell::type_of(shape) != type::word) natives::expect_arg(shape, "shape");
    const std::string shape_name = symbol::get_c_string(word::symbol_of(shape));
    Cell* result = stack::push(none::value);
    const i32 code = decode(*data, *delim, static_cast<u32>(char_::get(qt)), shape_name.c_str(), header, trim,
                            ignore_empty, strict, result);
    if (code) *result = cell::integer(code);
    return Machine{.cell = result};
}

Cell* encode(const Cell& data_arg, const Cell& delim_arg, u32 qt, const char* mode, i32 size, bool strict, bool bytes) {
    Cell* delim = stack::push(delim_arg);
    Cell* data = stack::push(data_arg);
    auto is = [mode](const char* name) { return std::strcmp(mode, name) == 0; };
    const u32 dt = cell::type_of(*data);
    if (is("types") || is("columns")) {
        if (!series::block_like_q(dt)) natives::expect_arg(*data, "data");
        std::vector<Cell> found;
        if (is("columns")) {
            Writer::columns(*data, found);
        } else {
            const Node n = cell::node(*data);
            for (i32 i = std::max(cell::head_index(*data), 0); i < static_cast<i32>(memory::buffer(n)->length()); i++) {
                const Cell t = datatype::make(cell::type_of(memory::buffer(n)->cells()[i]));
                if (std::none_of(found.begin(), found.end(), [&](const Cell& c) { return c.data1 == t.data1; }))
                    found.push_back(t);
            }
        }
        Cell* blk = block::push_only(static_cast<i32>(found.size()));
        for (const Cell& c : found) block::rs_append(*blk, c);
        return blk;
    }
    Writer w(*delim, qt, strict);
    bool aligned = true;
    if (is("value")) {
        w.value(*data, w.out);
    } else if (is("map")) {
        if (dt != type::map && dt != type::object) natives::expect_arg(*data, "data");
        aligned = w.map(*data);
    } else {
        if (!series::block_like_q(dt)) natives::expect_arg(*data, "data");
        if (is("line")) w.line(*data);
        else if (is("maps")) w.maps(*data);
        else if (is("flat")) aligned = w.flat(*data, size);
        else aligned = w.blocks(*data);
    }
    if (!aligned) return stack::push(cell::integer(not_aligned));
    if (!bytes) return w.out.finish();
    // The writer's text is already UTF-8: the binary! takes its bytes as they are.
    if (w.out.byte_size() > 0x7FFFFFFF) fire(ErrorId::internal_no_memory);
    return binary::load_in(w.out.bytes(), w.out.byte_count(), nullptr);
}

Machine encode_entry(const Machine* a, i32) {
    const bool bytes = logic::truth(*a[0].cell);
    const bool strict = logic::truth(*a[1].cell);
    const Cell size = *a[2].cell;
    const Cell mode = *a[3].cell;
    const Cell qt = *a[4].cell;
    const Cell delim = *a[5].cell;
    const Cell data = *a[6].cell;
    if (cell::type_of(delim) != type::char_ && cell::type_of(delim) != type::string)
        natives::expect_arg(delim, "delimiter");
    if (cell::type_of(qt) != type::char_) natives::expect_arg(qt, "quote-char");
    if (cell::type_of(mode) != type::word) natives::expect_arg(mode, "mode");
    const std::string name = symbol::get_c_string(word::symbol_of(mode));
    const i32 n = cell::type_of(size) == type::integer ? static_cast<i32>(size.data2) : 0;
    return Machine{.cell = encode(data, delim, static_cast<u32>(char_::get(qt)), name.c_str(), n, strict, bytes)};
}

}  // namespace oru::csv
