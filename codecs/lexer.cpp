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
// the scan's state and passes on. A traced scan reports its tokens to a
// language callback, which may run scans of its own: no raw address into a
// series is held across a callback (the scanned text lies in the scratch
// buffer or a private copy), and the value buffer is indexed, never
// referenced, across one. The tables are at the top, the handler table and
// init at the bottom.
#include "codecs/lexer.h"
#include "codecs/lexer_values.h"
#include "codecs/url_text.h"

#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/system.h"
#include "runtime/system_object.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <bitset>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
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
// Not a token flag: set over any byte from 0x80 up, so that a handler knows
// plain ASCII text without looking at its bytes again.
constexpr u32 high = 0x00000100;
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
// Per scanning state, bit c set when a byte of class c keeps that state:
// the byte loop consumes such runs without the dependent transition lookup.
u64 keeps[scan_states];
u8 type_of_state[state_count];
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
    for (u32 b = 0x80; b <= 0xFF; b++) char_class[b] |= tf::high;
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
    for (u32 s = 0; s < scan_states; s++) {
        keeps[s] = 0;
        for (u32 c = 0; c < class_count; c++)
            if (transition[s][c] == s) keeps[s] |= u64{1} << c;
    }
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

// The scratch buffer into which string! text is encoded for scanning
// (tracked heap, made by init); nested scans use the bytes past scratch_free.
constexpr size_t scratch_size = 100000;
u8* scratch = nullptr;
size_t scratch_free = 0;
i32 private_buffers = 0;
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
    const u8* token_start = nullptr;  // the current token's first byte
    u32 unclosed = 0;                 // a container found open at the input end, for its error
    // Tracing: the callback (none without one), the events it wants (0
    // without a callback), the trace input and what it counts in, the input
    // index at `input`, and the last position reported with its character
    // offset from `input` (positions are counted from there, not from the start).
    Cell callback{type::none, 0, 0, 0};
    u32 mask = 0;
    Cell trace_input{type::none, 0, 0, 0};
    bool chars = false;
    i32 input_index = 0;
    const u8* last_at = nullptr;
    i32 last_chars = 0;
    const u8* resume = nullptr;  // where a callback moved the input, or null
    bool quiet = false;          // an error was answered false and the scan stopped
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

// --- Trace events -------------------------------------------------------------------

// Event bits (ORDER LEXER EVENTS: bit i is event_words()[i]).
namespace ev {
constexpr u32 prescan = 1, scan = 2, load = 4, open = 8, close = 16, error = 32, all = 63;
}
const Cell* event_words() {
    static Cell words_in_order[6];
    const Cell* const w[6] = {&words::word::prescan, &words::word::scan,  &words::word::load,
                              &words::word::open,    &words::word::close, &words::word::error};
    for (i32 i = 0; i < 6; i++) words_in_order[i] = *w[i];
    return words_in_order;
}
inline i32 event_index(u32 e) {
    i32 i = 0;
    while (e > 1) e >>= 1, i++;
    return i;
}

// The names of the tokens without a datatype, by final state from 66.
Cell exit_states_block{type::none, 0, 0, 0};
constexpr i32 exit_state_count = 34;

// The type argument of an event for a datatype number (none for 0).
Cell type_value(u32 t) { return t ? datatype::make(t) : cell::make(type::none); }
// ... for a token without a datatype: its entry of the exit states. The
// comma has none (the list predates it: its place holds string!).
Cell structural_type(u32 state) {
    const i32 i = static_cast<i32>(state) - static_cast<i32>(first_final);
    // system/lexer/exit-states, read through the system object: a script may
    // change the block or set another; the lexer's own stands in without it.
    static system_object::Path exit_states_path{"lexer", "exit-states"};
    const Cell* live = system_object::select(exit_states_path);
    const Cell states = live && cell::type_of(*live) == type::block ? *live : exit_states_block;
    if (state == 78 || i < 0 || cell::type_of(states) != type::block ||
        i >= static_cast<i32>(memory::buffer(cell::node(states))->length()))
        return cell::make(type::none);
    return *block::rs_abs_at(states, i);
}
// ... for a container: path kinds all report path!, as their start does.
Cell container_type(u32 t) { return datatype::make(t >= type::path && t <= type::get_path ? type::path : t); }

// UTF-8 characters in [a, b): the bytes that do not continue a sequence.
i32 count_chars(const u8* a, const u8* b) {
    i32 n = 0;
    for (; a < b; a++) n += (*a & 0xC0) != 0x80;
    return n;
}

// The trace input's index at `at`. Characters are counted from the last
// reported position, forwards or backwards, so reporting every token of a
// long text stays linear.
i32 position_of(State& st, const u8* at) {
    if (!st.chars) return st.input_index + static_cast<i32>(at - st.input);
    if (at >= st.last_at) st.last_chars += count_chars(st.last_at, at);
    else st.last_chars -= count_chars(at, st.last_at);
    st.last_at = at;
    return st.input_index + st.last_chars;
}

// The address of the trace input's index `index`, kept within the input.
const u8* address_of(State& st, i32 index) {
    i64 offset = static_cast<i64>(index) - st.input_index;
    if (offset <= 0) return st.input;
    if (!st.chars) return offset >= st.end - st.input ? st.end : st.input + offset;
    const u8* p = st.last_at;
    i64 n = offset - st.last_chars;
    for (; n > 0 && p < st.end; n--)
        for (p++; p < st.end && (*p & 0xC0) == 0x80;) p++;
    for (; n < 0 && p > st.input; n++)
        for (p--; p > st.input && (*p & 0xC0) == 0x80;) p--;
    position_of(st, p);
    return p;
}

// Sends event e to the callback: the trace input at `at`, the type, the
// line, and the token (`value` for load, else the range [from, to)).
// Returns the answer: true when the callback does not want the event. A
// callback that moved its input leaves the new address in st.resume.
bool send(State& st, u32 e, const u8* at, const Cell& type, const u8* from, const u8* to, const Cell* value = nullptr) {
    if (!(st.mask & e)) return true;
    Cell args[5];
    args[0] = event_words()[event_index(e)];
    const i32 index = position_of(st, at);
    args[1] = st.trace_input;
    args[1].data1 = static_cast<u32>(index);
    args[2] = type;
    args[3] = cell::integer(st.line);
    if (value) {
        args[4] = *value;
    } else {
        const i32 a = position_of(st, from) + 1;
        const i32 b = position_of(st, to) + 1;
        args[4] = cell::make(type::pair, 0, static_cast<u32>(a), static_cast<u32>(b));
    }
    const Cell callback = st.callback;
    const Cell answer = natives::call_callback(callback, words::word::tag_lexer_callback, 1, args, 5);
    const Cell moved = args[1];
    if (cell::type_of(moved) == cell::type_of(st.trace_input) && cell::node(moved) == cell::node(st.trace_input) &&
        cell::head_index(moved) != index)
        st.resume = address_of(st, cell::head_index(moved));
    return logic::truth(answer);
}

