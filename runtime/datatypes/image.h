// image!: a rectangle of 32-bit pixels seen as a series of pixels in row
// order.
//
// Cell: word 1 the head (0-based pixel index of the position), word 2 the
// node of the backend record holding the pixels (image_backend.h), 0 for
// an image without pixels, word 3 the size (width | height << 16). Stored
// pixels are words 0xAARRGGBB with AA the opacity; the language sees colours
// as tuples R.G.B.A whose fourth byte is the transparency (255 - opacity),
// a 3-byte tuple meaning opaque. Pixel addresses are stable while the image
// is alive, but every allocation may collect: handlers keep the image in a
// data-stack cell across anything that allocates. The action table is at
// the bottom of image.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::image {

inline u32 width_of(const Cell& img) { return img.data3 & 0xFFFF; }
inline u32 height_of(const Cell& img) { return img.data3 >> 16; }
inline Node record_of(const Cell& img) { return img.data2; }

// Fills the cell with an image of the record (head 0, its size); a record
// of 0 gives an image without pixels of that size.
void make_at(Cell& cell, Node record, u32 width = 0, u32 height = 0);

// Pushes an image of the record scaled to width x height (nearest).
Cell* push_from_handle(Node record, u32 width, u32 height);

// The image the bytes hold, pushed; none when they start with no known
// signature; access/bad-media when they do but cannot be decoded.
Cell* load_binary(const Cell& bin);

// A binary! is decoded from memory (access/bad-media when it cannot be), a
// file! is read and decoded (access/cannot-open with the file when either
// fails). The image is pushed.
Cell* decode(const Cell& data);

// A new binary! (pushed) with the image encoded in the format by code: 0
// bmp, 1 png, 2 gif, 3 jpeg, 4 tiff. An image without pixels or of size 0
// is access/bad-media: an empty file would be no image. `where` is not
// written to.
Cell* encode(const Cell& img, const Cell* where, i32 format);

// Channel codes of extract_data and set_data.
namespace channel {
constexpr i32 alpha = 0, rgb = 1, argb = 2;
}
// A new binary! (pushed) of the channel of every pixel from pixel 0.
Cell* extract_data(const Cell& img, i32 channel);
// Writes the channel from a binary!, tuple! or (alpha) integer!; another
// type is script/invalid-arg.
void set_data(const Cell& img, const Cell& value, i32 channel);

// The GUI's rendering of a face for `to image!`: the image pushed, or null
// when the value is no face. Installed by the GUI layer.
using FaceRenderer = Cell* (*)(const Cell& value);
extern FaceRenderer face_renderer;

// Registers image! (type 53, parent series!) and installs its foreach and
// to binary! services. After image_backend::init_codecs.
void init();

}  // namespace oru::image
