// The lexer's automaton, handlers and entry points.
//
// Each byte maps to a character class (0-39) whose upper bits are token
// flags; the transition table (65 scanning states x 40 classes) gives the
// next state, and a state above 65 is final: it names the token and selects
// its handler. Values are made in one value buffer shared by nested scans
// (a heap vector the collector never moves; `mark` hands its cells to the
// collector); an open container is a marker cell there, replaced by one
// block-like value when it closes. A handler ends a scan by throwing the
// private stop code, which the main loop catches; any other throw unlinks
// the scan's state and passes on. The tables are at the top, the handler
// table and init at the bottom.
#include "codecs/lexer.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <bitset>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace oru::lexer {
namespace {

// --- Tables -------------------------------------------------------------------

constexpr u32 class_count = 40;
constexpr u32 scan_states = 65;
constexpr u32 state_count = 104;
constexpr u32 first_final = 66;
constexpr u32 cls_end = 39;

// Token flags ORed over a token's bytes (the upper bits of a class entry).
namespace tf {
constexpr u32 lesser = 0x00100000, greater = 0x00080000, percent = 0x00040000, sign = 0x00200000;
constexpr u32 hash = 0x00800000, nul = 0x00400000, exp = 0x01000000, quote = 0x02000000;
constexpr u32 colon = 0x04000000, comma = 0x08000000, dot = 0x10000000, caret = 0x20000000;
}  // namespace tf

// Rows of the transition table: "classes>next;...|default", one per
// scanning state 0-64 in order.
constexpr const char* transition_rows[scan_states] = {
    "0,1,35>0;2,3>23;4>68;5>69;6>70;7>71;8>72;9,22,36,38>67;10>2;11>16;12,13>51;18,20>40;21>13;23>43;25>58;26>6;27>78;28>1;29>57;30>49;31>36;32,33>47;39>66|52",  // 0 start
    "1,39>77;38>67|1",  // 1 comment
    "1,38,39>67;10>79;34>3|2",  // 2 string
    "38,39>67|2",  // 3 string-caret
    "8>72;9>73;34>5;38,39>67|4",  // 4 brace-string
    "38,39>67|4",  // 5 brace-string-caret
    "0,1,4,5,6,7,9,28,29,35,39>80;8>10;10>8;13>54;26>9;38>67|7",  // 6 percent
    "0,1,4,5,6,7,8,9,13,28,29,39>85;10,38>67|7",  // 7 file
    "1,38,39>67;10>85|8",  // 8 file-quoted
    "0,1,4,5,6,7,9,10,22,28,35,39>80;8>10;26>9;38>67|7",  // 9 percent-run
    "9>11;38,39>67|10",  // 10 raw-string
    "9>11;26>12;38,39>67|10",  // 11 raw-close-brace
    "0,1,4,5,6,7,8,10,23,28,35,39>100;26>12|67",  // 12 raw-close-percent
    "0,1,4,5,6,7,8,9,10,11,28,29,35,39>80;13>53;21>15;27,38>67|14",  // 13 slash
    "0,1,4,5,6,7,8,9,10,21,28,29,35,39>83;13,27,38>67|14",  // 14 refinement
    "0,1,4,5,6,7,8,9,10,11,28,29,35,39>80;21>15;26,27,31,38>67|52",  // 15 slash-run
    "0,1,5,7,9,13,23,24,27,38>67;4>74;6>21;8>17;10>19;28,29,35,39>81|22",  // 16 hash
    "0,1,2,3,14,15,16,17,18,19,20,21,25,32,37>17;9>86;28>18|67",  // 17 binary-body
    "1>17;38,39>67|18",  // 18 binary-comment
    "10>84;34>20;38,39>67|19",  // 19 char
    "38,39>67|19",  // 20 char-caret
    "7>76;38,39>67|21",  // 21 hash-paren
    "0,1,4,5,6,7,8,9,10,28,29,35,39>81;13,21,38>67|22",  // 22 issue
    "2,3,12>23;11>16;13>31;14>33;15,21,33>30;16>42;17>26;18>27;19,22,24,25,31,32,34,36,37,38>67;20>39;26>87;29>56;30>24|82",  // 23 integer
    "0,1,4,5,6,7,8,9,10,21,23,27,28,35,39>88;2,3,12>25;11>28;14>33;17,18>26;26>87|67",  // 24 decimal
    "2,3,12>25;11,15,16,19,20,22,24,25,31,32,33,34,36,37,38>67;14>33;17,18>26;26>87;29>56;30>29|88",  // 25 decimal-quote
    "0,1,4,5,6,7,8,9,10,13,21,23,27,28,35,39>88;2,3,32,33>26;29>56|67",  // 26 exponent
    "2,3>27;11,12,14,15,17,19,22,24,25,28,31,34,36,37,38>67;16>42;18,20>40;26>87;29>56;30>29;32,33>26|88",  // 27 digits-E
    "2>88;11,12,13,26,29,31,34,38>67;14,15,16,17,18,19,20,24,25,30,32,33,36,37>28|89",  // 28 float-special
    "0,1,4,5,6,7,8,9,10,13,21,23,28,35,39>90;2,3,30>29|67",  // 29 tuple
    "0,1,4,5,6,7,8,9,10,23,28,31,35,39>91;26,27,29,34,36,38>67|30",  // 30 date
    "2,3>32|67",  // 31 time-colon
    "0,1,4,5,6,7,8,9,10,21,23,28,35,39>94;2,3,13,30>32|67",  // 32 time
    "2,3,32,33>34;29>56|67",  // 33 pair-x
    "0,1,4,5,6,7,8,9,10,13,21,23,28,35,39>92;2,3,17,18,30>34;29>56|67",  // 34 pair
    "0,2,3,5,11,17,18,19,20,27,30,32,33,37>35;7>93|67",  // 35 point
    "2,3>37|67",  // 36 money-dollar
    "0,1,4,5,6,7,8,9,10,11,13,21,23,28,35,39>95;2,3,12>37;30>38|67",  // 37 money
    "0,1,4,5,6,7,8,9,10,11,13,21,23,28,35,39>95;2,3,12>38|67",  // 38 money-fraction
    "2,3,18,20>39;16>41;29>56|67",  // 39 digits-hex
    "2,3,18,20>40;12,14,15,17,19,23,24,25,30,32,33,34,36,37>52;13>53;16>41;21>75;26,27,38>67;29>56;31>37|80",  // 40 hex-letters
    "0,1,4,5,6,7,8,9,10,22,28,35,39>99;11,26,27,38>67;13>53;21>75;29>56;31>37|52",  // 41 hex-h
    "0,1,4,5,6,7,8,9,10,22,23,28,35,39>99;21>75;29>56;31>37|67",  // 42 integer-h
    "0,1,4,5,6,7,8,9,10,28,35,39>80;12>46;13>53;23>43;24,25,33>52;38>67|44",  // 43 less-than
    "10>45;12>46;24>96;38,39>67|44",  // 44 tag
    "10>44;38,39>67|45",  // 45 tag-dquote
    "12>44;38,39>67|46",  // 46 tag-squote
    "0,1,4,5,6,7,8,9,10,11,22,28,35,39>80;2,3>23;12,26,34,38>67;21>75;30>49;31>37|52",  // 47 sign
    "0,1,4,5,6,7,8,9,10,11,22,28,35,39>80;12,26,31,34,38>67;21>75|52",  // 48 sign-after-quote
    "0,1,4,5,6,7,8,9,10,11,22,28,35,39>80;2,3,32,33>50;13>53;21>75;26,27,31,38>67;29>56|52",  // 49 dot
    "0,1,4,5,6,7,8,9,10,13,21,23,35,39>88;2,3,17,18,32,33>50;14>33;26>87;29>56|67",  // 50 dot-digits
    "14,15,16,17,18,19,20,24,30,34,36,37>52;21>13;23>43;25>58;26>54;32,33>48|67",  // 51 quote-or-colon
    "0,1,4,5,6,7,8,9,10,11,22,23,28,35,39>80;13>53;21>75;26,27,38>67;29>56;31>36|52",  // 52 word
    "0,1,4,5,6,7,8,9,10,22,28,35,39>80;23,38>67|55",  // 53 word-colon
    "0,1,4,5,6,7,8,9,22,28,35,39>80;26>54|67",  // 54 word-percent
    "0,1,4,5,6,7,8,9,10,22,23,28,35,39>97;24,34,38>67|55",  // 55 url
    "2,3,14,15,16,17,18,19,20,26,30,32,33,36,37>56;11,12,13,24,25,27,29,31,34,38>67|98",  // 56 email
    "0,1,4,5,6,7,8,9,10,23,28,35,39>101;11,12,22,24,25,27,29,31,34,38>67|57",  // 57 ref
    "0,1,4,5,6,7,8,9,10,13,22,28,35,39>80;11,26,27,29,31,38>67;21>75|52",  // 58 equals
    "2,3>60;6>70;7>71;10>2;11>63;12,13>61;14,15,16,17,18,19,20,24,25,30,36,37>62;23>43;29>57;31>36;32,33>64|67",  // 59 path-step
    "0,1,4,5,6,7,8,9,10,13,21,23,28,35,39>82;2,3,12>60;14>33;17,18>26;26>87;29>56;30>24|67",  // 60 path-integer
    "14,15,16,17,18,19,20,23,24,25,30,32,33,36,37>62|67",  // 61 path-quote
    "0,1,4,5,6,7,8,9,10,13,21,22,28,35,39>80;11,26,27,38>67;29>56;31>36|62",  // 62 path-word
    "0,1,5,6,7,8,9,13,21,23,24,25,27,28,29,35,38,39>67;4>21;10>19|22",  // 63 path-hash
    "2,3>60;11,12,23,26,27,34,38>67;14,15,16,17,18,19,20,24,25,30,36,37>62;29>56;31>36;32,33>64|80",  // 64 path-sign
};

u32 char_class[256];
u8 transition[scan_states][class_count];
u8 type_of_state[state_count];
u8 line_of_class[class_count];
bool path_delimiter[class_count];
std::bitset<8290 * 8> separators;

// Datatypes of the final states 66-101 (0 for structural tokens).
constexpr u8 final_types[36] = {
    0, type::error, 0, 0, 0, 0, 0, type::string, 0, 0, 0, 0, 0, type::string, type::word, type::issue,
    type::integer, type::refinement, type::char_, type::file, type::binary, type::percent, type::float_,
    type::float_, type::tuple, type::date, type::pair, type::point2D, type::time, type::money, type::tag,
    type::url, type::email, type::integer, type::string, type::ref};

// The type a syntax error raised in each scanning state reports (0: an
// invalid character), one per scanning state 0-64 in order.
constexpr u8 scan_types[scan_states] = {
    0,                                                                    // 0 start
    0,                                                                    // 1 comment
    type::string, type::string, type::string, type::string,               // 2-5 strings
    type::file, type::file, type::file, type::file,                       // 6-9 percent, file
    type::string, type::string, type::string,                             // 10-12 raw string
    type::refinement, type::refinement, type::refinement,                 // 13-15 slash
    type::issue,                                                          // 16 hash
    type::binary, type::binary,                                           // 17-18 binary
    type::char_, type::char_,                                             // 19-20 char
    0,                                                                    // 21 hash-paren
    type::issue,                                                          // 22 issue
    type::integer,                                                        // 23 integer
    type::float_, type::float_, type::float_, type::float_, type::float_,  // 24-28 floats
    type::tuple, type::date, type::time, type::time,                      // 29-32
    type::pair, type::pair, type::point2D,                                // 33-35
    type::money, type::money, type::money,                                // 36-38 money
    type::integer,                                                        // 39 digits-hex
    type::word,                                                           // 40 hex-letters
    type::integer, type::integer,                                         // 41-42 hex-h, integer-h
    type::tag, type::tag, type::tag, type::tag,                           // 43-46 tags
    type::word, type::word, type::word,                                   // 47-49 sign, dot
    type::float_,                                                         // 50 dot-digits
    type::word, type::word, type::word, type::word,                       // 51-54 words
    type::url, type::email, type::ref,                                    // 55-57
    type::word,                                                           // 58 equals
    type::path,                                                           // 59 path-step
    type::integer,                                                        // 60 path-integer
    type::word, type::word,                                               // 61-62 path words
    type::issue,                                                          // 63 path-hash
    type::word,                                                           // 64 path-sign
};

void fill_types() {
    for (u32 s = 0; s < scan_states; s++) type_of_state[s] = scan_types[s];
    for (u32 i = 0; i < 36; i++) type_of_state[first_final + i] = final_types[i];
}

void fill_classes() {
    auto set = [](u32 b, u32 cls, u32 flags = 0) { char_class[b] = cls | flags; };
    for (u32 b = 0; b < 256; b++) set(b, 37);
    for (u32 b = 1; b < 32; b++) set(b, 35);
    set(9, 0), set(13, 0), set(32, 0), set(10, 1);
    for (u32 b = '1'; b <= '9'; b++) set(b, 2);
    set('0', 3), set('[', 4), set(']', 5), set('(', 6), set(')', 7), set('{', 8), set('}', 9), set('"', 10);
    set('#', 11, tf::hash), set('\'', 12, tf::quote), set(':', 13, tf::colon), set('x', 14), set('X', 14);
    set('T', 15), set('h', 16), set('e', 17, tf::exp), set('E', 18, tf::exp);
    for (u32 b : {'a', 'b', 'c', 'd', 'f'}) set(b, 19);
    for (u32 b : {'A', 'B', 'C', 'D', 'F'}) set(b, 20);
    set('/', 21), set('\\', 22), set('<', 23, tf::lesser), set('>', 24, tf::greater), set('=', 25);
    set('%', 26, tf::percent), set(',', 27, tf::comma), set(';', 28), set('@', 29), set('.', 30, tf::dot);
    set('$', 31), set('+', 32, tf::sign), set('-', 33, tf::sign), set('^', 34, tf::caret);
    for (u32 b = 0x7F; b <= 0xBF; b++) set(b, 36);
    for (u32 b = 0xC2; b <= 0xEF; b++) set(b, 37, 0x40000000);
    for (u32 b = 0xF0; b <= 0xF7; b++) set(b, 37, 0x80000000);
    for (u32 b : {0xC0u, 0xC1u}) set(b, 38);
    for (u32 b = 0xF8; b <= 0xFF; b++) set(b, 38);
    set(0, 39, tf::nul);
}

// Parses the rows above into the transition table.
void fill_transitions() {
    for (u32 s = 0; s < scan_states; s++) {
        std::string row = transition_rows[s];
        size_t bar = row.find('|');
        u8 def = static_cast<u8>(std::stoi(row.substr(bar + 1)));
        for (u32 c = 0; c < class_count; c++) transition[s][c] = def;
        size_t pos = 0;
        while (pos < bar) {
            size_t semi = row.find(';', pos);
            if (semi == std::string::npos || semi > bar) semi = bar;
            std::string seg = row.substr(pos, semi - pos);
            size_t gt = seg.find('>');
            u8 next = static_cast<u8>(std::stoi(seg.substr(gt + 1)));
            size_t p = 0;
            while (p < gt) {
                size_t comma = seg.find(',', p);
                if (comma == std::string::npos || comma > gt) comma = gt;
                transition[s][std::stoi(seg.substr(p, comma - p))] = next;
                p = comma + 1;
            }
            pos = semi + 1;
        }
    }
}

void fill_misc() {
    for (u32 c = 0; c < class_count; c++) line_of_class[c] = c == 1;
    for (u32 c : {0, 1, 4, 5, 6, 7, 8, 10, 13, 23, 28, 37, 38, 39}) path_delimiter[c] = true;
    for (u32 cp : {133, 160, 5760, 8232, 8233, 8239, 8287, 12288, 6158, 8203}) separators.set(cp);
    for (u32 cp = 8192; cp <= 8202; cp++) separators.set(cp);
}

bool separator_q(i32 cp) { return cp >= 0 && cp < static_cast<i32>(separators.size()) && separators.test(cp); }

// --- Lexer state and value buffer -----------------------------------------------

// The value buffer, shared by nested scans: each scan's cells lie above its
// base; the innermost scan's tail is the vector's size.
std::vector<Cell> values;
constexpr u32 stop_code = 10;     // private: ends a scan from a handler
constexpr u32 marker_type = type::triple;

struct State {
    State* outer = nullptr;
    size_t base = 0, head = 0;    // this scan's first cell; the innermost level's first cell
    const u8* input = nullptr;
    const u8* end = nullptr;
    const u8* cur = nullptr;
    const u8* token_end = nullptr;
    i32 line = 1;
    i32 lines_crossed = 0;
    u32 token_type = 0;
    u32 start_state = 0;
    u32 last_type = 0;
    const u8* brace_start = nullptr;
    i32 depth = 0;
    u32 brace_flags = 0;
    i32 brace_lines = 0;
    bool full_load = true;
    Mode mode;
};
State* chain = nullptr;

[[noreturn]] void stop() { throw SystemThrow{stop_code}; }

// A string! of the given code points, in the narrowest unit that holds them.
Cell string_of(const std::vector<u32>& cps, u32 unit) {
    for (u32 cp : cps) {
        if (cp > 0xFFFF) unit = 4;
        else if (cp > 0xFF && unit == 1) unit = 2;
    }
    Cell s;
    i32 n = static_cast<i32>(cps.size());
    string::make_at_unit(s, n, unit);
    SeriesBuffer* b = memory::buffer(cell::node(s));
    for (i32 i = 0; i < n; i++) string::put_char(b->data() + b->head + static_cast<u32>(i) * unit, unit, cps[i]);
    b->tail = b->head + static_cast<u32>(n) * unit;
    return s;
}

// Text for an error message: the bytes are decoded leniently, since the text
// being reported may be the very bytes that are not valid UTF-8 (each bad
// byte becomes U+FFFD).
Cell make_string(const u8* p, i32 n) {
    std::vector<u32> cps;
    for (const u8* e = p + n; p < e;) {
        i32 cp = *p;
        const u8* next = cp < 0x80 ? p + 1 : unicode::fast_decode_utf8_char(p, e, &cp);
        if (cp < 0) next = p + 1, cp = 0xFFFD;
        cps.push_back(static_cast<u32>(cp));
        p = next;
    }
    return string_of(cps, 1);
}

// Syntax errors: kind > 0 a datatype, -1 bad character, -2 bad
// construction, -3 wrong closer, -4 input ended inside a container.
[[noreturn]] void syntax_error(State& st, const u8* pos, i32 kind, u32 missing = 0) {
    if (!st.full_load) {
        st.token_type = type::error;
        st.last_type = type::error;
        stop();
    }
    if (kind > 0 && kind >= static_cast<i32>(type::path) && kind <= static_cast<i32>(type::get_path) &&
        st.head > st.base)
        kind = -1;  // a path left open reads as a bad character
    const u8* p = pos ? pos : st.input;
    const u8* e = p;
    while (e < st.end && e - p < 30 && *e != '\n') e++;
    // Cut at a character boundary, never inside a UTF-8 sequence.
    if (e < st.end && e - p == 30)
        while (e > p && (*e & 0xC0) == 0x80) e--;
    std::string line = "(line " + std::to_string(st.line) + ")";
    Cell* l = stack::push(make_string(reinterpret_cast<const u8*>(line.data()), static_cast<i32>(line.size())));
    Cell* near = stack::push(make_string(p, static_cast<i32>(e - p)));
    Cell lc = *l, nc = *near;
    stack::pop(2);
    switch (kind) {
        case -1: fire(ErrorId::syntax_bad_char, lc, nc);
        case -2: fire(ErrorId::syntax_malconstruct, lc, nc);
        case -3:
        case -4: fire(ErrorId::syntax_missing, char_::make_cell(static_cast<i32>(missing)), lc, nc);
        default: fire(ErrorId::syntax_invalid, datatype::make(static_cast<u32>(kind)), lc, nc);
    }
}

Cell& new_cell(State& st) {
    Cell c = cell::make(type::unset);
    if (st.lines_crossed > 0) c.header |= flag::new_line;
    values.push_back(c);
    return values.back();
}
void push_value(State& st, const Cell& v) {
    Cell& c = new_cell(st);
    c = Cell{v.header | (c.header & flag::new_line), v.data1, v.data2, v.data3};
}

// --- Containers -------------------------------------------------------------------------------

u32 open_kind(State& st) { return st.head > st.base ? values[st.head - 1].data2 & 0xFFFF : 0; }
bool path_kind_q(u32 t) { return t >= type::path && t <= type::get_path; }

void open_container(State& st, u32 t, const u8* at) {
    if (open_kind(st) == type::point2D) syntax_error(st, at, type::point2D);
    Cell& m = new_cell(st);
    m.header = marker_type | (m.header & flag::new_line);
    m.data1 = static_cast<u32>(st.head);
    m.data2 = t;
    m.data3 = static_cast<u32>(at - st.input);
    st.head = values.size();
}

// Replaces the innermost marker and the cells after it by one value of the
// marker's datatype (or `as` when given).
void close_container(State& st, u32 as = 0) {
    size_t head = st.head;
    Cell marker = values[head - 1];
    u32 t = as ? as : marker.data2 & 0xFFFF;
    i32 n = static_cast<i32>(values.size() - head);
    if (t == type::map) {
        // Keys and values pair up. The map! value itself comes with its
        // datatype; without full loading the structure is kept as a block.
        if (st.full_load) {
            if (n % 2) syntax_error(st, st.input + marker.data3, type::map);
            fire(ErrorId::internal_not_done);
        }
        t = type::block;
    }
    Cell blk;
    block::make_at(blk, n);
    for (i32 i = 0; i < n; i++) block::rs_append(blk, values[head + static_cast<size_t>(i)]);
    blk.header = t | (marker.header & flag::new_line);
    values.resize(head);
    values[head - 1] = blk;
    st.head = marker.data1;
    st.start_state = path_kind_q(open_kind(st)) ? 59 : 0;
}

u32 closer_of(u32 t) { return t == type::paren || t == type::point2D ? ')' : ']'; }

void close_paths(State& st) {
    while (path_kind_q(open_kind(st))) close_container(st);
}

void expect_close(State& st, const u8* at, u32 want) {
    close_paths(st);
    u32 k = open_kind(st);
    bool ok = k == want || (want == type::block && k == type::map);
    if (!ok) {
        if (k == 0) syntax_error(st, at, -1);
        // A paren that a comma turned into a point holds values, not coordinates.
        if (k == type::point2D && want == type::paren) syntax_error(st, st.input + values[st.head - 1].data3, type::point2D);
        u32 m = closer_of(k);
        if (*at == m) m = m == ')' ? '(' : '[';
        syntax_error(st, at, -3, m);
    }
    close_container(st);
}

// After an element of a path, the next character ends or continues it.
void path_check(State& st) {
    const u8* p = st.cur;
    if (p >= st.end) return close_container(st);
    u32 cls = char_class[*p] & 0xFF;
    if (*p == '/') {
        if (p + 1 >= st.end) syntax_error(st, p, type::path);
        st.cur = p + 1;
        st.start_state = 59;
        return;
    }
    if (*p == ':') {
        if (p + 1 < st.end && p[1] == '/') syntax_error(st, p, type::path);
        st.cur = p + 1;
        return close_container(st, type::set_path);
    }
    if (path_delimiter[cls]) return close_container(st);
    syntax_error(st, p, type::path);
}

// --- Text decoding --------------------------------------------------------------------

bool hex_digit(u8 c, u32* v) {
    if (c >= '0' && c <= '9') return *v = c - '0', true;
    if (c >= 'a' && c <= 'f') return *v = c - 'a' + 10, true;
    if (c >= 'A' && c <= 'F') return *v = c - 'A' + 10, true;
    return false;
}

// Decodes the escape after a caret at p (p just past "^"); returns the
// address after it, nullptr when it is invalid.
const u8* decode_caret(const u8* p, const u8* e, i64* cp) {
    if (p >= e) return nullptr;
    u8 c = *p;
    if (c == '(') {
        const u8* close = p + 1;
        while (close < e && *close != ')' && close - p <= 7) close++;
        if (close >= e || *close != ')') return nullptr;
        std::string name(reinterpret_cast<const char*>(p + 1), static_cast<size_t>(close - p - 1));
        for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        static const std::pair<const char*, int> names[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10},
                                                            {"page", 12}, {"esc", 27}, {"del", 127}};
        for (auto& [n, v] : names)
            if (name == n) return *cp = v, close + 1;
        if (name.empty()) return nullptr;
        i64 v = 0;
        for (char ch : name) {
            u32 d;
            if (!hex_digit(static_cast<u8>(ch), &d)) return nullptr;
            v = v * 16 + d;
        }
        // A code point past the Unicode range can be written but never stored.
        if (v > 0x10FFFF) return nullptr;
        *cp = v;
        return close + 1;
    }
    switch (c) {
        case '@': *cp = 0; return p + 1;
        case '"': *cp = '"'; return p + 1;
        case '-': *cp = 9; return p + 1;
        case '/': *cp = 10; return p + 1;
        case '^': *cp = '^'; return p + 1;
        case '{': *cp = '{'; return p + 1;
        case '}': *cp = '}'; return p + 1;
        case '~': *cp = 127; return p + 1;
        default: break;
    }
    if (c >= 'a' && c <= 'z') return *cp = c - 'a' + 1, p + 1;
    if ((c >= 'A' && c <= 'Z') || c == '[' || c == '\\' || c == ']' || c == '_') return *cp = c - 64, p + 1;
    i32 v;
    const u8* next = unicode::fast_decode_utf8_char(p, e, &v);
    if (v < 0) return nullptr;
    *cp = v;
    return next;
}

