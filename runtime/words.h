// Predefined words: the fixed vocabulary the runtime compares against.
//
// Parse keywords, event and date field names, trace events, the
// on-deep-change* actions, error categories and the like are interned once at
// start-up, right after the datatype name words, so that a test is one
// integer compare of symbol ids or one copy of a ready word cell. Three kinds
// of global, each list in its fixed order (ORDER PREDEFINED WORDS: the lists
// below are the interning order):
//   words::sym::NAME         symbol ids (113)
//   words::word::NAME        ready word! cells (131)
//   words::refinement::NAME  refinement! cells (6), words::issue::NAME issue! cells (1)
// A spelling that occurs twice in one list has one global per occurrence; the
// later ones carry a suffix (_2). Identifiers follow the spellings: "-" is
// "_", a closing "?" is "_q", a closing "!" or "*" is dropped, a C++ keyword
// takes a trailing "_", "<name>" is tag_name, "|" is bar and "-" alone dash.
//
// The cells are unbound (context node 0, slot index -1) until contexts exist:
// binding them is the context module's business.
#pragma once

#include "runtime/cell.h"

// X(identifier, spelling)
#define ORU_PREDEFINED_SYMBOLS(X)                                                                               \
    X(spec, "spec") X(body, "body") X(words, "words") X(class_, "class") X(logic, "logic!")                     \
    X(integer, "integer!") X(char_, "char!") X(float_, "float!") X(percent, "percent!")                         \
    X(any_type, "any-type!") X(exit, "exit") X(return_, "return") X(Windows, "Windows")                         \
    X(Syllable, "Syllable") X(macOS, "macOS") X(Linux, "Linux") X(NetBSD, "NetBSD") X(repeat, "repeat")         \
    X(foreach, "foreach") X(map_each, "map-each") X(remove_each, "remove-each") X(any, "any")                   \
    X(break_, "break") X(copy, "copy") X(end, "end") X(fail, "fail") X(into, "into") X(opt, "opt")              \
    X(not_, "not") X(quote, "quote") X(case_, "case") X(reject, "reject") X(set, "set") X(skip, "skip")         \
    X(some, "some") X(thru, "thru") X(to, "to") X(none, "none") X(bar, "|") X(dash, "-") X(if_, "if")           \
    X(remove, "remove") X(while_, "while") X(insert, "insert") X(only, "only") X(collect, "collect")            \
    X(keep, "keep") X(pick, "pick") X(ahead, "ahead") X(after, "after") X(x, "x") X(y, "y") X(z, "z")           \
    X(self, "self") X(values, "values") X(owner, "owner") X(owned, "owned") X(events_q, "events?")              \
    X(true_, "true") X(false_, "false") X(yes, "yes") X(no, "no") X(on, "on") X(off, "off") X(type, "type")     \
    X(face, "face") X(window, "window") X(offset, "offset") X(key, "key") X(flag, "flag") X(code, "code")       \
    X(picked, "picked") X(flags, "flags") X(away_q, "away?") X(ctrl_q, "ctrl?") X(shift_q, "shift?")            \
    X(down_q, "down?") X(mid_down_q, "mid-down?") X(alt_down_q, "alt-down?") X(aux_down_q, "aux-down?")         \
    X(orientation, "orientation") X(get, "get") X(put, "put") X(post, "post") X(head, "head")                   \
    X(size, "size") X(rgb, "rgb") X(alpha, "alpha") X(argb, "argb") X(date, "date") X(year, "year")             \
    X(month, "month") X(day, "day") X(zone, "zone") X(isoweek, "isoweek") X(week, "week")                       \
    X(weekday, "weekday") X(yearday, "yearday") X(julian, "julian") X(time, "time") X(hour, "hour")             \
    X(minute, "minute") X(second, "second") X(timezone, "timezone") X(code_2, "code") X(amount, "amount")       \
    X(user, "user") X(host, "host") X(system, "system") X(system_global, "system-global") X(stack, "stack")     \
    X(trace, "trace") X(no_trace, "no-trace")

