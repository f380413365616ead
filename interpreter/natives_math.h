// Comparison, logic and math natives: equal? and its six siblings, same?,
// not, max, min, the number tests (negative?, positive?, sign?, zero?, NaN?),
// shift, the trigonometric natives, the logarithms, exp and square-root.
//
// Each is a native::Entry: arguments at stack::arguments, the result written
// over the first of them. Comparisons go through actions::compare, which can
// call back into a datatype's handler, so the argument base is fetched again
// after it. The number tests ask the money module for money! values.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 equal_q(bool check, const i32* refinements);
u32 not_equal_q(bool check, const i32* refinements);
u32 strict_equal_q(bool check, const i32* refinements);
u32 lesser_q(bool check, const i32* refinements);
u32 greater_q(bool check, const i32* refinements);
u32 lesser_or_equal_q(bool check, const i32* refinements);
u32 greater_or_equal_q(bool check, const i32* refinements);
u32 same_q(bool check, const i32* refinements);
u32 not_(bool check, const i32* refinements);
u32 max(bool check, const i32* refinements);
u32 min(bool check, const i32* refinements);
u32 negative_q(bool check, const i32* refinements);
u32 positive_q(bool check, const i32* refinements);
u32 sign_q(bool check, const i32* refinements);
u32 zero_q(bool check, const i32* refinements);
u32 NaN_q(bool check, const i32* refinements);
u32 shift(bool check, const i32* refinements);
u32 sine(bool check, const i32* refinements);
u32 cosine(bool check, const i32* refinements);
u32 tangent(bool check, const i32* refinements);
u32 arcsine(bool check, const i32* refinements);
u32 arccosine(bool check, const i32* refinements);
u32 arctangent(bool check, const i32* refinements);
u32 arctangent2(bool check, const i32* refinements);
u32 log_2(bool check, const i32* refinements);
u32 log_10(bool check, const i32* refinements);
u32 log_e(bool check, const i32* refinements);
u32 exp(bool check, const i32* refinements);
u32 square_root(bool check, const i32* refinements);

// Identity as same? sees it (see the table in natives_math.cpp).
bool same_value_q(Cell* value1, Cell* value2);

// shift's routine, also called directly by shift-right, shift-left and
// shift-logical: a negative count is 0; /left wins over /logical.
i32 shift_value(i32 data, i32 bits, bool left, bool logical);

}  // namespace oru::natives

namespace oru::natives_math {

// Hands the routines above to the native table (natives::provide) for their
// fixed slots: 25-33 equal? ... not, 49-53 negative? ... shift, 55-67 sine ...
// square-root (NaN? among them), 97 sign?, 100 zero?.
void register_all();

}  // namespace oru::natives_math