// Decodes [p, e) into code points; false on an invalid sequence or escape.
bool decode_text(const u8* p, const u8* e, bool escapes, std::vector<u32>& out, u32* max) {
    *max = 0;
    while (p < e) {
        i64 cp;
        if (escapes && *p == '^') {
            p = decode_caret(p + 1, e, &cp);
            if (!p) return false;
        } else if (*p < 0x80) {
            cp = *p++;
        } else {
            i32 v;
            p = unicode::fast_decode_utf8_char(p, e, &v);
            if (v < 0) return false;
            cp = v;
        }
        out.push_back(static_cast<u32>(cp));
        if (cp > *max) *max = static_cast<u32>(cp);
    }
    return true;
}

// Loads [p, e) as a string of type t: the width the token's flags give,
// widened when a character needs more.
void load_text(State& st, const u8* p, const u8* e, u32 flags, bool escapes, u32 t, bool load) {
    std::vector<u32> cps;
    u32 max;
    if (!decode_text(p, e, escapes, cps, &max)) syntax_error(st, p, static_cast<i32>(t));
    if (!load) return;
    u32 shift = flags >> 30;
    Cell str = string_of(cps, shift >= 2 ? 4 : 1u << shift);
    str.header = t;
    push_value(st, str);
}

// --- Numbers ----------------------------------------------------------------------------