#define ORU_PREDEFINED_WORDS(X)                                                                                 \
    X(Windows, "Windows") X(Syllable, "Syllable") X(macOS, "macOS") X(Linux, "Linux") X(NetBSD, "NetBSD")       \
    X(to, "to") X(thru, "thru") X(not_, "not") X(remove, "remove") X(while_, "while") X(collect, "collect")     \
    X(keep, "keep") X(ahead, "ahead") X(bar, "|") X(any, "any") X(some, "some") X(copy, "copy")                 \
    X(opt, "opt") X(into, "into") X(insert, "insert") X(if_, "if") X(quote, "quote") X(collect_2, "collect")    \
    X(set, "set") X(case_, "case") X(at, "at") X(back, "back") X(find, "find") X(head, "head")                  \
    X(head_q, "head?") X(index_q, "index?") X(length_q, "length?") X(next, "next") X(pick, "pick")              \
    X(skip, "skip") X(select, "select") X(tail, "tail") X(tail_q, "tail?") X(change, "change")                  \
    X(changed, "changed") X(clear, "clear") X(cleared, "cleared") X(set_path, "set-path")                       \
    X(append, "append") X(appended, "appended") X(move, "move") X(moved, "moved") X(poke, "poke")               \
    X(poked, "poked") X(put, "put") X(put_ed, "put-ed") X(removed, "removed") X(random, "random")               \
    X(randomized, "randomized") X(reverse, "reverse") X(reversed, "reversed") X(sort, "sort")                   \
    X(sorted, "sorted") X(swap, "swap") X(swaped, "swaped") X(take, "take") X(taken, "taken")                   \
    X(trim, "trim") X(trimmed, "trimmed") X(inserted, "inserted") X(uppercase, "uppercase")                     \
    X(lowercase, "lowercase") X(checksum, "checksum") X(push, "push") X(pop, "pop") X(fetch, "fetch")           \
    X(match, "match") X(iterate, "iterate") X(paren, "paren") X(tag_anon, "<anon>") X(tag_body, "<body>")       \
    X(tag_not_found, "<not-found>") X(end, "end") X(add, "add") X(subtract, "subtract") X(divide, "divide")     \
    X(on_parse_event, "on-parse-event") X(on_change, "on-change*") X(on_deep_change, "on-deep-change*")         \
    X(type, "type") X(id, "id") X(try_, "try") X(catch_, "catch") X(name, "name") X(multiply, "multiply")       \
    X(browse, "browse") X(open, "open") X(create, "create") X(close, "close") X(delete_, "delete")              \
    X(modify, "modify") X(query, "query") X(read, "read") X(rename, "rename") X(update, "update")               \
    X(write, "write") X(prescan, "prescan") X(scan, "scan") X(load, "load") X(error, "error")                   \
    X(comment, "comment") X(init, "init") X(exec, "exec") X(call, "call") X(return_, "return")                  \
    X(enter, "enter") X(exit, "exit") X(prolog, "prolog") X(epilog, "epilog") X(throw_, "throw")                \
    X(expr, "expr") X(tag_interp_callback, "<interp-callback>") X(tag_lexer_callback, "<lexer-callback>")       \
    X(tag_parse_callback, "<parse-callback>") X(tag_compare_callback, "<compare-callback>")                     \
    X(throw_2, "throw") X(note, "note") X(syntax, "syntax") X(script, "script") X(math, "math")                 \
    X(access, "access") X(user, "user") X(internal, "internal") X(invalid_error, "invalid-error")               \
    X(local, "local") X(tag_applied, "<applied>")

#define ORU_PREDEFINED_REFINEMENTS(X)                                                                           \
    X(local, "local") X(extern_, "extern") X(compare, "compare") X(part, "part") X(skip, "skip")                \
    X(with, "with")

#define ORU_PREDEFINED_ISSUES(X)                                                                                \
    X(ooo, "ooo")

namespace oru::words {

constexpr i32 symbol_count = 113;
constexpr i32 word_count = 131;
constexpr i32 refinement_count = 6;
constexpr i32 issue_count = 1;

#define ORU_WORDS_DECLARE_ID(name, spelling) extern i32 name;
#define ORU_WORDS_DECLARE_CELL(name, spelling) extern Cell name;
namespace sym {
ORU_PREDEFINED_SYMBOLS(ORU_WORDS_DECLARE_ID)
}
namespace word {
ORU_PREDEFINED_WORDS(ORU_WORDS_DECLARE_CELL)
}
namespace refinement {
ORU_PREDEFINED_REFINEMENTS(ORU_WORDS_DECLARE_CELL)
}
namespace issue {
ORU_PREDEFINED_ISSUES(ORU_WORDS_DECLARE_CELL)
}
#undef ORU_WORDS_DECLARE_ID
#undef ORU_WORDS_DECLARE_CELL

// Interns the symbol ids, then makes the word cells. Needs the symbol table.
void init();
// Makes the refinement cells.
void init_refinements();
// Makes the issue cells.
void init_issues();

}  // namespace oru::words
