// image!: make, mold, paths, pixel and channel access, navigation, change,
// copy, compare, and the codec entry points.
//
// Every handler that allocates (a new record, a binary, the mold text)
// keeps the images it reads on the data stack: the argument cells already
// are. Pixel addresses come from the backend and stay valid while the
// image lives, so loops over pixels hold them across nothing but arithmetic.
#include "runtime/datatypes/image.h"

#include "codecs/image_codecs.h"
#include "interpreter/actions.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/image_backend.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace oru::image {

FaceRenderer face_renderer = nullptr;

void make_at(Cell& cell, Node record, u32 width, u32 height) {
    if (record) {
        width = image_backend::width(record);
        height = image_backend::height(record);
    }
    cell = cell::make(type::image, 0, record, width | height << 16);
}

namespace {

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

i64 total_of(const Cell& img) { return i64{width_of(img)} * height_of(img); }
i64 head_of(const Cell& img) { return cell::head_index(img); }
u32* pixels_of(const Cell& img) { return image_backend::pixels(record_of(img)); }

// Pushes an image of the record (or without pixels).
Cell* push_image(Node record, u32 w = 0, u32 h = 0) {
    Cell* r = stack::push();
    make_at(*r, record, w, h);
    return r;
}

// A pixel as the language's tuple R.G.B.A (A the transparency).
Cell pixel_tuple(u32 px) {
    const u8 b[4] = {static_cast<u8>(px >> 16), static_cast<u8>(px >> 8), static_cast<u8>(px),
                     static_cast<u8>(255 - (px >> 24))};
    return tuple::make(b, 4);
}

// A tuple as a stored pixel word.
u32 tuple_pixel(const Cell& t) {
    u8 b[12];
    std::memcpy(b, &t.data1, sizeof b);
    const u32 opacity = tuple::length_of(t) > 3 ? 255u - b[3] : 255u;
    return opacity << 24 | static_cast<u32>(b[0]) << 16 | static_cast<u32>(b[1]) << 8 | b[2];
}

bool named(const Cell& element, i32 sym) {
    const u32 t = cell::type_of(element);
    return t >= type::word && t <= type::get_word &&
           symbol::canonical(word::symbol_of(element)) == symbol::canonical(sym);
}

// The pixel index that pick and poke address, or -1: integer n counts from
// the head (n >= 1 forwards, n < 0 backwards, 0 is no pixel), a pair x by y
// from the head's pixel with x in 1..width and y in 1..height.
i64 pixel_index(const Cell& img, i32 n, const Cell* index) {
    i64 i;
    if (index && cell::type_of(*index) == type::pair) {
        const i64 x = pair::x_of(*index), y = pair::y_of(*index);
        if (x < 1 || y < 1 || x > width_of(img) || y > height_of(img)) return -1;
        i = head_of(img) + (x - 1) + i64{width_of(img)} * (y - 1);
    } else {
        if (n == 0) return -1;
        i = head_of(img) + (n > 0 ? n - 1 : n);
    }
    return i >= 0 && i < total_of(img) && record_of(img) ? i : -1;
}

void notify(const Cell& img, const Cell& action, const Cell* value, i64 index, i64 count) {
    image_backend::mark_modified(record_of(img));
    series::notify(img, action, value, static_cast<i32>(index), static_cast<i32>(count));
}

// --- Make and to ---------------------------------------------------------------------

u32 side(i32 v) {
    if (v < 0) return 0;
    if (v > static_cast<i32>(image_codec::max_side)) fire(ErrorId::script_out_of_range, cell::integer(v));
    return static_cast<u32>(v);
}

Cell* copy_whole(const Cell& img) {
    if (!record_of(img)) return push_image(0, width_of(img), height_of(img));
    return push_image(image_backend::copy(record_of(img)));
}

Cell* to(Cell*, Cell* spec, u32) {
    if (cell::type_of(*spec) == type::image) return copy_whole(*spec);
    if (cell::type_of(*spec) == type::object && face_renderer)
        if (Cell* r = face_renderer(*spec)) return r;
    fire(ErrorId::script_bad_to_arg, datatype::make(type::image), *spec);
}

// W x H white and opaque, or [W x H colour-or-rgb alpha].
Cell* make(Cell* proto, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    if (st == type::pair) {
        const u32 w = side(pair::x_of(*spec)), h = side(pair::y_of(*spec));
        return push_image(image_backend::create_bitmap(w, h, nullptr, nullptr, nullptr), w, h);
    }
    if (st != type::block) return to(proto, spec, t);
    const Cell blk = *spec;
    const i32 n = block::rs_length_q(blk);
    if (n == 0) {
        if (cell::type_of(*proto) == type::image) return copy_whole(*proto);
        fire(ErrorId::script_invalid_arg, blk);
    }
    auto at = [&](i32 i) { return stack::push(*block::rs_abs_at(blk, cell::head_index(blk) + i)); };
    Cell* size = at(0);
    if (cell::type_of(*size) != type::pair) return to(proto, spec, t);
    Cell* colour = nullptr;
    Cell* rgb = nullptr;
    Cell* alpha = nullptr;
    if (n > 1) {
        Cell* v = at(1);
        if (cell::type_of(*v) == type::tuple) colour = v;
        else if (cell::type_of(*v) == type::binary) rgb = v;
        else fire(ErrorId::script_invalid_arg, *v);
    }
    if (n > 2) {
        alpha = at(2);
        if (cell::type_of(*alpha) != type::binary) fire(ErrorId::script_invalid_arg, *alpha);
    }
    const u32 w = side(pair::x_of(*size)), h = side(pair::y_of(*size));
    return push_image(image_backend::create_bitmap(w, h, rgb, alpha, colour), w, h);
}

// --- Form and mold -----------------------------------------------------------------------

void hex_byte(std::string& s, u32 b) {
    static constexpr char digits[] = "0123456789ABCDEF";
    s += digits[b >> 4 & 15];
    s += digits[b & 15];
}

void line(std::string& s, i32 level) {
    s += '\n';
    for (i32 i = 0; i < level; i++) s += "    ";
}

// "make image! [WxH #{RRGGBB...}]", then a block of transparency bytes when
// a pixel from the head is not opaque; unless flat, lines of ten pixels (ten
// bytes) at the value's indentation level, the closing brace one level less.
i32 mold(Cell* value, Cell* buffer, bool only, bool, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell img = *value;
    std::string s;
    if (!only) s += "make image! [";
    s += std::to_string(width_of(img)) + "x" + std::to_string(height_of(img));
    const i64 total = total_of(img);
    const i64 head = std::clamp<i64>(head_of(img), 0, total);
    const i64 count = record_of(img) ? total - head : 0;
    if (count <= 0) {
        s += " #{}";
    } else {
        const u32* px = pixels_of(img) + head;
        // The text stops once the /part budget is spent.
        const size_t cap = part ? static_cast<size_t>(std::max(limit, 0)) + 16 : SIZE_MAX;
        s += " #{";
        const bool lines = !flat && count >= 8;
        if (lines) line(s, indent);
        bool opaque = true;
        for (i64 i = 0; i < count && s.size() < cap; i++) {
            hex_byte(s, px[i] >> 16), hex_byte(s, px[i] >> 8), hex_byte(s, px[i]);
            opaque = opaque && (px[i] >> 24) == 255;
            if (!flat && (i + 1) % 10 == 0) line(s, indent);
        }
        if (lines && count % 10 != 0) line(s, indent - 1);
        s += "}";
        for (i64 i = 0; opaque && i < count; i++) opaque = (px[i] >> 24) == 255;
        if (!opaque && s.size() < cap) {
            s += " #{";
            line(s, indent);
            for (i64 i = 0; i < count && s.size() < cap; i++) {
                hex_byte(s, 255 - (px[i] >> 24));
                if (!flat && (i + 1) % 10 == 0 && i + 1 < count) line(s, indent);
            }
            line(s, indent - 1);
            s += "}";
        }
    }
    if (!only) s += "]";
    string::concatenate_bytes(*buffer, reinterpret_cast<const u8*>(s.data()), static_cast<i32>(std::min<size_t>(s.size(), 0x7FFFFFFF)));
    const i64 left = static_cast<i64>(limit) - static_cast<i64>(s.size());
    return left < INT32_MIN ? INT32_MIN : static_cast<i32>(left);
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

// --- Pixels ------------------------------------------------------------------------------

Cell* pick(Cell* series, i32 index, Cell* index_cell) {
    const i64 i = pixel_index(*series, index, index_cell);
    return stack::push(i < 0 ? none::value : pixel_tuple(pixels_of(*series)[i]));
}

Cell* poke(Cell* series, i32 index, Cell* value, Cell* index_cell) {
    if (cell::type_of(*value) != type::tuple) fire(ErrorId::script_invalid_arg, *value);
    const i64 i = pixel_index(*series, index, index_cell);
    if (i < 0) fire(ErrorId::script_out_of_range, index_cell ? *index_cell : cell::integer(index));
    pixels_of(*series)[i] = tuple_pixel(*value);
    notify(*series, words::word::poke, value, i, 1);
    return value;
}

// --- Channels ------------------------------------------------------------------------------

// --- Paths ----------------------------------------------------------------------------------

// Integers and pairs pick and poke; `size` reads; the channels read and write.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool, bool) {
    const u32 et = cell::type_of(*element);
    if (et == type::integer || et == type::pair) {
        const i32 n = et == type::integer ? static_cast<i32>(element->data2) : 0;
        return value ? poke(parent, n, value, element) : pick(parent, n, element);
    }
    const Cell where = path ? *path : none::value;
    if (named(*element, words::sym::size) && !value) return pair::push(static_cast<i32>(width_of(*parent)), static_cast<i32>(height_of(*parent)));
    i32 ch = -1;
    if (named(*element, words::sym::rgb)) ch = channel::rgb;
    else if (named(*element, words::sym::alpha)) ch = channel::alpha;
    else if (named(*element, words::sym::argb)) ch = channel::argb;
    if (ch < 0) fire(ErrorId::script_invalid_path, where, *element);
    if (!value) return extract_data(*parent, ch);
    set_data(*parent, *value, ch);
    return value;
}

// --- Comparison --------------------------------------------------------------------------

// Equal when the same bitmap at the same head; otherwise by size, then by
// the stored words from pixel 0. No order.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    const Cell& a = *value1;
    const Cell& b = *value2;
    if (cell::type_of(b) != type::image) return -2;
    const bool same = record_of(a) == record_of(b) && head_of(a) == head_of(b) && a.data3 == b.data3;
    if (op == actions::op::same) return same ? 0 : -1;
    if (op >= actions::op::lesser && op <= actions::op::greater_equal) return -2;
    if (same) return 0;
    if (total_of(a) != total_of(b)) return total_of(a) < total_of(b) ? -1 : 1;
    if (a.data3 != b.data3) return a.data3 < b.data3 ? -1 : 1;
    if (!record_of(a) || !record_of(b)) return record_of(a) == record_of(b) ? 0 : record_of(a) ? 1 : -1;
    const int c = std::memcmp(pixels_of(a), pixels_of(b), static_cast<size_t>(total_of(a)) * 4);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// --- Navigation ----------------------------------------------------------------------------

void set_head(Cell& img, i64 i) { img.data1 = static_cast<u32>(std::clamp<i64>(i, 0, total_of(img))); }

// at: the index as pick counts it; skip: 0-based (x + width x y for a pair).
void move_to(bool base1) {
    Cell& img = stack::arguments[0];
    const Cell& ix = stack::arguments[1];
    i64 i;
    if (cell::type_of(ix) == type::pair) {
        const i64 x = pair::x_of(ix), y = pair::y_of(ix);
        i = head_of(img) + (base1 ? (x - 1) + i64{width_of(img)} * (y - 1) : x + i64{width_of(img)} * y);
    } else if (cell::type_of(ix) == type::integer) {
        const i64 n = static_cast<i32>(ix.data2);
        i = head_of(img) + (base1 && n >= 1 ? n - 1 : n);
    } else {
        fire(ErrorId::script_invalid_arg, ix);
    }
    set_head(img, i);
    stack::keep();
}
void at() { move_to(true); }
void skip() { move_to(false); }

void next() {
    Cell& img = stack::arguments[0];
    if (head_of(img) + 1 <= total_of(img)) img.data1++;
    stack::keep();
}
void tail() {
    set_head(stack::arguments[0], total_of(stack::arguments[0]));
    stack::keep();
}
void tail_q() { stack::set_result(logic::make(head_of(stack::arguments[0]) >= total_of(stack::arguments[0]))); }

i32 length_q(Cell* value) { return static_cast<i32>(total_of(*value)); }

// --- Change and copy ----------------------------------------------------------------------

// A tuple colours the pixel at the head and moves past it; an image is
// copied as a rectangle whose top-left corner is the head's pixel.
void change(Cell* series, Cell* value, Cell* part, bool, i32 dup) {
    if (part || dup != 1) not_done();
    Cell& img = *series;
    const u32 vt = cell::type_of(*value);
    if (vt == type::tuple) {
        poke(series, 1, value, nullptr);
        img.data1++;
        return;
    }
    if (vt != type::image) fire(ErrorId::script_invalid_type, datatype::make(vt));
    const Cell src = *value;
    const i64 head = head_of(img), total = total_of(img);
    if (head >= total || !record_of(img) || !record_of(src)) return;
    const i64 w = width_of(img), h = height_of(img);
    const i64 column = head % w, row = head / w;
    const i64 cw = std::min<i64>(width_of(src), w - column), ch = std::min<i64>(height_of(src), h - row);
    const u32* s = pixels_of(src);
    u32* d = pixels_of(img);
    // memmove: the source may be the target itself.
    for (i64 y = 0; y < ch; y++) std::memmove(d + (row + y) * w + column, s + y * width_of(src), static_cast<size_t>(cw) * 4);
    if (ch > 0) img.data1 = static_cast<u32>((row + ch - 1) * w + std::min<i64>(column + width_of(src), w));
    notify(img, words::word::change, value, head, cw * ch);
}

// A region as a new image; an empty image when it has no pixels.
Cell* region(const Cell& img, i64 x, i64 y, i64 w, i64 h) {
    if (w < 1 || h < 1 || !record_of(img)) return push_image(0);
    return push_image(image_backend::copy_rect(record_of(img), static_cast<u32>(x), static_cast<u32>(y),
                                               static_cast<u32>(w), static_cast<u32>(h)));
}

Cell* copy_part(const Cell& img, const Cell& part) {
    const i64 w = width_of(img), h = height_of(img), total = total_of(img);
    const i64 head = std::clamp<i64>(head_of(img), 0, total);
    const i64 column = w ? head % w : 0, row = w ? head / w : 0;
    switch (cell::type_of(part)) {
        case type::pair: {
            const i64 px = pair::x_of(part), py = pair::y_of(part);
            if (px >= 1 && py >= 1 && head < total)
                return region(img, column, row, std::min(px, w - column), std::min(py, h - row));
            if (px < 0 && py < 0 && head > 0) {
                // The region ends at the head: a column of 0 counts as the
                // full width, and the head's row is included while inside.
                const i64 c = column == 0 ? w : column;
                const i64 r = row < h ? row + 1 : row;
                const i64 x0 = std::max<i64>(c + px, 0), y0 = std::max<i64>(r + py, 0);
                return region(img, x0, y0, c - x0, r - y0);
            }
            return push_image(0);
        }
        case type::image: {
            if (record_of(part) != record_of(img)) fire(ErrorId::script_invalid_refine_arg, series::word_of("part"), part);
            const i64 other = std::clamp<i64>(head_of(part), 0, total);
            const i64 lo = std::min(head, other), hi = std::max(head, other);
            const i64 c1 = w ? lo % w : 0, r1 = w ? lo / w : 0, c2 = w ? hi % w : 0, r2 = w ? hi / w : 0;
            return region(img, c1, r1, c2 - c1, r2 - r1);
        }
        case type::integer: not_done();
        default: fire(ErrorId::script_invalid_refine_arg, series::word_of("part"), part);
    }
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool, Cell*) {
    const Cell img = *value;
    Cell* r;
    if (part) {
        r = copy_part(img, *part);
    } else if (!record_of(img)) {
        r = push_image(0);
    } else if (head_of(img) <= 0) {
        r = copy_whole(img);
    } else {
        const i64 w = width_of(img), head = std::min(head_of(img), total_of(img));
        r = region(img, head % w, head / w, w - head % w, height_of(img) - head / w);
    }
    *result = *r;
    return result;
}

// --- Services ------------------------------------------------------------------------------

void rgb_bytes(const Cell& img, std::vector<u8>& out) {
    if (!record_of(img)) return;
    const u32* px = pixels_of(img);
    for (i64 i = 0, n = total_of(img); i < n; i++) {
        out.push_back(static_cast<u8>(px[i] >> 16));
        out.push_back(static_cast<u8>(px[i] >> 8));
        out.push_back(static_cast<u8>(px[i]));
    }
}

i32 pixel_count(const Cell& img) { return static_cast<i32>(total_of(img)); }

void set_foreach_words(const Cell& img, const Cell& words) {
    const i32 count = cell::type_of(words) == type::block ? block::rs_length_q(words) : 1;
    natives::set_words_from_series(words, img, count);
}

constexpr ActionTable image_actions = {
    .make = make, .to = to, .form = form, .mold = mold, .eval_path = eval_path, .compare = compare,
    .at = at, .back = inherit, .change = change, .copy = copy, .head = inherit, .head_q = inherit,
    .index_q = inherit, .length_q = length_q, .next = next, .pick = pick, .poke = poke, .skip = skip, .tail = tail,
    .tail_q = tail_q, .modify = inherit,
};

}  // namespace

