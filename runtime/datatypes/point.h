// point2D! and point3D!: points with 32-bit floating-point coordinates.
//
// point2D! (type 51) keeps x and y in payload words 1-2, point3D! (type 52)
// x, y and z in words 1-3, each an IEEE single moved with memcpy. The twins
// share every handler: the value's type says how many coordinates there are.
// Coordinates are computed in double precision and rounded to single
// precision whenever they are stored (to_single spells the rounding out, as
// converting a double outside the single range is undefined in C++). Both
// action tables are at the bottom of point.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::point {

// A coordinate stored as an IEEE single, rounded to nearest: a double up to
// half a unit in the last place above the largest single gives the largest
// single, from there on an infinity. NaN stays NaN.
u32 to_single(double d);
double from_single(u32 bits);

// point2D! (x, y) and point3D! (x, y, z) cells.
Cell make2D(double x, double y);
Cell make3D(double x, double y, double z);

// The number of coordinates of a point type: 2 or 3.
inline int count_of(u32 t) { return t == type::point2D ? 2 : 3; }
// Coordinate i (0-based) of a point, widened to a double.
inline double get(const Cell& p, int i) { return from_single(i == 0 ? p.data1 : i == 1 ? p.data2 : p.data3); }
inline void set(Cell& p, int i, double v) { (i == 0 ? p.data1 : i == 1 ? p.data2 : p.data3) = to_single(v); }

// The point arithmetic: the point at stack::arguments op the operand after
// it (integer!, float!, percent!, a point of the same type, or for point2D!
// a pair!), the result in the first slot. op is integer::op's add through
// remainder; the integer! and float! arithmetic hand a point operand to it.
void do_math(i32 op);
// Every coordinate becomes 0 - coordinate, in place.
void negate(Cell* value);
// The point comparison (a pair! against a point2D! compares as a point2D!).
i32 compare(Cell* value1, Cell* value2, i32 op);

}  // namespace oru::point

namespace oru::point2D {
inline Cell* make_at(Cell& c, double x, double y) {
    c = point::make2D(x, y);
    return &c;
}
// Pushes a point2D! on the data stack.
Cell* push(double x, double y);
inline void do_math(i32 op) { point::do_math(op); }
inline void negate(Cell* value) { point::negate(value); }
// Registers point2D! (type 51, no parent).
void init();
}  // namespace oru::point2D

namespace oru::point3D {
inline Cell* make_at(Cell& c, double x, double y, double z) {
    c = point::make3D(x, y, z);
    return &c;
}
// Pushes a point3D! on the data stack.
Cell* push(double x, double y, double z);
inline void do_math(i32 op) { point::do_math(op); }
inline void negate(Cell* value) { point::negate(value); }
// Registers point3D! (type 52, no parent).
void init();
}  // namespace oru::point3D
