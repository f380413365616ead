// The routines behind the codec entries of `system/codecs`: the five image
// formats through the image backend, and the ORUBIN document codec. All are
// external entries (argument cells last first, the result cell handed back).
#pragma once

#include "runtime/datatypes/routine.h"

namespace oru::boot::routines {

// img where: a new binary! of the image encoded in the format by code
// (0 bmp, 1 png, 2 gif, 3 jpeg, 4 tiff). `where` is never written to.
template <i32 Format>
routine::Machine image_encode(const routine::Machine* a, i32 n);
// data: the image a binary! or a file! holds; any of the five formats.
routine::Machine image_decode(const routine::Machine* a, i32 n);
// data compact?: the ORUBIN document of the value, compact or fixed form.
routine::Machine orubin_encode(const routine::Machine* a, i32 n);
// payload: the value of an ORUBIN document (a binary!, or a file! or url!
// read as binary), or the block of its values when it holds other than one.
routine::Machine orubin_decode(const routine::Machine* a, i32 n);

}  // namespace oru::boot::routines