Cell* push_from_handle(Node record, u32 width, u32 height) {
    return push_image(width && height ? image_backend::scale(record, width, height) : 0, width, height);
}

Cell* load_binary(const Cell& bin) {
    const u8* p = binary::rs_head(bin);
    const std::vector<u8> bytes(p, p + binary::rs_length_q(bin));
    if (image_codec::sniff(bytes.data(), bytes.size()) < 0) return stack::push(none::value);
    const Node r = image_backend::decode_bytes(bytes.data(), bytes.size());
    if (!r) fire(ErrorId::access_bad_media);
    return push_image(r);
}

Cell* decode(const Cell& data) {
    if (cell::type_of(data) == type::binary) {
        Cell* r = load_binary(data);
        if (cell::type_of(*r) == type::none) fire(ErrorId::access_bad_media);
        return r;
    }
    const Node r = image_backend::decode_file(file::to_local_path(data, false));
    if (!r) fire(ErrorId::access_cannot_open, data);
    return push_image(r);
}

Cell* encode(const Cell& img, const Cell*, i32 format) {
    if (!record_of(img) || total_of(img) == 0) fire(ErrorId::access_bad_media);
    if (format < image_codec::bmp || format > image_codec::tiff) fire(ErrorId::script_invalid_arg, cell::integer(format));
    std::vector<u8> out;
    if (!image_backend::encode(record_of(img), format, out) || out.size() > 0x7FFFFFFF)
        fire(ErrorId::access_bad_media);
    return binary::load_in(out.data(), static_cast<i32>(out.size()), nullptr);
}