// The float grammar: S0 start .. S8 exponent digits; 9 fails.
bool float_text_q(const u8* p, const u8* e) {
    if (e - p > 312) return false;
    static const u8 next[9][6] = {
        // sign digit exp point quote other
        {0, 1, 9, 4, 9, 9}, {9, 1, 6, 5, 2, 9}, {9, 1, 9, 9, 9, 9}, {9, 3, 6, 9, 4, 9}, {9, 3, 9, 9, 9, 9},
        {9, 3, 9, 9, 9, 9}, {7, 8, 9, 9, 9, 9}, {9, 8, 9, 9, 9, 9}, {9, 8, 9, 9, 9, 9}};
    u32 s = 0;
    for (; p < e && s < 9; p++) {
        u8 c = *p;
        u32 k = c == '+' || c == '-' ? 0 : c >= '0' && c <= '9' ? 1 : c == 'e' || c == 'E' ? 2 : c == '.' ? 3
              : c == '\'' ? 4 : 5;
        s = next[s][k];
    }
    return s == 1 || s == 2 || s == 3 || s == 4 || s == 5 || s == 8;
}

// Converts validated float text (quotes dropped); false on failure.
bool to_double(const u8* p, const u8* e, double* out) {
    if (!float_text_q(p, e)) return false;
    std::string text;
    for (; p < e; p++)
        if (*p != '\'') text.push_back(static_cast<char>(*p));
    i32 rest = 0;
    *out = float_text::text_to_float(text.data(), text.data() + text.size(), 0, &rest);
    return rest == 0;
}

