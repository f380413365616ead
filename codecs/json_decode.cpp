// The JSON scanner: text to values, and the escape decoder.
//
// One pass over a private copy of the input's characters (the input's buffer
// may move at any allocation). Open containers are a stack of frames over
// held_cells; a closing bracket copies the container's cells into a block
// of their exact count, and a closing brace makes the map of its key and
// value cells (a repeated key keeps its first place and takes the later
// value). Line feeds are counted as whitespace is met, and the position
// after each complete value and after each property's colon is kept, so a
// failure reports what the grammar would.
#include "codecs/json.h"

#include "codecs/held_cells.h"
#include "codecs/lexer.h"
#include "codecs/text_out.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
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

namespace oru::json {

namespace {

bool digit_q(u32 c) { return c >= '0' && c <= '9'; }
bool hex_q(u32 c) { return digit_q(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
u32 hex_value(u32 c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// Characters that end a word: the key "a b" stays a string.
bool not_word_char_q(u32 c) {
    switch (c) {
        case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')': case '{': case '}':
        case '"': case '#': case '%': case '$': case '@': case ':': case ';': case '\n': case 0xA0: case ' ':
        case '\t': case '\r': case '<': case '>':
            return true;
        default: return false;
    }
}

// A key becomes a word when it is one word-1st character followed by word
// characters: a first digit or apostrophe keeps it a string.
bool word_key_q(const u32* k, i32 n) {
    if (n == 0 || not_word_char_q(k[0]) || digit_q(k[0]) || k[0] == '\'') return false;
    for (i32 i = 1; i < n; i++)
        if (not_word_char_q(k[i])) return false;
    return true;
}

Cell word_of_key(const u32* k, i32 n) {
    TextOut utf8;
    for (i32 i = 0; i < n; i++) utf8.put(k[i]);
    return word::of_symbol(symbol::make_from(utf8.bytes(), utf8.byte_count()));
}

// The value `load` makes of number text: integer! unless the text has a
// fraction or an exponent, has more than 10 digits or leaves the 32-bit range.
Cell number_of(const char* p, i32 n, bool fraction) {
    const i32 digits = n - (p[0] == '-' ? 1 : 0);
    if (!fraction && digits <= 10) {
        i32 error = 0;
        const i32 v = lexer::scan_integer(reinterpret_cast<const u8*>(p), 1, n, &error);
        if (error == 0) return cell::integer(v);
    }
    i32 error = 0;
    return cell::float_(lexer::scan_float(reinterpret_cast<const u8*>(p), 1, n, &error));
}

// The error argument of a bad escape: what was decoded, followed by the
// characters not yet read, as an in-place decoder leaves its string.
[[noreturn]] void bad_escape(const std::vector<u32>& done, const u32* src, i32 n) {
    std::vector<u32> partial(done);
    partial.insert(partial.end(), src + std::min<i32>(static_cast<i32>(done.size()), n), src + n);
    u32 widest = 0;
    for (u32 c : partial) widest = std::max(widest, c);
    Cell* s = stack::push(held_cells::string_of(partial.data(), static_cast<i32>(partial.size()), widest));
    fire(ErrorId::script_invalid_data, *s);
}

template <class T>
class Decoder {
public:
    // The input: n characters of the buffer of node `in` from character
    // `head`. Nothing changes it meanwhile, but any allocation may move it.
    Decoder(Node in, i32 head, i32 n) : in_(in), head_(head), n_(n) { reload(); }

    bool run(Failure* f) {
        const bool ok = scan();
        f->line = line_;
        f->mark = mark_;
        f->last_lf = last_lf_;
        return ok;
    }

private:
    struct Frame {
        bool object;
        size_t base;
    };

    Node in_;
    i32 head_;
    const T* s_ = nullptr;
    i32 n_;
    i32 pos_ = 0;

    void reload() { s_ = reinterpret_cast<const T*>(memory::buffer(in_)->head_ptr()) + head_; }
    i32 line_ = 1, mark_ = 0, last_lf_ = 0;
    std::vector<Frame> frames_;
    std::vector<u32> key_;
    std::vector<u32> raw_;

    u32 at(i32 i) const { return i < n_ ? static_cast<u32>(s_[i]) : 0xFFFFFFFFu; }

    void ws() {
        while (pos_ < n_) {
            const u32 c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\r') {
                pos_++;
            } else if (c == '\n') {
                pos_++;
                last_lf_ = pos_;
                line_++;
                mark_ = pos_;
            } else {
                break;
            }
        }
    }

    bool literal(const char* word, const Cell& value) {
        const i32 len = static_cast<i32>(std::strlen(word));
        if (pos_ + len > n_) return false;
        for (i32 i = 0; i < len; i++)
            if (static_cast<u32>(s_[pos_ + i]) != static_cast<u8>(word[i])) return false;
        pos_ += len;
        held_cells::cells().push_back(value);
        return true;
    }

    bool number() {
        const i32 start = pos_;
        if (at(pos_) == '-') pos_++;
        const u32 c = at(pos_);
        if (c >= '1' && c <= '9') {
            while (digit_q(at(++pos_))) {}
        } else if (c == '0') {
            pos_++;
        } else {
            return false;
        }
        bool fraction = false;
        if (at(pos_) == '.' && digit_q(at(pos_ + 1))) {
            pos_ += 2;
            while (digit_q(at(pos_))) pos_++;
            fraction = true;
        }
        if ((at(pos_) | 0x20) == 'e') {
            i32 q = pos_ + 1;
            if (at(q) == '+' || at(q) == '-') q++;
            if (digit_q(at(q))) {
                while (digit_q(at(++q))) {}
                pos_ = q;
                fraction = true;
            }
        }
        const i32 n = pos_ - start;
        char small[64];
        std::string big;
        char* text = small;
        if (n >= static_cast<i32>(sizeof small)) {
            big.resize(static_cast<size_t>(n));
            text = big.data();
        }
        for (i32 i = 0; i < n; i++) text[i] = static_cast<char>(s_[start + i]);
        held_cells::cells().push_back(number_of(text, n, fraction));
        return true;
    }

    // A string literal at the opening quote. Its value goes to the held
    // cells, or with as_key to key_ (decoded code points).
    bool string_literal(bool as_key) {
        pos_++;
        const i32 body = pos_;
        bool escaped = false;
        u32 widest = 0;
        for (;;) {
            if (pos_ >= n_) return false;
            const u32 c = s_[pos_];
            if (c == '"') break;
            if (c == '\\') {
                const u32 e = at(pos_ + 1);
                if (e == 'u') {
                    for (i32 i = 2; i < 6; i++)
                        if (!hex_q(at(pos_ + i))) return false;
                    pos_ += 6;
                } else if (e == '"' || e == 't' || e == '\\' || e == '/' || e == 'n' || e == 'r' || e == 'b' ||
                           e == 'f') {
                    pos_ += 2;
                } else {
                    return false;
                }
                escaped = true;
                continue;
            }
            if (c < 32) return false;
            widest = std::max(widest, c);
            pos_++;
        }
        const i32 end = pos_++;
        const i32 count = end - body;
        if (!escaped && !as_key) {
            held_cells::cells().push_back(held_cells::string_of_input<T>(in_, head_ + body, count, widest));
            reload();
            return true;
        }
        raw_.assign(s_ + body, s_ + end);
        std::vector<u32>& out = as_key ? key_ : raw_scratch_;
        out.clear();
        if (!unescape_chars(raw_.data(), count, out)) bad_escape(out, raw_.data(), count);
        if (!as_key) {
            u32 w = 0;
            for (u32 ch : out) w = std::max(w, ch);
            held_cells::cells().push_back(held_cells::string_of(out.data(), static_cast<i32>(out.size()), w));
            reload();
        }
        return true;
    }
    std::vector<u32> raw_scratch_;

    void close_array() {
        const size_t base = frames_.back().base;
        frames_.pop_back();
        const Cell blk = held_cells::block_from(base);
        held_cells::cells().push_back(blk);
        reload();
    }

    void close_object() {
        const size_t base = frames_.back().base;
        frames_.pop_back();
        stack::Mark keep;
        Cell* m = stack::push(held_cells::block_from(base));
        map::make_from_pairs(*m, cell::node(*m));
        held_cells::cells().push_back(*m);
        reload();
    }

    // The key of a property: a word when it spells one, else the string.
    void push_key() {
        const i32 n = static_cast<i32>(key_.size());
        if (word_key_q(key_.data(), n)) {
            held_cells::cells().push_back(word_of_key(key_.data(), n));
        } else {
            u32 widest = 0;
            for (u32 ch : key_) widest = std::max(widest, ch);
            held_cells::cells().push_back(held_cells::string_of(key_.data(), n, widest));
        }
        reload();
    }

    bool scan() {
    value:
        ws();
        switch (at(pos_)) {
            case 't': if (!literal("true", logic::make(true))) return false; break;
            case 'f': if (!literal("false", logic::make(false))) return false; break;
            case 'n': if (!literal("null", none::value)) return false; break;
            case '"': if (!string_literal(false)) return false; break;
            case '{':
                pos_++;
                frames_.push_back({true, held_cells::cells().size()});
                ws();
                if (at(pos_) == '}') {
                    pos_++;
                    close_object();
                    break;
                }
                goto property;
            case '[':
                pos_++;
                frames_.push_back({false, held_cells::cells().size()});
                ws();
                if (at(pos_) == ']') {
                    pos_++;
                    close_array();
                    break;
                }
                goto value;
            default:
                if (!number()) return false;
        }
    after_value:
        mark_ = pos_;
        ws();
        if (frames_.empty()) return pos_ == n_;
        if (at(pos_) == ',') {
            pos_++;
            ws();
            if (frames_.back().object) goto property;
            goto value;
        }
        if (frames_.back().object ? at(pos_) == '}' : at(pos_) == ']') {
            pos_++;
            if (frames_.back().object) close_object();
            else close_array();
            goto after_value;
        }
        return false;
    property:
        ws();
        if (at(pos_) != '"' || !string_literal(true)) return false;
        ws();
        if (at(pos_) != ':') return false;
        mark_ = ++pos_;
        push_key();
        goto value;
    }
};

template <class T>
bool decode_units(Node in, i32 head, i32 count, Cell* out, Failure* f) {
    held_cells::Scope scope;
    Decoder<T> d(in, head, count);
    if (!d.run(f)) return false;
    *out = held_cells::cells()[scope.base()];
    return true;
}

}  // namespace

bool unescape_chars(const u32* src, i32 n, std::vector<u32>& out) {
    auto hex4 = [&](i32 at, u32* v) {
        if (at + 4 > n) return false;
        u32 r = 0;
        for (i32 i = at; i < at + 4; i++) {
            if (!hex_q(src[i])) return false;
            r = r << 4 | hex_value(src[i]);
        }
        *v = r;
        return true;
    };
    for (i32 i = 0; i < n;) {
        const u32 c = src[i];
        if (c != '\\') {
            out.push_back(c);
            i++;
            continue;
        }
        if (i + 1 >= n) return false;
        const u32 e = src[i + 1];
        u32 v;
        switch (e) {
            case '"': case '\\': case '/': v = e; break;
            case 'b': v = 8; break;
            case 'f': v = 12; break;
            case 'n': v = 10; break;
            case 'r': v = 13; break;
            case 't': v = 9; break;
            case 'u': {
                if (!hex4(i + 2, &v)) return false;
                if (v >= 0xDC00 && v <= 0xDFFF) return false;  // a low surrogate with no high one before it
                if (v >= 0xD800 && v <= 0xDBFF) {
                    u32 low;
                    if (i + 12 > n || src[i + 6] != '\\' || src[i + 7] != 'u' || !hex4(i + 8, &low) || low < 0xDC00 ||
                        low > 0xDFFF)
                        return false;
                    out.push_back(0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00));
                    i += 12;
                    continue;
                }
                out.push_back(v);
                i += 6;
                continue;
            }
            default: return false;
        }
        out.push_back(v);
        i += 2;
    }
    return true;
}

bool decode(const Cell& text, Cell* out, Failure* f) {
    SeriesBuffer* s = series::buffer_of(text);
    const i32 len = static_cast<i32>(s->length());
    const i32 head = std::clamp(cell::head_index(text), 0, len);
    const Node in = cell::node(text);
    switch (s->unit()) {
        case 1: return decode_units<u8>(in, head, len - head, out, f);
        case 2: return decode_units<u16>(in, head, len - head, out, f);
        default: return decode_units<u32>(in, head, len - head, out, f);
    }
}

}  // namespace oru::json
