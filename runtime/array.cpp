// Arrays on series buffers. Growth goes through memory::reserve_bytes, which
// may move the buffer: nothing here keeps a buffer address across it.
#include "runtime/array.h"

#include "runtime/memory.h"

#include <cstring>

namespace oru::array {

namespace {

template <class T>
T load(const u8* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void append(Node a, T value) {
    u8* at = memory::reserve_bytes(a, static_cast<i32>(sizeof value));
    std::memcpy(at, &value, sizeof value);
}

// Byte offset of the first element equal to value, or -1.
template <class T>
i32 find(Node a, T value) {
    SeriesBuffer* s = memory::buffer(a);
    const u8* head = s->head_ptr();
    const u8* tail = s->tail_ptr();
    for (const u8* p = head; p + sizeof(T) <= tail; p += sizeof(T))
        if (load<T>(p) == value) return static_cast<i32>(p - head);
    return -1;
}

// Address of the 1-based element at position.
u8* element(Node a, i32 position, u32 size) {
    return memory::buffer(a)->head_ptr() + static_cast<size_t>(position - 1) * size;
}

}  // namespace

Node make(i32 count, u32 unit) { return memory::alloc_series(count, unit, 0); }

i32 length_q(Node a) { return static_cast<i32>(memory::buffer(a)->length()); }

void clear(Node a) {
    SeriesBuffer* s = memory::buffer(a);
    s->tail = s->head;
}

Node copy(Node a) { return memory::copy_series_buffer(memory::buffer(a)); }

u8* data(Node a) { return memory::buffer(a)->head_ptr(); }

void append_int(Node a, i32 value) { append(a, value); }
void append_ptr(Node a, void* value) { append(a, value); }
void append_byte(Node a, u8 value) { append(a, value); }

u8* append_bytes(Node a, const void* src, i32 count) {
    if (count <= 0) return memory::buffer(a)->tail_ptr();
    // A source inside this array moves with it when the buffer grows.
    // Growth keeps the elements' offsets from the head, not from the data start.
    SeriesBuffer* s = memory::buffer(a);
    const u8* from = static_cast<const u8*>(src);
    bool inside = from >= s->head_ptr() && from < s->tail_ptr();
    size_t offset = inside ? static_cast<size_t>(from - s->head_ptr()) : 0;
    u8* at = memory::reserve_bytes(a, count);
    if (inside) from = memory::buffer(a)->head_ptr() + offset;
    std::memmove(at, from, static_cast<size_t>(count));
    return at;
}

i32 pick_int(Node a, i32 position) { return load<i32>(element(a, position, int_unit)); }
void* pick_ptr(Node a, i32 position) { return load<void*>(element(a, position, ptr_unit)); }
u8 pick_byte(Node a, i32 position) { return *element(a, position, byte_unit); }

void poke_ptr(Node a, i32 position, void* value) {
    std::memcpy(element(a, position, ptr_unit), &value, sizeof value);
}

i32 find_int(Node a, i32 value) { return find(a, value); }
i32 find_ptr(Node a, void* value) { return find(a, value); }

void insert_int(Node a, i32 value, i32 index) {
    // Take the room at the tail first (this may move the buffer), then shift.
    memory::reserve_bytes(a, int_unit);
    SeriesBuffer* s = memory::buffer(a);
    u8* at = s->head_ptr() + static_cast<size_t>(index) * int_unit;
    u8* old_tail = s->tail_ptr() - int_unit;
    std::memmove(at + int_unit, at, static_cast<size_t>(old_tail - at));
    std::memcpy(at, &value, sizeof value);
}

void remove_at(Node a, i32 offset, i32 count) {
    SeriesBuffer* s = memory::buffer(a);
    i32 used = static_cast<i32>(s->tail - s->head);
    if (offset < 0 || offset >= used || count <= 0) return;
    if (count > used - offset) count = used - offset;
    u8* at = s->head_ptr() + offset;
    std::memmove(at, at + count, static_cast<size_t>(used - offset - count));
    s->tail -= static_cast<u32>(count);
}

void remove_ptr(Node a, void* value) {
    i32 offset = find_ptr(a, value);
    if (offset >= 0) remove_at(a, offset, static_cast<i32>(ptr_unit));
}

}  // namespace oru::array
