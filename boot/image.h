// The boot image: an ORUBIN document that the image generator
// (boot/make_image.cpp) writes at build time from the library source, linked
// into the program as an object of its own. Its define records set the
// datatype words, the typesets and the native and action words; then comes
// one record per library module, in the order of boot/modules.cmake: a block
// of the module's file name (a string!) and its code block.
#pragma once

#include <cstddef>

namespace oru::boot {

extern const unsigned char image_bytes[];
extern const size_t image_size;

}  // namespace oru::boot
