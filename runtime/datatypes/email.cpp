// email!: mold, the user and host paths, and the registration.
//
// Path writes go through string!'s change with a /part count, so they widen,
// grow and tell an owner of the change as any string edit does.
#include "runtime/datatypes/email.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/words.h"

namespace oru::email {

Cell* push(const Cell& value) { return stack::push(value); }

namespace {

bool named(const Cell& element, i32 sym) {
    const u32 t = cell::type_of(element);
    return t >= type::word && t <= type::get_word &&
           symbol::canonical(word::symbol_of(element)) == symbol::canonical(sym);
}

// The text as it is, as string!'s form writes it.
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return registry::handler<action_fn::Form>(type::string, action::form)(value, buffer, part, limit);
}

// A new string! of n characters of the email from `from` characters past its head.
Cell* slice(const Cell& email, i32 from, i32 n) {
    Cell* r = stack::push(none::value);
    string::make_at(*r, n);
    Cell source = email;
    source.data1 = static_cast<u32>(cell::head_index(email) + from);
    string::concatenate(*r, source, n, 0, true, string::mode::append);
    return r;
}

// string!'s change at `from` characters past the head, over n characters;
// with n < 0 no /part is given (at the tail: an append).
void change_at(const Cell& email, i32 from, i32 n, Cell* value) {
    stack::Mark mark;
    Cell* target = stack::push(email);
    target->data1 = static_cast<u32>(cell::head_index(email) + from);
    Cell* part = n < 0 ? nullptr : stack::push(cell::integer(n));
    actions::change(target, value, part, false, 1);
}

// An integer is string!'s path; `user` and `host` read or write the parts.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool case_, bool get, bool tail, bool notify) {
    if (cell::type_of(*element) == type::integer)
        return registry::handler<action_fn::EvalPath>(type::string, action::eval_path)(
            parent, element, value, path, container, previous, index, case_, get, tail, notify);
    const bool user = named(*element, words::sym::user);
    if (!user && !named(*element, words::sym::host))
        fire(ErrorId::script_invalid_path, path ? *path : none::value, *element);
    Cell email = *parent;
    const i32 len = series::rest(email, false);  // also brings a head past the tail back
    const i32 at = string::rs_find_char(email, '@');
    if (!value) {
        if (user) return slice(email, 0, at < 0 ? len : at);
        return at < 0 ? slice(email, len, 0) : slice(email, at + 1, len - at - 1);
    }
    if (user) {
        change_at(email, 0, at < 0 ? len : at, value);  // no "@": the whole text is the user
    } else if (at >= 0) {
        change_at(email, at + 1, len - at - 1, value);
    } else {
        Cell* sign = stack::push(cell::make(type::char_, 0, '@', 0));
        change_at(email, len, -1, sign);
        change_at(email, len + 1, -1, value);
        stack::pop(1);
    }
    return value;
}

constexpr ActionTable email_actions = {
    .make = inherit, .reflect = inherit, .to = inherit, .form = inherit, .mold = mold, .eval_path = eval_path,
    .compare = inherit,
    .append = inherit, .at = inherit, .back = inherit, .change = inherit, .clear = inherit, .copy = inherit,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = inherit,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .put = inherit,
    .remove = inherit, .reverse = inherit, .select = inherit, .skip = inherit, .swap = inherit, .tail = inherit,
    .tail_q = inherit, .take = inherit, .modify = inherit,
};

}  // namespace

void init() { registry::add(type::email, type::string, "email!", email_actions); }

}  // namespace oru::email
