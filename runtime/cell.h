// Value cells and type numbers.
//
// Every language value is a 16-byte cell of four 32-bit words: the header
// (type number in bits 0-7, per-type flags above) and three payload words laid
// out per type. Cells refer to series buffers through 32-bit node ids, never
// through addresses, because the collector moves buffers. Doubles and other
// wide payloads move in and out of cells with memcpy.
#pragma once

#include <cstdint>
#include <cstring>

namespace oru {

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i32 = int32_t;
using i64 = int64_t;

// A node id: 0 is "no node". See memory.h for how ids map to buffers.
using Node = u32;

// The datatypes by number. The serialization codec uses the same numbers,
// so the order is fixed. ORDER TYPES: keep in step with the registry.
#define ORU_TYPES(X)                                                        \
    X(datatype, 1) X(unset, 2) X(none, 3) X(logic, 4) X(block, 5)           \
    X(paren, 6) X(string, 7) X(file, 8) X(url, 9) X(char_, 10)              \
    X(integer, 11) X(float_, 12) X(symbol, 13) X(context, 14) X(word, 15)   \
    X(set_word, 16) X(lit_word, 17) X(get_word, 18) X(refinement, 19)       \
    X(issue, 20) X(native, 21) X(action, 22) X(op, 23) X(function, 24)      \
    X(path, 25) X(lit_path, 26) X(set_path, 27) X(get_path, 28)             \
    X(routine, 29) X(bitset, 30) X(triple, 31) X(object, 32)                \
    X(typeset, 33) X(error, 34) X(vector, 35) X(hash, 36) X(pair, 37)       \
    X(percent, 38) X(tuple, 39) X(map, 40) X(binary, 41) X(series, 42)      \
    X(time, 43) X(tag, 44) X(email, 45) X(handle, 46) X(date, 47)           \
    X(port, 48) X(money, 49) X(ref, 50) X(point2D, 51) X(point3D, 52)       \
    X(image, 53) X(event, 54)

namespace type {
#define ORU_TYPE_ENUM(name, n) constexpr u32 name = n;
ORU_TYPES(ORU_TYPE_ENUM)
#undef ORU_TYPE_ENUM
constexpr u32 count = 54;
}  // namespace type

// Header flags shared by several types.
namespace flag {
constexpr u32 type_mask = 0xFF;
constexpr u32 new_line = 0x40000000;      // bit 30: value starts a new line when molded
constexpr u32 ctx_on_stack = 0x400000;    // context!: values live on the data stack
constexpr u32 event_keep = 0x1000;        // event!: word 2 holds a cell series to keep alive
constexpr u32 op_fn_type_shift = 16;      // op!: bits 16-23 hold the wrapped function's type
constexpr u32 op_fn_type_mask = 0xFF0000; //      (function! or routine!)
}  // namespace flag

struct Cell {
    u32 header;
    u32 data1;
    u32 data2;
    u32 data3;
};
static_assert(sizeof(Cell) == 16, "a cell is four 32-bit words");

namespace cell {

inline u32 type_of(const Cell& c) { return c.header & flag::type_mask; }

// Replaces the type number, keeping the flags.
inline void set_type(Cell& c, u32 t) { c.header = (c.header & ~flag::type_mask) | (t & flag::type_mask); }

inline void clear_new_line(Cell& c) { c.header &= ~flag::new_line; }

// Copies all four words (nothing when source and target are the same cell).
inline Cell* copy(const Cell* src, Cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

// Series values keep the head index in word 1 and the node in word 2.
inline i32 head_index(const Cell& c) { return static_cast<i32>(c.data1); }
inline Node node(const Cell& c) { return c.data2; }

inline Cell make(u32 t, u32 w1 = 0, u32 w2 = 0, u32 w3 = 0) { return Cell{t, w1, w2, w3}; }

// integer!: value in payload word 2.
inline Cell integer(i32 v) { return Cell{type::integer, 0, static_cast<u32>(v), 0}; }

// float!: the double in payload words 2-3.
inline Cell float_(double d) {
    Cell c{type::float_, 0, 0, 0};
    std::memcpy(&c.data2, &d, sizeof d);
    return c;
}
inline double get_float(const Cell& c) {
    double d;
    std::memcpy(&d, &c.data2, sizeof d);
    return d;
}

}  // namespace cell
}  // namespace oru
