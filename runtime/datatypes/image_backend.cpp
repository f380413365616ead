// The image backend: records, pixel blocks and the bitmap operations; see
// image_backend.h. new_record is the one place that allocates: every caller
// reads what it needs from series buffers before calling it.
#include "runtime/datatypes/image_backend.h"

#include "codecs/image_codecs.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/resources.h"
#include "runtime/system.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace oru::image_backend {

namespace {

i32 kind = 0;

// The heap block of a record's pixels: this header, then the pixels.
struct PixelBlock {
    u64 bytes;     // the whole block, as charged to the collector
    u64 capacity;  // the bytes the heap block holds (at least `bytes`)
    u32 width, height;
    u32 reserved[2];
};
static_assert(sizeof(PixelBlock) % 16 == 0);

// Big pixel blocks are asked to be backed by huge pages, and the last big
// block the sweep releases is kept as the spare that the next big image of
// about its size takes. A fresh block's first touch costs the kernel (and,
// in a virtual machine, the host) a fault and a clearing per page, which for
// a photograph outweighs decoding it; a script that goes through images one
// after another then reuses memory already in place. At most one block of
// at most 256 MiB is kept, and given only to an image that needs at least
// half of it.
constexpr u64 big_block_bytes = u64{4} << 20;
constexpr u64 spare_limit_bytes = u64{256} << 20;
PixelBlock* spare = nullptr;

void advise_huge(void* block, u64 bytes) {
    constexpr uintptr_t page = 4096;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);  // a refusal costs only speed
}

// A heap block of at least `bytes` (null when refused): the spare when it
// fits, else a new one.
PixelBlock* allocate_block(u64 bytes) {
    if (spare && spare->capacity >= bytes && spare->capacity / 2 <= bytes) {
        PixelBlock* b = spare;
        spare = nullptr;
        return b;
    }
    if (bytes >= big_block_bytes && spare) {  // a big image of another size: keep one block at most
        heap::free(spare);
        spare = nullptr;
    }
    void* p = heap::try_allocate(bytes);
    if (!p) return nullptr;
    if (bytes >= big_block_bytes) advise_huge(p, bytes);
    auto* b = static_cast<PixelBlock*>(p);
    b->capacity = bytes;
    return b;
}

void release_record(u64 value) {
    auto* b = reinterpret_cast<PixelBlock*>(value);
    if (!b) return;
    memory::release_external(b->bytes);
    if (b->capacity < big_block_bytes || b->capacity > spare_limit_bytes) {
        heap::free(b);
        return;
    }
    if (spare) heap::free(spare);
    spare = b;
}

void write(Node record, const Record& r) {
    SeriesBuffer* s = memory::buffer(record);
    std::memcpy(s->head_ptr(), &r, sizeof r);
}

PixelBlock* block_of(Node record) {
    return reinterpret_cast<PixelBlock*>(handles::value(read(record).handle));
}

// The bytes of a binary from its head, copied out of the series frames.
std::vector<u8> bytes_of(const Cell* bin) {
    if (!bin) return {};
    const u8* p = binary::rs_head(*bin);
    return std::vector<u8>(p, p + binary::rs_length_q(*bin));
}

u32* take(void* context, u32 width, u32 height) {
    Node r = new_record(width, height);
    *static_cast<Node*>(context) = r;
    return pixels(r);
}

}  // namespace

void init_codecs() {
    spare = nullptr;  // the heap it came from was released with the last run
    kind = handles::push("image", release_record);
}

Node new_record(u32 width, u32 height) {
    if (!image_codec::size_ok(width, height)) fire(ErrorId::internal_no_memory);
    const u64 bytes = sizeof(PixelBlock) + u64{width} * height * 4;
    memory::charge_external(bytes);
    const Node record = memory::alloc_bytes(sizeof(Record));  // may collect: nothing is held yet
    PixelBlock* b = allocate_block(bytes);
    if (!b) {
        memory::release_external(bytes);
        fire(ErrorId::internal_no_memory);
    }
    b->bytes = bytes;
    b->width = width;
    b->height = height;
    const i32 slot = handles::add(reinterpret_cast<u64>(b), kind);
    SeriesBuffer* s = memory::buffer(record);
    s->tail = s->head + sizeof(Record);
    write(record, Record{flag::current, 0, 1, width | height << 16, slot, 0});
    return record;
}

Record read(Node record) {
    Record r;
    std::memcpy(&r, memory::buffer(record)->head_ptr(), sizeof r);
    return r;
}