void load_float_text(State& st, const u8* s, const u8* e, bool load) {
    double d;
    if (!to_double(s, e, &d)) syntax_error(st, s, type::float_);
    st.token_type = type::float_;
    if (load) push_value(st, cell::float_(d));
}

void on_float(State& st, const u8* s, const u8* e, u32, bool load) { load_float_text(st, s, e, load); }

// The number before "%" is checked as a float; the percent! value comes later.
void on_percent(State& st, const u8* s, const u8* e, u32, bool load) {
    double d;
    st.cur = e + 1;  // past the "%"
    if (!to_double(s, e, &d)) syntax_error(st, s, type::float_);
    if (load) fire(ErrorId::internal_not_done);
}

void on_integer(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    const u8* p = s;
    bool neg = false;
    if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
    if (p >= e) syntax_error(st, s, type::pair);
    i64 v = 0;
    i32 digits = 0;
    bool too_big = false;
    for (const u8* q = p; q < e; q++) {
        if (*q == '\'') {
            if (q + 1 < e && q[1] == '\'') syntax_error(st, s, type::integer);
            continue;
        }
        if (*q < '0' || *q > '9') syntax_error(st, s, type::integer);
        // Past 10 digits the token is a float: stop accumulating before v overflows.
        if (++digits > 10) too_big = true;
        else v = v * 10 + (*q - '0');
    }
    if (too_big || v > 2147483647) {
        if (!(neg && v == 2147483648LL && !too_big)) return load_float_text(st, s, e, load);
    }
    if (load) push_value(st, cell::integer(static_cast<i32>(neg ? -v : v)));
}

