// The one step of TextOut that allocates: making the string.
#include "codecs/text_out.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>

namespace oru {

Cell* TextOut::finish() const {
    if (chars_ > 0x7FFFFFFF) fire(ErrorId::internal_no_memory);
    const i32 count = static_cast<i32>(chars_);
    const u32 unit = widest_ <= 0xFF ? 1 : widest_ <= 0xFFFF ? 2 : 4;
    const Node node = memory::alloc_codepoints(count, unit);
    SeriesBuffer* s = memory::buffer(node);
    u8* d = s->head_ptr();
    const u8* p = reinterpret_cast<const u8*>(data_);
    const u8* end = p + size_;
    if (widest_ < 0x80) {
        if (size_) std::memcpy(d, p, size_);
    } else if (unit == 4) {
        for (const u8* q = p; q < end; d += 4) {
            u32 c;
            q = *q < 0x80 ? (c = *q, q + 1) : next(q, &c);
            std::memcpy(d, &c, 4);
        }
    } else {
        for (const u8* q = p; q < end; d += unit) {
            u32 c;
            q = *q < 0x80 ? (c = *q, q + 1) : next(q, &c);
            string::put_char(d, unit, c);
        }
    }
    s->tail = s->head + static_cast<u32>(count) * unit;
    return stack::push(cell::make(type::string, 0, node, 0));
}

}  // namespace oru
