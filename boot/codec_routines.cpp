// The codec routines of `system/codecs`. The decoders read their input from a
// private copy of the bytes: decoding allocates, which may move the binary's
// buffer.
#include "boot/codec_routines.h"

#include "codecs/orubin.h"
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/series.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <vector>

namespace oru::boot::routines {

using routine::Machine;

template <i32 Format>
Machine image_encode(const Machine* a, i32) {
    const Cell where = *a[0].cell;
    const Cell img = *a[1].cell;
    if (cell::type_of(img) != type::image) fire(ErrorId::script_invalid_arg, img);
    return Machine{.cell = image::encode(img, &where, Format)};
}

template Machine image_encode<0>(const Machine*, i32);
template Machine image_encode<1>(const Machine*, i32);
template Machine image_encode<2>(const Machine*, i32);
template Machine image_encode<3>(const Machine*, i32);
template Machine image_encode<4>(const Machine*, i32);

Machine image_decode(const Machine* a, i32) {
    Cell* data = stack::push(*a[0].cell);
    const u32 t = cell::type_of(*data);
    if (t == type::url) data = actions::read(data, nullptr, nullptr, true, false, nullptr, nullptr);
    else if (t != type::binary && t != type::file) fire(ErrorId::script_invalid_data, *data);
    return Machine{.cell = image::decode(*data)};
}

Machine orubin_encode(const Machine* a, i32) {
    const bool compact = logic::truth(*a[0].cell);
    const Cell value = *a[1].cell;
    return Machine{.cell = compact ? orubin::encode_cp(value) : orubin::encode(value)};
}

Machine orubin_decode(const Machine* a, i32) {
    Cell* payload = stack::push(*a[0].cell);
    const u32 t = cell::type_of(*payload);
    if (t == type::url || t == type::file)
        payload = actions::read(payload, nullptr, nullptr, true, false, nullptr, nullptr);
    else if (t != type::binary) fire(ErrorId::script_invalid_data, *payload);
    if (cell::type_of(*payload) != type::binary) fire(ErrorId::script_invalid_data, *payload);
    const i32 from = cell::head_index(*payload);
    const i32 length = series::abs_length_q(*payload) - from;
    // A document shorter than its header is no document: refuse before the decoder looks.
    if (length <= 10) fire(ErrorId::script_invalid_data, *payload);
    const u8* bytes = series::buffer_of(*payload)->head_ptr() + from;
    const std::vector<u8> copy(bytes, bytes + length);
    Cell* out = block::push_only(1);
    orubin::decode(copy.data(), copy.size(), *out, true, *payload, false);
    if (series::abs_length_q(*out) - cell::head_index(*out) == 1)
        return Machine{.cell = stack::push(*block::rs_abs_at(*out, cell::head_index(*out)))};
    return Machine{.cell = out};
}

}  // namespace oru::boot::routines