u32 width(Node record) { return read(record).size & 0xFFFF; }
u32 height(Node record) { return read(record).size >> 16; }
u32* pixels(Node record) { return reinterpret_cast<u32*>(block_of(record) + 1); }

void mark_modified(Node record) {
    Record r = read(record);
    r.flags |= flag::modified;
    write(record, r);
}

Node create_bitmap(u32 w, u32 h, const Cell* rgb, const Cell* alpha, const Cell* colour) {
    if (w == 0 || h == 0) return 0;
    const std::vector<u8> rgb_bytes = bytes_of(rgb), alpha_bytes = bytes_of(alpha);
    u32 fill = 0xFFFFFFFFu;
    if (colour) {
        u8 t[12];
        std::memcpy(t, &colour->data1, sizeof t);
        const u32 opacity = tuple::length_of(*colour) > 3 ? 255u - t[3] : 255u;
        fill = opacity << 24 | static_cast<u32>(t[0]) << 16 | static_cast<u32>(t[1]) << 8 | t[2];
    }
    const Node r = new_record(w, h);
    u32* px = pixels(r);
    const u64 total = u64{w} * h;
    std::fill(px, px + total, fill);
    if (!colour) {
        const u64 triples = std::min<u64>(rgb_bytes.size() / 3, total);
        for (u64 i = 0; i < triples; i++) {
            const u8* c = rgb_bytes.data() + i * 3;
            px[i] = 0xFF000000u | static_cast<u32>(c[0]) << 16 | static_cast<u32>(c[1]) << 8 | c[2];
        }
    }
    const u64 alphas = std::min<u64>(alpha_bytes.size(), total);
    for (u64 i = 0; i < alphas; i++) px[i] = (px[i] & 0x00FFFFFFu) | static_cast<u32>(255 - alpha_bytes[i]) << 24;
    return r;
}

Node copy(Node record) {
    const u32 w = width(record), h = height(record);
    const Node r = new_record(w, h);
    std::memcpy(pixels(r), pixels(record), u64{w} * h * 4);
    return r;
}

Node copy_rect(Node record, u32 x, u32 y, u32 w, u32 h) {
    const u32 sw = width(record);
    const Node r = new_record(w, h);
    const u32* src = pixels(record);
    u32* dst = pixels(r);
    for (u32 row = 0; row < h; row++)
        std::memcpy(dst + u64{row} * w, src + u64{y + row} * sw + x, u64{w} * 4);
    return r;
}

Node scale(Node record, u32 w, u32 h) {
    const u32 sw = width(record), sh = height(record);
    const Node r = new_record(w, h);
    const u32* src = pixels(record);
    u32* dst = pixels(r);
    for (u32 y = 0; y < h; y++) {
        const u64 sy = u64{y} * sh / h;
        for (u32 x = 0; x < w; x++) dst[u64{y} * w + x] = src[sy * sw + u64{x} * sw / w];
    }
    return r;
}

Node flip_vertical(Node record) {
    const u32 w = width(record), h = height(record);
    const Node r = new_record(w, h);
    const u32* src = pixels(record);
    u32* dst = pixels(r);
    for (u32 y = 0; y < h; y++) std::memcpy(dst + u64{y} * w, src + u64{h - 1 - y} * w, u64{w} * 4);
    return r;
}

Node from_memory(u32 w, u32 h, u32 stride, const u32* px) {
    const u64 row_bytes = stride ? stride : u64{w} * 4;
    const Node r = new_record(w, h);
    u32* dst = pixels(r);
    const u8* src = reinterpret_cast<const u8*>(px);
    for (u32 y = 0; y < h; y++) std::memcpy(dst + u64{y} * w, src + y * row_bytes, u64{w} * 4);
    return r;
}

Node decode_bytes(const u8* data, size_t size) {
    Node record = 0;
    image_codec::Target target{take, &record};
    // A failed decode leaves its record to the collector.
    return image_codec::decode(data, size, target) ? record : 0;
}

Node decode_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return 0;
    const std::vector<u8> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (f.bad()) return 0;
    return decode_bytes(bytes.data(), bytes.size());
}

bool encode(Node record, i32 format, std::vector<u8>& out) {
    return image_codec::encode(format, pixels(record), width(record), height(record), out);
}

void mark_record(Node record) { handles::mark(read(record).handle); }

}  // namespace oru::image_backend
