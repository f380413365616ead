// String values and their buffers: making strings, reading characters and
// appending them with widening. Any allocation here can move the buffer, so
// each step fetches it again through its node.
#include "runtime/datatypes/string.h"

#include "runtime/unicode.h"

namespace oru::string {

void make_at(Cell& str, i32 n) {
    Node node = memory::alloc_series(n == 0 ? 1 : n, 1, 0);
    str = cell::make(type::string, 0, node, 0);
}

void make_at_unit(Cell& str, i32 n, u32 unit) {
    Node node = memory::alloc_codepoints(n, unit);
    str = cell::make(type::string, 0, node, 0);
}

i32 rs_length_q(const Cell& str) {
    i32 total = static_cast<i32>(memory::buffer(cell::node(str))->length());
    i32 head = cell::head_index(str);
    if (head < 0) head = 0;
    return head >= total ? 0 : total - head;
}

u8* rs_head(Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    i32 total = static_cast<i32>(s->length());
    i32 head = cell::head_index(str);
    if (head > total) {
        head = total;
        str.data1 = static_cast<u32>(total);
    }
    if (head < 0) head = 0;
    return s->head_ptr() + static_cast<size_t>(head) * s->unit();
}

SeriesBuffer* append_char(SeriesBuffer* s, u32 cp) {
    const Node node = s->node;
    switch (s->unit()) {
        case 1:
            if (cp > 0x7F) {
                s = cp > 0xFFFF ? unicode::widen_to_ucs4(s) : unicode::widen_to_ucs2(s);
                return append_char(s, cp);
            }
            *memory::reserve_bytes(node, 1) = static_cast<u8>(cp);
            break;
        case 2:
            if (cp > 0xFFFF) return append_char(unicode::widen_ucs2_to_ucs4(s), cp);
            {
                u16 v = static_cast<u16>(cp);
                std::memcpy(memory::reserve_bytes(node, 2), &v, sizeof v);
            }
            break;
        default:
            std::memcpy(memory::reserve_bytes(node, 4), &cp, sizeof cp);
            break;
    }
    return memory::buffer(node);
}

SeriesBuffer* append_char(Node n, u32 cp) { return append_char(memory::buffer(n), cp); }

i32 concatenate_literal(const Cell& str, const char* text) {
    const Node node = cell::node(str);
    i32 n = 0;
    for (const u8* p = reinterpret_cast<const u8*>(text); *p; p++, n++) append_char(node, *p);
    return n;
}

void concatenate_bytes(const Cell& str, const u8* bytes, i32 n) {
    const Node node = cell::node(str);
    for (i32 i = 0; i < n; i++) append_char(node, bytes[i]);
}

}  // namespace oru::string