Cell* extract_data(const Cell& img, i32 ch) {
    std::vector<u8> out;
    if (record_of(img)) {
        const u32* px = pixels_of(img);
        const i64 n = total_of(img);
        if (ch == channel::rgb) {
            rgb_bytes(img, out);
        } else if (ch == channel::alpha) {
            out.reserve(static_cast<size_t>(n));
            for (i64 i = 0; i < n; i++) out.push_back(static_cast<u8>(255 - (px[i] >> 24)));
        } else {
            const u8* b = reinterpret_cast<const u8*>(px);
            out.assign(b, b + n * 4);
        }
    }
    return binary::load_in(out.data(), static_cast<i32>(out.size()), nullptr);
}

void set_data(const Cell& img_in, const Cell& value, i32 ch) {
    const Cell img = img_in;
    const u32 vt = cell::type_of(value);
    const bool ok = vt == type::binary || (vt == type::tuple && ch != channel::alpha) ||
                    (vt == type::integer && ch == channel::alpha);
    if (!ok) fire(ErrorId::script_invalid_arg, value);
    if (!record_of(img)) return;
    u32* px = pixels_of(img);
    const i64 n = total_of(img);
    if (vt == type::binary) {
        const u8* b = binary::rs_head(value);
        const i64 len = binary::rs_length_q(value);
        if (ch == channel::rgb) {
            for (i64 i = 0, k = std::min(len / 3, n); i < k; i++)
                px[i] = (px[i] & 0xFF000000u) | static_cast<u32>(b[i * 3]) << 16 | static_cast<u32>(b[i * 3 + 1]) << 8 | b[i * 3 + 2];
        } else if (ch == channel::alpha) {
            for (i64 i = 0, k = std::min(len, n); i < k; i++) px[i] = (px[i] & 0x00FFFFFFu) | static_cast<u32>(255 - b[i]) << 24;
        } else {
            std::memcpy(px, b, static_cast<size_t>(std::min(len, n * 4)));
        }
    } else if (vt == type::integer) {
        const u32 opacity = 255u - static_cast<u32>(std::clamp(static_cast<i32>(value.data2), 0, 255));
        for (i64 i = 0; i < n; i++) px[i] = (px[i] & 0x00FFFFFFu) | opacity << 24;
    } else {
        const u32 c = tuple_pixel(value);
        for (i64 i = 0; i < n; i++) px[i] = ch == channel::rgb ? (px[i] & 0xFF000000u) | (c & 0x00FFFFFFu) : c;
    }
    notify(img, words::word::set_path, &value, 0, n);
}

void init() {
    registry::add(type::image, type::series, "image!", image_actions);
    natives::iteration_service.image_pixels = pixel_count;
    natives::iteration_service.image_set_words = set_foreach_words;
    binary::image_bytes = rgb_bytes;
}

}  // namespace oru::image