void close_paths(State& st);

// Syntax errors: kind > 0 a datatype, -1 bad character, -2 bad
// construction, -3 wrong closer, -4 input ended inside a container. Without
// full loading the scan stops quietly with the type error!. A callback that
// wants `error` events hears of it first (with the trace input at the end of
// the token) and may answer false: the error is not raised, and the scan
// goes on from where the callback moved its input, or stops there.
[[noreturn]] void syntax_error(State& st, const u8* pos, i32 kind, u32 missing = 0) {
    if (!st.full_load) {
        st.token_type = type::error;
        st.last_type = type::error;
        stop();
    }
    const i32 given = kind;
    // A path found still open at the input end reads as a bad character; an
    // error inside a path (a "/" at the end, ":/") names path! itself.
    if (st.unclosed >= type::path && st.unclosed <= type::get_path) kind = -1;
    if (st.mask & ev::error) {
        u32 t = given > 0 ? static_cast<u32>(given) : st.unclosed ? st.unclosed : st.token_type;
        if (!t) t = type::error;
        st.unclosed = 0;
        close_paths(st);
        const u8* from = st.token_start && (!pos || st.token_start < pos) ? st.token_start : pos ? pos : st.input;
        const u8* to = given == -4 ? st.end : st.token_end && st.token_end > from ? st.token_end : from;
        if (!send(st, ev::error, to, datatype::make(t), from, to)) {
            st.quiet = true;
            st.last_type = type::error;
            stop();
        }
    }
    // Without a position: the innermost open container's opening character.
    const u8* p = pos ? pos : st.head > st.base ? st.input + values[st.head - 1].data3 : st.input;
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

// Doubles the value buffer; running out of memory there is the language's
// no-memory error, not a C++ exception escaping the runtime.
[[gnu::noinline]] void grow_values() {
    try {
        values.reserve(values.capacity() > 0 ? 2 * values.capacity() : 1000);
    } catch (const std::bad_alloc&) {
        fire(ErrorId::internal_no_memory);
    } catch (const std::length_error&) {
        fire(ErrorId::internal_no_memory);
    }
}
Cell& new_cell(State& st) {
    if (values.size() == values.capacity()) [[unlikely]] grow_values();
    values.push_back(Cell{type::unset | (st.lines_crossed > 0 ? flag::new_line : 0u), 0, 0, 0});
    return values.back();
}
inline void push_value(State& st, const Cell& v) {
    if (values.size() == values.capacity()) [[unlikely]] grow_values();
    values.push_back(Cell{v.header | (st.lines_crossed > 0 ? flag::new_line : 0u), v.data1, v.data2, v.data3});
}

// --- Containers -------------------------------------------------------------------------------

// The buffer of a block holding the n value-buffer cells from index `from`
// (room for one at least, as block::make_at gives), copied at once: the
// value buffer is a heap vector, so the allocation moves none of its cells.
Node block_of_values(size_t from, i32 n) {
    const Node node = memory::alloc_cells(n > 1 ? n : 1);
    SeriesBuffer* b = memory::buffer(node);
    const u32 bytes = static_cast<u32>(n) * sizeof(Cell);
    std::memcpy(b->tail_ptr(), values.data() + from, bytes);
    b->tail += bytes;
    return node;
}

u32 open_kind(State& st) { return st.head > st.base ? values[st.head - 1].data2 & 0xFFFF : 0; }
bool path_kind_q(u32 t) { return t >= type::path && t <= type::get_path; }

// Opens a container of type t whose opening token starts at `at`; false
// when a callback answered its `open` event false (the token is skipped).
bool open_container(State& st, u32 t, const u8* at) {
    if (open_kind(st) == type::point2D) syntax_error(st, at, type::point2D);
    if (st.mask & ev::open) {
        const u8* to = st.token_end && st.token_end < st.end ? st.token_end + 1 : st.end;
        if (!send(st, ev::open, at, container_type(t), at, to)) return false;
    }
    Cell& m = new_cell(st);
    m.header = marker_type | (m.header & flag::new_line);
    m.data1 = static_cast<u32>(st.head);
    m.data2 = t;
    m.data3 = static_cast<u32>(at - st.input);
    st.head = values.size();
    return true;
}

// Replaces the innermost marker and the cells after it by one value of the
// marker's datatype (or `as` when given).
void close_container(State& st, u32 as = 0) {
    if (st.mask & ev::close) {
        const u8* from = st.token_start && st.token_start < st.cur ? st.token_start : st.cur;
        send(st, ev::close, st.cur, container_type(as ? as : open_kind(st)), from, st.cur);
    }
    size_t head = st.head;
    Cell marker = values[head - 1];
    u32 t = as ? as : marker.data2 & 0xFFFF;
    i32 n = static_cast<i32>(values.size() - head);
    if (t == type::map) {
        // Keys and values pair up, each key of a type map! takes; without
        // full loading the structure is kept as a block.
        if (st.full_load) {
            bool keys = n % 2 == 0;
            for (i32 i = 0; keys && i < n; i += 2) keys = map::valid_key_q(cell::type_of(values[head + i]));
            if (!keys) syntax_error(st, st.input + marker.data3, type::map);
            for (i32 i = 0; i < n; i++) cell::clear_new_line(values[head + i]);
        } else {
            t = type::block;
        }
    }
    const Node node = block_of_values(head, n);
    values.resize(head);
    values[head - 1] = cell::make(type::block | (marker.header & flag::new_line), 0, node, 0);
    if (t == type::map) {
        // The block cell holds the pairs while the map's index is built.
        map::make_from_pairs(values[head - 1], node);
    }
    cell::set_type(values[head - 1], t);
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
        // The ")" stands at most 7 bytes after the "(": six digits at most.
        const u8* close = p + 1;
        while (close < e && *close != ')' && close - p < 7) close++;
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

// The character at p (p < e): its code point in *cp and the address after
// it; nullptr on an invalid sequence or escape.
inline const u8* next_char(const u8* p, const u8* e, bool escapes, i64* cp) {
    if (*p < 0x80) {
        if (escapes && *p == '^') return decode_caret(p + 1, e, cp);
        *cp = *p;
        return p + 1;
    }
    i32 v;
    p = unicode::fast_decode_utf8_char(p, e, &v);
    if (v < 0) return nullptr;
    *cp = v;
    return p;
}

// Decodes [p, e) into code points; false on an invalid sequence or escape.
bool decode_text(const u8* p, const u8* e, bool escapes, std::vector<u32>& out, u32* max) {
    *max = 0;
    while (p < e) {
        i64 cp;
        if (!(p = next_char(p, e, escapes, &cp))) return false;
        out.push_back(static_cast<u32>(cp));
        if (cp > *max) *max = static_cast<u32>(cp);
    }
    return true;
}

// True when [p, e) needs no decoding: ASCII, and no caret when escapes
// count. Eight bytes at a time; the byte loop settles the rest.
bool plain_text_q(const u8* p, const u8* e, bool escapes) {
    constexpr u64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull, carets = 0x5E5E5E5E5E5E5E5Eull;
    for (; e - p >= 8; p += 8) {
        u64 w;
        std::memcpy(&w, p, sizeof w);
        u64 bad = w & highs;
        if (escapes) {
            u64 x = w ^ carets;  // a zero byte where w holds "^"
            bad |= (x - ones) & ~x & highs;
        }
        if (bad) break;
    }
    for (; p < e; p++)
        if (*p >= 0x80 || (escapes && *p == '^')) return false;
    return true;
}

// Loads [p, e) as a string of type t: the width the token's flags give,
// widened when a character needs more. Plain text (the usual case) is
// copied straight into the new string; other text is checked and measured
// in one pass and stored in a second, so no temporary is made. The input
// never lies in a series buffer, so p stays good across the allocation.
void load_text(State& st, const u8* p, const u8* e, u32 flags, bool escapes, u32 t, bool load) {
    u32 shift = flags >> 30;
    u32 unit = shift >= 2 ? 4 : 1u << shift;
    const bool plain = plain_text_q(p, e, escapes);
    i32 count = static_cast<i32>(e - p);
    if (!plain) {
        u32 max = 0;
        count = 0;
        for (const u8* q = p; q < e; count++) {
            i64 cp;
            if (!(q = next_char(q, e, escapes, &cp))) syntax_error(st, p, static_cast<i32>(t));
            if (cp > max) max = static_cast<u32>(cp);
        }
        if (max > 0xFFFF) unit = 4;
        else if (max > 0xFF && unit == 1) unit = 2;
    }
    if (!load) return;
    Cell str;
    string::make_at_unit(str, count, unit);
    SeriesBuffer* b = memory::buffer(cell::node(str));  // nothing below allocates
    u8* d = b->data() + b->head;
    if (plain && unit == 1) {
        std::memcpy(d, p, static_cast<size_t>(count));
    } else if (plain) {
        for (i32 i = 0; i < count; i++) string::put_char(d + static_cast<size_t>(i) * unit, unit, p[i]);
    } else {
        for (const u8* q = p; q < e; d += unit) {
            i64 cp = 0;
            q = next_char(q, e, escapes, &cp);  // checked above: never nullptr
            string::put_char(d, unit, static_cast<u32>(cp));
        }
    }
    b->tail = b->head + static_cast<u32>(count) * unit;
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
    if (!float_text_q(p, e)) return false;  // also keeps the text within 312 bytes
    char text[320];
    size_t n = 0;
    for (; p < e; p++)
        if (*p != '\'') text[n++] = static_cast<char>(*p);
    i32 rest = 0;
    *out = float_text::text_to_float(text, text + n, 0, &rest);
    return rest == 0;
}

void load_float_text(State& st, const u8* s, const u8* e, bool load) {
    double d;
    if (!to_double(s, e, &d)) syntax_error(st, s, type::float_);
    st.token_type = type::float_;
    if (load) push_value(st, cell::float_(d));
}

// Plain decimals ([sign] digits "." digits, at most 15 digits) convert with
// one division of two exact doubles, which rounds correctly: the result of
// the full conversion. Anything else takes the full path.
bool plain_decimal(const u8* s, const u8* e, double* out) {
    static constexpr double powers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const u8* p = s;
    const bool negative = p < e && *p == '-';
    if (p < e && (*p == '-' || *p == '+')) p++;
    if (e - p > 16) return false;
    u64 w = 0;
    i32 digits = 0, fraction = -1;
    for (; p < e; p++) {
        if (*p >= '0' && *p <= '9') {
            w = w * 10 + (*p - '0');
            digits++;
            fraction += fraction >= 0;
        } else if (*p == '.' && fraction < 0) {
            fraction = 0;
        } else {
            return false;
        }
    }
    if (digits == 0 || fraction < 0) return false;
    const double d = static_cast<double>(w) / powers[fraction];
    *out = negative ? -d : d;
    return true;
}

void on_float(State& st, const u8* s, const u8* e, u32, bool load) {
    double d;
    if (!plain_decimal(s, e, &d)) return load_float_text(st, s, e, load);
    st.token_type = type::float_;
    if (load) push_value(st, cell::float_(d));
}

// The number before "%" is checked as a float; the percent! holds it / 100.
void on_percent(State& st, const u8* s, const u8* e, u32, bool load) {
    double d;
    st.cur = e + 1;  // past the "%"
    if (!to_double(s, e, &d)) syntax_error(st, s, type::float_);
    if (load) push_value(st, percent::make(d / 100.0));
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

// Words loaded lately, by spelling: the symbol and the global word that
// binding made, so that a name met again costs a compare in one of the two
// entries of its pair rather than a symbol-table probe and a probe of the
// global word list (each following several addresses that the values being
// made keep pushing out of the caches). Entries stay true while the memory
// manager, the symbol table and the global context are the ones they were
// made under: ids are never reused and a global word keeps its slot.
struct LoadedWord {
    u32 len;  // 0: empty
    u8 name[28];
    Cell word;  // the bound word!, or header 0 when only the symbol is known (data2)
};
constexpr u32 loaded_bits = 13;  // 8192 entries (384 KiB): a large script's names, with room to spare
LoadedWord loaded[1u << loaded_bits];
struct {
    u32 memory = 0, symbols = 0;
    Node global = 0;
} loaded_under;

// True when the n bytes at a and b (n at most 28) are the same: two
// overlapping loads from each end in place of a library call.
inline bool same_name(const u8* a, const u8* b, u32 n) {
    const auto diff = [a, b](u32 at, u32 width) {  // the bits where width bytes at `at` differ
        u64 x = 0, y = 0;
        std::memcpy(&x, a + at, width);
        std::memcpy(&y, b + at, width);
        return x ^ y;
    };
    if (n >= 16) return (diff(0, 8) | diff(8, 8) | diff(n - 16, 8) | diff(n - 8, 8)) == 0;
    if (n >= 8) return (diff(0, 8) | diff(n - 8, 8)) == 0;
    if (n >= 4) return (diff(0, 4) | diff(n - 4, 4)) == 0;
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// The value of a word token: the name [a, a + len) as a word of type t, bound
// to the global context (its slot added when missing), or an issue.
Cell loaded_word(const u8* a, i32 len, u32 t) {
    if (loaded_under.memory != memory::generation || loaded_under.symbols != symbol::generation ||
        loaded_under.global != context::global) {
        // Never stamped, the table still holds the zeros the program began
        // with: clearing it would touch all its pages for nothing.
        if (loaded_under.global) std::memset(loaded, 0, sizeof loaded);
        loaded_under = {memory::generation, symbol::generation, context::global};
    }
    const u32 n = static_cast<u32>(len);
    if (n > sizeof(LoadedWord::name)) {  // a long name has no entry
        i32 sym = symbol::make_from(a, len);
        Cell w = t == type::issue ? issue::of_symbol(sym) : word::of_symbol(sym);
        cell::set_type(w, t);
        return w;
    }
    // Two entries a name: the one met last first, so that a name met often
    // is not pushed out by each rarer name of its pair.
    LoadedWord& e = loaded[(symbol::quick_hash(a, n) >> (64 - loaded_bits)) & ~u64{1}];
    if (e.len != n || !same_name(e.name, a, n)) {
        LoadedWord& other = (&e)[1];
        if (other.len == n && same_name(other.name, a, n)) {
            std::swap(e, other);
        } else {
            other = e;
            i32 sym = symbol::make_from(a, len);  // a lies in the input, which no allocation moves
            e.len = n;
            std::memcpy(e.name, a, n);
            e.word = Cell{0, 0, static_cast<u32>(sym), 0};
        }
    }
    Cell w;
    if (t == type::issue) {
        w = issue::of_symbol(static_cast<i32>(e.word.data2));
    } else {
        if (e.word.header == 0) e.word = word::of_symbol(static_cast<i32>(e.word.data2));
        w = e.word;
    }
    cell::set_type(w, t);
    return w;
}

void on_word(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    // A word ends at the first separator code point; the next cycle resumes
    // there. Only a byte from 0x80 up can start one (or be invalid), and the
    // token's flags tell whether it holds one.
    for (const u8* p = !(flags & tf::high) || plain_text_q(s, e, false) ? e : s; p < e;) {
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
    // The token's flags tell whether it holds a ":" at all.
    if ((flags & tf::colon) && !in_path)
        for (const u8* p = a; p < b; p++)
            if (*p == ':') syntax_error(st, s, type::word);
    if (!load) return;
    push_value(st, loaded_word(a, static_cast<i32>(b - a), t));
}

void on_string(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    // The token's flags cover its text: without a byte from 0x80 up and
    // without a caret it is copied as it is (load_text would find the same).
    if ((flags & (tf::high | tf::caret)) || !load) {
        load_text(st, s + 1, e, flags, true, type::string, load);
        st.cur = e + 1;
        return;
    }
    st.cur = e + 1;
    Cell str;
    const i32 count = static_cast<i32>(e - s - 1);
    string::make_at_unit(str, count, 1);
    SeriesBuffer* b = memory::buffer(cell::node(str));  // the input lies in no series buffer
    std::memcpy(b->data() + b->head, s + 1, static_cast<size_t>(count));
    b->tail = b->head + static_cast<u32>(count);
    push_value(st, str);
}

void on_char(State& st, const u8* s, const u8* e, u32, bool load) {
    std::vector<u32> cps;
    u32 max;
    if (!decode_text(s + 2, e, true, cps, &max) || cps.size() != 1) syntax_error(st, s, type::char_);
    st.cur = e + 1;
    if (load) push_value(st, char_::make_cell(static_cast<i32>(cps[0])));
}

// --- Later token kinds: times, dates, money, pairs, tuples, points, binaries, files, URLs, tags ---
// The literal checks and value cells are in lexer_values.cpp; these handlers
// raise the syntax error a check reports and push the value when loading.

// A value that fits in its cell, checked and made by `parse`.
void load_parsed(State& st, const u8* s, const u8* e, bool load, u32 (*parse)(const u8*, const u8*, Cell*)) {
    Cell v;
    if (u32 err = parse(s, e, &v)) syntax_error(st, s, static_cast<i32>(err));
    if (load) push_value(st, v);
}

// Parts 0-255 separated by ".", 3 to 12 of them: a tuple! of those bytes.
void on_tuple(State& st, const u8* s, const u8* e, u32, bool load) { load_parsed(st, s, e, load, parse_tuple); }
// Two integers (signs allowed) joined by "x" or "X"; no ".".
void on_pair(State& st, const u8* s, const u8* e, u32, bool load) { load_parsed(st, s, e, load, parse_pair); }
void on_time(State& st, const u8* s, const u8* e, u32, bool load) { load_parsed(st, s, e, load, parse_time); }
void on_date(State& st, const u8* s, const u8* e, u32, bool load) { load_parsed(st, s, e, load, parse_date); }
void on_money(State& st, const u8* s, const u8* e, u32, bool load) { load_parsed(st, s, e, load, parse_money); }

// The line feeds in the white space just before `at` (the bytes state 0
// skips: classes 0, 1 and 35).
i32 lines_before(const State& st, const u8* at) {
    i32 n = 0;
    for (const u8* q = at; q > st.input; q--) {
        const u32 cls = char_class[q[-1]] & 0xFF;
        if (cls != 0 && cls != 1 && cls != 35) break;
        n += q[-1] == '\n';
    }
    return n;
}

// One coordinate of a point: a special float when it holds "#", else a
// float (only its grammar is checked when no value is made).
bool point_coordinate(const u8* a, const u8* b, bool load, double* out) {
    *out = 0;
    if (std::memchr(a, '#', static_cast<size_t>(b - a))) {
        const u8* p = a;
        bool negative = false;
        if (p < b && (*p == '+' || *p == '-')) negative = *p++ == '-';
        std::string rest(reinterpret_cast<const char*>(p), static_cast<size_t>(b - p));
        for (auto& c : rest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (rest == "1.#NAN") *out = std::numeric_limits<double>::quiet_NaN();
        else if (rest == "1.#INF") *out = (negative ? -1 : 1) * std::numeric_limits<double>::infinity();
        else return false;
        return true;
    }
    return load ? to_double(a, b, out) : float_text_q(a, b);
}

// A point: the token runs from after "(" to the ")". Two or three
// coordinates separated by ","; blanks around them are skipped.
void load_point(State& st, const u8* s, const u8* e, bool load) {
    if (!st.mode.scan) return;  // prescan: the automaton's verdict alone
    const u8* open = s - 1;  // the "(" that started the point
    double c[3];
    i32 n = 0;
    for (const u8* p = s;;) {
        while (p < e && (*p == ' ' || *p == '\t')) p++;
        const u8* a = p;
        while (p < e && *p != ',' && *p != ' ' && *p != '\t') p++;
        if (!point_coordinate(a, p, load, &c[n])) syntax_error(st, open, type::point2D);
        n++;
        while (p < e && (*p == ' ' || *p == '\t')) p++;
        if (p == e) break;
        if (n == 3) syntax_error(st, open, type::point3D);
        if (*p++ != ',') syntax_error(st, open, type::point2D);
    }
    if (n < 2) syntax_error(st, open, type::point2D);
    if (!load) return;
    Cell v = n == 2 ? point::make2D(c[0], c[1]) : point::make3D(c[0], c[1], c[2]);
    // The new-line marker comes from the white space before the "(".
    if (lines_before(st, open) > 0) v.header |= flag::new_line;
    push_value(st, v);
}

// Tokens that may hold line feeds (binaries, tags, raw strings): only the
// white space before the token decides the new-line marker. It is read back
// from the token's start rather than the token's own line feeds taken off
// the count, so a traced token, whose handler runs twice, is not corrected
// twice.
void leading_lines_only(State& st, const u8* s, const u8*) {
    const i32 leading = lines_before(st, s);
    if (leading < st.lines_crossed) st.lines_crossed = leading;
}

// Bytes in base 16, 2 or 64 between "#{" and "}".
void on_binary(State& st, const u8* s, const u8* e, u32, bool load) {
    if (e < st.end && *e == '}') st.cur = e + 1;
    leading_lines_only(st, s, e);
    std::vector<u8> bytes;
    if (u32 err = parse_binary(s, e, bytes)) syntax_error(st, s, static_cast<i32>(err));
    if (load) push_value(st, binary::load(bytes.data(), static_cast<i32>(bytes.size())));
}

// Text without caret escapes whose "%XX" escapes are decoded (plain files
// and URLs); text without "%" goes through the string loader unchanged.
void load_decoded(State& st, const u8* p, const u8* e, u32 flags, u32 t, bool load) {
    if (!std::memchr(p, '%', static_cast<size_t>(e - p))) return load_text(st, p, e, flags, false, t, load);
    std::vector<u32> cps;
    if (!url::decode(p, e, cps)) syntax_error(st, p, static_cast<i32>(t));
    if (!load) return;
    u32 shift = flags >> 30;
    Cell str = string_of(cps, shift >= 2 ? 4 : 1u << shift);
    cell::set_type(str, t);
    push_value(st, str);
}

// %name (percent-decoded) or %"name" (caret escapes decoded).
void on_file(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    if (e - s > 1 && s[1] == '"') {
        if (e >= st.end || *e != '"') syntax_error(st, s, type::file);
        st.cur = e + 1;
        return load_text(st, s + 2, e, flags, true, type::file, load);
    }
    load_decoded(st, s + 1, e, flags, type::file, load);
}

void on_url(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    if (*s == ':') syntax_error(st, s, type::get_word);
    if (*s == '\'') syntax_error(st, s, type::lit_word);
    load_decoded(st, s, e, flags, type::url, load);
}

// "<" ... ">", loaded without the brackets.
void on_tag(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    if (*s != '<' || e >= st.end || *e != '>') syntax_error(st, s, type::tag);
    st.cur = e + 1;
    leading_lines_only(st, s, e);
    load_text(st, s + 1, e, flags, false, type::tag, load);
}

void on_email(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    load_text(st, s, e, flags, false, type::email, load);
}

// @name: the text after the "@".
void on_ref(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    load_text(st, s + 1, e, flags, false, type::ref, load);
}

// n "%" signs, "{", text, "}" and n "%" signs. A shorter closing run is part
// of the text: the string goes on to the next "}" followed by n "%".
void on_raw_string(State& st, const u8* s, const u8* e, u32 flags, bool load) {
    i32 n = 0, m = 0;
    while (s + n < e && s[n] == '%') n++;
    const u8* open = s + n;
    while (e - m - 1 > open && e[-m - 1] == '%') m++;
    if (m > n) syntax_error(st, s, type::string);
    const u8* close = e - m - 1;
    if (m < n) {
        for (close = e;; close++) {
            if (close >= st.end) syntax_error(st, s, type::string);
            if (*close != '}' || st.end - close <= n) continue;
            i32 k = 0;
            while (k < n && close[1 + k] == '%') k++;
            if (k == n) break;
        }
        // The line feeds past the token are counted once: a traced token's
        // handler runs again with the input already moved past them.
        if (st.cur < close + 1 + n) {
            for (const u8* q = e; q < close; q++) st.line += *q == '\n';
            st.cur = close + 1 + n;
        }
    }
    leading_lines_only(st, s, e);
    load_text(st, open + 1, close, flags, false, type::string, load);
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

// The end column is also the class of a NUL byte: one met before the end of
// the input is a bad character, not the end of the text.
void on_end(State& st, const u8*, const u8* e, u32, bool) {
    if (e < st.end) syntax_error(st, e, -1);
    st.cur = st.end;
}
void on_error(State& st, const u8* s, const u8* e, u32, bool) {
    i32 t = st.token_type != type::error ? static_cast<i32>(st.token_type) : 0;
    // Input used up inside a braced string: the open brace is the place to show.
    if (st.start_state == 4 && e >= st.end) s = st.brace_start;
    syntax_error(st, s, t ? t : -1);
}

// A "(" followed by number characters up to a "," starts a point.
bool point_ahead(State& st, const u8* at) {
    if (st.end - at <= 4 || *at != '(') return false;  // more than three bytes after "("
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
        if (st.mask & ev::open) send(st, ev::open, e, datatype::make(type::point2D), e, e + 1);
        return;
    }
    st.start_state = 0;
    open_container(st, *e == '[' ? type::block : type::paren, e);
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
    if (!open_container(st, t, s)) {
        st.cur = e + 1;  // the callback skipped the path's start
        return;
    }
    const u8* a = *s == '\'' || *s == ':' ? s + 1 : s;
    if (load || !st.full_load) on_word(st, a, e, flags, st.full_load);
    st.cur = e + 1;  // past the "/"
    if (st.cur >= st.end) syntax_error(st, e, type::path);
    st.start_state = 59;
}
void on_brace_open(State& st, const u8* s, const u8* e, u32 flags, bool) {
    st.cur = e + 1;
    if (st.start_state != 4) {
        if (st.mask & ev::open) send(st, ev::open, e, datatype::make(type::string), e, e + 1);
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
    st.token_type = type::string;
    const Cell string_type = datatype::make(type::string);
    if (st.mask & ev::scan) {
        load_text(st, st.brace_start + 1, e, st.brace_flags, true, type::string, false);
        load = send(st, ev::scan, st.cur, string_type, st.brace_start, st.cur) && load;
    }
    const size_t before = values.size();
    load_text(st, st.brace_start + 1, e, st.brace_flags, true, type::string, load);
    st.lines_crossed = crossed;
    if (values.size() > before && (st.mask & ev::load)) {
        const Cell v = values.back();
        if (!send(st, ev::load, st.cur, string_type, st.brace_start, st.cur, &v)) values.resize(before);
    }
    if (st.mask & ev::close) send(st, ev::close, st.cur, string_type, st.brace_start, st.cur);
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
    load_point(st, s, e, load);
    // The last of its handler calls (a traced token may be checked first).
    if ((st.mask & ev::close) && load == st.full_load)
        send(st, ev::close, st.cur, datatype::make(type::point2D), s - 1, st.cur);
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
    {on_integer, true},      {on_word, true},          {on_char, true},         {on_file, true},
    {on_binary, true},       {on_percent, true},       {on_float, true},        {on_special_float, true},
    {on_tuple, true},        {on_date, true},          {on_pair, true},         {on_point, false},
    {on_time, true},         {on_money, true},         {on_tag, true},          {on_url, true},
    {on_email, true},        {on_hex, true},           {on_raw_string, true},   {on_ref, true},
};
static_assert(sizeof handlers / sizeof handlers[0] == 101 - first_final + 1);

// --- Main loop ----------------------------------------------------------------------------

// True when this scan holds exactly one finished value at its outer level.
bool one_value_q(const State& st) {
    return st.head == st.base && values.size() == st.base + 1 && cell::type_of(values[st.base]) != marker_type &&
           st.start_state == 0;
}

// Where a token ends, its closing character included: the scanners of
// these states move past the byte the automaton stopped on.
const u8* token_stop(const State& st, u32 state, const u8* s, const u8* p) {
    if (p >= st.end) return p;
    if ((state >= 68 && state <= 76) || state == 79 || state == 84 || state == 86 || state == 87 || state == 93 ||
        state == 96)  // 75: a path start takes its "/"
        return p + 1;
    if (state == 85 && *p == '"' && p - s > 1 && s[1] == '"') return p + 1;
    return p;
}

// The address after the character at p (p < e): its first byte and any
// continuation bytes after it.
const u8* past_char(const u8* p, const u8* e) {
    for (p++; p < e && (*p & 0xC0) == 0x80;) p++;
    return p;
}

// One token of a traced scan: the `prescan` event (a false answer skips the
// token), then the handler. A value token is checked and sent as `scan`
// (a false answer: not loaded), then loaded and sent as `load` (a false
// answer drops the value). Containers send their own open and close events.
// The scan and load passes of a value token whose range starts at `from`.
void value_token(State& st, const TokenHandler& h, const u8* from, const u8* s, const u8* p, u32 flags) {
    if (!st.full_load || (st.mask & ev::scan)) {
        h.handle(st, s, p, flags, false);
        if (!send(st, ev::scan, st.cur, type_value(st.token_type), from, st.cur)) return;
    }
    if (!st.full_load) return;
    const size_t before = values.size();
    h.handle(st, s, p, flags, true);
    if ((st.mask & ev::load) && values.size() > before) {
        const Cell v = values.back();
        if (!send(st, ev::load, st.cur, type_value(st.token_type), from, st.cur, &v)) values.resize(before);
    }
}

void traced_token(State& st, u32 state, const u8* s, const u8* p, u32 flags) {
    const TokenHandler& h = handlers[state - first_final];
    const bool structural = state < 79;
    if ((st.mask & ev::prescan) && st.start_state != 4 && !(state == 70 && point_ahead(st, p))) {
        const u8* stop_at = token_stop(st, state, s, p);
        const Cell type = structural ? structural_type(state) : type_value(st.token_type);
        const u8* from = state == 93 ? s - 1 : s;
        if (!send(st, ev::prescan, structural ? s : stop_at, type, from, stop_at)) {
            // A token the automaton could not take a byte of (a bad
            // character, a NUL) is empty: skipping it passes its character,
            // or the next cycle would stop on it again.
            if (stop_at == s && s < st.end) stop_at = past_char(s, st.end);
            st.cur = stop_at;
            return;
        }
    }
    if (structural) {
        h.handle(st, s, p, flags, st.full_load);
        if (state == 77 && (st.mask & ev::scan)) send(st, ev::scan, st.cur, structural_type(state), s, st.cur);
        return;
    }
    // A raw string reports its braces as a braced string does: `open` before
    // it is scanned, `close` after its value.
    const bool raw = state == 100;
    if (raw && (st.mask & ev::open)) {
        const u8* brace = s;
        while (brace < p && *brace == '%') brace++;
        send(st, ev::open, s, datatype::make(type::string), s, brace < p ? brace + 1 : p);
    }
    // A point's range includes the "(" before its first coordinate.
    value_token(st, h, state == 93 ? s - 1 : s, s, p, flags);
    if (raw && (st.mask & ev::close)) send(st, ev::close, st.cur, datatype::make(type::string), s, st.cur);
}

void run(State& st) {
    i32 restart_line = -1;  // the line a cycle restarted after separators began on
    while (st.cur < st.end) {
        u32 flags = 0, state = st.start_state, prev = state, skip = 0;
        const u8* start = st.cur;
        const u8* p = start;
        const u8* const end = st.end;
        // Separators are white space: line feeds before them still mark the word.
        i32 line0 = restart_line >= 0 ? restart_line : st.line;
        restart_line = -1;
        // The token's flags are ORed over every byte looked at, the one that
        // ends it included; the class bits this leaves in the low byte are
        // cleared after. Only class 1 is a line feed, and only the byte "\n".
        i32 line = st.line;
        while (p < end) {
            const u64 keep = keeps[state];
            u32 entry = 0;
            if (keep & 2) {  // line feeds keep the state: count them
                while (p < end && (keep >> ((entry = char_class[*p]) & 0x3F) & 1)) {
                    flags |= entry;
                    line += *p == '\n';
                    p++;
                }
            } else {
                while (p < end && (keep >> ((entry = char_class[*p]) & 0x3F) & 1)) {
                    flags |= entry;
                    p++;
                }
            }
            // Leading white space is the only run of state 0: no state leads back to it.
            if (state == 0) skip = static_cast<u32>(p - start);
            if (p == end) break;
            flags |= entry;
            prev = state;
            state = transition[state][entry & 0xFF];
            if (state > scan_states) break;
            line += *p == '\n';
            p++;
        }
        st.line = line;
        flags &= ~0xFFu;
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
                restart_line = line0;
                continue;
            }
        }
        const TokenHandler& h = handlers[state - first_final];
        bool in_path = st.start_state == 59 && state != 75 && state != 67;
        st.token_start = s;
        st.resume = nullptr;
        try {
            if (cell::type_of(st.callback) != type::none) {
                traced_token(st, state, s, p, flags);
            } else if (!st.mode.scan && h.value && state > 79 && state != 100) {
                // Prescan: only the structure is followed, and strings, so that
                // their brackets are no structure. A value token keeps the type
                // the automaton gives it; its closing character is passed over.
                // (A raw string's end is found by its scanner, which runs.)
                st.cur = token_stop(st, state, s, p);
            } else {
                h.handle(st, s, p, flags, st.full_load);
            }
            if (in_path && state != 70 && path_kind_q(open_kind(st))) path_check(st);
            else if (state == 71 && path_kind_q(open_kind(st))) path_check(st);
        } catch (const SystemThrow& t) {
            // An error the callback answered false goes no further: the scan
            // resumes where the callback moved its input, or stops.
            if (t.code != stop_code || !st.quiet || !st.resume) throw;
            st.quiet = false;
            st.start_state = path_kind_q(open_kind(st)) ? 59 : 0;
            st.cur = st.resume;
            continue;
        }
        if (st.resume) st.cur = st.resume;
        if (st.token_type) st.last_type = st.token_type;
        // One-value and prescan modes stop after the first token with a
        // datatype at the outer level (a braced string counts once its
        // closing brace is met: the start state is then 0 again).
        if ((st.mode.one || !st.mode.scan) && st.start_state == 0 && st.head == st.base) {
            if (!st.full_load && st.token_type) break;
            if (st.full_load && one_value_q(st)) break;
        }
        if (state == 66 && !st.resume) break;
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

// A scan makes no garbage of its own: every value it makes is kept. A
// collection in the middle of it would only mark what it has made so far,
// and do so again each time the frames fill, so collection waits for the
// end of the scan. Not while a trace callback runs language code (which may
// make garbage), and not in stress mode, which must collect everywhere.
struct HoldCollection {
    bool held;
    bool was = false;
    explicit HoldCollection(bool hold) : held(hold && !collector::stress()) {
        if (held) was = collector::enable(false);
    }
    ~HoldCollection() {
        if (held) collector::enable(was);
    }
};

}  // namespace

u64 scan_count = 0;

i32 scan(Cell* out, const u8* src, i32 size, Mode mode, i32* consumed, const Trace* trace) {
    scan_count++;
    State st;
    st.base = st.head = values.size();
    st.input = st.cur = st.last_at = src;
    st.end = src + (size > 0 ? size : 0);
    st.mode = mode;
    st.full_load = mode.scan && mode.load;
    if (trace && cell::type_of(trace->callback) != type::none) {
        const u32 t = cell::type_of(trace->callback);
        if (t != type::function && t != type::routine) fire(ErrorId::script_invalid_arg, trace->callback);
        st.callback = trace->callback;
        st.mask = natives::event_filter(st.callback, event_words(), 6, ev::all);
        st.trace_input = trace->input;
        st.chars = cell::type_of(trace->input) != type::binary;
        st.input_index = cell::head_index(trace->input);
    }
    Link link(st);
    HoldCollection hold(cell::type_of(st.callback) == type::none);
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
    if (!st.quiet) close_paths(st);
    if (st.head > st.base && !st.quiet) {
        Cell m = values[st.head - 1];
        if (!st.full_load) {
            if (out) *out = cell::make(type::none);
            return type::error;
        }
        st.unclosed = m.data2 & 0xFFFF;
        try {
            syntax_error(st, st.input + m.data3, -4, closer_of(m.data2 & 0xFFFF));
        } catch (const SystemThrow& t) {
            if (t.code != stop_code || !st.quiet) throw;
        }
    }
    // A scan an error event stopped keeps what it made: the containers still
    // open close as they are, without further events.
    if (st.quiet) {
        st.mask = 0;
        while (st.head > st.base) {
            const u32 k = open_kind(st);
            close_container(st, k == type::map || k == type::point2D ? type::block : 0);
        }
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
    const Node node = block_of_values(st.base, n);  // before *out: it may lie in a buffer that moves
    *out = cell::make(type::block, 0, node, 0);
    if (mode.one && n > 0) return static_cast<i32>(cell::type_of(values[st.base]));
    return static_cast<i32>(st.last_type);
}

namespace {

// Text encoded for a scan: a stretch of the scratch buffer past what outer
// scans use (given back at the end, whatever ends the scan), or a private
// buffer when the room left there is smaller than the worst case.
class TextBuffer {
public:
    explicit TextBuffer(size_t worst) : saved_(scratch_free) {
        if (scratch && scratch_size - scratch_free >= worst) {
            data_ = scratch + scratch_free;
        } else {
            data_ = static_cast<u8*>(heap::allocate(worst + 1));
            owned_ = true;
            private_buffers++;
        }
    }
    ~TextBuffer() {
        if (owned_) heap::free(data_);
        else scratch_free = saved_;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    u8* data() const { return data_; }
    // The text takes n bytes: nested scans use the space after it.
    void hold(size_t n) {
        if (!owned_) scratch_free = saved_ + n;
    }

private:
    u8* data_ = nullptr;
    size_t saved_;
    bool owned_ = false;
};

// Encodes count characters of `unit` bytes each at p as UTF-8 at d and
// returns the end. Runs of ASCII in 1-byte text are copied 8 bytes at a time.
u8* encode_text(const u8* p, u32 unit, i32 count, u8* d) {
    if (unit != 1) {
        for (i32 i = 0; i < count; i++, p += unit) {
            const u32 c = string::get_char(p, unit);
            if (c < 0x80) *d++ = static_cast<u8>(c);
            else d += unicode::encode_utf8_char(c, d);
        }
        return d;
    }
    constexpr u64 highs = 0x8080808080808080ull;
    for (const u8* e = p + count; p < e;) {
        if (e - p >= 8) {
            u64 w;
            std::memcpy(&w, p, 8);
            if (!(w & highs)) {
                std::memcpy(d, &w, 8);
                p += 8, d += 8;
                continue;
            }
        }
        const u8 c = *p++;
        if (c < 0x80) {
            *d++ = c;
        } else {
            *d++ = static_cast<u8>(0xC0 | c >> 6);
            *d++ = static_cast<u8>(0x80 | (c & 0x3F));
        }
    }
    return d;
}

}  // namespace

i32 load_string(Cell* out, const Cell& text, i32 count, Mode mode, i32* consumed, const Cell* callback) {
    Cell str = text;
    i32 avail = string::rs_length_q(str);
    if (count < 0 || count > avail) count = avail;
    const u32 unit = memory::buffer(cell::node(str))->unit();
    // The bytes are copied out first: the scan allocates, which may move the string.
    TextBuffer buffer(static_cast<size_t>(count) * (unit == 1 ? 2 : unit == 2 ? 3 : 4));
    const i32 size = static_cast<i32>(encode_text(string::rs_head(str), unit, count, buffer.data()) - buffer.data());
    buffer.hold(static_cast<size_t>(size));
    Trace trace{callback ? *callback : cell::make(type::none), str};
    i32 bytes = 0;
    i32 t = scan(out, buffer.data(), size, mode, &bytes, callback ? &trace : nullptr);
    if (consumed) *consumed = unicode::utf8_length(buffer.data(), buffer.data() + bytes);
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

// A scan without loading reports bad syntax as its result; what it throws
// is a raised error (no memory) whose unwinding has begun, so it goes on.
i32 hook_scan_type(const u8* utf8, i32 len) {
    return scan(nullptr, utf8, len, Mode{.one = true, .scan = true, .load = false}, nullptr);
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

namespace {

// The exit states, from final state 66 on (34 values; ORDER: the final
// states as far as ref!, the comma missing).
void make_exit_states() {
    const auto word = [](const char* name) { return context::make_global_word(symbol::make(name)); };
    const Cell names[exit_state_count] = {
        word("eof"), datatype::make(type::error), datatype::make(type::block), datatype::make(type::block),
        datatype::make(type::paren), datatype::make(type::paren), datatype::make(type::string),
        datatype::make(type::string), datatype::make(type::map), datatype::make(type::path),
        datatype::make(type::datatype), word("comment"), datatype::make(type::string), datatype::make(type::word),
        datatype::make(type::issue), datatype::make(type::integer), datatype::make(type::refinement),
        datatype::make(type::char_), datatype::make(type::file), datatype::make(type::binary),
        datatype::make(type::percent), datatype::make(type::float_), datatype::make(type::float_),
        datatype::make(type::tuple), datatype::make(type::date), datatype::make(type::pair),
        datatype::make(type::time), datatype::make(type::money), datatype::make(type::tag),
        datatype::make(type::url), datatype::make(type::email), word("hex"), word("rawstring"),
        datatype::make(type::ref)};
    block::make_at(exit_states_block, exit_state_count);
    for (const Cell& v : names) block::rs_append(exit_states_block, v);
}

}  // namespace

void init() {
    values.clear();
    values.reserve(1000);
    chain = nullptr;
    // The tracked heap of a previous start-up is gone: a new scratch buffer.
    scratch = static_cast<u8*>(heap::allocate(scratch_size));
    scratch_free = 0;
    private_buffers = 0;
    fill_classes();
    fill_transitions();
    fill_types();
    fill_misc();
    make_exit_states();
    word::set_lexer_hooks({hook_scan_type, hook_load_value});
    block::loader = block_loader;
}

const Cell& exit_states() { return exit_states_block; }

Usage usage() {
    Usage u;
    u.scratch = static_cast<i32>(scratch_free);
    for (State* st = chain; st; st = st->outer) u.states++;
    u.cells = static_cast<i32>(values.size());
    u.private_buffers = private_buffers;
    return u;
}

void mark(void (*mark_cells)(Cell* first, Cell* last)) {
    if (cell::type_of(exit_states_block) == type::block) mark_cells(&exit_states_block, &exit_states_block + 1);
    if (!chain) return;
    if (!values.empty()) mark_cells(values.data(), values.data() + values.size());
    for (State* st = chain; st; st = st->outer) {
        mark_cells(&st->callback, &st->callback + 1);
        mark_cells(&st->trace_input, &st->trace_input + 1);
    }
}

}  // namespace oru::lexer
