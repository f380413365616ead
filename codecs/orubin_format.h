// ORUBIN: the layout both the writer and the reader keep.
//
// A document is "ORUBIN", a version byte, a flags byte (compact form,
// LZ-compressed, symbol table present), then counts, the symbol table and
// the records of one of two forms: compact (LEB128 counts, one lead byte per
// record) or fixed (32-bit little-endian words, a header word per record).
// A record holds one value; values that several records share (a series
// buffer, an object's or a function's context) are written once and later
// referred to by a path of indexes from the decode's target block, so a
// document keeps its values' sharing. Everything here is the format's data:
// the constants, the integer codes and the rules on which types a record or
// a reference may be.
#pragma once

#include "runtime/cell.h"

#include <cstring>

namespace oru::orubin {

constexpr u8 magic[6] = {'O', 'R', 'U', 'B', 'I', 'N'};
constexpr size_t header_size = 8;
constexpr u8 version = 2;       // every document this system writes
constexpr u8 boot_version = 1;  // the boot image

namespace doc_flag {
constexpr u8 compact = 1;
constexpr u8 compressed = 2;
constexpr u8 symbols = 4;
}  // namespace doc_flag

// Compact lead bytes: 0x00-0x7F a typed record (bits 0-5 the type, 63 when
// a uleb type follows; bit 6 the alternate form), 0x80-0xBF integer! 0-63.
namespace lead {
constexpr u8 type_mask = 0x3F;
constexpr u8 long_type = 0x3F;
constexpr u8 alt = 0x40;
constexpr u8 small_integer = 0x80;
constexpr u8 new_line = 0xC0;  // prefix: the value carries the new-line marker
constexpr u8 shared = 0xC1;    // prefix: a reference path replaces the contents
constexpr u8 logic_true = 0xC2;
constexpr u8 logic_false = 0xC3;
constexpr u8 define = 0xC4;    // prefix (boot documents): the word is set to the next record
constexpr u8 reference = 0xFF; // a copy of the value a path leads to
}  // namespace lead

// Fixed form header words: the type in bits 0-7, then by type.
namespace fixed {
constexpr u32 type_mask = 0xFF;
constexpr u32 reference = 255;
constexpr u32 new_line = 1u << 31;
constexpr u32 shared = 1u << 19;
constexpr u32 unit_shift = 8;        // string family, binary!, vector!: bits 8-15
constexpr u32 tuple_length_shift = 8;// tuple!: bits 8-11
constexpr u32 op_type_shift = 16;    // op!: bits 16-23
constexpr u32 money_negative = 1u << 22;
constexpr u32 complemented = 1u << 23;
constexpr u32 on_change = 1u << 24;  // object!
constexpr u32 word_flag = 1u << 25;  // words: global (codec) or define (boot)
constexpr u32 ctx_kind_shift = 26;   // context!: bits 26-27
constexpr u32 ctx_self = 1u << 28;
constexpr u32 ctx_stack = 1u << 29;
constexpr u32 ctx_values = 1u << 30;
}  // namespace fixed

// Context flags of the compact form.
namespace ctx_flag {
constexpr u8 kind_mask = 3;
constexpr u8 stack = 4;
constexpr u8 self = 8;
constexpr u8 values = 16;
}  // namespace ctx_flag

constexpr u32 max_path = 65536;  // indexes in a reference path
constexpr i32 max_depth = 1000;  // nested records, as deep as the mold cycle stack
constexpr u32 max_image_side = 65535;

// --- Integer codes ------------------------------------------------------------

// uleb: 7 bits a byte, low group first, at most 5 bytes (the fifth with
// only its low 4 bits). Writes into out (room for 5) and returns the count.
inline u32 put_uleb(u8* out, u32 v) {
    u32 n = 0;
    while (v >= 0x80) {
        out[n++] = static_cast<u8>(v | 0x80);
        v >>= 7;
    }
    out[n++] = static_cast<u8>(v);
    return n;
}

// sleb: a signed value through zigzag, then as uleb.
inline u32 zigzag(i32 v) { return (static_cast<u32>(v) << 1) ^ static_cast<u32>(v >> 31); }
inline i32 unzigzag(u32 u) { return static_cast<i32>((u >> 1) ^ (0u - (u & 1))); }

inline u32 read_le32(const u8* p) { return p[0] | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
inline void write_le32(u8* p, u32 v) {
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
    p[2] = static_cast<u8>(v >> 16);
    p[3] = static_cast<u8>(v >> 24);
}

// --- Type rules ---------------------------------------------------------------

// Types whose values no document holds.
inline bool refused_q(u32 t) {
    return t == type::routine || t == type::triple || t == type::handle || t == type::port || t == type::event;
}

// Types whose values go through sharing: written once, then referred to.
inline bool shared_kind_q(u32 t) {
    switch (t) {
        case type::block: case type::paren: case type::path: case type::lit_path: case type::set_path:
        case type::get_path: case type::hash: case type::map: case type::string: case type::file: case type::url:
        case type::tag: case type::email: case type::ref: case type::binary: case type::vector: case type::bitset:
        case type::image: case type::object: case type::function:
            return true;
        default:
            return t >= type::word && t <= type::refinement;
    }
}

// The storage class a reference of a record type may land in: a block record
// takes any list or path (not hash!, whose index another type would lose),
// a string record any of the string family; every other series type only
// itself. A reference never gives a buffer another layout than its own.
enum class Storage { none, cells, chars, hash, map, bytes, vector, bitset, image };
inline Storage storage_of(u32 t) {
    switch (t) {
        case type::block: case type::paren: case type::path: case type::lit_path: case type::set_path:
        case type::get_path:
            return Storage::cells;
        case type::string: case type::file: case type::url: case type::tag: case type::email: case type::ref:
            return Storage::chars;
        case type::hash: return Storage::hash;
        case type::map: return Storage::map;
        case type::binary: return Storage::bytes;
        case type::vector: return Storage::vector;
        case type::bitset: return Storage::bitset;
        case type::image: return Storage::image;
        default: return Storage::none;
    }
}

// vector! elements: integer! and char! of 1, 2 or 4 bytes, float! of 4 or 8,
// percent! of 8.
inline bool vector_shape_q(u32 element_type, u32 size) {
    switch (element_type) {
        case type::integer: case type::char_: return size == 1 || size == 2 || size == 4;
        case type::float_: return size == 4 || size == 8;
        case type::percent: return size == 8;
        default: return false;
    }
}

inline double get_double(const Cell& c) {
    double d;
    std::memcpy(&d, &c.data2, sizeof d);
    return d;
}

}  // namespace oru::orubin
