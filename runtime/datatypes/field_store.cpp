// Writing back a changed copy; see field_store.h.
#include "runtime/datatypes/field_store.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"

namespace oru::field_store {

namespace {

// Holders whose eval-path stores into a slot they share with every other
// reference to them.
bool shared_holder_q(u32 t) {
    return series::block_like_q(t) || t == type::object || t == type::error || t == type::port || t == type::map;
}

}  // namespace

void write_back(const Cell& value, Cell* path, Cell* container, Cell* previous, i32 index) {
    const u32 ct = container ? cell::type_of(*container) : type::none;
    if (shared_holder_q(ct) && previous) {
        // The holder's store runs language code (on-change*, on-deep-change*):
        // what it is given lives on the data stack.
        stack::Mark mark;
        Cell* holder = stack::push(*container);
        Cell* element = stack::push(*previous);
        Cell* stored = stack::push(value);
        actions::eval_path(holder, element, stored, path, nullptr, nullptr, index > 0 ? index - 1 : 0, false, false,
                           true, true);
        return;
    }
    // The path's first word (a function's local word comes with the
    // function as its holder): the word's own slot.
    const bool first_word = ct == type::none || ct == type::function;
    if (first_word && previous && word::any_word_type_q(cell::type_of(*previous)) && word::context_of(*previous)) {
        stack::Mark mark;
        Cell* w = stack::push(*previous);
        context::set(*w, value);
        return;
    }
    // A holder that is itself a copy (the time of a date): the change would
    // be lost, so it is refused.
    fire(ErrorId::script_bad_path_set, path ? *path : none::value, previous ? *previous : none::value);
}

}  // namespace oru::field_store
