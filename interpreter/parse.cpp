// The parse engine's machine: the work stacks, entering and leaving a run,
// the states, repetition, alternatives, `into`, tracing, and the `parse`
// native in front of it all. Matching over the input is in parse_match.cpp,
// the capturing and modifying keywords in parse_capture.cpp; the frames and
// the invariants are described in parse_engine.h.
//
// The engine never recurses: one loop runs the states, and each sub-rule or
// keyword lives as a frame on the rule stack until it resolves. Anything
// that can run code (a paren, the trace callback, a word's change handler, a
// modifying action) is followed by re-reading the rules block's length and
// clamping the rule position and the input index to what is left.
#include "interpreter/parse_engine.h"

#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

namespace oru::parse {

i64 step_budget = -1;

// None until init.
Cell work_stacks[2] = {none::value, none::value};

namespace {

// The memory manager the work stacks were made under (a start-up run again
// makes them again).
u32 made_under = 0;

// Keywords by canonical symbol id; `|` is compared by its exact id.
std::vector<Keyword> keyword_table;
i32 bar_symbol = 0;

inline i32 block_length(const Cell& blk) { return cells_in(blk); }

inline i32 clamp(i32 v, i32 lo, i32 hi) { return v < lo ? lo : v > hi ? hi : v; }

// The word a missing rule after a keyword frame's keyword is reported with.
const Cell* end_word_of(i32 k) {
    switch (k) {
        case kind::to: return &words::word::to;
        case kind::thru: return &words::word::thru;
        case kind::not_: return &words::word::not_;
        case kind::remove: return &words::word::remove;
        case kind::while_: return &words::word::while_;
        case kind::collect: return &words::word::collect;
        case kind::keep:
        case kind::keep_paren: return &words::word::keep;
        case kind::ahead: return &words::word::ahead;
        default: return nullptr;
    }
}

// Clears this run's entries from both work stacks on every way out (the
// end, an error, a stop asked by the callback, a throw through a paren or
// the callback). A parse started while another runs (code its rules run)
// leaves a marker with both stacks' indexes and works above the live cells;
// its end puts the indexes back.
class Session {
public:
    Session() {
        Cell& rs = rule_stack();
        Cell& is = input_stack();
        nested_ = block_length(rs) > cell::head_index(rs);
        if (!nested_) return;
        check_limits();
        const Cell marker = triple::make(cell::head_index(rs), cell::head_index(is), 0);
        block::rs_append(rs, marker);
        rs.data1 = static_cast<u32>(block_length(rs));
        is.data1 = static_cast<u32>(block_length(is));
    }
    ~Session() {
        Cell& rs = rule_stack();
        Cell& is = input_stack();
        const i32 base = cell::head_index(rs);
        block::rs_set_tail(rs, base);
        block::rs_set_tail(is, cell::head_index(is));
        if (!nested_ || base < 1) return;
        const Cell marker = *cell_at(rs, base - 1);
        block::rs_set_tail(rs, base - 1);
        rs.data1 = marker.data1;
        is.data1 = marker.data2;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    bool nested_ = false;
};

}  // namespace

Keyword keyword_of(const Cell& w) {
    const i32 sym = word::symbol_of(w);
    if (sym == bar_symbol) return Keyword::bar;
    const i32 c = symbol::canonical(sym);
    return c >= 0 && c < static_cast<i32>(keyword_table.size()) ? keyword_table[static_cast<size_t>(c)]
                                                                 : Keyword::none_;
}

void check_limits() {
    if (block_length(input_stack()) > stack_limit || block_length(rule_stack()) > stack_limit)
        oru::fire(ErrorId::script_parse_stack);
}

void spend_slow(i64 n) {
    if (step_budget < n) {
        step_budget = 0;  // every parse after it stops too
        oru::fire(ErrorId::internal_limit_hit, words::word::match);
    }
    step_budget -= n;
}

InputAside::InputAside() : saved_(input_stack().data1) {
    input_stack().data1 = static_cast<u32>(block_length(input_stack()));
}
InputAside::~InputAside() { input_stack().data1 = saved_; }

// ---------------------------------------------------------------------------
// Input, rules and frames

i32 Engine::remaining() const {
    const i32 n = in_tail() - idx();
    return n > 0 ? n : 0;
}

i32 Engine::end_index() const {
    const i32 t = in_tail();
    return level == 0 && limit >= 1 && limit < t ? limit : t;
}

i32 Engine::rules_head() const { return clamp(cell::head_index(*rules), 0, rules_len()); }

void Engine::push_frame(Cell c1, Cell c2, Cell c3) {
    check_limits();
    SeriesBuffer* s = series::reserve(cell::node(rule_stack()), 3, true);
    Cell* c = reinterpret_cast<Cell*>(s->tail_ptr());
    c[0] = c1;
    c[1] = c2;
    c[2] = c3;
    s->tail += 3 * sizeof(Cell);
}

void Engine::drop_frame() {
    const i32 top = frame_top();
    const bool keyword = cell::type_of(*frame_cell(top, 0)) != type::none;
    const i32 k = keyword ? kind_of(top) : 0;
    SeriesBuffer* s = memory::buffer(cell::node(rule_stack()));
    s->tail = s->head + static_cast<u32>(top) * sizeof(Cell);
    if (keyword && top - 3 >= frames_base()) frame_cell(top - 3, 1)->data3 = static_cast<u32>(k);
}

Cell Engine::position_record() const { return triple::make(pos - rules_head(), idx(), remaining()); }

void Engine::position_from(i32 frame) {
    const i32 head = rules_head();
    pos = clamp(head + static_cast<i32>(frame_cell(frame, 1)->data1), head - 1, rules_len());
}

void Engine::rules_changed() {
    const i32 len = rules_len();
    if (pos > len) pos = len;
}

void Engine::input_changed() {
    const i32 t = in_tail();
    if (idx() > t) set_idx(t);
    if (idx() < 0) set_idx(0);
}

// ---------------------------------------------------------------------------
// Code the rules run

Cell Engine::eval_paren(const Cell& paren) {
    Cell* saved = stack::top;
    {
        InputAside aside;
        Cell* p = stack::push(paren);
        if (interpreter::eval_block(*p, false)) interpreter::throw_pending();
    }
    const Cell result = *(stack::top - 1);
    stack::top = saved;
    return result;
}

void Engine::deliver(const Cell& event) {
    Cell* saved = stack::top;
    Cell args[5];
    args[0] = event;
    args[1] = logic::make(match);
    args[2] = *rules;
    args[2].data1 = static_cast<u32>(clamp(pos, rules_head(), rules_len()));
    args[3] = *in;
    // The callback gets a copy of this run's frames: an edit of it cannot
    // reach the live stack.
    const i32 base = frames_base();
    const i32 n = block_length(rule_stack()) - base;
    Cell* frames = stack::push();
    block::make_at(*frames, n);
    SeriesBuffer* dst = series::buffer_of(*frames);
    std::memcpy(dst->head_ptr(), cell_at(rule_stack(), base), static_cast<size_t>(n) * sizeof(Cell));
    dst->tail = dst->head + static_cast<u32>(n) * sizeof(Cell);
    args[4] = *frames;
    Cell answer;
    {
        InputAside aside;
        answer = natives::call_callback(*callback, words::word::tag_parse_callback, 2, args, 5);
    }
    stack::top = saved;
    rules_changed();
    input_changed();
    if (!logic::truth(answer)) throw Stop{};
}

// ---------------------------------------------------------------------------
// The states

// 0: enter a block.
State Engine::enter_block() {
    push_frame(none::value, position_record(), *rules);
    const Cell v = *value;
    if (cell::type_of(v) == type::block &&
        (cell::node(v) != cell::node(*rules) || cell::head_index(v) != cell::head_index(*rules)))
        *rules = v;
    pos = rules_head() - 1;
    match = true;
    trace(words::word::push);
    return State::next_rule;
}

// 1: leave a block.
State Engine::leave_block() {
    if (frame_top() > frames_base()) {
        completed = pos >= rules_len();
        trace(words::word::pop);
        const i32 top = frame_top();
        const Cell outer = *frame_cell(top, 2);
        const i32 rel = static_cast<i32>(frame_cell(top, 1)->data1);
        *rules = outer;
        const i32 head = rules_head();
        pos = clamp(head + rel, head - 1, rules_len());
        drop_frame();
        if (top_is_keyword()) return State::resolve;
        return match ? State::next_rule : State::backtrack;
    }
    trace(words::word::pop);
    return State::end;
}

// 2: push the keyword frame state 11 or 5 prepared.
State Engine::push_keyword() {
    const bool word_target = pend_kind == kind::copy || pend_kind == kind::set;
    push_frame(word_target ? pend_word : triple::make(pend_min, pend_max, 1), position_record(),
               cell::make(type::pair, 0, static_cast<u32>(pend_kind), static_cast<u32>(pend_flag)));
    const i32 len = rules_len();
    if (pos < len) pos++;
    no_cell = pos >= len;
    *value = no_cell ? none::value : *rule_at(pos);
    from_word = false;
    trace(words::word::push);
    return State::keyword_rule;
}

// 3: resolve the top frame.
State Engine::resolve() {
    const i32 top = frame_top();
    if (cell::type_of(*frame_cell(top, 0)) == type::none) {
        if (!pop) return State::next_rule;
        pop = false;
        return State::leave_block;
    }
    pop = true;
    const i32 k = kind_of(top);
    switch (k) {
        case kind::repeat:
        case kind::while_: repetition(top, k); break;
        case kind::to:
        case kind::thru: search_block(top, k); break;
        case kind::not_:
            // `not` never consumes: a rule that failed part way leaves nothing.
            match = !match;
            set_idx(static_cast<i32>(frame_cell(top, 1)->data2));
            input_changed();
            break;
        case kind::ahead:
            set_idx(static_cast<i32>(frame_cell(top, 1)->data2));
            input_changed();
            break;
        case kind::into: finish_into(); break;
        case kind::case_: op = static_cast<i32>(frame_cell(top, 0)->data2); break;
        case kind::copy:
        case kind::set:
        case kind::remove:
        case kind::collect:
        case kind::keep:
        case kind::keep_paren:
        case kind::change:
        case kind::change_only: resolve_capture(top, k); break;
        default: runtime_error(101, 0);  // a damaged frame
    }
    if (!pop) return State::next_rule;  // a repetition or search goes round again
    pop = false;
    trace(words::word::pop);
    drop_frame();
    return State::after_rule;
}

// Repetition (kinds -1 and -11) once its rule has matched or failed.
void Engine::repetition(i32 frame, i32 k) {
    Cell* counts = frame_cell(frame, 0);
    const i32 min = static_cast<i32>(counts->data1), max = static_cast<i32>(counts->data2);
    const i32 c = static_cast<i32>(counts->data3);
    const Cell record = *frame_cell(frame, 1);
    const i32 start = static_cast<i32>(record.data2);
    bool again = match && (max == -1 || c < max);
    // An iteration that consumed nothing would go on forever (`while`
    // excepted: its rules may change the input some other way).
    if (k == kind::repeat && idx() == start && in_tail() - idx() >= static_cast<i32>(record.data3)) {
        again = false;
        break_pending = false;
    }
    if (break_pending) {
        again = false;
        break_pending = false;
    }
    if (again) {
        Cell* r = frame_cell(frame, 1);
        r->data2 = static_cast<u32>(idx());
        r->data3 = static_cast<u32>(remaining());
        // `while` may go round without end: the count stops at its largest.
        frame_cell(frame, 0)->data3 = static_cast<u32>(c < INT32_MAX ? c + 1 : c);
        position_from(frame);
        trace(words::word::iterate);
        pop = false;
        return;
    }
    if (match) {
        if (c < min) match = false;
        return;
    }
    match = !(c - 1 < min && min != 0);
    // The iteration that failed consumes nothing, whatever it matched first.
    set_idx(start);
    input_changed();
}

// `to` and `thru` with a block rule, once the rule has matched or failed.
void Engine::search_block(i32 frame, i32 k) {
    const i32 start = static_cast<i32>(frame_cell(frame, 1)->data2);
    if (match) {
        if (k == kind::to) {
            set_idx(start);
            input_changed();
        }
        return;
    }
    // Try again one unit on, from where this try began.
    const i32 next = start + 1;
    if (start >= in_tail() || (level == 0 && limit >= 1 && next > limit)) {
        set_idx(start);
        input_changed();
        return;  // not found: the frame fails
    }
    set_idx(next);
    Cell* r = frame_cell(frame, 1);
    r->data2 = static_cast<u32>(next);
    r->data3 = static_cast<u32>(remaining());
    position_from(frame);
    match = true;
    trace(words::word::pop);
    trace(words::word::iterate);
    pop = false;
}

// 4: after a rule.
State Engine::after_rule() {
    if (top_is_keyword()) return State::resolve;
    return match ? State::next_rule : State::backtrack;
}

// 5: match the value under examination.
State Engine::match_value() {
    const Cell v = *value;
    switch (cell::type_of(v)) {
        case type::word:
            // A word whose value is a word is not a rule.
            if (from_word && pos < rules_len() && cell::type_of(*rule_at(pos)) == type::word)
                oru::fire(ErrorId::script_parse_rule, v);
            return State::word_rule;
        case type::block: return State::enter_block;
        case type::datatype:
        case type::typeset:
            if (series::string_like_q(in_type())) oru::fire(ErrorId::script_parse_unsupported);
            match = !end_q() && match_type(v);
            trace(words::word::match);
            return match ? State::advance : State::after_rule;
        case type::set_word: {
            Cell w = v;
            const Cell here = *in;
            {
                InputAside aside;
                context::set(w, here);
            }
            rules_changed();
            input_changed();
            return State::next_rule;
        }
        case type::get_word: {
            Cell w = v;
            const Cell mark = *context::get(w);
            if (!series::same_series_q(mark, *in)) oru::fire(ErrorId::script_parse_invalid_ref, v);
            set_idx(cell::head_index(mark));
            input_changed();
            match = true;
            return State::after_rule;
        }
        case type::integer: return match_count();
        case type::paren: {
            *paren_value = eval_paren(v);
            trace(words::word::paren);
            rules_changed();
            input_changed();
            return State::after_rule;
        }
        case type::path: oru::fire(ErrorId::script_parse_rule, v);
        default: return State::match_literal;
    }
}

namespace {
// The value of a word in the rules, or null when the word is bound nowhere.
const Cell* value_of(const Cell& w) { return word::context_of(w) ? context::get(w) : nullptr; }
}  // namespace

// 5, integer!: a count or a range of counts, then the rule.
State Engine::match_count() {
    const Cell first = *value;
    const i32 n1 = static_cast<i32>(first.data2);
    if (n1 < 0) oru::fire(ErrorId::script_out_of_range, first);
    const i32 at = pos + 1;
    if (at >= rules_len()) oru::fire(ErrorId::script_parse_rule, first);
    Cell second = *rule_at(at);
    if (cell::type_of(second) == type::word) {
        const Cell* v = value_of(second);
        second = v ? *v : none::value;
    }
    match = true;
    if (cell::type_of(second) == type::integer) {
        const i32 n2 = static_cast<i32>(second.data2);
        if (n2 < 0) oru::fire(ErrorId::script_out_of_range, second);
        if (at + 1 >= rules_len() || n2 < n1) oru::fire(ErrorId::script_parse_rule, first);
        if (n2 == 0) {  // 0 0: the whole rule is passed over
            pos = rule_end(at + 1) - 1;
            return State::after_rule;
        }
        pos = at;
        pend_min = n1;
        pend_max = n2;
    } else {
        if (n1 == 0) {
            pos = rule_end(at) - 1;
            return State::after_rule;
        }
        pend_min = pend_max = n1;
    }
    pend_kind = kind::repeat;
    pend_flag = 0;
    return State::push_keyword;
}

// The index just past the rule that starts at `at`: a keyword with its
// arguments and the rule it applies to, a count with its rule, or one cell.
// (A count of 0 passes over the whole rule, not only its first cell.)
i32 Engine::rule_end(i32 at) const {
    const i32 len = rules_len();
    i32 extra = 0;  // cells that follow the rule: the value of `change`
    auto done = [&](i32 end) { return end + extra < len ? end + extra : len; };
    auto word_is = [&](i32 i, Keyword k) {
        return i < len && cell::type_of(*rule_at(i)) == type::word && keyword_of(*rule_at(i)) == k;
    };
    Cell mark;
    while (at < len) {
        Cell c = *rule_at(at);
        if (cell::type_of(c) == type::word) {
            switch (keyword_of(c)) {
                case Keyword::any:
                case Keyword::some:
                case Keyword::opt:
                case Keyword::while_:
                case Keyword::not_:
                case Keyword::ahead:
                case Keyword::into:
                case Keyword::remove: at++; continue;
                case Keyword::to:
                case Keyword::thru:
                    if (word_is(at + 1, Keyword::end)) return done(at + 2);
                    at++;
                    continue;
                case Keyword::quote:
                case Keyword::if_: return done(at + 2);
                case Keyword::copy:
                case Keyword::set:
                case Keyword::case_: at += 2; continue;
                case Keyword::collect:
                    at++;
                    if (word_is(at, Keyword::set) || word_is(at, Keyword::into) || word_is(at, Keyword::after)) at += 2;
                    continue;
                case Keyword::keep:
                    at++;
                    if (word_is(at, Keyword::pick)) at++;
                    continue;
                case Keyword::change:
                    at++;
                    if (word_is(at, Keyword::only)) at++;
                    if (at < len && mark_q(*rule_at(at), &mark)) return done(at + 2);
                    extra++;
                    continue;
                case Keyword::insert:
                    at++;
                    if (word_is(at, Keyword::only)) at++;
                    if (at < len && mark_q(*rule_at(at), &mark)) at++;
                    return done(at + 1);
                case Keyword::none_: {
                    const Cell* v = value_of(c);
                    if (v && cell::type_of(*v) == type::integer) c = *v;
                    break;
                }
                default: return done(at + 1);
            }
        }
        if (cell::type_of(c) != type::integer) return done(at + 1);
        at++;  // a count, perhaps a second one, then its rule
        if (at < len) {
            Cell n = *rule_at(at);
            if (cell::type_of(n) == type::word) {
                const Cell* v = value_of(n);
                n = v ? *v : none::value;
            }
            if (cell::type_of(n) == type::integer) at++;
        }
    }
    return len;
}

// 6: advance one unit.
State Engine::advance() {
    if (idx() < in_tail()) set_idx(idx() + 1);
    return State::after_rule;
}

// 7: the next rule.
State Engine::next_rule() {
    if (pos < rules_len()) pos++;
    if (pos >= rules_len()) return top_is_keyword() ? State::resolve : State::leave_block;
    kw_arg = from_word = false;
    trace(words::word::fetch);
    if (pos >= rules_len()) return top_is_keyword() ? State::resolve : State::leave_block;
    *value = *rule_at(pos);
    return State::match_value;
}

// 8: match the value literally.
State Engine::match_literal() {
    match = match_here(*value);
    trace(words::word::match);
    return State::after_rule;
}

// 9: the rule of the keyword frame on top.
State Engine::keyword_rule() {
    const i32 top = frame_top();
    const i32 k = kind_of(top);
    if (no_cell) {
        if (const Cell* w = end_word_of(k)) oru::fire(ErrorId::script_parse_end, *w);
        match = true;
        return State::after_rule;
    }
    const Cell v = *value;
    switch (cell::type_of(v)) {
        case type::block: return State::enter_block;
        case type::word:
            kw_arg = k != kind::collect && k != kind::keep && k != kind::keep_paren;
            return State::word_rule;
        case type::integer:
        case type::paren:
        case type::typeset:
        case type::datatype: return State::match_value;
        default: break;
    }
    if (k == kind::repeat || k == kind::while_) {
        const Cell counts = *frame_cell(top, 0);
        match = loop_value(v, static_cast<i32>(counts.data1), static_cast<i32>(counts.data2));
        trace(words::word::match);
        trace(words::word::pop);
        drop_frame();
        return State::after_rule;
    }
    if (k == kind::to || k == kind::thru) {
        i32 start = 0;
        match = find_value(v, &start);
        if (match) frame_cell(frame_top(), 1)->data2 = static_cast<u32>(start);
        trace(words::word::match);
        if (match && k == kind::to) {
            set_idx(static_cast<i32>(frame_cell(frame_top(), 1)->data2));
            input_changed();
        }
        trace(words::word::pop);
        drop_frame();
        return State::after_rule;
    }
    return State::match_value;
}

// 10: backtrack to the next alternative of the block on top.
State Engine::backtrack() {
    set_idx(static_cast<i32>(frame_cell(frame_top(), 1)->data2));
    input_changed();
    const i32 len = rules_len();
    for (i32 i = pos > rules_head() ? pos : rules_head(); i < len; i++) {
        const Cell* c = rule_at(i);
        if (cell::type_of(*c) == type::word && word::symbol_of(*c) == bar_symbol) {
            pos = i;
            match = true;
            return State::next_rule;
        }
    }
    return State::leave_block;
}

// 11: a word in the rules.
State Engine::word_rule() {
    const Cell w = *value;
    const i32 len = rules_len();
    const bool more = pos + 1 < len;
    auto repeat = [&](i32 min, i32 max, const Cell& name) {
        if (!more) oru::fire(ErrorId::script_parse_end, name);
        pend_kind = kind::repeat;
        pend_min = min;
        pend_max = max;
        pend_flag = 0;
        return State::push_keyword;
    };
    auto keyword = [&](i32 k) {
        pend_kind = k;
        pend_min = 0;
        pend_max = k == kind::while_ ? -1 : 0;
        pend_flag = 0;
        return State::push_keyword;
    };
    switch (keyword_of(w)) {
        case Keyword::bar:
            pos = len;
            return top_is_keyword() ? State::resolve : State::leave_block;
        case Keyword::skip:
            match = !end_q();
            trace(words::word::match);
            return match ? State::advance : State::after_rule;
        case Keyword::any: return repeat(0, -1, words::word::any);
        case Keyword::some: return repeat(1, -1, words::word::some);
        case Keyword::opt: return repeat(0, 1, words::word::opt);
        case Keyword::while_: return keyword(kind::while_);
        case Keyword::to:
        case Keyword::thru:
            if (more && cell::type_of(*rule_at(pos + 1)) == type::word && keyword_of(*rule_at(pos + 1)) == Keyword::end) {
                match = true;
                trace(words::word::match);
                pos++;
                set_idx(end_index());
                return State::after_rule;
            }
            return keyword(keyword_of(w) == Keyword::to ? kind::to : kind::thru);
        case Keyword::not_: return keyword(kind::not_);
        case Keyword::ahead: return keyword(kind::ahead);
        case Keyword::end:
            match = end_q();
            trace(words::word::match);
            return State::after_rule;
        case Keyword::none:
            match = true;
            trace(words::word::match);
            return State::after_rule;
        case Keyword::fail:
            match = false;
            trace(words::word::match);
            return State::after_rule;
        case Keyword::break_:
            match = true;
            break_pending = pop = true;
            if (pos < len) pos++;
            trace(words::word::match);
            return State::resolve;
        case Keyword::reject:
            match = false;
            break_pending = pop = true;
            trace(words::word::match);
            return State::resolve;
        case Keyword::quote:
            if (!more) oru::fire(ErrorId::script_parse_end, words::word::quote);
            *value = *rule_at(++pos);
            return State::match_literal;
        case Keyword::if_: {
            if (!more || cell::type_of(*rule_at(pos + 1)) != type::paren)
                oru::fire(ErrorId::script_parse_end, words::word::if_);
            const Cell r = eval_paren(*rule_at(++pos));
            rules_changed();
            input_changed();
            match = logic::truth(r);
            trace(words::word::match);
            return State::after_rule;
        }
        case Keyword::case_: {
            if (!more || cell::type_of(*rule_at(pos + 1)) != type::word)
                oru::fire(ErrorId::script_parse_end, words::word::case_);
            const Cell flag = *context::get(*rule_at(++pos));
            pend_kind = kind::case_;
            pend_min = 0;
            pend_max = op;
            pend_flag = 0;
            op = logic::truth(flag) ? 2 : 0;
            return State::push_keyword;
        }
        case Keyword::into: return start_into();
        case Keyword::copy:
        case Keyword::set: return start_copy_set(keyword_of(w));
        case Keyword::collect: return start_collect();
        case Keyword::keep: return start_keep();
        case Keyword::remove: return start_remove();
        case Keyword::insert: return run_insert();
        case Keyword::change: return start_change();
        default: break;
    }
    // Any other word stands for its value.
    const Cell v = *context::get(w);
    if (cell::type_of(v) == type::unset) oru::fire(ErrorId::script_parse_rule, w);
    *value = v;
    from_word = true;
    if (!kw_arg) return State::match_value;
    if (cell::type_of(v) == type::word) return State::match_literal;
    no_cell = false;
    return State::keyword_rule;
}

// `into`: enters the series at the input position, when it is one.
State Engine::start_into() {
    if (!series::block_like_q(in_type())) oru::fire(ErrorId::script_parse_block, *in);
    if (pos + 1 >= rules_len()) oru::fire(ErrorId::script_parse_end, words::word::into);
    Cell rule = *rule_at(pos + 1);
    if (cell::type_of(rule) == type::word) {
        const Cell* v = value_of(rule);
        rule = v ? *v : none::value;
    }
    if (cell::type_of(rule) != type::block) oru::fire(ErrorId::script_parse_end, words::word::into);
    const Cell item = end_q() ? none::value : *cell_at(*in, idx());
    const u32 t = cell::type_of(item);
    if (!series::block_like_q(t) && !series::string_like_q(t) && t != type::binary) {
        match = false;
        trace(words::word::match);
        pos++;  // past the rule: it is not matched
        return State::after_rule;
    }
    check_limits();
    Cell& is = input_stack();
    cell_at(is, block_length(is) - 1)->data1 = static_cast<u32>(idx());
    block::rs_append(is, item);
    *in = item;
    level++;
    input_changed();
    pend_kind = kind::into;
    pend_min = pend_max = pend_flag = 0;
    return State::push_keyword;
}

// `into`'s frame resolves: back to the outer input.
void Engine::finish_into() {
    if (idx() < in_tail()) match = false;  // the sub-series was not matched to its end
    Cell& is = input_stack();
    block::rs_set_tail(is, block_length(is) - 1);
    *in = *cell_at(is, block_length(is) - 1);
    level--;
    input_changed();
    if (!completed) match = false;
    if (match) set_idx(idx() + 1);
    input_changed();
}

// 12: the end.
void Engine::end_state() {
    if (match) match = pos >= rules_len();
    i32 n = in_tail() - idx();
    if (level == 0 && limit >= 1 && n >= 1) n = limit - idx();
    if (n >= 1 && level == 0) match = false;  // input left over
    try {
        trace(words::word::end);
    } catch (const Stop&) {
        // Parsing is over: a stop asked now changes nothing.
    }
}

void Engine::run() {
    State s = State::enter_block;
    for (;;) {
        spend(1);
        switch (s) {
            case State::enter_block: s = enter_block(); break;
            case State::leave_block: s = leave_block(); break;
            case State::push_keyword: s = push_keyword(); break;
            case State::resolve: s = resolve(); break;
            case State::after_rule: s = after_rule(); break;
            case State::match_value: s = match_value(); break;
            case State::advance: s = advance(); break;
            case State::next_rule: s = next_rule(); break;
            case State::match_literal: s = match_literal(); break;
            case State::keyword_rule: s = keyword_rule(); break;
            case State::backtrack: s = backtrack(); break;
            case State::word_rule: s = word_rule(); break;
            case State::end: end_state(); return;
        }
    }
}

// ---------------------------------------------------------------------------
// Entry

Cell* process(const Cell& input, const Cell& rules, i32 comparison, i32 limit, const Cell* callback) {
    if (cell::type_of(rule_stack()) != type::block || made_under != memory::generation)
        oru::fire(ErrorId::internal_not_done);
    const u32 t = cell::type_of(input);
    if (!series::block_like_q(t) && !series::string_like_q(t) && t != type::binary)
        oru::fire(ErrorId::script_invalid_arg, input);
    if (cell::type_of(rules) != type::block) oru::fire(ErrorId::script_invalid_arg, rules);
    Engine e;
    e.result = stack::push(unset::value);
    e.in = stack::push(input);
    e.rules = stack::push(rules);
    e.value = stack::push(none::value);
    e.paren_value = stack::push(none::value);
    e.copy_word = stack::push(none::value);
    e.collect_base = stack::index_of(stack::top);
    e.callback = callback;
    e.op = comparison;
    e.limit = limit;
    e.input_changed();
    bool stopped = false;
    {
        Session session;
        check_limits();
        block::rs_append(input_stack(), *e.in);
        e.pos = e.rules_head() - 1;
        try {
            e.run();
        } catch (const Stop&) {
            stopped = true;  // a stopped parse has not matched its input
        }
    }
    Cell* base = stack::at_index(e.collect_base);
    const bool block_result = !stopped && e.collected && stack::top > base && cell::type_of(*base) == type::block;
    *e.result = block_result ? *base : logic::make(!stopped && e.match);
    stack::top = e.result + 1;
    return e.result;
}

void init() {
    block::make_at(work_stacks[0], 8);
    block::make_at(work_stacks[1], 100);
    made_under = memory::generation;
    bar_symbol = words::sym::bar;
    const std::pair<i32, Keyword> list[] = {
        {words::sym::any, Keyword::any},         {words::sym::break_, Keyword::break_},
        {words::sym::copy, Keyword::copy},       {words::sym::end, Keyword::end},
        {words::sym::fail, Keyword::fail},       {words::sym::into, Keyword::into},
        {words::sym::opt, Keyword::opt},         {words::sym::not_, Keyword::not_},
        {words::sym::quote, Keyword::quote},     {words::sym::case_, Keyword::case_},
        {words::sym::reject, Keyword::reject},   {words::sym::set, Keyword::set},
        {words::sym::skip, Keyword::skip},       {words::sym::some, Keyword::some},
        {words::sym::thru, Keyword::thru},       {words::sym::to, Keyword::to},
        {words::sym::none, Keyword::none},       {words::sym::if_, Keyword::if_},
        {words::sym::remove, Keyword::remove},   {words::sym::while_, Keyword::while_},
        {words::sym::insert, Keyword::insert},   {words::sym::only, Keyword::only},
        {words::sym::collect, Keyword::collect}, {words::sym::keep, Keyword::keep},
        {words::sym::pick, Keyword::pick},       {words::sym::ahead, Keyword::ahead},
        {words::sym::after, Keyword::after},     {word::symbol_of(words::word::change), Keyword::change},
    };
    keyword_table.assign(0, Keyword::none_);
    for (const auto& [sym, k] : list) {
        const i32 c = symbol::canonical(sym);
        if (c >= static_cast<i32>(keyword_table.size())) keyword_table.resize(static_cast<size_t>(c) + 1, Keyword::none_);
        keyword_table[static_cast<size_t>(c)] = k;
    }
}

void mark() { collector::mark_block(&work_stacks[0], &work_stacks[0] + 2); }

void register_all() { natives::provide(natives::slot::parse, natives::parse); }

}  // namespace oru::parse

// ---------------------------------------------------------------------------
// The native

namespace oru::natives {

namespace {

// The /part limit as an absolute index, clamped to 32 bits.
i64 part_limit(const Cell& input, const Cell& part) {
    const i64 at = cell::head_index(input);
    switch (cell::type_of(part)) {
        case type::integer: return at + static_cast<i32>(part.data2);
        case type::float_:
        case type::percent: {
            const double d = cell::get_float(part);
            if (std::isnan(d)) oru::fire(ErrorId::script_invalid_refine_arg, words::refinement::part, part);
            if (d >= 4294967296.0) return INT32_MAX;
            if (d <= -4294967296.0) return INT32_MIN;
            return at + static_cast<i64>(std::trunc(d));
        }
        default:
            if (!series::same_series_q(part, input))
                oru::fire(ErrorId::script_invalid_refine_arg, series::word_of("part"), part);
            return cell::head_index(part);
    }
}

}  // namespace

// parse: input rules /case /part length /trace callback
u32 parse(bool, const i32* refinements) {
    enum { case_r, part_r, trace_r };
    auto used = [&](int i) { return refinements && refinements[i] >= 0; };
    Cell* args = stack::arguments;
    const u32 t = cell::type_of(args[0]);
    if (!series::block_like_q(t) && !series::string_like_q(t) && t != type::binary)
        oru::fire(ErrorId::script_invalid_arg, args[0]);
    const i32 comparison = used(case_r) ? 2 : 0;
    i32 limit = 0;
    if (used(part_r)) {
        i64 l = part_limit(args[0], args[refinements[part_r]]);
        if (l > INT32_MAX) l = INT32_MAX;
        if (l <= cell::head_index(args[0])) {
            // A limit at or before the input's position leaves nothing of
            // the input to match: no rule runs.
            const i32 rest = series::abs_length_q(args[0]) - cell::head_index(args[0]);
            stack::set_result(logic::make(rest <= 0));
            return 0;
        }
        limit = static_cast<i32>(l);
    }
    const Cell* callback = used(trace_r) ? &args[refinements[trace_r]] : nullptr;
    Cell result = none::value;
    const u32 code = interpreter::guard(throw_code::break_, [&] {
        result = *parse::process(args[0], args[1], comparison, limit, callback);
        return u32{0};
    });
    if (code) return interpreter::pass_on(code);
    stack::set_result(result);
    return 0;
}

}  // namespace oru::natives