void on_hex(State& st, const u8* s, const u8* e, u32, bool load) {
    i32 n = static_cast<i32>(e - s) - 1;  // without the "h"
    if (n == 1 && !(*s >= '0' && *s <= '9')) syntax_error(st, s, type::word);
    if (n < 2 || n > 8) syntax_error(st, s, type::integer);
    u32 v = 0;
    for (const u8* p = s; p < e - 1; p++) {
        u32 d;
        if (!hex_digit(*p, &d)) syntax_error(st, s, type::integer);
        v = v << 4 | d;
    }
    if (load) push_value(st, cell::integer(static_cast<i32>(v)));
}

void on_special_float(State& st, const u8* s, const u8* e, u32, bool load) {
    const u8* p = s;
    bool neg = false;
    if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
    std::string rest(reinterpret_cast<const char*>(p), static_cast<size_t>(e - p));
    for (auto& c : rest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    double d;
    if (rest == "1.#NAN") d = std::numeric_limits<double>::quiet_NaN();
    else if (rest == "1.#INF") d = neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    else syntax_error(st, s, type::float_);
    if (load) push_value(st, cell::float_(d));
}

// --- Words, strings and chars ---------------------------------------------------------

void on_word(State& st, const u8* s, const u8* e, u32, bool load) {
    // A word ends at the first separator code point; the next cycle resumes there.
    for (const u8* p = s; p < e;) {
        i32 cp;
        const u8* next = *p < 0x80 ? p + 1 : unicode::fast_decode_utf8_char(p, e, &cp);
        if (*p >= 0x80 && cp < 0) syntax_error(st, s, type::word);
        if (*p >= 0x80 && separator_q(cp)) {
            e = p;
            st.cur = p;
            break;
        }
        p = next;
    }
    u32 t = type::word;
    const u8* a = s;
    const u8* b = e;
    bool in_path = path_kind_q(open_kind(st));
    if (*a == ':') t = type::get_word, a++;
    else if (*a == '\'') t = type::lit_word, a++;
    else if (*a == '#') t = type::issue, a++;
    else if (*a == '/' && b - a > 1 && a[1] != '/') t = type::refinement, a++;
    if (b > a && b[-1] == ':' && b - a > 1) {
        if (t == type::lit_word) syntax_error(st, s, type::lit_word);
        if (t == type::word) t = type::set_word, b--;
    }
    if (a >= b) syntax_error(st, s, static_cast<i32>(t == type::get_word ? type::word : t));
    for (const u8* p = a; p < b; p++)
        if (*p == ':' && !in_path) syntax_error(st, s, type::word);
    if (!load) return;
    i32 sym = symbol::make_from(a, static_cast<i32>(b - a));
    Cell w = t == type::issue ? issue::of_symbol(sym) : word::of_symbol(sym);
    cell::set_type(w, t);
    push_value(st, w);
}

void on_string(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    load_text(st, s + 1, e, flags, true, type::string, load);
    st.cur = e + 1;
}

void on_char(State& st, const u8* s, const u8* e, u32, bool load) {
    std::vector<u32> cps;
    u32 max;
    if (!decode_text(s + 2, e, true, cps, &max) || cps.size() != 1) syntax_error(st, s, type::char_);
    st.cur = e + 1;
    if (load) push_value(st, char_::make_cell(static_cast<i32>(cps[0])));
}

// Tokens whose datatypes come later: validated by the automaton and the
// cheap checks below; making their values is not available yet.
void on_later(State& st, const u8* s, const u8*, u32, bool load) {
    if (load) fire(ErrorId::internal_not_done);
}

// Tokens that end on their closing character ("}" of a binary, ">" of a
// tag, the quote of a quoted file): the next token starts after it.
void on_closed_later(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    // A token cut off by the input end (a plain file) has no closing character.
    if (e < st.end && (*e == '}' || *e == '>' || (*e == '"' && e > s + 1 && s[1] == '"'))) st.cur = e + 1;
    on_later(st, s, e, flags, load);
}

// Parts 0-255 separated by ".", at most 12, none empty.
void on_tuple(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    i32 parts = 0;
    for (const u8* p = s; p <= e; parts++) {
        i32 v = 0, digits = 0;
        for (; p < e && *p >= '0' && *p <= '9'; p++, digits++) v = v > 255 ? v : v * 10 + (*p - '0');
        if (digits == 0 || v > 255 || (p < e && *p != '.')) syntax_error(st, s, type::tuple);
        p++;
    }
    if (parts > 12) syntax_error(st, s, type::tuple);
    on_later(st, s, e, flags, load);
}

// Two integers (signs allowed) joined by "x" or "X"; no ".".
void on_pair(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    const u8* p = s;
    for (i32 half = 0; half < 2; half++) {
        if (p < e && (*p == '+' || *p == '-')) p++;
        const u8* digits = p;
        while (p < e && ((*p >= '0' && *p <= '9') || *p == '\'')) p++;
        if (p == digits) syntax_error(st, s, type::pair);
        if (half == 0) {
            if (p >= e || (*p != 'x' && *p != 'X')) syntax_error(st, s, type::pair);
            p++;
        }
    }
    if (p != e) syntax_error(st, s, type::pair);
    on_later(st, s, e, flags, load);
}

void on_construct(State& st, const u8* s, const u8* e, u32, bool load) {
    st.cur = e + 1;
    std::string name(reinterpret_cast<const char*>(s + 2), static_cast<size_t>(e - s - 2));
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Cell v;
    if (name == "true" || name == "false") v = cell::make(type::logic, name == "true");
    else if (name == "none") v = cell::make(type::none);
    else if (name == "unset") v = cell::make(type::unset);
    else {
        u32 t = 1;
        for (; t <= type::count; t++) {
            std::string n = datatype::name_of(t);
            for (auto& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!n.empty() && n == name) break;
        }
        if (t > type::count) syntax_error(st, s, -2);
        v = datatype::make(t);
    }
    if (load) push_value(st, v);
}

// --- Structural tokens -------------------------------------------------------------------

void on_end(State& st, const u8*, const u8*, u32, bool) { st.cur = st.end; }
void on_error(State& st, const u8* s, const u8* e, u32, bool) {
    i32 t = st.token_type != type::error ? static_cast<i32>(st.token_type) : 0;
    // Input used up inside a braced string: the open brace is the place to show.
    if (st.start_state == 4 && e >= st.end) s = st.brace_start;
    syntax_error(st, s, t ? t : -1);
}

// A "(" followed by number characters up to a "," starts a point.
bool point_ahead(State& st, const u8* at) {
    if (st.end - at <= 3 || *at != '(') return false;
    for (const u8* p = at + 1; p < st.end; p++) {
        if (*p == ',') return p > at + 1;
        if (!std::strchr("0123456789 \t#+-.AEFINaefin", *p) || *p == 0) return false;
    }
    return true;
}

void on_open(State& st, const u8* s, const u8* e, u32, bool) {
    st.cur = e + 1;
    if (*e == '(' && point_ahead(st, e)) {
        st.start_state = 35;
        return;
    }
    open_container(st, *e == '[' ? type::block : type::paren, e);
    st.start_state = 0;
}
void on_block_close(State& st, const u8*, const u8* e, u32, bool) {
    st.cur = e + 1;
    expect_close(st, e, type::block);
}
void on_paren_close(State& st, const u8*, const u8* e, u32, bool) {
    st.cur = e + 1;
    expect_close(st, e, type::paren);
}
void on_map_open(State& st, const u8* s, const u8* e, u32, bool) {
    st.cur = e + 1;
    open_container(st, type::map, s);
}
void on_path_start(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    u32 t = *s == '\'' ? type::lit_path : *s == ':' ? type::get_path : type::path;
    open_container(st, t, s);
    const u8* a = *s == '\'' || *s == ':' ? s + 1 : s;
    if (load || !st.full_load) on_word(st, a, e, flags, st.full_load);
    st.cur = e + 1;  // past the "/"
    if (st.cur >= st.end) syntax_error(st, e, type::path);
    st.start_state = 59;
}
void on_brace_open(State& st, const u8* s, const u8* e, u32 flags, bool) {
    st.cur = e + 1;
    if (st.start_state != 4) {
        st.brace_start = e;
        st.depth = 1;
        st.brace_flags = flags;
        st.brace_lines = st.lines_crossed;
        st.start_state = 4;
        return;
    }
    st.depth++;
    st.brace_flags |= flags;
}
void on_brace_close(State& st, const u8*, const u8* e, u32 flags, bool load) {
    st.cur = e + 1;
    st.brace_flags |= flags;
    if (st.start_state != 4) syntax_error(st, e, -1);
    if (--st.depth > 0) return;
    st.start_state = path_kind_q(open_kind(st)) ? 59 : 0;
    i32 crossed = st.lines_crossed;
    st.lines_crossed = st.brace_lines;
    load_text(st, st.brace_start + 1, e, st.brace_flags, true, type::string, load);
    st.lines_crossed = crossed;
    st.token_type = type::string;
}
void on_comment(State&, const u8*, const u8*, u32, bool) {}
// A comma counts one more coordinate of an open point (upper 16 bits of the
// marker's type word); inside a paren it turns the paren into a point.
void on_comma(State& st, const u8* s, const u8* e, u32, bool) {
    st.cur = e + 1;
    u32 k = open_kind(st);
    if (k != type::point2D && k != type::paren) syntax_error(st, e, type::point2D);
    Cell& m = values[st.head - 1];
    m.data2 = type::point2D | (((m.data2 >> 16) + 1) << 16);
}
void on_point(State& st, const u8* s, const u8* e, u32, bool load) {
    st.cur = e + 1;
    st.start_state = 0;
    if (load) fire(ErrorId::internal_not_done);
}

// Handlers of the final states 66-101, in state order.
using Handler = void (*)(State&, const u8* start, const u8* end, u32 flags, bool load);
struct TokenHandler {
    Handler handle;
    bool value;  // makes a value (runs as a loader)
};
constexpr TokenHandler handlers[36] = {
    {on_end, false},         {on_error, false},        {on_open, false},        {on_block_close, false},
    {on_open, false},        {on_paren_close, false},  {on_brace_open, false},  {on_brace_close, false},
    {on_map_open, false},    {on_path_start, false},   {on_construct, true},    {on_comment, false},
    {on_comma, false},       {on_string, true},        {on_word, true},         {on_word, true},
    {on_integer, true},      {on_word, true},          {on_char, true},         {on_closed_later, true},
    {on_closed_later, true}, {on_percent, true},       {on_float, true},        {on_special_float, true},
    {on_tuple, true},        {on_later, true},         {on_pair, true},         {on_point, false},
    {on_later, true},        {on_later, true},         {on_closed_later, true}, {on_later, true},
    {on_later, true},        {on_hex, true},           {on_later, true},        {on_later, true},
};
static_assert(sizeof handlers / sizeof handlers[0] == 101 - first_final + 1);

// --- Main loop ----------------------------------------------------------------------------

// True when this scan holds exactly one finished value at its outer level.
bool one_value_q(const State& st) {
    return st.head == st.base && values.size() == st.base + 1 && cell::type_of(values[st.base]) != marker_type &&
           st.start_state == 0;
}

void run(State& st) {
    while (st.cur < st.end) {
        u32 flags = 0, state = st.start_state, prev = state, skip = 0;
        const u8* start = st.cur;
        const u8* p = start;
        i32 line0 = st.line;
        for (; p < st.end; p++) {
            u32 entry = char_class[*p];
            flags |= entry & ~0xFFu;
            prev = state;
            state = transition[state][entry & 0xFF];
            skip += state == 0;
            if (state > scan_states) break;
            st.line += line_of_class[entry & 0xFF];
        }
        if (state <= scan_states) {
            prev = state;
            state = transition[state][cls_end];
        }
        const u8* s = start + skip;
        st.cur = st.token_end = p;
        st.lines_crossed = st.line - line0;
        u32 from = prev;
        st.token_type = state == 67 ? (type_of_state[from] ? type_of_state[from] : type::error) : type_of_state[state];
        // A word preceded by separator code points restarts after them.
        if (state == 80 && *s >= 0x80) {
            const u8* q = s;
            i32 cp = 0;
            while (q < p) {
                const u8* n = unicode::fast_decode_utf8_char(q, p, &cp);
                if (!separator_q(cp)) break;
                q = n;
            }
            if (q > s) {
                st.cur = q;
                if (q >= p && q >= st.end) break;
                continue;
            }
        }
        const TokenHandler& h = handlers[state - first_final];
        bool in_path = st.start_state == 59 && state != 75 && state != 67;
        bool was_braced = st.start_state == 4;
        if (!st.mode.scan && h.value) {
            // Prescan: only the structure is followed.
        } else {
            h.handle(st, s, p, flags, h.value ? st.full_load : st.full_load);
        }
        if (in_path && state != 70 && path_kind_q(open_kind(st))) path_check(st);
        else if (state == 71 && path_kind_q(open_kind(st))) path_check(st);
        if (st.token_type) st.last_type = st.token_type;
        if (st.mode.one && !was_braced && st.start_state == 0 && st.head == st.base) {
            if (!st.full_load && st.token_type) break;
            if (st.full_load && one_value_q(st)) break;
        }
        if (state == 66) break;
    }
    if (st.start_state == 4) syntax_error(st, st.brace_start, type::string);
}

struct Link {
    State& st;
    explicit Link(State& s) : st(s) {
        st.outer = chain;
        chain = &st;
    }
    ~Link() {
        values.resize(st.base);
        chain = st.outer;
    }
};

}  // namespace

