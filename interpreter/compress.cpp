// The natives' core of compress and decompress (see compress.h).
#include "interpreter/compress.h"

#include "codecs/deflate.h"
#include "codecs/zlib_gzip.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"

#include <algorithm>

namespace oru::compress {

i32 zlib_word = 0;
i32 deflate_word = 0;
i32 gzip_word = 0;

namespace {

// The first output of decode: the hint, capped by what the data can yield,
// by the largest binary, and by the size past which the reader counts the
// rest of the stream before growing (a false hint then costs no more).
constexpr u64 first_output_cap = u64{64} << 20;

using Writer = int (*)(u8*, u64&, const u8*, u64);

Writer writer_of(Method m) {
    switch (m) {
    case Method::zlib: return zlib::compress;
    case Method::deflate: return deflate::compress;
    case Method::gzip: return gzip::compress;
    }
    return deflate::compress;
}

// The reader's view of the Buffers: an output that grows.
struct Output final : deflate::Io {
    Buffers& b;
    explicit Output(Buffers& buffers) : b(buffers) { growable = true; }
    const u8* input() override { return b.data(); }
    bool grow(u64 need) override {
        if (need > limit) return false;
        out = b.grow(need);
        cap = need;
        return true;
    }
};

// A reader's failure: "too small" after growing means the output would pass
// the largest binary (or could not be had); anything else is bad data.
[[noreturn]] void fail(int status) {
    if (status == deflate::too_small) fire(ErrorId::internal_no_memory);
    fire(ErrorId::script_invalid_data);
}

}  // namespace

// Buffers over malloc'd memory.
class MemoryBuffers final : public Buffers {
public:
    explicit MemoryBuffers(const u8* s) : src_(s) {}
    const u8* data() override { return src_; }
    u8* make(u64 cap) override {
        bytes_.p_.reset();
        return grow(cap);
    }
    u8* grow(u64 cap) override {
        void* p = std::realloc(bytes_.p_.get(), cap ? cap : 1);
        if (!p) fire(ErrorId::internal_no_memory);
        bytes_.p_.release();
        bytes_.p_.reset(static_cast<u8*>(p));
        return bytes_.p_.get();
    }
    Bytes result(u64 size) {
        bytes_.size_ = size;
        return std::move(bytes_);
    }

private:
    const u8* src_;
    Bytes bytes_;
};

void init() {
    zlib_word = symbol::canonical(symbol::make("zlib"));
    deflate_word = symbol::canonical(symbol::make("deflate"));
    gzip_word = symbol::canonical(symbol::make("gzip"));
}

Method method_of(const Cell& word) {
    i32 sym = symbol::canonical(word::symbol_of(word));
    if (sym == zlib_word) return Method::zlib;
    if (sym == deflate_word) return Method::deflate;
    if (sym == gzip_word) return Method::gzip;
    fire(ErrorId::script_invalid_arg, word);
}

u64 encode(Method m, Buffers& b, u64 len) {
    Writer write = writer_of(m);
    u64 cap = std::min(len + 32, deflate::max_output);
    u8* out = b.make(cap);
    u64 size = cap;
    int r = write(out, size, b.data(), len);
    if (r == deflate::too_small) {
        if (size > deflate::max_output) fire(ErrorId::internal_no_memory);
        cap = size;
        out = b.make(cap);
        r = write(out, size, b.data(), len);
    }
    if (r != deflate::ok) fire(ErrorId::script_invalid_data);
    return size;
}

u64 decode(Method m, Buffers& b, u64 len, i64 size_hint) {
    u64 yield = len > deflate::max_output / deflate::max_ratio ? deflate::max_output : len * deflate::max_ratio;
    u64 hint;
    if (m == Method::gzip) hint = gzip::size_hint(b.data(), len);
    else if (size_hint >= 0 && static_cast<u64>(size_hint) > len) hint = static_cast<u64>(size_hint);
    else hint = len * 4;
    u64 first = std::min({hint, yield, deflate::max_output, first_output_cap});

    Output io(b);
    io.out = b.make(first);
    io.cap = first;
    u64 size = 0;
    int r;
    switch (m) {
    case Method::zlib: r = zlib::decompress(io, len, size); break;
    case Method::gzip: r = gzip::decompress(io, len, size); break;
    default: {
        u64 end;
        r = deflate::inflate(io, len, 0, 0, size, end);
    }
    }
    if (r != deflate::ok) fail(r);
    return size;
}

Bytes encode_bytes(Method m, const u8* data, u64 len) {
    MemoryBuffers b(data);
    return b.result(encode(m, b, len));
}

Bytes decode_bytes(Method m, const u8* data, u64 len, i64 size_hint) {
    MemoryBuffers b(data);
    return b.result(decode(m, b, len, size_hint));
}

}  // namespace oru::compress
