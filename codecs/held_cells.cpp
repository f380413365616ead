// The decoders' held cells and the block and string makers they share.
#include "codecs/held_cells.h"

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/datatypes/string.h"

#include <cstring>

namespace oru::held_cells {

namespace {
std::vector<Cell> held;
}  // namespace

std::vector<Cell>& cells() { return held; }

void mark() {
    if (!held.empty()) collector::mark_block(held.data(), held.data() + held.size());
}

Scope::Scope() : base_(cells().size()) {}
Scope::~Scope() { cells().resize(base_); }

Cell block_from(size_t from) {
    std::vector<Cell>& v = cells();
    const i32 n = static_cast<i32>(v.size() - from);
    const Node node = memory::alloc_cells(n > 0 ? n : 1);  // may collect: the cells are still held
    SeriesBuffer* s = memory::buffer(node);
    if (n > 0) std::memcpy(s->head_ptr(), v.data() + from, static_cast<size_t>(n) * sizeof(Cell));
    s->tail = s->head + static_cast<u32>(n) * sizeof(Cell);
    v.resize(from);
    return cell::make(type::block, 0, node, 0);
}

namespace {

// A new string! of count characters at the narrowest unit that holds
// `widest`, filled from the address `chars` returns once the buffer is made.
template <class T, class Chars>
Cell make_string(i32 count, u32 widest, Chars chars) {
    const u32 unit = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
    const Node node = memory::alloc_codepoints(count > 0 ? count : 0, unit);
    const T* from = chars();
    SeriesBuffer* s = memory::buffer(node);
    u8* d = s->head_ptr();
    if (sizeof(T) == unit) {
        std::memcpy(d, from, static_cast<size_t>(count) * unit);
    } else {
        for (i32 i = 0; i < count; i++) string::put_char(d + static_cast<size_t>(i) * unit, unit, from[i]);
    }
    s->tail = s->head + static_cast<u32>(count) * unit;
    return cell::make(type::string, 0, node, 0);
}

}  // namespace

template <class T>
Cell string_of(const T* chars, i32 count, u32 widest) {
    return make_string<T>(count, widest, [chars] { return chars; });
}

template <class T>
Cell string_of_input(Node input, i32 from, i32 count, u32 widest) {
    return make_string<T>(count, widest,
                          [input, from] { return reinterpret_cast<const T*>(memory::buffer(input)->head_ptr()) + from; });
}

template Cell string_of_input<u8>(Node, i32, i32, u32);
template Cell string_of_input<u16>(Node, i32, i32, u32);
template Cell string_of_input<u32>(Node, i32, i32, u32);
template Cell string_of<u8>(const u8*, i32, u32);
template Cell string_of<u16>(const u16*, i32, u32);
template Cell string_of<u32>(const u32*, i32, u32);

}  // namespace oru::held_cells