i32 scan(Cell* out, const u8* src, i32 size, Mode mode, i32* consumed) {
    State st;
    st.base = st.head = values.size();
    st.input = st.cur = src;
    st.end = src + (size > 0 ? size : 0);
    st.mode = mode;
    st.full_load = mode.scan && mode.load;
    Link link(st);
    try {
        run(st);
    } catch (const SystemThrow& t) {
        if (t.code != stop_code) throw;
    }
    if (consumed) *consumed = static_cast<i32>(st.cur - st.input);
    if (st.token_type == type::error && !st.full_load) {
        if (out) *out = cell::make(type::none);
        return type::error;
    }
    close_paths(st);
    if (st.head > st.base) {
        Cell m = values[st.head - 1];
        if (!st.full_load) {
            if (out) *out = cell::make(type::none);
            return type::error;
        }
        syntax_error(st, st.input + m.data3, -4, closer_of(m.data2 & 0xFFFF));
    }
    if (!out || !mode.load) return static_cast<i32>(st.last_type);
    i32 n = static_cast<i32>(values.size() - st.base);
    if (mode.one && !mode.wrap) {
        if (n > 0) {
            *out = values[st.base];
            cell::clear_new_line(*out);
            return static_cast<i32>(cell::type_of(*out));
        }
        block::make_at(*out, 0);
        return 0;
    }
    Cell* slot = stack::push(cell::make(type::none));
    block::make_at(*slot, n);
    for (i32 i = 0; i < n; i++) block::rs_append(*slot, values[st.base + static_cast<size_t>(i)]);
    *out = *slot;
    stack::pop(1);
    if (mode.one && n > 0) return static_cast<i32>(cell::type_of(values[st.base]));
    return static_cast<i32>(st.last_type);
}

