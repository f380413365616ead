// The image backend: the pixel memory behind image! values.
//
// Each bitmap is a record kept in a small byte series (so that image cells
// name it by node and the collector keeps it alive through them) whose
// fields are, in order: flags, source, bitmap, size (width | height << 16),
// the slot of its entry in the external-resource table (kind "image") and
// the GUI's cached device bitmap. The pixels themselves live in a heap block
// that the resource entry owns: the collector marks the entry through the
// record (mark_record) and the sweep frees the block of every record no
// image reaches any more (the last big one is kept as a spare for the next
// big image: image_backend.cpp says why). Pixel blocks never move, so a
// pixel address stays valid while an image that refers to its record is
// alive; the record's byte series does move, so it is read through its node
// every time. Pixel memory counts toward the collector's trigger
// (memory::charge_external). A new record's pixels hold whatever its block
// held: every maker writes all of them.
//
// Pixels are words 0xAARRGGBB, row-major, AA the opacity. The codecs are in
// codecs/image_codecs.h. The draw half (device bitmaps, flags 0x08-0x40) is
// the GUI backend's.
#pragma once

#include "runtime/cell.h"

#include <string>
#include <vector>

namespace oru::image_backend {

struct Record {
    u32 flags;
    u32 source;          // no lazy sources here: every record owns its pixels
    u32 bitmap;          // 1 while the pixel block is present
    u32 size;            // width | height << 16
    i32 handle;          // external-resource slot (kind "image") of the pixel block
    u32 device_bitmap;   // the GUI's cached bitmap, 0 when none
};

namespace flag {
constexpr u32 current = 0x01;   // the bitmap is present and current
constexpr u32 modified = 0x02;  // pixels written since the last draw conversion
}

// Registers the resource kind "image" and quiets the codec libraries
// (runtime start-up, before image! registers).
void init_codecs();

// A new record of width x height pixels (each 1-65535, at most 2^31 bytes),
// their memory not yet written. The node must be stored in a rooted cell
// before anything else allocates. internal/no-memory when refused.
Node new_record(u32 width, u32 height);

Record read(Node record);
u32 width(Node record);
u32 height(Node record);
// The pixel block (stable address; see above).
u32* pixels(Node record);
// Sets flag 0x02 (pixels written).
void mark_modified(Node record);

// The create-bitmap of make: every pixel from the colour tuple (opacity
// 255 - its fourth byte, or 255 for three), else from RGB triples of the
// binary (white beyond them); then the alpha binary's bytes as
// transparency (opaque beyond them). 0 when width or height is 0. The
// cells may lie anywhere: they are read before anything allocates.
Node create_bitmap(u32 width, u32 height, const Cell* rgb, const Cell* alpha, const Cell* colour);

// New records made from an existing one (each keeps its own pixels).
Node copy(Node record);
Node copy_rect(Node record, u32 x, u32 y, u32 width, u32 height);  // the rectangle must lie inside
Node scale(Node record, u32 width, u32 height);                    // nearest neighbour
Node flip_vertical(Node record);
// width x height pixels from memory, `stride` bytes a row (0: width x 4).
Node from_memory(u32 width, u32 height, u32 stride, const u32* pixels);

// Decoding: a record, or 0 for bytes no codec reads (or an image past the
// limits). decode_file reads the file first.
Node decode_bytes(const u8* data, size_t size);
Node decode_file(const std::string& path);
// Encoding in a format by code (image_codec::Format); false when refused.
bool encode(Node record, i32 format, std::vector<u8>& out);

// The collector's mark of a record: its resource slot is referenced.
void mark_record(Node record);

}  // namespace oru::image_backend
