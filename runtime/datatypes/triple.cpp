// triple!: the text form, its only action.
#include "runtime/datatypes/triple.h"

#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/registry.h"

namespace oru::triple {

namespace {

// "make triple! [a b c]": the budget goes down by every character written.
i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const u32 words[3] = {value->data1, value->data2, value->data3};
    i32 written = string::concatenate_literal(*buffer, "make triple! [");
    for (int i = 0; i < 3; i++) {
        if (i) written += string::concatenate_literal(*buffer, " ");
        written += string::concatenate_literal(*buffer, integer::form_signed(static_cast<i32>(words[i])));
    }
    written += string::concatenate_literal(*buffer, "]");
    return limit - written;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

constexpr ActionTable triple_actions = {.form = form, .mold = mold};

}  // namespace

void init() { registry::add(type::triple, 0, "triple!", triple_actions); }

}  // namespace oru::triple