i32 load_string(Cell* out, const Cell& text, i32 count, Mode mode, i32* consumed) {
    Cell str = text;
    i32 avail = string::rs_length_q(str);
    if (count < 0 || count > avail) count = avail;
    // A private copy of the bytes: the scan allocates, which may move the string.
    SeriesBuffer* b = memory::buffer(cell::node(str));
    u32 unit = b->unit();
    std::vector<u8> utf8;
    utf8.reserve(static_cast<size_t>(count) * (unit == 1 ? 2 : unit == 2 ? 3 : 4));
    const u8* p = string::rs_head(str);
    for (i32 i = 0; i < count; i++) {
        u8 tmp[4];
        int n = unicode::encode_utf8_char(string::get_char(p + static_cast<size_t>(i) * unit, unit), tmp);
        utf8.insert(utf8.end(), tmp, tmp + n);
    }
    i32 bytes = 0;
    i32 t = scan(out, utf8.data(), static_cast<i32>(utf8.size()), mode, &bytes);
    if (consumed) *consumed = unicode::utf8_length(utf8.data(), utf8.data() + bytes);
    return t;
}

i32 scan_integer(const u8* p, u32 unit, i32 count, i32* error) {
    *error = 0;
    i32 i = 0;
    bool neg = false;
    if (count > 0) {
        u32 c = string::get_char(p, unit);
        if (c == '+' || c == '-') neg = c == '-', i++;
    }
    i64 v = 0;
    for (; i < count; i++) {
        u32 c = string::get_char(p + static_cast<size_t>(i) * unit, unit);
        if (c == '\'') continue;
        if (c < '0' || c > '9') {
            *error = -1;
            break;
        }
        v = v * 10 + (c - '0');
        if (v > 2147483648LL || (v == 2147483648LL && !neg)) {
            *error = -2;
            return 0;
        }
    }
    return static_cast<i32>(neg ? -v : v);
}

