// Storing back a value changed through a path field: see path_store.h.
#include "runtime/datatypes/path_store.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/fire.h"

namespace oru::path_store {

namespace {

// Values that hold others by reference: a store through their eval-path
// handler reaches the value the path read.
bool reference_q(u32 t) {
    return series::block_like_q(t) || t == type::map || t == type::object || t == type::error || t == type::port;
}

}  // namespace

void store_back(const Cell& changed, Cell* container, Cell* previous, Cell* path, i32 index) {
    stack::Mark mark;
    Cell* value = stack::push(changed);
    const u32 ct = container ? cell::type_of(*container) : type::none;
    if (reference_q(ct) && previous) {
        Cell* holder = stack::push(*container);
        Cell* element = stack::push(*previous);
        Cell* where = stack::push(path ? *path : Cell{type::none, 0, 0, 0});
        actions::eval_path(holder, element, value, where, nullptr, nullptr, index > 0 ? index - 1 : 0, false, false,
                           true, true);
        return;
    }
    // The path's head word (a function's local word comes with the function
    // as its container): the word's own slot.
    const bool head = ct == type::none || ct == type::function;
    const u32 pt = previous ? cell::type_of(*previous) : type::none;
    if (head && pt >= type::word && pt <= type::get_word) {
        Cell* word = stack::push(*previous);
        context::set(*word, *value);
        return;
    }
    // A container that is itself a copy (the time! read from a date!): the
    // element names its field, not a word to set, and the change has nowhere
    // to go. Refused rather than lost.
    fire(ErrorId::script_bad_path_set, path ? *path : none::value, previous ? *previous : none::value);
}

}  // namespace oru::path_store
