// The compress and decompress natives: a binary!'s bytes (or a string's
// UTF-8) written or read by the zlib, deflate or gzip codec into a new
// binary! in the result slot.
//
// The output binary lives in the result slot, so the collector sees it
// while the codec grows it. A binary's data is read through its node again
// on every request (growing the output may move it); a string's UTF-8 is
// copied out first, as its conversion buffer is shared with other callers.
#include "interpreter/natives_compress.h"

#include "codecs/deflate.h"
#include "interpreter/compress.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/series.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

#include <vector>

namespace oru::natives {

namespace {

// The data of the call and its output, the binary in the result slot.
class NativeBuffers final : public compress::Buffers {
public:
    NativeBuffers(Cell* data, Cell* out) : data_(data), out_(out) {
        if (cell::type_of(*data) != type::binary) {
            i32 length = -1;
            const u8* p = unicode::to_utf8(*data, &length);
            text_.assign(p, p + length);
        }
    }
    u64 length() {
        if (cell::type_of(*data_) != type::binary) return text_.size();
        return static_cast<u64>(series::rest(*data_, false));
    }
    const u8* data() override {
        if (cell::type_of(*data_) != type::binary) return text_.data();
        return memory::buffer(cell::node(*data_))->head_ptr() + cell::head_index(*data_);
    }
    u8* make(u64 cap) override {
        check(cap);
        binary::make_at(*out_, static_cast<i32>(cap));
        return memory::buffer(cell::node(*out_))->head_ptr();
    }
    u8* grow(u64 cap) override {
        check(cap);
        SeriesBuffer* s = memory::buffer(cell::node(*out_));
        if (static_cast<u64>(s->size) < cap) s = memory::expand_series_copy(s, static_cast<i32>(cap));
        return s->head_ptr();
    }
    // The output's length becomes the codec's answer.
    void finish(u64 length) {
        SeriesBuffer* s = memory::buffer(cell::node(*out_));
        s->tail = s->head + static_cast<u32>(length);
    }

private:
    static void check(u64 cap) {
        if (cap > deflate::max_output) fire(ErrorId::internal_no_memory);
    }
    Cell* data_;
    Cell* out_;
    std::vector<u8> text_;
};

}  // namespace

// compress data [any-string! binary!] method [word!]
u32 compress_(bool, const i32*) {
    Cell* args = stack::arguments;
    const compress::Method m = compress::method_of(args[1]);
    // The output takes the method's cell: the data's cell must stay.
    NativeBuffers b(&args[0], &args[1]);
    const u64 n = compress::encode(m, b, b.length());
    b.finish(n);
    args[0] = args[1];
    return 0;
}

// decompress data [binary!] method [word!] /size sz [integer!]
u32 decompress(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const compress::Method m = compress::method_of(args[1]);
    i64 hint = -1;
    if (refinements[0] >= 0) hint = integer::get(args[refinements[0]]);
    NativeBuffers b(&args[0], &args[1]);
    const u64 n = compress::decode(m, b, b.length(), hint);
    b.finish(n);
    args[0] = args[1];
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_compress {

void register_all() {
    natives::provide(natives::slot::compress, natives::compress_);
    natives::provide(natives::slot::decompress, natives::decompress);
}

}  // namespace oru::natives_compress
