// The one step of TextOut that allocates: making the string.
#include "codecs/text_out.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>

namespace oru {

Cell* TextOut::finish() const {
    i32 count = 0;
    u32 widest = 0;
    const u8* p = reinterpret_cast<const u8*>(bytes_.data());
    const u8* end = p + bytes_.size();
    for (const u8* q = p; q < end; count++) {
        if (*q < 0x80) {
            q++;
            continue;
        }
        u32 c;
        q = next(q, &c);
        widest = std::max(widest, c);
    }
    const u32 unit = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
    const Node node = memory::alloc_codepoints(count, unit);
    SeriesBuffer* s = memory::buffer(node);
    u8* d = s->head_ptr();
    if (widest < 0x80) {
        std::memcpy(d, p, bytes_.size());
    } else {
        for (const u8* q = p; q < end; d += unit) {
            u32 c;
            q = next(q, &c);
            string::put_char(d, unit, c);
        }
    }
    s->tail = s->head + static_cast<u32>(count) * unit;
    return stack::push(cell::make(type::string, 0, node, 0));
}

}  // namespace oru