double scan_float(const u8* p, u32 unit, i32 count, i32* error) {
    *error = 0;
    if (count >= 313) return *error = -1, std::numeric_limits<double>::quiet_NaN();
    std::string text;
    for (i32 i = 0; i < count; i++) {
        u32 c = string::get_char(p + static_cast<size_t>(i) * unit, unit);
        if (c > 0x7F) return *error = -1, std::numeric_limits<double>::quiet_NaN();
        text.push_back(c == ',' ? '.' : static_cast<char>(c));
    }
    double d;
    auto b = reinterpret_cast<const u8*>(text.data());
    if (!to_double(b, b + text.size(), &d)) return *error = -1, std::numeric_limits<double>::quiet_NaN();
    return d;
}

namespace {

i32 hook_scan_type(const u8* utf8, i32 len) {
    try {
        return scan(nullptr, utf8, len, Mode{.one = true, .scan = true, .load = false}, nullptr);
    } catch (const SystemThrow&) {
        return -1;
    }
}

void hook_load_value(const Cell& text, Cell* out) {
    i32 used = 0;
    Cell blk;
    load_string(&blk, text, -1, Mode{.one = true, .wrap = true}, &used);
    if (block::rs_length_q(blk) == 0) *out = cell::make(type::unset);
    else if (used < string::rs_length_q(text)) {
        // Only white space may follow the value.
        *out = *block::rs_abs_at(blk, 0);
        Cell rest = text;
        rest.data1 += static_cast<u32>(used);
        Cell more;
        load_string(&more, rest, -1, Mode{}, nullptr);
        if (block::rs_length_q(more) > 0) *out = cell::make(type::none);
    } else {
        *out = *block::rs_abs_at(blk, 0);
    }
    cell::clear_new_line(*out);
}

void block_loader(const Cell& text, Cell& result) { load_string(&result, text, -1, Mode{}, nullptr); }

}  // namespace

void init() {
    values.clear();
    values.reserve(1000);
    fill_classes();
    fill_transitions();
    fill_types();
    fill_misc();
    word::set_lexer_hooks({hook_scan_type, hook_load_value});
    block::loader = block_loader;
}

void mark(void (*mark_cells)(Cell* first, Cell* last)) {
    if (chain && !values.empty()) mark_cells(values.data(), values.data() + values.size());
}

}  // namespace oru::lexer
