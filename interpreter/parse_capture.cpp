// The parse keywords that take values out of the input or change it:
// `copy`, `set`, `remove`, `insert`, `change`, `collect` and `keep`.
//
// Changes go through the input's own actions (insert, remove, change), run
// with the input stack set aside, so that change handlers may run a parse of
// their own; afterwards the rules' length and the input index are read
// again. Collecting uses the data stack above the engine's cells: a plain
// collect pushes its block, `collect set` the target word and then a block,
// `collect into` / `after` a marker (the word as get-word! or refinement!)
// and no block; `keep` always adds to the cell on top. Values kept or
// changed before a later failure stay: parsing does not undo edits.
#include "interpreter/parse_engine.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <cstring>

namespace oru::parse {

namespace {

// The handler of an action for the series' type, or the shared series!
// handler when the type has none registered (binary! until it lands).
inline bool has_handler(u32 t, u32 slot) { return t < registry::table_types && registry::entry(t, slot); }

// Pushes a copy of `count` units of the series from its index.
Cell* copy_part(const Cell& src, i32 count) {
    spend(count > 0 ? count : 0);
    Cell* s = stack::push(src);
    Cell* part = stack::push(cell::integer(count > 0 ? count : 0));
    return has_handler(cell::type_of(*s), action::copy) ? actions::copy(s, nullptr, part, false, nullptr)
                                                         : series::copy(s, nullptr, part, false, nullptr);
}

// Removes `count` units of the series from its index.
void remove_part(const Cell& src, i32 count) {
    if (count <= 0) return;
    spend(series::abs_length_q(src));
    stack::Mark mark;
    Cell* s = stack::push(src);
    Cell* part = stack::push(cell::integer(count));
    InputAside aside;
    if (has_handler(cell::type_of(*s), action::remove)) actions::remove(s, part, nullptr);
    else series::remove(s, part, nullptr);
}

// The value of a word, or null when the word is bound nowhere.
const Cell* value_of(const Cell& w) { return word::context_of(w) ? context::get(w) : nullptr; }

void set_word(const Cell& w, const Cell& v) {
    Cell target = w;
    cell::set_type(target, type::word);
    InputAside aside;
    context::set(target, v);
}

inline bool word_q(const Cell& c) { return cell::type_of(c) == type::word; }

}  // namespace

bool Engine::mark_q(const Cell& c, Cell* mark) const {
    const u32 t = cell::type_of(c);
    if (t != type::word && t != type::get_word) return false;
    const Cell* v = value_of(c);
    if (!v || !series::same_series_q(*v, *in)) return false;
    *mark = *v;
    const i32 at = cell::head_index(*mark), len = in_tail();
    mark->data1 = static_cast<u32>(at < 0 ? 0 : at > len ? len : at);
    return true;
}

Cell Engine::edit_value(i32 at, const Cell& keyword) {
    const Cell c = *rule_at(at);
    switch (cell::type_of(c)) {
        case type::paren:
            *paren_value = eval_paren(c);
            trace(words::word::paren);
            rules_changed();
            input_changed();
            return *paren_value;
        case type::word: {
            const Cell v = *context::get(c);
            if (cell::type_of(v) == type::unset) oru::fire(ErrorId::script_no_value, c);
            return v;
        }
        case type::path: oru::fire(ErrorId::script_parse_rule, c);
        default: return c;
    }
}

// ---------------------------------------------------------------------------
// Starting the keywords (state 11)

State Engine::start_copy_set(Keyword k) {
    const Cell& name = k == Keyword::copy ? words::word::copy : words::word::set;
    if (pos + 2 >= rules_len() || !word_q(*rule_at(pos + 1))) oru::fire(ErrorId::script_parse_end, name);
    pend_word = *rule_at(++pos);
    pend_kind = k == Keyword::copy ? kind::copy : kind::set;
    pend_min = pend_max = pend_flag = 0;
    return State::push_keyword;
}

State Engine::start_remove() {
    if (pos + 1 < rules_len()) {
        const Cell next = *rule_at(pos + 1);
        if (cell::type_of(next) == type::path) oru::fire(ErrorId::script_parse_rule, words::word::remove);
        Cell mark;
        if (mark_q(next, &mark)) {
            // From the mark to here, whichever comes first.
            i32 a = cell::head_index(mark), b = idx();
            if (a > b) std::swap(a, b);
            Cell from = *in;
            from.data1 = static_cast<u32>(a);
            remove_part(from, b - a);
            set_idx(a);
            rules_changed();
            input_changed();
            pos++;
            match = true;
            trace(words::word::match);
            return State::after_rule;
        }
    }
    pend_kind = kind::remove;
    pend_min = pend_max = pend_flag = 0;
    return State::push_keyword;
}

State Engine::run_insert() {
    i32 at = pos + 1;
    bool only = false;
    if (at < rules_len() && word_q(*rule_at(at)) && keyword_of(*rule_at(at)) == Keyword::only) {
        only = true;
        at++;
    }
    i32 point = idx();
    Cell mark;
    if (at < rules_len() && mark_q(*rule_at(at), &mark)) {
        if (at + 1 >= rules_len()) oru::fire(ErrorId::script_parse_rule, words::word::insert);
        point = cell::head_index(mark);
        at++;
    }
    if (at >= rules_len()) oru::fire(ErrorId::script_parse_end, words::word::insert);
    pos = at;
    spend(in_tail());
    stack::Mark keep;
    Cell* v = stack::push(edit_value(at, words::word::insert));
    Cell* s = stack::push(*in);
    const i32 len = in_tail();
    s->data1 = static_cast<u32>(point < len ? point : len);
    const i32 before = len;
    {
        InputAside aside;
        actions::insert(s, v, -1, only, 1);
    }
    const i32 added = in_tail() - before;
    if (point <= idx() && added > 0) set_idx(idx() + added);
    rules_changed();
    input_changed();
    return State::after_rule;
}

State Engine::start_change() {
    i32 at = pos + 1;
    bool only = false;
    if (at < rules_len() && word_q(*rule_at(at)) && keyword_of(*rule_at(at)) == Keyword::only) {
        only = true;
        at++;
    }
    if (at >= rules_len()) oru::fire(ErrorId::script_parse_rule, words::word::change);
    Cell mark;
    if (mark_q(*rule_at(at), &mark)) {
        // From the mark to here, whichever comes first, replaced at once.
        if (at + 1 >= rules_len()) oru::fire(ErrorId::script_parse_end, words::word::change);
        i32 a = cell::head_index(mark), b = idx();
        if (a > b) std::swap(a, b);
        pos = at + 1;
        spend(in_tail());
        stack::Mark keep;
        Cell* v = stack::push(edit_value(pos, words::word::change));
        Cell* s = stack::push(*in);
        s->data1 = static_cast<u32>(a);
        Cell* part = stack::push(cell::integer(b - a));
        {
            InputAside aside;
            actions::change(s, v, part, only, 1);
        }
        set_idx(cell::head_index(*s));
        rules_changed();
        input_changed();
        return State::after_rule;
    }
    pos = at - 1;
    pend_kind = only ? kind::change_only : kind::change;
    pend_min = pend_max = pend_flag = 0;
    return State::push_keyword;
}

void Engine::check_target(const Cell& target) const {
    const u32 t = cell::type_of(target), it = in_type();
    bool ok = series::series_q(t) && t != type::vector && t != type::image &&
              (t == it || series::block_like_q(t) ||
               (series::string_like_q(t) && (series::string_like_q(it) || it == type::binary)));
    if (t == type::binary && it != type::binary) ok = false;
    if (!ok) oru::fire(ErrorId::script_parse_into_type);
}

State Engine::start_collect() {
    i32 at = pos + 1;
    Keyword mode = Keyword::none_;
    if (at < rules_len() && word_q(*rule_at(at))) {
        const Keyword k = keyword_of(*rule_at(at));
        if (k == Keyword::set || k == Keyword::into || k == Keyword::after) {
            mode = k;
            at++;
            if (at >= rules_len() || !word_q(*rule_at(at))) oru::fire(ErrorId::script_parse_end, words::word::collect);
        }
    }
    i32 target_index = 0;
    if (mode == Keyword::into || mode == Keyword::after) {
        const Cell w = *rule_at(at);
        const Cell target = *context::get(w);
        check_target(target);
        if (cell::node(target) == cell::node(*in)) oru::fire(ErrorId::script_parse_into_bad);
        target_index = cell::head_index(target);
        Cell marker = w;
        cell::set_type(marker, mode == Keyword::into ? type::get_word : type::refinement);
        stack::push(marker);
    } else if (mode == Keyword::set) {
        stack::push(*rule_at(at));
        block::push_only(8);
    } else {
        block::push_only(8);
    }
    collect_depth++;
    if (mode != Keyword::none_) pos = at;
    pend_kind = kind::collect;
    pend_min = pend_flag = 0;
    pend_max = target_index;
    return State::push_keyword;
}

State Engine::start_keep() {
    if (collect_depth <= 0) oru::fire(ErrorId::script_parse_keep);
    i32 at = pos + 1;
    bool pick = false;
    if (at < rules_len() && word_q(*rule_at(at)) && keyword_of(*rule_at(at)) == Keyword::pick) {
        pick = true;
        at++;
    }
    const bool paren = at < rules_len() && cell::type_of(*rule_at(at)) == type::paren;
    pos = at - 1;
    pend_kind = paren ? kind::keep_paren : kind::keep;
    pend_min = pend_max = 0;
    pend_flag = pick ? 1 : 0;
    return State::push_keyword;
}

// ---------------------------------------------------------------------------
// Collecting

// Adds one value to the collect target on top of the data stack: appended to
// a plain collect's block (spread without `only`); inserted into an
// into/after target with its own insert action, at its position for `into`
// (the position moves past the value) or at its tail for `after`.
void Engine::keep_value(const Cell& v, bool only) {
    spend(1);
    Cell* target = stack::top - 1;
    stack::Mark mark;
    Cell* value = stack::push(v);  // first: `v` may be held nowhere else
    if (cell::type_of(*target) == type::block) {
        if (only) {
            // A collection grows by four times when full: large ones are
            // copied (and their pages touched) fewer times.
            const Node n = cell::node(*target);
            if (memory::buffer(n)->tail + sizeof(Cell) > static_cast<u32>(memory::buffer(n)->size))
                series::reserve(n, 3 * static_cast<i64>(memory::buffer(n)->length()) + 1, false);
            block::rs_append(*target, *value);
            return;
        }
        Cell* at_tail = stack::push(*target);
        at_tail->data1 = static_cast<u32>(series::abs_length_q(*target));
        actions::insert(at_tail, value, -1, false, 1);
        return;
    }
    const bool into = cell::type_of(*target) == type::get_word;
    Cell w = *target;
    cell::set_type(w, type::word);
    Cell* series = stack::push(*context::get(w));
    check_target(*series);
    if (!into) series->data1 = static_cast<u32>(series::abs_length_q(*series));
    {
        InputAside aside;
        actions::insert(series, value, -1, only, 1);
    }
    if (into) set_word(w, *series);
    rules_changed();
    input_changed();
}

// Keeps what the rule under `keep` matched, from `start` to the position.
void Engine::keep_matched(i32 start, bool pick) {
    const i32 end = idx();
    if (end <= start || start < 0) return;
    const u32 it = in_type();
    auto item = [&](i32 i) -> Cell {
        if (i >= in_tail()) return none::value;
        if (it == type::binary) return cell::integer(series::buffer_of(*in)->head_ptr()[i]);
        if (series::string_like_q(it)) {
            SeriesBuffer* b = series::buffer_of(*in);
            return cell::make(type::char_, 0, string::get_char(b->head_ptr() + static_cast<size_t>(i) * b->unit(), b->unit()));
        }
        return *cell_at(*in, i);
    };
    if (pick) {
        for (i32 i = start; i < end && i < in_tail(); i++) keep_value(item(i), true);
        return;
    }
    if (end - start == 1) {
        keep_value(item(start), true);
        return;
    }
    // A run of text into a text target: the units go straight across.
    const Cell target = *(stack::top - 1);
    const u32 mt = cell::type_of(target);
    if ((mt == type::get_word || mt == type::refinement) && series::string_like_q(it)) {
        Cell w = target;
        cell::set_type(w, type::word);
        stack::Mark mark;
        Cell* dst = stack::push(*context::get(w));
        check_target(*dst);
        if (series::string_like_q(cell::type_of(*dst)) &&
            series::buffer_of(*dst)->unit() == series::buffer_of(*in)->unit()) {
            Cell src = *in;
            src.data1 = static_cast<u32>(start);
            const bool after = mt == type::refinement;
            const i32 n = string::concatenate(*dst, src, end - start, 0, true,
                                              after ? string::mode::append : string::mode::insert);
            if (!after) {
                dst->data1 = static_cast<u32>(cell::head_index(*dst) + n);
                set_word(w, *dst);
            }
            rules_changed();
            input_changed();
            return;
        }
    }
    Cell copy;
    {
        stack::Mark mark;  // the target is on top again afterwards
        Cell from = *in;
        from.data1 = static_cast<u32>(start);
        copy = *copy_part(from, end - start);
    }
    keep_value(copy, true);  // which roots the copy before anything allocates
}

// Collect frame resolution (matched or not).
void Engine::resolve_collect(i32 frame) {
    collect_depth--;
    const i32 saved_index = static_cast<i32>(frame_cell(frame, 0)->data2);
    Cell* base = stack::at_index(collect_base);
    if (stack::top <= base) return;
    const i32 above = static_cast<i32>(stack::top - base);
    const Cell top = *(stack::top - 1);
    const u32 tt = cell::type_of(top);
    if (tt == type::block && above > 1) {
        const Cell below = *(stack::top - 2);
        switch (cell::type_of(below)) {
            case type::word:  // collect set
                set_word(below, top);
                stack::top -= 2;
                return;
            case type::get_word:
            case type::refinement:  // an into/after target of an enclosing collect
                stack::top--;       // keep_value roots the block again at once
                keep_value(top, true);
                return;
            default:  // a parent collect's block: one value more
                block::rs_append(below, top);
                collected = true;
                stack::top--;
                return;
        }
    }
    if (above == 1) collected = tt == type::block;
    if (tt == type::get_word || tt == type::refinement) {
        Cell w = top;
        cell::set_type(w, type::word);
        const Cell* v = value_of(w);
        if (v && series::series_q(cell::type_of(*v))) {
            Cell back = *v;
            back.data1 = static_cast<u32>(saved_index);
            set_word(w, back);
        }
        stack::top--;
    }
}

// ---------------------------------------------------------------------------
// Resolving (state 3)

void Engine::resolve_capture(i32 frame, i32 k) {
    const Cell record = *frame_cell(frame, 1);
    const i32 start = static_cast<i32>(record.data2);
    switch (k) {
        case kind::copy:
            if (match) {
                const Cell w = *frame_cell(frame, 0);
                Cell from = *in;
                from.data1 = static_cast<u32>(start < in_tail() ? start : in_tail());
                stack::Mark mark;
                Cell* c = copy_part(from, idx() - start);
                set_word(w, *c);
                *copy_word = w;
                rules_changed();
                input_changed();
            }
            return;
        case kind::set:
            if (match) {
                const Cell w = *frame_cell(frame, 0);
                Cell v = none::value;
                if (idx() > start && start < in_tail()) {
                    const u32 it = in_type();
                    SeriesBuffer* b = series::buffer_of(*in);
                    if (it == type::binary) v = cell::integer(b->head_ptr()[start]);
                    else if (series::string_like_q(it))
                        v = cell::make(type::char_, 0,
                                       string::get_char(b->head_ptr() + static_cast<size_t>(start) * b->unit(), b->unit()));
                    else v = *cell_at(*in, start);
                }
                set_word(w, v);
                rules_changed();
                input_changed();
            }
            return;
        case kind::remove:
            if (match) {
                Cell from = *in;
                from.data1 = static_cast<u32>(start);
                remove_part(from, idx() - start);
                set_idx(start);
                rules_changed();
                input_changed();
            }
            return;
        case kind::change:
        case kind::change_only: {
            // The value after the rule, replacing what the rule matched.
            if (pos + 1 >= rules_len()) oru::fire(ErrorId::script_parse_end, words::word::change);
            pos++;
            if (!match) return;
            spend(in_tail());
            stack::Mark mark;
            Cell* v = stack::push(edit_value(pos, words::word::change));
            Cell* s = stack::push(*in);
            s->data1 = static_cast<u32>(start < in_tail() ? start : in_tail());
            Cell* part = stack::push(cell::integer(idx() > start ? idx() - start : 0));
            {
                InputAside aside;
                actions::change(s, v, part, k == kind::change_only, 1);
            }
            set_idx(cell::head_index(*s));
            rules_changed();
            input_changed();
            return;
        }
        case kind::collect: resolve_collect(frame); return;
        case kind::keep:
        case kind::keep_paren: {
            if (!match) return;
            const bool pick = frame_cell(frame, 2)->data3 != 0;
            if (k == kind::keep_paren) {
                // The paren's value stays rooted in its engine cell meanwhile.
                if (pick) keep_value(*paren_value, false);
                else keep_value(*paren_value, true);
                return;
            }
            if (static_cast<i32>(record.data3) == kind::copy) {
                const Cell* v = value_of(*copy_word);
                if (v) keep_value(*v, true);
                return;
            }
            keep_matched(start, pick);
            return;
        }
        default: return;
    }
}

}  // namespace oru::parse
