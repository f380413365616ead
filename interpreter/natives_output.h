// Output and conversion natives: print and prin, stats, the value builders
// as-pair, as-point2D, as-point3D and as-money, and the case converters
// uppercase and lowercase. The system natives of the same group (extend,
// to-local-file, size?, wait) are in natives_system.h.
//
// print and prin share one routine with a new-line flag. A block is reduced
// into the natives' print buffer from its tail, so a print reached while an
// outer print reduces its block appends after the outer values and removes
// only its own. Evaluation can move every buffer: the print buffer is kept as
// a cell and re-fetched after each expression.
//
// The builders make cells of datatypes whose modules may not be registered
// yet; each cell has the layout its datatype module reads:
//   pair!    words 2 and 3 the x and y coordinates (signed 32-bit)
//   point2D! words 1 and 2 the x and y coordinates (IEEE single)
//   point3D! words 1, 2 and 3 x, y and z (IEEE single)
//   money!   header bit 14 the sign; payload byte 0 the currency index (0
//            none, else the 1-based position in system/locale/currencies/list);
//            payload bytes 1-11 22 packed BCD digits, most significant first,
//            17 before the decimal point and 5 after it.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/routine.h"

namespace oru::natives {

u32 print(bool check, const i32* refinements);
u32 prin(bool check, const i32* refinements);
u32 stats(bool check, const i32* refinements);
u32 as_pair(bool check, const i32* refinements);
u32 as_point2D(bool check, const i32* refinements);
u32 as_point3D(bool check, const i32* refinements);
u32 as_money(bool check, const i32* refinements);
u32 uppercase(bool check, const i32* refinements);
u32 lowercase(bool check, const i32* refinements);

// The new-line flag of the last print or prin.
extern bool last_lf_q;

}  // namespace oru::natives

namespace oru::money_cell {

constexpr u32 sign_bit = 1u << 14;
constexpr i32 digits = 22;           // BCD digits of the amount
constexpr i32 integer_digits = 17;   // digits before the decimal point
constexpr i32 currencies = 170;      // entries of the start-up currency list
constexpr i32 max_currency_index = 255;  // the index is one payload byte

// The three-letter words of the start-up currency list, in list order.
extern const char* const currency_names[currencies];

// The 1-based position of the word's name in system/locale/currencies/list
// (letter case ignored), -1 when absent. Until the system object exists the
// start-up list above is searched.
i32 find_currency(const Cell& word);

// A money! of the integer's amount, no currency (-2147483648 included).
Cell from_integer(i32 n);
// A money! of the float's amount, no currency: the shortest decimal digits
// that read back as the double, cut after the fifth fraction digit (so 0.3
// gives 0.30000; the digits of its exact binary value would give 0.29999). A
// non-finite value, a magnitude of 1e17 or more, or a non-zero magnitude
// below 1e-05 raises script/bad-make-arg (money! and the float).
Cell from_float(double d);
// Stores the currency index (0-255) in payload byte 0.
void set_currency(Cell& money, i32 index);
// Digit k (1-22) of the amount.
i32 digit(const Cell& money, i32 k);

}  // namespace oru::money_cell

namespace oru::natives_output {

// The value hook that writes a printed string to standard output (console
// module), then a line end when new_line is set.
void stdout_hook(const Cell* value, bool new_line);

// The routine behind the library's last-lf?: sets the result slot to the
// new-line flag of the last print or prin (natives::last_lf_q) as a logic!
// value, and also returns the flag as 0 or 1.
routine::Machine last_lf_entry(const routine::Machine* args, i32 count);

// Sets the global word last-lf? to a routine! on last_lf_entry (no
// arguments; the entry sets its own result). Needs the global context.
void define_last_lf();

// Hands the routines of this group to the native table: print 23, prin 24,
// stats 37, uppercase 71, lowercase 72, as-pair 73, as-point2D 74,
// as-point3D 75, as-money 76, and those of natives_system (extend 83,
// to-local-file 85, wait 86, size? 101).
void register_all();

}  // namespace oru::natives_output
