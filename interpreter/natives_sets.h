// Set and text-encoding natives: union, intersect, unique, difference,
// exclude, complement?, dehex, enhex, debase, enbase and to-hex.
//
// The five set natives are one dispatcher over the set operations the
// datatypes provide (blocks and hash!, strings, typesets; bitsets and the
// difference of two dates through services their modules install). The
// encoding natives make the output and hand the bytes to the URL codec and
// to the base 2/16/58/64 codec of binary!, also installed by its module.
// Until a module installs its service, the natives raise internal/not-done
// for what needs it.
//
// Each is a native::Entry: arguments at stack::arguments, the result in the
// first of them. Text handed to a codec is copied out of its series buffer
// first, since making the output may move every buffer.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 union_(bool check, const i32* refinements);
u32 intersect(bool check, const i32* refinements);
u32 unique(bool check, const i32* refinements);
u32 difference(bool check, const i32* refinements);
u32 exclude(bool check, const i32* refinements);
u32 complement_q(bool check, const i32* refinements);
u32 dehex(bool check, const i32* refinements);
u32 enhex(bool check, const i32* refinements);
u32 debase(bool check, const i32* refinements);
u32 enbase(bool check, const i32* refinements);
u32 to_hex(bool check, const i32* refinements);

// What later datatype modules provide to these natives.
struct SetService {
    // bitset!: the set operation (string::set_op code) on the two bitsets
    // at the argument base; the result goes into the result slot.
    void (*bitset_bitwise)(i32 op);
    // date!: the difference of the two dates at the argument base, as a
    // time! in the result slot.
    void (*date_difference)();
    // binary!: the base 2, 16, 58 and 64 codecs, by base_slot(base). An
    // encoder writes the text of n bytes at out (the room enbase makes is
    // enough) and returns the address after its last byte. A decoder reads
    // count characters of `unit` bytes (text outside every series buffer)
    // and returns the node of a new byte buffer, or 0 when the text is not
    // valid in its base.
    u8* (*encode[4])(const u8* bytes, u8* out, i32 n);
    Node (*decode[4])(const u8* text, i32 count, u32 unit);
};
extern SetService set_service;

// The codec slot of a base: 0 for 2, 1 for 16, 2 for 58, 3 for 64, -1 for
// any other.
i32 base_slot(i32 base);

// enbase's room in bytes for n bytes of input in a base (-1 for a base
// without a codec); script/too-long beyond the largest buffer.
i64 encoded_room(i64 n, i32 base);

}  // namespace oru::natives

namespace oru::natives_sets {

// Hands the routines above to the native table (natives::provide) for
// their fixed slots: 41-48 union ... enhex, 54 to-hex, 84 debase, 91 enbase.
void register_all();

}  // namespace oru::natives_sets
